#include "opc/dalocks.h"

#include <chrono>
#include <system_error>

#include "dalog.h"
#include "opc/daservice.h"

namespace opc {
namespace {

// Waits for `ready` within the timeout: 0 tries once, kWaitForever waits for ever.
template <typename Ready>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
               Ready ready) {
    if (ready()) return true;
    if (timeoutMs == 0) return false;
    if (timeoutMs == kWaitForever) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

int daRwLock::LockShared(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!WaitUntil(readersMayEnter_, lock, timeoutMs,
                   [this] { return !writer_ && waitingWriters_ == 0; })) {
        return daE_BUSY;
    }
    ++readers_;
    return 0;
}

void daRwLock::UnlockShared() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (readers_ > 0 && --readers_ == 0 && waitingWriters_ > 0) writerMayEnter_.notify_one();
}

int daRwLock::LockExclusive(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waitingWriters_;
    bool entered =
        WaitUntil(writerMayEnter_, lock, timeoutMs, [this] { return !writer_ && readers_ == 0; });
    --waitingWriters_;
    if (!entered) {
        // Readers held back for this writer may go now.
        if (waitingWriters_ == 0 && !writer_) readersMayEnter_.notify_all();
        return daE_BUSY;
    }
    writer_ = true;
    return 0;
}

void daRwLock::UnlockExclusive() {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_ = false;
    if (waitingWriters_ > 0) {
        writerMayEnter_.notify_one();
    } else {
        readersMayEnter_.notify_all();
    }
}

int daCondition::Wait(std::unique_lock<std::mutex>& outer, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t seen = generation_;
    ++waiters_;
    outer.unlock();
    bool woken = WaitUntil(wake_, lock, timeoutMs, [&] { return generation_ != seen; });
    --waiters_;
    if (woken && --pendingAcknowledgements_ == 0) acknowledged_.notify_all();
    lock.unlock();
    outer.lock();
    return woken ? 0 : daE_BUSY;
}

void daCondition::Broadcast() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A broadcast still collecting acknowledgements finishes first: its waiters are counted.
    acknowledged_.wait(lock, [this] { return pendingAcknowledgements_ == 0; });
    if (waiters_ == 0) return;
    pendingAcknowledgements_ = waiters_;
    ++generation_;
    wake_.notify_all();
    acknowledged_.wait(lock, [this] { return pendingAcknowledgements_ == 0; });
}

void daThrInit(daThread* record, std::mutex* sharedLock) {
    record->lock = sharedLock ? sharedLock : &record->ownLock;
    record->state = 0;
    record->started = false;
    record->stopping = false;
}

int daThrStart(daThread* record, daThreadMain main, void* argument) {
    std::lock_guard<std::mutex> lock(*record->lock);
    if (record->started) return daE_EXIST;
    try {
        record->thread = std::thread(main, argument);
    } catch (const std::system_error&) {
        return daE_AGAIN;
    }
    record->threadId = record->thread.get_id();
    record->started = true;
    return 0;
}

int daThrStop(daThread* record) {
    std::unique_lock<std::mutex> lock(*record->lock);
    const int state = record->state;
    if (!record->started) {
        kvlog::Trace(daLog(), "daThrStop(%p) already stopped r%d", static_cast<void*>(record),
                     state);
        return 0;
    }
    if (record->stopping) {
        kvlog::Error(daLog(), "daThrStop(%p) possible deadlock", static_cast<void*>(record));
        return daE_DEADLK;
    }
    record->state = -1;
    record->wake.Set();
    if (record->threadId == std::this_thread::get_id()) {
        kvlog::Trace(daLog(), "daThrStop(%p) trying to terminate itself (r%d)",
                     static_cast<void*>(record), state);
        record->thread.detach();
        record->started = false;
        return 0;
    }
    record->stopping = true;
    lock.unlock();
    record->thread.join();
    lock.lock();
    record->stopping = false;
    record->started = false;
    kvlog::Trace(daLog(), "daThrStop(%p) Wait() r%d...", static_cast<void*>(record), state);
    return 0;
}

}  // namespace opc
