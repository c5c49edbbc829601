// The group's reads and writes: synchronous ones on the caller's thread, asynchronous ones
// queued for the client's scheduler thread and served there.

#include <algorithm>

#include "dagroup.h"
#include "dalog.h"
#include "daserver.h"
#include "opcconst.h"

namespace opc {
namespace {

constexpr DWORD kGoodQualityBits = 0xC0;

bool IsDataKind(DWORD connection) {
    return connection == daCK_DATATIME || connection == daCK_DATA;
}

bool ValidSource(OPCDATASOURCE source) {
    return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}

unsigned DeviceBit(OPCDATASOURCE source) {
    return source == OPC_DS_DEVICE ? daRQ_DEVICE : 0;
}

// IOPCDataCallback completions carry the client's transaction id, IAdviseSink ones the server's.
DWORD ReportedTransaction(const daRequest& request) {
    return (request.word & daCK_CALLBACK) ? request.clientTransactionId : request.transactionId;
}

HRESULT AnyFailed(const std::vector<HRESULT>& errors) {
    for (HRESULT error : errors) {
        if (error != S_OK) return S_FALSE;
    }
    return S_OK;
}

void FreeErrors(HRESULT** errors) {
    CoTaskMemFree(*errors);
    *errors = nullptr;
}

}  // namespace

daReadRequest::~daReadRequest() {
    for (OPCITEMSTATE& state : states)
        VariantClear(&state.vDataValue);
}

void daGroup::CheckItems(DWORD count, const OPCHANDLE* handles, DWORD rights, daRequest* request,
                         std::vector<DWORD>* positions, HRESULT* errors) {
    daService* service = server_->Service();
    daSharedHold table(server_->GroupTable());
    request->group = serverHandle_;
    for (DWORD i = 0; i < count; ++i) {
        const daItem* item = FindItem(handles[i]);
        if (!item) {
            errors[i] = OPC_E_INVALIDHANDLE;
            continue;
        }
        const daTagEntry& tag = service->tags[item->tagIndex];
        if (!(tag.accessRights & rights)) {
            errors[i] = OPC_E_BADRIGHTS;
            continue;
        }
        errors[i] = S_OK;
        request->itemHandles.push_back(handles[i]);
        request->tags.push_back(daTagRef{item->tagIndex, tag.driverHandle, item->accessPathHandle});
        positions->push_back(i);
    }
}

void daGroup::CopyWriteValues(const VARIANT* values, daRequest* request,
                              std::vector<DWORD>* positions, HRESULT* errors) {
    size_t kept = 0;
    for (size_t i = 0; i < positions->size(); ++i) {
        const DWORD position = (*positions)[i];
        VARIANT copy;
        VariantInit(&copy);
        const HRESULT copied = VariantCopy(&copy, const_cast<VARIANT*>(&values[position]));
        if (FAILED(copied)) {
            errors[position] = copied;
            continue;
        }
        request->values.push_back(copy);
        request->itemHandles[kept] = request->itemHandles[i];
        request->tags[kept] = request->tags[i];
        (*positions)[kept] = position;
        ++kept;
    }
    request->itemHandles.resize(kept);
    request->tags.resize(kept);
    positions->resize(kept);
}

void daGroup::ReadItem(const daCallerRecord& caller, OPCHANDLE handle, bool fromDevice,
                       OPCITEMSTATE* state, HRESULT* error) const {
    VariantInit(&state->vDataValue);
    const daItem* item = FindItem(handle);
    if (!item) {
        *error = OPC_E_INVALIDHANDLE;
        return;
    }
    state->hClient = item->clientHandle;
    const daTagEntry& tag = server_->Service()->tags[item->tagIndex];
    if (!(tag.accessRights & OPC_READABLE)) {
        *error = OPC_E_BADRIGHTS;
        return;
    }
    // A device read asks for the value whatever the active state, as OPC clients expect.
    if (!fromDevice && (!active_ || !item->active)) {
        state->wQuality = daQUALITY_OUT_OF_SERVICE;
        *error = S_FALSE;
        return;
    }
    state->ftTimeStamp = tag.timeStamp;
    state->wQuality = static_cast<WORD>(tag.quality);
    const HRESULT converted =
        daItemValue(caller, tag, item->mode, item->requestedType, tag.value, &state->vDataValue);
    if (FAILED(converted)) {
        *error = converted;
        if (state->wQuality & kGoodQualityBits) state->wQuality = 0;
    } else {
        *error = tag.error;
    }
}

// Never through the scheduler: a sink may call this from inside a callback that the scheduler
// is making, in process on its thread or out of process on an RPC thread.
HRESULT daGroup::RunSynchronous(daRequest* request) {
    daServer::IoHold io(server_, "IOPCSyncIO");
    if (!io.Held()) return E_FAIL;
    std::vector<daDelivery> none;
    ServeRequest(request, &none);
    return request->result;
}

HRESULT daGroup::Queue(std::unique_ptr<daRequest> request, DWORD* transactionId) {
    request->clientNumber = server_->ClientNumber();
    request->caller = GroupCaller();
    HoldForScheduler();
    request->target = this;
    const HRESULT pushed = server_->Queue().Push(std::move(request), transactionId);
    if (SUCCEEDED(pushed)) server_->WakeScheduler();
    return pushed;
}

// IOPCSyncIO

HRESULT STDMETHODCALLTYPE daGroup::Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles,
                                        OPCITEMSTATE** values, HRESULT** errors) {
    daServer::Call call(server_, "IOPCSyncIO", "Read");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !values || !errors || !ValidSource(source)) return E_INVALIDARG;
    *values = daTaskArray<OPCITEMSTATE>(count);
    *errors = daTaskArray<HRESULT>(count);
    if (!*values || !*errors) {
        CoTaskMemFree(*values);
        *values = nullptr;
        FreeErrors(errors);
        return E_OUTOFMEMORY;
    }
    std::vector<HRESULT> results(count);
    if (source == OPC_DS_CACHE) {
        const daCallerRecord caller = GroupCaller();
        daSharedHold table(server_->GroupTable());
        daSharedHold published(server_->Service()->lkPrim);
        for (DWORD i = 0; i < count; ++i)
            ReadItem(caller, handles[i], false, &(*values)[i], &results[i]);
    } else {
        daReadRequest request;
        request.word = daRQ_READ | daRQ_DEVICE | daRQ_SYNC;
        request.caller = GroupCaller();
        request.itemHandles.assign(handles, handles + count);
        const HRESULT served = RunSynchronous(&request);
        if (FAILED(served) || request.states.size() != count) {
            CoTaskMemFree(*values);
            *values = nullptr;
            FreeErrors(errors);
            return FAILED(served) ? served : E_FAIL;
        }
        for (DWORD i = 0; i < count; ++i) {
            (*values)[i] = request.states[i];
            VariantInit(&request.states[i].vDataValue);  // moved out
            results[i] = request.errors[i];
        }
    }
    std::copy(results.begin(), results.end(), *errors);
    return AnyFailed(results);
}

HRESULT STDMETHODCALLTYPE daGroup::Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                         HRESULT** errors) {
    daServer::Call call(server_, "IOPCSyncIO", "Write");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !values || !errors) return E_INVALIDARG;
    *errors = daTaskArray<HRESULT>(count);
    if (!*errors) return E_OUTOFMEMORY;
    daRequest request;
    request.word = daRQ_WRITE | daRQ_DEVICE | daRQ_SYNC;
    request.caller = GroupCaller();
    std::vector<DWORD> positions;
    CheckItems(count, handles, OPC_WRITEABLE, &request, &positions, *errors);
    CopyWriteValues(values, &request, &positions, *errors);
    HRESULT served = S_OK;
    if (!positions.empty()) {
        served = RunSynchronous(&request);
        if (FAILED(served) || request.errors.size() != positions.size()) {
            FreeErrors(errors);
            return FAILED(served) ? served : E_FAIL;
        }
        for (size_t i = 0; i < positions.size(); ++i)
            (*errors)[positions[i]] = request.errors[i];
    }
    // S_FALSE also when the driver reported a master error of its own.
    return served != S_OK ? S_FALSE : AnyFailed(std::vector<HRESULT>(*errors, *errors + count));
}

// The queued operations

HRESULT daGroup::QueueAsyncRead(unsigned word, DWORD count, const OPCHANDLE* handles,
                                DWORD clientTransactionId, DWORD* transactionId, HRESULT** errors) {
    *transactionId = 0;
    *errors = daTaskArray<HRESULT>(count);
    if (!*errors) return E_OUTOFMEMORY;
    auto request = std::make_unique<daRequest>();
    request->word = word;
    request->clientTransactionId = clientTransactionId;
    std::vector<DWORD> positions;
    CheckItems(count, handles, OPC_READABLE, request.get(), &positions, *errors);
    if (positions.empty()) return S_FALSE;
    const HRESULT queued = Queue(std::move(request), transactionId);
    if (FAILED(queued)) {
        FreeErrors(errors);
        return queued;
    }
    return positions.size() == count ? S_OK : S_FALSE;
}

HRESULT daGroup::QueueAsyncWrite(unsigned word, DWORD count, const OPCHANDLE* handles,
                                 const VARIANT* values, DWORD clientTransactionId,
                                 DWORD* transactionId, HRESULT** errors) {
    *transactionId = 0;
    *errors = daTaskArray<HRESULT>(count);
    if (!*errors) return E_OUTOFMEMORY;
    auto request = std::make_unique<daRequest>();
    request->word = word;
    request->clientTransactionId = clientTransactionId;
    std::vector<DWORD> positions;
    CheckItems(count, handles, OPC_WRITEABLE, request.get(), &positions, *errors);
    CopyWriteValues(values, request.get(), &positions, *errors);
    if (positions.empty()) return S_FALSE;
    const HRESULT queued = Queue(std::move(request), transactionId);
    if (FAILED(queued)) {
        FreeErrors(errors);
        return queued;
    }
    return positions.size() == count ? S_OK : S_FALSE;
}

HRESULT daGroup::QueueRefresh(unsigned word, DWORD clientTransactionId, DWORD* transactionId) {
    *transactionId = 0;
    auto request = std::make_unique<daRequest>();
    request->word = word;
    request->clientTransactionId = clientTransactionId;
    {
        daSharedHold table(server_->GroupTable());
        if (!active_ || !HasActiveReadableItem()) return E_FAIL;
        request->group = serverHandle_;
    }
    return Queue(std::move(request), transactionId);
}

// IOPCAsyncIO (DA 1.0): completions through the IAdviseSink connection given.

HRESULT STDMETHODCALLTYPE daGroup::Read(DWORD connection, OPCDATASOURCE source, DWORD count,
                                        OPCHANDLE* handles, DWORD* transactionId,
                                        HRESULT** errors) {
    daServer::Call call(server_, "IOPCAsyncIO", "Read");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !transactionId || !errors || !ValidSource(source)) {
        return E_INVALIDARG;
    }
    if (!IsDataKind(connection) || !SinkAdvised(connection)) return CONNECT_E_NOCONNECTION;
    return QueueAsyncRead(daRQ_READ | DeviceBit(source) | connection, count, handles, 0,
                          transactionId, errors);
}

HRESULT STDMETHODCALLTYPE daGroup::Write(DWORD connection, DWORD count, OPCHANDLE* handles,
                                         VARIANT* values, DWORD* transactionId, HRESULT** errors) {
    daServer::Call call(server_, "IOPCAsyncIO", "Write");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !values || !transactionId || !errors) return E_INVALIDARG;
    if (connection != daCK_WRITECOMPLETE || !SinkAdvised(connection)) {
        return CONNECT_E_NOCONNECTION;
    }
    return QueueAsyncWrite(daRQ_WRITE | daRQ_DEVICE | connection, count, handles, values, 0,
                           transactionId, errors);
}

HRESULT STDMETHODCALLTYPE daGroup::Refresh(DWORD connection, OPCDATASOURCE source,
                                           DWORD* transactionId) {
    daServer::Call call(server_, "IOPCAsyncIO", "Refresh");
    if (call.Result() != S_OK) return call.Result();
    if (!transactionId || !ValidSource(source)) return E_INVALIDARG;
    if (!IsDataKind(connection) || !SinkAdvised(connection)) return CONNECT_E_NOCONNECTION;
    return QueueRefresh(daRQ_REFRESH | DeviceBit(source) | connection, 0, transactionId);
}

HRESULT STDMETHODCALLTYPE daGroup::Cancel(DWORD transactionId) {
    daServer::Call call(server_, "IOPCAsyncIO", "Cancel");
    if (call.Result() != S_OK) return call.Result();
    OPCHANDLE group = 0;
    {
        daSharedHold table(server_->GroupTable());
        group = serverHandle_;
    }
    return server_->Queue().CancelAdviseSinkRequest(transactionId, server_->ClientNumber(), group);
}

// IOPCAsyncIO2: completions through IOPCDataCallback.

HRESULT STDMETHODCALLTYPE daGroup::Read(DWORD count, OPCHANDLE* handles, DWORD transactionId,
                                        DWORD* cancelId, HRESULT** errors) {
    daServer::Call call(server_, "IOPCAsyncIO2", "Read");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !cancelId || !errors) return E_INVALIDARG;
    if (!SinkAdvised(daCK_CALLBACK)) return CONNECT_E_NOCONNECTION;
    return QueueAsyncRead(daRQ_READ | daRQ_DEVICE | daCK_CALLBACK, count, handles, transactionId,
                          cancelId, errors);
}

HRESULT STDMETHODCALLTYPE daGroup::Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                         DWORD transactionId, DWORD* cancelId, HRESULT** errors) {
    daServer::Call call(server_, "IOPCAsyncIO2", "Write");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !values || !cancelId || !errors) return E_INVALIDARG;
    if (!SinkAdvised(daCK_CALLBACK)) return CONNECT_E_NOCONNECTION;
    return QueueAsyncWrite(daRQ_WRITE | daRQ_DEVICE | daCK_CALLBACK, count, handles, values,
                           transactionId, cancelId, errors);
}

HRESULT STDMETHODCALLTYPE daGroup::Refresh2(OPCDATASOURCE source, DWORD transactionId,
                                            DWORD* cancelId) {
    daServer::Call call(server_, "IOPCAsyncIO2", "Refresh2");
    if (call.Result() != S_OK) return call.Result();
    if (!cancelId || !ValidSource(source)) return E_INVALIDARG;
    if (!SinkAdvised(daCK_CALLBACK)) return CONNECT_E_NOCONNECTION;
    return QueueRefresh(daRQ_REFRESH | DeviceBit(source) | daCK_CALLBACK, transactionId, cancelId);
}

HRESULT STDMETHODCALLTYPE daGroup::Cancel2(DWORD cancelId) {
    daServer::Call call(server_, "IOPCAsyncIO2", "Cancel2");
    if (call.Result() != S_OK) return call.Result();
    OPCHANDLE group = 0;
    {
        daSharedHold table(server_->GroupTable());
        group = serverHandle_;
    }
    const HRESULT cancelled =
        server_->Queue().CancelCallbackRequest(cancelId, server_->ClientNumber(), group);
    if (SUCCEEDED(cancelled)) server_->WakeScheduler();
    return cancelled;
}

HRESULT STDMETHODCALLTYPE daGroup::SetEnable(BOOL enable) {
    daServer::Call call(server_, "IOPCAsyncIO2", "SetEnable");
    if (call.Result() != S_OK) return call.Result();
    {
        std::lock_guard<std::mutex> lock(sinkLock_);
        if (!(advised_ & daCK_CALLBACK)) return CONNECT_E_NOCONNECTION;
        if (!enable) {
            enabled_ &= ~daCK_CALLBACK;
            return S_OK;
        }
        enabled_ |= daCK_CALLBACK;
    }
    server_->WakeScheduler();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::GetEnable(BOOL* enable) {
    daServer::Call call(server_, "IOPCAsyncIO2", "GetEnable");
    if (call.Result() != S_OK) return call.Result();
    if (!enable) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(sinkLock_);
    if (!(advised_ & daCK_CALLBACK)) return CONNECT_E_NOCONNECTION;
    *enable = (enabled_ & daCK_CALLBACK) ? TRUE : FALSE;
    return S_OK;
}

// Serving queued requests on the scheduler thread

void daGroup::ServeRequest(daRequest* request, std::vector<daDelivery>* out) {
    switch (request->Operation()) {
        case daRQ_CANCEL: {
            daDelivery delivery(this, daDelivery::CancelComplete, request->word & daRQ_CONNECTIONS,
                                ReportedTransaction(*request));
            {
                daSharedHold table(server_->GroupTable());
                delivery.groupClientHandle = clientHandle_;
            }
            out->push_back(std::move(delivery));
            request->result = S_OK;
            break;
        }
        case daRQ_READ:
            ServeRead(request, out);
            break;
        case daRQ_WRITE:
            ServeWrite(request, out);
            break;
        case daRQ_REFRESH:
            ServeRefresh(request, out);
            break;
        default:
            kvlog::Error(daLog(), "BAD REQUEST %x / %x", request->word, request->transactionId);
            request->result = E_FAIL;
            break;
    }
}

// Device reads are answered from the cache too (this system has no device-read source), also
// for inactive items.
void daGroup::ServeRead(daRequest* request, std::vector<daDelivery>* out) {
    const size_t count = request->itemHandles.size();
    const daCallerRecord caller = GroupCaller();
    const bool fromDevice = (request->word & daRQ_DEVICE) != 0;
    std::vector<OPCITEMSTATE> states(count);
    request->errors.assign(count, S_OK);
    OPCHANDLE groupClientHandle = 0;
    {
        daSharedHold table(server_->GroupTable());
        daSharedHold published(server_->Service()->lkPrim);
        groupClientHandle = clientHandle_;
        for (size_t i = 0; i < count; ++i) {
            ReadItem(caller, request->itemHandles[i], fromDevice, &states[i], &request->errors[i]);
        }
    }
    request->result = AnyFailed(request->errors);
    if (request->IsSynchronous()) {
        static_cast<daReadRequest*>(request)->states = std::move(states);
        return;
    }
    daDelivery delivery(this, daDelivery::ReadComplete, request->word & daRQ_CONNECTIONS,
                        ReportedTransaction(*request));
    delivery.groupClientHandle = groupClientHandle;
    for (size_t i = 0; i < count; ++i) {
        OPCITEMSTATE& state = states[i];
        delivery.Add(state.hClient, &state.vDataValue, state.wQuality, state.ftTimeStamp,
                     request->errors[i]);
    }
    out->push_back(std::move(delivery));
}

void daGroup::ServeWrite(daRequest* request, std::vector<daDelivery>* out) {
    daService* service = server_->Service();
    const unsigned count = static_cast<unsigned>(request->tags.size());
    std::vector<HRESULT> errors(count, S_OK);
    HRESULT masterError = S_OK;
    const daWriteCallback write = service->driver.write;
    const int handled =
        write ? write(&request->caller, count, request->tags.data(), request->values.data(),
                      errors.data(), &masterError, request->caller.locale)
              : 1;
    if (handled != 0) {
        errors.assign(count, S_OK);
        masterError = S_OK;
        daCacheWriteBack(service, request->caller, count, request->tags.data(),
                         request->values.data(), errors.data());
    }
    request->errors = errors;
    request->result = AnyFailed(errors) != S_OK || masterError != S_OK ? S_FALSE : S_OK;
    if (request->IsSynchronous()) return;

    daDelivery delivery(this, daDelivery::WriteComplete, request->word & daRQ_CONNECTIONS,
                        ReportedTransaction(*request));
    {
        daSharedHold table(server_->GroupTable());
        delivery.groupClientHandle = clientHandle_;
        for (unsigned i = 0; i < count; ++i) {
            const daItem* item = FindItem(request->itemHandles[i]);
            VARIANT empty;
            VariantInit(&empty);
            delivery.Add(item ? item->clientHandle : 0, &empty, 0, FILETIME{}, errors[i]);
        }
    }
    delivery.masterError = request->result;
    out->push_back(std::move(delivery));
}

bool daGroup::HasActiveReadableItem() const {
    const daService* service = server_->Service();
    return std::any_of(items_.begin(), items_.end(), [service](const auto& item) {
        return item && item->active && (service->tags[item->tagIndex].accessRights & OPC_READABLE);
    });
}

void daGroup::ServeRefresh(daRequest* request, std::vector<daDelivery>* out) {
    daDelivery delivery(this, daDelivery::DataChange, request->word & daRQ_CONNECTIONS,
                        ReportedTransaction(*request));
    {
        daSharedHold table(server_->GroupTable());
        delivery.groupClientHandle = clientHandle_;
        if (active_) {
            daSharedHold published(server_->Service()->lkPrim);
            DetectChanges(true, &delivery);
        }
    }
    // A refresh that the group's or its items' state left with nothing to report still
    // completes, with the error it would be refused with now.
    if (delivery.clientHandles.empty()) delivery.masterError = E_FAIL;
    request->result = S_OK;
    out->push_back(std::move(delivery));
}

// Writes the driver left to the service

void daCacheWriteBack(daService* service, const daCallerRecord& caller, unsigned count,
                      const daTagRef* tags, const VARIANT* values, HRESULT* errors) {
    FILETIME now{};
    if (service->driver.currentTime) service->driver.currentTime(&caller, &now);
    std::vector<VARIANT> converted(count);
    for (unsigned i = 0; i < count; ++i) {
        VariantInit(&converted[i]);
        const VARTYPE canonical = service->tags[tags[i].tagIndex].attributes->canonical.vt;
        VARIANT* source = const_cast<VARIANT*>(&values[i]);
        errors[i] = canonical == VT_EMPTY ? VariantCopy(&converted[i], source)
                                          : VariantChangeType(&converted[i], source,
                                                              caller.conversionFlags, canonical);
    }
    unsigned number = 0;
    {
        std::lock_guard<std::mutex> lock(service->lock);
        const bool stopping = service->pipe.state < 0;
        bool stored = false;
        for (unsigned i = 0; i < count; ++i) {
            if (FAILED(errors[i]) || stopping) {
                if (stopping) errors[i] = E_FAIL;
                continue;
            }
            errors[i] = OPC_S_CLAMP;
            daCacheValue& staged = service->staging[tags[i].tagIndex];
            // A device value waiting for the pipe is newer than what the client wrote.
            if (staged.tagIndex != 0) continue;
            VariantClear(&staged.value);
            staged.value = converted[i];
            VariantInit(&converted[i]);
            staged.timeStamp = now;
            staged.error = OPC_S_CLAMP;
            staged.quality = daQUALITY_LOCAL_OVERRIDE;
            staged.tagIndex = tags[i].tagIndex;
            stored = true;
        }
        if (stored) {
            service->pipe.state = 1;
            if (service->updateNumber == service->publishedNumber) ++service->updateNumber;
            if (service->updateNumber < 4) service->updateNumber = 4;
            number = service->updateNumber;
            service->pipe.wake.Set();
        }
    }
    for (VARIANT& value : converted)
        VariantClear(&value);
    // The write completes once readers of the cache see the value.
    if (number != 0) daCacheWaitTransfer(service, number);
}

}  // namespace opc
