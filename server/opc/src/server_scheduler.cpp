// The scheduler thread of a client: queued requests, group evaluation and delivery, the
// shutdown request, disconnection and termination.

#include <algorithm>

#include "dagroup.h"
#include "dalog.h"
#include "daserver.h"
#include "opcconst.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace opc {
namespace {

constexpr uint32_t kLongestWait = 0xFFFFF;

void SendAll(std::vector<daDelivery>* deliveries) {
    for (daDelivery& delivery : *deliveries)
        delivery.Send();
}

}  // namespace

HRESULT daServer::MarshalSink(REFIID iid, IUnknown* sink, IUnknown** stream) {
    if (!sink || !stream) return E_POINTER;
    *stream = nullptr;
#ifdef _WIN32
    IStream* made = nullptr;
    const HRESULT result = CoMarshalInterThreadInterfaceInStream(iid, sink, &made);
    *stream = made;
    return result;
#else
    // Nothing is marshalled in-process: the sink itself travels.
    (void)iid;
    sink->AddRef();
    *stream = sink;
    return S_OK;
#endif
}

HRESULT daServer::UnmarshalSink(REFIID iid, IUnknown* stream, IUnknown** sink) {
    if (!stream || !sink) return E_POINTER;
    *sink = nullptr;
#ifdef _WIN32
    IStream* marshalled = nullptr;
    HRESULT result = stream->QueryInterface(IID_IStream, reinterpret_cast<void**>(&marshalled));
    if (FAILED(result)) return result;
    result = CoUnmarshalInterface(marshalled, iid, reinterpret_cast<void**>(sink));
    marshalled->Release();
    return result;
#else
    return stream->QueryInterface(iid, reinterpret_cast<void**>(sink));
#endif
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
        SendAll(&deliveries);
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
    const HRESULT result = sink->ShutdownRequest(text.c_str());
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
        // Synchronous callers were woken by the queue; the rest of the calls end by themselves.
        std::unique_lock<std::mutex> lock(lock_);
        callsDone_.wait(lock, [this] { return callsInProgress_ == 0; });
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

void daServer::ServeRequests(std::vector<daDelivery>* out) {
    while (daRequest* request = queue_->Take()) {
        const unsigned operation = request->Operation();
        if (operation == daRQ_ADVISE) {
            ServeAdvise(request);
        } else if (operation == daRQ_REMOVE_GROUP) {
            queue_->Finish(request,
                           RemoveGroupNow(request->group, (request->word & daRQ_FORCE) != 0));
        } else if (operation == daRQ_CANCEL || operation == daRQ_READ || operation == daRQ_WRITE ||
                   operation == daRQ_REFRESH) {
            daGroup* group = AcquireGroup(request->group);
            if (!group) {
                queue_->Finish(request, OPC_E_INVALIDHANDLE);
                continue;
            }
            group->ServeRequest(request, out);
            queue_->Finish(request, request->result);
            group->Release();
        } else {
            kvlog::Error(daLog(), "BAD REQUEST %x / %x", request->word,
                         static_cast<unsigned>(request->transactionId));
            queue_->Finish(request, E_FAIL);
        }
    }
}

void daServer::ServeAdvise(daRequest* request) {
    const unsigned kind = request->word & daRQ_CONNECTIONS;
    const IID& iid = kind == daCK_CALLBACK ? IID_IOPCDataCallback : IID_IAdviseSink;
    daGroup* group = AcquireGroup(request->group);
    HRESULT result = group ? S_OK : OPC_E_INVALIDHANDLE;
    IUnknown* sink = nullptr;
    if (SUCCEEDED(result)) result = UnmarshalSink(iid, request->sink, &sink);
    if (SUCCEEDED(result)) result = group->AttachSink(kind, sink);
    if (sink) sink->Release();
    if (group) group->Release();
    queue_->Finish(request, result);
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
