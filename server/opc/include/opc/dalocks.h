#pragma once
// The service toolkit's own synchronisation: a read/write lock with writer priority and
// timeouts, a broadcast condition that waits for its waiters, and the thread record that runs
// the update pipe and the client schedulers. Results are errno numbers (0 = done).

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/thread.h"

namespace opc {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// A new reader waits while a writer holds the lock or waits for it, so a stream of readers
// cannot starve the update pipe. Timeouts in ms: 0 tries once, kWaitForever waits for ever.
class daRwLock {
public:
    int LockShared(uint32_t timeoutMs = kWaitForever);
    void UnlockShared();
    int LockExclusive(uint32_t timeoutMs = kWaitForever);
    void UnlockExclusive();

private:
    std::mutex mutex_;
    std::condition_variable readersMayEnter_;
    std::condition_variable writerMayEnter_;
    unsigned readers_ = 0;
    bool writer_ = false;
    unsigned waitingWriters_ = 0;
};

// Scoped holds for code that cannot fail to lock (infinite waits).
class daSharedHold {
public:
    explicit daSharedHold(daRwLock& lock) : lock_(lock) { lock_.LockShared(); }
    ~daSharedHold() { lock_.UnlockShared(); }
    daSharedHold(const daSharedHold&) = delete;
    daSharedHold& operator=(const daSharedHold&) = delete;

private:
    daRwLock& lock_;
};

class daExclusiveHold {
public:
    explicit daExclusiveHold(daRwLock& lock) : lock_(lock) { lock_.LockExclusive(); }
    ~daExclusiveHold() { lock_.UnlockExclusive(); }
    daExclusiveHold(const daExclusiveHold&) = delete;
    daExclusiveHold& operator=(const daExclusiveHold&) = delete;

private:
    daRwLock& lock_;
};

// Waited on with an outer lock held. Broadcast returns only once every thread that was
// waiting has taken the wake-up, so a waiter never misses it and none is woken twice.
class daCondition {
public:
    // Releases `outer` while waiting and holds it again on return: 0 woken, 16 timed out.
    int Wait(std::unique_lock<std::mutex>& outer, uint32_t timeoutMs = kWaitForever);
    void Broadcast();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable acknowledged_;
    unsigned waiters_ = 0;
    unsigned pendingAcknowledgements_ = 0;
    uint64_t generation_ = 0;
};

// A toolkit thread. The run state is guarded by `lock` (the record's own unless the owner
// shares one, as the service does with its pipe): 0 idle, 1 work pending, negative: stop.
struct daThread {
    std::mutex ownLock;
    std::mutex* lock = &ownLock;
    platform::Event wake{false, false};
    int state = 0;
    std::thread thread;
    std::thread::id threadId;
    bool started = false;
    bool stopping = false;
};

using daThreadMain = void (*)(void* argument);

void daThrInit(daThread* record, std::mutex* sharedLock);
// 17 when already started, 11 when the thread cannot be started.
int daThrStart(daThread* record, daThreadMain main, void* argument);
// Asks the thread to stop and waits for it; from the thread itself it does not wait. 36 when
// another stop is in progress.
int daThrStop(daThread* record);

}  // namespace opc
