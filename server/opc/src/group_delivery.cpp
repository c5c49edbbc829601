// The group's connections and what travels through them: the sinks (IOPCDataCallback through
// the connection point, IAdviseSink through IDataObject), change detection at the group's update
// rate, and the delivery of collected data.

#include "dagroup.h"
#include "dalog.h"
#include "daserver.h"
#include "dastream.h"
#include "opcconst.h"
#include "platform/codepage.h"

namespace opc {
namespace {

constexpr unsigned kDataKinds = daCK_DATATIME | daCK_DATA | daCK_CALLBACK;
constexpr DWORD kGoodQuality = 0xC0;
constexpr uint32_t kIdleWait = 0xFFFFF;  // ms; a group that cannot be due
constexpr size_t kStreamHeaderSize = sizeof(OPCGROUPHEADER);

bool IsAdviseSinkKind(unsigned kind) {
    return kind == daCK_WRITECOMPLETE || kind == daCK_DATATIME || kind == daCK_DATA;
}

// Position of an IAdviseSink kind in the sink table: write complete, data with time, data.
int AdviseSinkSlot(unsigned kind) {
    return kind == daCK_WRITECOMPLETE ? 0 : kind == daCK_DATATIME ? 1 : 2;
}

}  // namespace

// daDelivery

daDelivery::daDelivery(daGroup* target, Kind what, unsigned through, DWORD transaction)
    : group(target), kind(what), connections(through), transactionId(transaction) {
    if (group) group->HoldForScheduler();
}

daDelivery::daDelivery(daDelivery&& other) noexcept {
    *this = std::move(other);
}

daDelivery& daDelivery::operator=(daDelivery&& other) noexcept {
    if (this == &other) return *this;
    Clear();
    group = other.group;
    other.group = nullptr;
    kind = other.kind;
    connections = other.connections;
    transactionId = other.transactionId;
    groupClientHandle = other.groupClientHandle;
    masterQuality = other.masterQuality;
    masterError = other.masterError;
    clientHandles = std::move(other.clientHandles);
    values = std::move(other.values);
    qualities = std::move(other.qualities);
    timeStamps = std::move(other.timeStamps);
    errors = std::move(other.errors);
    other.values.clear();
    return *this;
}

daDelivery::~daDelivery() {
    Clear();
}

void daDelivery::Clear() {
    for (VARIANT& value : values)
        VariantClear(&value);
    values.clear();
    if (group) group->ReleaseFromScheduler();
    group = nullptr;
}

void daDelivery::Add(OPCHANDLE clientHandle, VARIANT* value, WORD quality,
                     const FILETIME& timeStamp, HRESULT error) {
    clientHandles.push_back(clientHandle);
    values.push_back(*value);
    VariantInit(value);
    qualities.push_back(quality);
    timeStamps.push_back(timeStamp);
    errors.push_back(error);
    if (quality < kGoodQuality) masterQuality = S_FALSE;
    if (error != S_OK) masterError = S_FALSE;
}

void daDelivery::Send() {
    if (!group) return;
    IOPCDataCallback* callback = nullptr;
    IAdviseSink* adviseSinks[3] = {};
    unsigned through = connections;
    {
        std::lock_guard<std::mutex> lock(group->sinkLock_);
        // SetEnable switches only the data changes of the update rate.
        if (kind == DataChange && transactionId == 0) through &= group->enabled_;
        through &= group->advised_;
        if (through & daCK_CALLBACK) {
            callback = group->callback_;
            callback->AddRef();
        }
        for (unsigned bit : {daCK_WRITECOMPLETE, daCK_DATATIME, daCK_DATA}) {
            const int slot = AdviseSinkSlot(bit);
            if (!(through & bit)) continue;
            adviseSinks[slot] = group->adviseSinks_[slot];
            adviseSinks[slot]->AddRef();
        }
    }
    if (callback) {
        SendCallback(callback);
        callback->Release();
    }
    for (unsigned bit : {daCK_WRITECOMPLETE, daCK_DATATIME, daCK_DATA}) {
        IAdviseSink* sink = adviseSinks[AdviseSinkSlot(bit)];
        if (!sink) continue;
        SendAdviseSink(sink, bit);
        sink->Release();
    }
}

// The callback's arrays are reference pointers on the wire: a completion that carries no item
// must still pass real (empty) arrays, or the proxy refuses the call and it never arrives.
template <typename T>
T* WireArray(std::vector<T>& array, T* none) {
    return array.empty() ? none : array.data();
}

void daDelivery::SendCallback(IOPCDataCallback* sink) {
    const DWORD count = static_cast<DWORD>(clientHandles.size());
    OPCHANDLE noHandle = 0;
    VARIANT noValue;
    VariantInit(&noValue);
    WORD noQuality = 0;
    FILETIME noTime = {};
    HRESULT noError = S_OK;
    OPCHANDLE* handles = WireArray(clientHandles, &noHandle);
    VARIANT* data = WireArray(values, &noValue);
    WORD* quality = WireArray(qualities, &noQuality);
    FILETIME* times = WireArray(timeStamps, &noTime);
    HRESULT* itemErrors = WireArray(errors, &noError);
    HRESULT result = S_OK;
    switch (kind) {
        case DataChange:
            result =
                sink->OnDataChange(transactionId, groupClientHandle, masterQuality, masterError,
                                   count, handles, data, quality, times, itemErrors);
            break;
        case ReadComplete:
            result =
                sink->OnReadComplete(transactionId, groupClientHandle, masterQuality, masterError,
                                     count, handles, data, quality, times, itemErrors);
            break;
        case WriteComplete:
            result = sink->OnWriteComplete(transactionId, groupClientHandle, masterError, count,
                                           handles, itemErrors);
            break;
        case CancelComplete:
            result = sink->OnCancelComplete(transactionId, groupClientHandle);
            break;
    }
    if (FAILED(result)) {
        kvlog::Error(daLog(), "%!l OnDataChange2(0x%X) FAILED", static_cast<uint32_t>(result),
                     static_cast<unsigned>(transactionId));
    }
}

void daDelivery::SendAdviseSink(IAdviseSink* sink, unsigned connection) {
    const bool writeComplete = connection == daCK_WRITECOMPLETE;
    if (writeComplete != (kind == WriteComplete) || kind == CancelComplete) return;
    const DWORD count = static_cast<DWORD>(clientHandles.size());
    HGLOBAL block = nullptr;
    if (writeComplete) {
        block = daStreamBuildWriteComplete(groupClientHandle, transactionId, masterError,
                                           clientHandles.data(), errors.data(), count);
    } else {
        std::vector<daStreamItem> items(count);
        for (DWORD i = 0; i < count; ++i) {
            items[i].clientHandle = clientHandles[i];
            items[i].value = values[i];  // borrowed; the builder copies it
            items[i].quality = qualities[i];
            items[i].timeStamp = timeStamps[i];
            items[i].error = errors[i];
        }
        // The stream has no item errors: its status tells the client to look at the qualities,
        // or carries the failure of a refresh that found nothing to report.
        const HRESULT status = FAILED(masterError)                            ? masterError
                               : masterError != S_OK || masterQuality != S_OK ? S_FALSE
                                                                              : S_OK;
        block = daStreamBuildData(groupClientHandle, transactionId, status, items.data(), count,
                                  connection == daCK_DATATIME);
    }
    if (!block) {
        kvlog::Error(daLog(), "%!L Trasaction %X ABORTED due gmem_alloc(%u)",
                     static_cast<unsigned>(transactionId), static_cast<unsigned>(count));
        return;
    }
    if (!writeComplete && count > 0 && GlobalSize(block) <= kStreamHeaderSize) {
        kvlog::Error(daLog(), "%!L Trasaction %X Failed due gmem_alloc(%u)",
                     static_cast<unsigned>(transactionId), static_cast<unsigned>(count));
    }
    UINT formats[3] = {};
    daClipboardFormats(group->server_->Service(), formats);
    FORMATETC format{};
    format.cfFormat = static_cast<CLIPFORMAT>(writeComplete                 ? formats[2]
                                              : connection == daCK_DATATIME ? formats[1]
                                                                            : formats[0]);
    format.dwAspect = DVASPECT_CONTENT;
    format.lindex = -1;
    format.tymed = TYMED_HGLOBAL;
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    sink->OnDataChange(&format, &medium);
    GlobalFree(block);
}

// Evaluation at the update rate

bool daGroup::Evaluate(uint32_t now, uint32_t aligned, uint32_t* timeToDue, daGroupAdvance* advance,
                       std::vector<daDelivery>* out) {
    *advance = daGroupAdvance{};
    unsigned kinds = 0;
    {
        std::lock_guard<std::mutex> lock(sinkLock_);
        kinds = advised_ & enabled_ & kDataKinds;
    }
    if (!active_ || kinds == 0) {
        // Its periods start when it can be due again, however long it was idle.
        timer_.dueBase = now;
        *timeToDue = kIdleWait;
        return false;
    }
    if (!daGroupDue(timer_, now, updateRate_)) {
        *timeToDue = daTimeToDue(timer_, now, updateRate_);
        return false;
    }
    // Takes its reference only when there is something to send: a release here, under the
    // group table, could end the group's last reference.
    daDelivery delivery(nullptr, daDelivery::DataChange, kinds, 0);
    delivery.groupClientHandle = clientHandle_;
    {
        daService* service = server_->Service();
        daSharedHold published(service->lkPrim);
        if (!evaluatedKnown_ || service->publishedNumber != lastEvaluated_) {
            lastEvaluated_ = service->publishedNumber;
            evaluatedKnown_ = true;
            DetectChanges(false, &delivery);
        }
    }
    if (!delivery.clientHandles.empty()) {
        delivery.group = this;
        HoldForScheduler();
        out->push_back(std::move(delivery));
    }
    *advance = daAdvanceGroup(&timer_, now, aligned, updateRate_);
    *timeToDue = daTimeToDue(timer_, now, updateRate_);
    return true;
}

void daGroup::DetectChanges(bool refresh, daDelivery* delivery) {
    daService* service = server_->Service();
    const daCallerRecord caller = GroupCaller();
    const bool sendAll = (server_->Flags() & daDF_SEND_ALL_UPDATES) != 0;
    for (auto& slot : items_) {
        daItem* item = slot.get();
        if (!item || !item->active) continue;
        const daTagEntry& tag = service->tags[item->tagIndex];
        if (!(tag.accessRights & OPC_READABLE)) continue;
        const long quality = static_cast<long>(tag.quality & 0xFFFF);
        bool collect = true;
        if (refresh || quality != item->lastQuality) {
            daRememberSent(&item->lastSent, tag.value);
        } else if (tag.updateNumber == item->lastUpdate) {
            collect = false;
        } else if (sendAll) {
            daRememberSent(&item->lastSent, tag.value);
        } else {
            collect =
                daValueChanged(&item->lastSent, tag.value, deadband_, tag.attributes->onePercent);
        }
        item->lastUpdate = tag.updateNumber;
        if (!collect) continue;
        item->lastQuality = quality;
        VARIANT value;
        VariantInit(&value);
        WORD reported = static_cast<WORD>(quality);
        HRESULT error = tag.error;
        const HRESULT converted =
            daItemValue(caller, tag, item->mode, item->requestedType, tag.value, &value);
        if (FAILED(converted)) {
            error = converted;
            if (reported & kGoodQuality) reported = 0;
        }
        delivery->Add(item->clientHandle, &value, reported, tag.timeStamp, error);
    }
}

// Sinks

HRESULT daGroup::AttachSink(unsigned kind, IUnknown* sink) {
    if (!sink) return E_POINTER;
    if (kind != daCK_CALLBACK && !IsAdviseSinkKind(kind)) return E_INVALIDARG;
    void* typed = nullptr;
    const IID& wanted = kind == daCK_CALLBACK ? IID_IOPCDataCallback : IID_IAdviseSink;
    if (FAILED(sink->QueryInterface(wanted, &typed)) || !typed) return CONNECT_E_CANNOTCONNECT;
    unsigned advised = 0;
    {
        std::lock_guard<std::mutex> lock(sinkLock_);
        if (!(advised_ & kind)) {
            if (kind == daCK_CALLBACK) {
                callback_ = static_cast<IOPCDataCallback*>(typed);
            } else {
                adviseSinks_[AdviseSinkSlot(kind)] = static_cast<IAdviseSink*>(typed);
            }
            typed = nullptr;
            advised_ |= kind;
            advised = advised_;
        }
    }
    if (typed) {
        static_cast<IUnknown*>(typed)->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    if (kind == daCK_WRITECOMPLETE) return S_OK;
    {
        daExclusiveHold table(server_->GroupTable());
        if ((advised & (daCK_DATATIME | daCK_DATA)) && (advised & daCK_CALLBACK)) {
            kvlog::Notice(daLog(),
                          "icpAdvise(%s/%x) IAdviseSink & IOPCDataCallback both are advised",
                          platform::Utf16ToCp1251(name_).c_str(), advised);
        }
        if (active_ && activeItems_ > 0) {
            timer_.refreshNow = true;
            ForgetEvaluated();
        }
    }
    // The scheduler plans its wait with this group from now on.
    server_->WakeScheduler();
    return S_OK;
}

HRESULT daGroup::UnadviseSink(unsigned kind, HRESULT notAdvised) {
    IUnknown* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(sinkLock_);
        if (!(advised_ & kind)) return notAdvised;
        if (kind == daCK_CALLBACK) {
            sink = callback_;
            callback_ = nullptr;
            enabled_ |= daCK_CALLBACK;  // a new connection starts enabled
        } else {
            sink = adviseSinks_[AdviseSinkSlot(kind)];
            adviseSinks_[AdviseSinkSlot(kind)] = nullptr;
        }
        advised_ &= ~kind;
    }
    sink->Release();
    return S_OK;
}

bool daGroup::SinkAdvised(unsigned kind) const {
    std::lock_guard<std::mutex> lock(sinkLock_);
    return (advised_ & kind) != 0;
}

void daGroup::UnadviseAll() {
    for (unsigned kind : {daCK_WRITECOMPLETE, daCK_DATATIME, daCK_DATA, daCK_CALLBACK}) {
        UnadviseSink(kind, S_OK);
    }
}

// IDataObject: the OPC DA 1.0 stream formats through IAdviseSink.

HRESULT STDMETHODCALLTYPE daGroup::DAdvise(FORMATETC* format, DWORD, IAdviseSink* sink,
                                           DWORD* connection) {
    daServer::Call call(server_, "IDataObject", "DAdvise");
    if (call.Result() != S_OK) return call.Result();
    if (!format || !sink || !connection) return E_INVALIDARG;
    UINT formats[3] = {};
    daClipboardFormats(server_->Service(), formats);
    unsigned kind = 0;
    if (format->cfFormat == formats[0]) kind = daCK_DATA;
    if (format->cfFormat == formats[1]) kind = daCK_DATATIME;
    if (format->cfFormat == formats[2]) kind = daCK_WRITECOMPLETE;
    if (kind == 0 || format->tymed != TYMED_HGLOBAL) return DV_E_FORMATETC;
    const HRESULT advised = AttachSink(kind, sink);
    if (SUCCEEDED(advised)) *connection = kind;
    return advised;
}

HRESULT STDMETHODCALLTYPE daGroup::DUnadvise(DWORD connection) {
    daServer::Call call(server_, "IDataObject", "DUnadvise");
    if (call.Result() != S_OK) return call.Result();
    if (!IsAdviseSinkKind(connection)) return OLE_E_NOCONNECTION;
    return UnadviseSink(connection, OLE_E_NOCONNECTION);
}

HRESULT STDMETHODCALLTYPE daGroup::GetData(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::GetDataHere(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::QueryGetData(FORMATETC*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (out) out->ptd = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** formats) {
    if (formats) *formats = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE daGroup::EnumDAdvise(IEnumSTATDATA** advises) {
    if (advises) *advises = nullptr;
    return OLE_E_ADVISENOTSUPPORTED;
}

// IConnectionPointContainer and IConnectionPoint: the one IOPCDataCallback connection.

HRESULT STDMETHODCALLTYPE daGroup::EnumConnectionPoints(IEnumConnectionPoints** points) {
    daServer::Call call(server_, "IConnectionPointContainer", "EnumConnectionPoints");
    if (call.Result() != S_OK) return call.Result();
    if (!points) return E_POINTER;
    *points =
        daEnumConnPointsCreate(Unknown(), server_->Tracker(), static_cast<IConnectionPoint*>(this));
    return *points ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE daGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    daServer::Call call(server_, "IConnectionPointContainer", "FindConnectionPoint");
    if (call.Result() != S_OK) return call.Result();
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(riid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    *point = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::GetConnectionInterface(IID* iid) {
    daServer::Call call(server_, "IConnectionPoint", "GetConnectionInterface");
    if (call.Result() != S_OK) return call.Result();
    if (!iid) return E_POINTER;
    *iid = IID_IOPCDataCallback;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
daGroup::GetConnectionPointContainer(IConnectionPointContainer** container) {
    daServer::Call call(server_, "IConnectionPoint", "GetConnectionPointContainer");
    if (call.Result() != S_OK) return call.Result();
    if (!container) return E_POINTER;
    *container = static_cast<IConnectionPointContainer*>(this);
    AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::Advise(IUnknown* sink, DWORD* cookie) {
    daServer::Call call(server_, "IConnectionPoint", "Advise");
    if (call.Result() != S_OK) return call.Result();
    if (!sink || !cookie) return E_POINTER;
    const HRESULT advised = AttachSink(daCK_CALLBACK, sink);
    if (SUCCEEDED(advised)) *cookie = daCK_CALLBACK;
    return advised;
}

HRESULT STDMETHODCALLTYPE daGroup::Unadvise(DWORD cookie) {
    daServer::Call call(server_, "IConnectionPoint", "Unadvise");
    if (call.Result() != S_OK) return call.Result();
    if (cookie != daCK_CALLBACK) return CONNECT_E_NOCONNECTION;
    return UnadviseSink(daCK_CALLBACK, CONNECT_E_NOCONNECTION);
}

HRESULT STDMETHODCALLTYPE daGroup::EnumConnections(IEnumConnections** connections) {
    if (connections) *connections = nullptr;
    return E_NOTIMPL;
}

}  // namespace opc
