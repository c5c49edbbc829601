#pragma once
// Threads, events and ids. Locks are std::mutex / std::shared_mutex; this adds what the
// standard library lacks.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// A Win32-style event: manual reset stays signalled until Reset; auto reset releases one waiter.
class Event {
public:
    explicit Event(bool manualReset = true, bool initiallySet = false);
    void Set();
    void Reset();
    // True when signalled within the timeout; kInfinite waits for ever.
    bool Wait(uint32_t timeoutMs);
    bool IsSet();

    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool manual_;
    bool set_;
};

}  // namespace platform
