#include "platform/thread.h"

#include <chrono>

namespace platform {

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset), set_(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    if (manual_) {
        cv_.notify_all();
    } else {
        cv_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Event::IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return set_; };
    if (timeoutMs == kInfinite) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    if (!manual_) set_ = false;
    return true;
}

}  // namespace platform
