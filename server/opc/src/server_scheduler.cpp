// The scheduler thread of a client: queued requests, group evaluation and delivery, the
// shutdown request, disconnection and termination.

#include <algorithm>
#include <chrono>

#include "dagroup.h"
#include "dalog.h"
#include "daserver.h"
#include "opcconst.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace opc {
namespace {

constexpr uint32_t kLongestWait = 0xFFFFF;
// How long termination waits for calls in progress before it goes on regardless.
constexpr auto kCallsWait = std::chrono::seconds(30);

}  // namespace

bool daServer::BeginCallout() {
    std::lock_guard<std::mutex> lock(*scheduler_.lock);
    if (scheduler_.state < 0) return false;
    callingOut_ = true;
    return true;
}

void daServer::EndCallout() {
    std::lock_guard<std::mutex> lock(*scheduler_.lock);
    callingOut_ = false;
}

void daServer::SchedulerMain(void* server) {
    static_cast<daServer*>(server)->RunScheduler();
}

void daServer::RunScheduler() {
    kvlog::Trace(daLog(), "%.16s thr_async(%p) started", LogTag(), static_cast<void*>(this));
#ifdef _WIN32
    // Other clients' sinks are called from the implicit multithreaded apartment, which the
    // server's main thread keeps (proven under Wine by the out-of-process tests).
    const bool comEntered =
        MultithreadedClient() && SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
#endif
    const unsigned timerGranule = std::max(1u, daTimerGranularity());
    uint32_t wait = kLongestWait;
    uint32_t residual = 0;
    uint32_t planned = platform::TickCount() + wait;
    for (;;) {
        const bool signalled = WaitForWork(wait + residual);
        if (SchedulerStopRequested()) break;
        // A wake-up just before the planned time is taken as that time, so that groups keep
        // their grid.
        const uint32_t woke = platform::TickCount();
        const int32_t early = static_cast<int32_t>(planned - woke);
        residual = signalled && early > 0 && static_cast<uint32_t>(early) <= timerGranule &&
                           queue_->Empty()
                       ? static_cast<uint32_t>(early)
                       : 0;
        const auto tick = [residual] { return platform::TickCount() + residual; };
        daPassTimes pass;
        pass.wake = tick();

        SendShutdownRequest();
        if (TerminateRequested()) {
            Terminate();
            break;
        }
        DisconnectIfAsked();

        std::vector<daDelivery> deliveries;
        ServeRequests(&deliveries);
        pass.evalStart = tick();
        pass.timeToDue = kLongestWait;
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopped = stopped_;
        }
        if (!stopped) pass.timeToDue = EvaluateGroups(pass.evalStart, &pass.lateness, &deliveries);
        pass.evalEnd = tick();
        if (!deliveries.empty() && BeginCallout()) {
            for (daDelivery& delivery : deliveries)
                delivery.Send();
            EndCallout();
        }
        const bool delivered = !deliveries.empty();
        deliveries.clear();
        if (delivered) NoteDelivery();
        if (orphanCheckPending_.exchange(false)) CheckOrphaned(0);
        pass.passEnd = tick();
        {
            std::lock_guard<std::mutex> lock(loadLock_);
            wait = load_.EndPass(pass, timerGranule);
        }
        planned = pass.passEnd - residual + wait;
    }
    bool final = false;
    {
        std::lock_guard<std::mutex> lock(*scheduler_.lock);
        final = finalOnScheduler_;
        schedulerDone_ = true;
    }
    if (final) {
        daThrStop(&scheduler_);
        Destroy();
    }
#ifdef _WIN32
    if (comEntered) CoUninitialize();
#endif
}

bool daServer::WaitForWork(uint32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(*scheduler_.lock);
        if (scheduler_.state != 0) {
            if (scheduler_.state > 0) scheduler_.state = 0;
            scheduler_.wake.Reset();
            return true;
        }
    }
    {
        // A shutdown request still to be sent does not wait.
        std::lock_guard<std::mutex> lock(lock_);
        if (shutdownRequested_ && !shutdownSent_ && shutdownSink_) return true;
    }
    const bool signalled = scheduler_.wake.Wait(timeoutMs);
    std::lock_guard<std::mutex> lock(*scheduler_.lock);
    if (scheduler_.state > 0) scheduler_.state = 0;
    return signalled;
}

bool daServer::SchedulerStopRequested() {
    std::lock_guard<std::mutex> lock(*scheduler_.lock);
    return scheduler_.state < 0;
}

void daServer::SendShutdownRequest() {
    IOPCShutdown* sink = nullptr;
    std::u16string reason;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!shutdownRequested_ || shutdownSent_ || !shutdownSink_) return;
        shutdownSent_ = true;
        sink = shutdownSink_;
        sink->AddRef();
        reason = shutdownReason_;
    }
    kvlog::Notice(daLog(), "%.16s Going to ShutdownRequest(%s)", LogTag(),
                  platform::Utf16ToCp1251(reason).c_str());
    std::basic_string<WCHAR> text(reason.begin(), reason.end());
    HRESULT result = S_OK;
    // Clients are told to let go of the server here, and many do it from inside the call.
    if (BeginCallout()) {
        result = sink->ShutdownRequest(text.c_str());
        EndCallout();
    }
    if (FAILED(result)) {
        kvlog::Warning(daLog(), "%!l %.16s ShutdownRequest() FAILED", static_cast<int>(result),
                       LogTag());
    }
    sink->Release();
}

bool daServer::TerminateRequested() {
    std::lock_guard<std::mutex> lock(lock_);
    return terminating_;
}

void daServer::Terminate() {
    kvlog::Notice(daLog(), "%.16s Self terminating thr_async(%p) ...", LogTag(),
                  static_cast<void*>(this));
    IOPCShutdown* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(lock_);
        std::swap(sink, shutdownSink_);
        disconnectPending_ = true;
    }
    if (sink) sink->Release();
    queue_->Terminate();
    {
        // The calls in progress end by themselves: none waits for the scheduler.
        std::unique_lock<std::mutex> lock(lock_);
        if (!callsDone_.wait_for(lock, kCallsWait, [this] { return callsInProgress_ == 0; })) {
            kvlog::Warning(daLog(), "%.16s thr_async(%p) %u calls still in progress", LogTag(),
                           static_cast<void*>(this), callsInProgress_);
        }
    }
    // No call runs any more, so holding the groups here cannot look like a client's hold.
    for (daGroup* group : GroupSnapshot()) {
        group->UnadviseAll();
        group->Release();
    }
    DisconnectIfAsked();
    // The last of these releases may end the server (then on this thread, after the loop).
    UnlistAllGroups();
}

// Enumerators, groups and the client itself, newest first: their stubs let go of them.
void daServer::DisconnectIfAsked() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!disconnectPending_) return;
        disconnectPending_ = false;
    }
    kvlog::Trace(daLog(), "%.16s Disconnecting", LogTag());
    std::vector<IUnknown*> enumerators;
    {
        // Open ones still have references (a final release closes them under this lock): each
        // is held here, so a client's release racing the disconnect cannot end it twice.
        std::lock_guard<std::recursive_mutex> lock(enumLock_);
        enumerators = enumerators_;
        for (IUnknown* enumerator : enumerators)
            enumerator->AddRef();
    }
    for (auto it = enumerators.rbegin(); it != enumerators.rend(); ++it)
        CoDisconnectObject(*it, 0);
    for (IUnknown* enumerator : enumerators)
        enumerator->Release();
    std::vector<daGroup*> groups = GroupSnapshot();
    for (auto it = groups.rbegin(); it != groups.rend(); ++it)
        (*it)->Disconnect();
    for (daGroup* group : groups)
        group->Release();
    // COM takes references of its own while disconnecting: without one held here, another
    // thread's final release could be followed by a second one from in there. An aggregated
    // object's identity is its outer object's, which is not ours to disconnect.
    if (outer_ != &inner_ || !TryAddRef()) return;
    CoDisconnectObject(outer_, 0);
    InnerRelease();  // may end the server, then after the scheduler's pass
}

// Each request under the client's I/O hold, with the group it was made on, listed or not.
void daServer::ServeRequests(std::vector<daDelivery>* out) {
    for (;;) {
        // Ends after the hold: the last release of its group may release a sink.
        std::unique_ptr<daRequest> request;
        IoHold io(this, "thr_async");
        if (!io.Held()) {
            WakeScheduler();  // the rest waits for the next pass
            return;
        }
        request = queue_->Take();
        if (!request) return;
        if (request->target && (request->word & daRQ_IO) != 0) {
            request->target->ServeRequest(request.get(), out);
        } else {
            kvlog::Error(daLog(), "BAD REQUEST %x / %x", request->word,
                         static_cast<unsigned>(request->transactionId));
        }
    }
}

uint32_t daServer::EvaluateGroups(uint32_t now, uint32_t* lateness, std::vector<daDelivery>* out) {
    const uint32_t aligned =
        daAlignPassTime(now, previousAligned_, service_->driver.rateGranularity);
    previousAligned_ = aligned;
    uint32_t timeToDue = kLongestWait;
    daSharedHold hold(groupTable_);
    for (daGroup* group : groups_) {
        uint32_t due = kLongestWait;
        daGroupAdvance advance;
        group->Evaluate(now, aligned, &due, &advance, out);
        timeToDue = std::min(timeToDue, due);
        *lateness = std::max(*lateness, advance.lateness);
    }
    return timeToDue;
}

}  // namespace opc
