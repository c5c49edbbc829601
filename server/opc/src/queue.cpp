#include <algorithm>

#include "dagroup.h"
#include "daqueue.h"
#include "dalog.h"

namespace opc {
namespace {

void ClearValues(std::vector<VARIANT>& values) {
    for (VARIANT& value : values)
        VariantClear(&value);
    values.clear();
}

bool HoldsId(const std::vector<std::unique_ptr<daRequest>>& queue, DWORD id) {
    return std::any_of(queue.begin(), queue.end(),
                       [id](const auto& request) { return request->transactionId == id; });
}

}  // namespace

daRequest::~daRequest() {
    ClearValues(values);
    if (target) target->ReleaseFromScheduler();
}

daRequestQueue::daRequestQueue(unsigned limit) : limit_(limit) {}

daRequestQueue::~daRequestQueue() {
    Terminate();
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
    // A synchronous request is served by its caller, never queued.
    if (!request || request->IsSynchronous()) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminating_) return E_FAIL;
    // Only reads, writes and refreshes are limited; other kinds are never queued this way.
    if ((request->word & daRQ_IO) != 0) {
        if (overflowed_) return CONNECT_E_ADVISELIMIT;
        const auto queuedIo = std::count_if(queue_.begin(), queue_.end(),
                                            [](const auto& r) { return (r->word & daRQ_IO) != 0; });
        if (static_cast<unsigned>(queuedIo) >= limit_) {
            overflowed_ = true;
            kvlog::Trace(daLog(), "daRequestQueue(%p) overflowed at %u requests",
                         static_cast<void*>(this), limit_);
            return CONNECT_E_ADVISELIMIT;
        }
    }
    request->transactionId = NextTransactionId((request->word & daRQ_DEVICE) != 0);
    if (transactionId) *transactionId = request->transactionId;
    queue_.push_back(std::move(request));
    return S_OK;
}

std::unique_ptr<daRequest> daRequestQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return nullptr;
    std::unique_ptr<daRequest> request = std::move(queue_.front());
    queue_.erase(queue_.begin());
    if ((request->word & daRQ_IO) != 0) overflowed_ = false;
    return request;
}

HRESULT daRequestQueue::CancelAdviseSinkRequest(DWORD transactionId, unsigned clientNumber,
                                                OPCHANDLE group) {
    constexpr unsigned adviseSinks = daCK_WRITECOMPLETE | daCK_DATATIME | daCK_DATA;
    std::unique_ptr<daRequest> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(queue_.begin(), queue_.end(), [&](const auto& r) {
            return r->transactionId == transactionId && r->clientNumber == clientNumber &&
                   r->group == group && (r->word & adviseSinks) != 0;
        });
        if (found == queue_.end()) return E_FAIL;
        removed = std::move(*found);
        queue_.erase(found);
    }
    return S_OK;  // the request (its values, its group) goes without the queue's lock held
}

HRESULT daRequestQueue::CancelCallbackRequest(DWORD transactionId, unsigned clientNumber,
                                              OPCHANDLE group) {
    std::vector<VARIANT> values;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(queue_.begin(), queue_.end(), [&](const auto& r) {
            return r->transactionId == transactionId && r->clientNumber == clientNumber &&
                   r->group == group && (r->word & daCK_CALLBACK) != 0 &&
                   r->Operation() != daRQ_CANCEL;
        });
        if (found == queue_.end()) return E_FAIL;
        daRequest& request = **found;
        // The notification keeps the id, group and place in the queue, and carries no items.
        request.word = daRQ_CANCEL | daCK_CALLBACK;
        request.itemHandles.clear();
        request.tags.clear();
        request.errors.clear();
        values.swap(request.values);
    }
    ClearValues(values);
    return S_OK;
}

void daRequestQueue::Terminate() {
    std::vector<std::unique_ptr<daRequest>> aborted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        terminating_ = true;
        aborted.swap(queue_);
    }
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
