#include "system_hooks.h"

namespace platform {

// Never destroyed: threads may still log while the process exits.
SystemHook<BeepHook>& BeepHookSlot() {
    static auto* slot = new SystemHook<BeepHook>;
    return *slot;
}

SystemHook<DebugOutputHook>& DebugOutputHookSlot() {
    static auto* slot = new SystemHook<DebugOutputHook>;
    return *slot;
}

SystemHook<EventReportHook>& EventReportHookSlot() {
    static auto* slot = new SystemHook<EventReportHook>;
    return *slot;
}

void SetBeepHook(BeepHook hook) {
    BeepHookSlot().Set(std::move(hook));
}

void SetDebugOutputHook(DebugOutputHook hook) {
    DebugOutputHookSlot().Set(std::move(hook));
}

void SetEventReportHook(EventReportHook hook) {
    EventReportHookSlot().Set(std::move(hook));
}

}  // namespace platform
