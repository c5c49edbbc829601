#pragma once
// Storage of the test hooks of system.h, shared by both backends.

#include <mutex>
#include <utility>

#include "platform/system.h"

namespace platform {

template <typename Function>
class SystemHook {
public:
    void Set(Function hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    // A copy, so the hook runs without the lock held and may be replaced meanwhile.
    Function Get() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hook_;
    }

private:
    std::mutex mutex_;
    Function hook_;
};

SystemHook<BeepHook>& BeepHookSlot();
SystemHook<DebugOutputHook>& DebugOutputHookSlot();
SystemHook<EventReportHook>& EventReportHookSlot();

}  // namespace platform
