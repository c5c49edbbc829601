#include <algorithm>

#include "daqueue.h"
#include "dalog.h"

namespace opc {
namespace {

// A synchronous caller logs once when the scheduler keeps it waiting this long.
constexpr uint32_t kSlowRequestMs = 30000;

void ClearValues(std::vector<VARIANT>& values) {
    for (VARIANT& value : values)
        VariantClear(&value);
    values.clear();
}

bool HoldsId(const std::vector<daRequest*>& queue, DWORD id) {
    return std::any_of(queue.begin(), queue.end(),
                       [id](const daRequest* request) { return request->transactionId == id; });
}

}  // namespace

daRequest::~daRequest() {
    ClearValues(values);
    if (sink) sink->Release();
}

daRequestQueue::daRequestQueue(unsigned limit) : limit_(limit) {}

daRequestQueue::~daRequestQueue() {
    Terminate();
    // A caller woken by Terminate may still be on its way out of PushAndWait.
    std::unique_lock<std::mutex> lock(mutex_);
    waitersGone_.wait(lock, [this] { return waiting_ == 0; });
}

DWORD daRequestQueue::NextTransactionId(bool device) {
    DWORD id = lastTransactionId_ + 1;
    if ((id & 1u) != (device ? 1u : 0u)) ++id;
    if (id == 0) id = 2;
    while (HoldsId(queue_, id)) {
        id += 2;
        if (id == 0) id = 2;
    }
    lastTransactionId_ = id;
    return id;
}

HRESULT daRequestQueue::Push(std::unique_ptr<daRequest> request, DWORD* transactionId) {
    // Ownership follows the synchronous bit, so a synchronous request cannot be handed over.
    if (!request || request->IsSynchronous()) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminating_) return E_FAIL;
    // Only reads, writes and refreshes are limited; other kinds are never queued this way.
    if ((request->word & daRQ_IO) != 0) {
        if (overflowed_) return CONNECT_E_ADVISELIMIT;
        const auto queuedIo = std::count_if(queue_.begin(), queue_.end(), [](const daRequest* r) {
            return (r->word & daRQ_IO) != 0;
        });
        if (static_cast<unsigned>(queuedIo) >= limit_) {
            overflowed_ = true;
            kvlog::Trace(daLog(), "daRequestQueue(%p) overflowed at %u requests",
                         static_cast<void*>(this), limit_);
            return CONNECT_E_ADVISELIMIT;
        }
    }
    request->transactionId = NextTransactionId((request->word & daRQ_DEVICE) != 0);
    if (transactionId) *transactionId = request->transactionId;
    queue_.push_back(request.release());
    return S_OK;
}

HRESULT daRequestQueue::PushAndWait(daRequest* request, void (*wake)(void* argument),
                                    void* wakeArgument) {
    if (!request) return E_INVALIDARG;
    std::unique_lock<std::mutex> lock(mutex_);
    if (terminating_) {
        request->result = E_FAIL;
        return E_FAIL;
    }
    request->word |= daRQ_SYNC;
    request->done = false;
    request->result = S_OK;
    request->transactionId = NextTransactionId((request->word & daRQ_DEVICE) != 0);
    queue_.push_back(request);
    ++waiting_;
    lock.unlock();
    if (wake) wake(wakeArgument);
    lock.lock();
    bool logged = false;
    while (!request->done) {
        if (finished_.Wait(lock, logged ? kWaitForever : kSlowRequestMs) != 0) {
            kvlog::Warning(daLog(), "daRequestQueue(%p) request %X waits for the scheduler",
                           static_cast<void*>(this), request->transactionId);
            logged = true;
        }
    }
    if (--waiting_ == 0) waitersGone_.notify_all();
    return request->result;
}

daRequest* daRequestQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return nullptr;
    daRequest* request = queue_.front();
    queue_.erase(queue_.begin());
    if ((request->word & daRQ_IO) != 0) overflowed_ = false;
    return request;
}

void daRequestQueue::Finish(daRequest* request, HRESULT result) {
    if (!request) return;
    if (!request->IsSynchronous()) {
        delete request;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    request->result = result;
    request->done = true;
    finished_.Broadcast();
}

HRESULT daRequestQueue::CancelAdviseSinkRequest(DWORD transactionId, unsigned clientNumber,
                                                OPCHANDLE group) {
    constexpr unsigned adviseSinks = daCK_WRITECOMPLETE | daCK_DATATIME | daCK_DATA;
    std::unique_ptr<daRequest> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(queue_.begin(), queue_.end(), [&](const daRequest* r) {
            return r->transactionId == transactionId && r->clientNumber == clientNumber &&
                   r->group == group && !r->IsSynchronous() && (r->word & adviseSinks) != 0;
        });
        if (found == queue_.end()) return E_FAIL;
        removed.reset(*found);
        queue_.erase(found);
    }
    return S_OK;  // the request (its values, its sink) goes without the queue's lock held
}

HRESULT daRequestQueue::CancelCallbackRequest(DWORD transactionId, unsigned clientNumber,
                                              OPCHANDLE group) {
    std::vector<VARIANT> values;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(queue_.begin(), queue_.end(), [&](const daRequest* r) {
            return r->transactionId == transactionId && r->clientNumber == clientNumber &&
                   r->group == group && !r->IsSynchronous() && (r->word & daCK_CALLBACK) != 0 &&
                   r->Operation() != daRQ_CANCEL;
        });
        if (found == queue_.end()) return E_FAIL;
        daRequest* request = *found;
        // The notification keeps the id, group and place in the queue, and carries no items.
        request->word = daRQ_CANCEL | daCK_CALLBACK;
        request->itemHandles.clear();
        request->tags.clear();
        request->errors.clear();
        values.swap(request->values);
    }
    ClearValues(values);
    return S_OK;
}

void daRequestQueue::Terminate() {
    std::vector<daRequest*> aborted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        terminating_ = true;
        for (daRequest* request : queue_) {
            if (request->IsSynchronous()) {
                request->result = E_FAIL;
                request->done = true;
            } else {
                aborted.push_back(request);
            }
        }
        queue_.clear();
        finished_.Broadcast();
    }
    for (daRequest* request : aborted)
        delete request;
}

bool daRequestQueue::Empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty();
}

bool daRequestQueue::Overflowed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return overflowed_;
}

void daRequestQueue::RestartTransactionIds(DWORD lastIssued) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastTransactionId_ = lastIssued;
}

}  // namespace opc
