// The group object: creation, reference counting, group state and its items.

#include "dagroup.h"

#include <algorithm>
#include <cmath>

#include "daaddress.h"
#include "daenum.h"
#include "dalog.h"
#include "daserver.h"
#include "opcconst.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace opc {

namespace {

bool ValidDeadband(float percent) {
    return std::isfinite(percent) && percent >= 0 && percent <= 100;
}

bool IsGroupInterface(REFIID riid) {
    return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCGroupStateMgt) ||
           IsEqualIID(riid, IID_IOPCPublicGroupStateMgt) || IsEqualIID(riid, IID_IOPCItemMgt) ||
           IsEqualIID(riid, IID_IOPCSyncIO) || IsEqualIID(riid, IID_IOPCAsyncIO) ||
           IsEqualIID(riid, IID_IOPCAsyncIO2) || IsEqualIID(riid, IID_IDataObject) ||
           IsEqualIID(riid, IID_IConnectionPointContainer) ||
           IsEqualIID(riid, IID_IConnectionPoint);
}

// The driver's verdict on a locale; accepted when it has no check.
bool LocaleAccepted(daServer* server, LCID locale) {
    daLocaleCheckCallback check = server->Service()->driver.localeCheck;
    if (!check) return true;
    daCallerRecord caller = server->Caller();
    caller.locale = locale;
    return check(&caller, locale) == 0;
}

// Fixed tag data (type, rights, attributes) never changes once a tag is registered.
const daTagEntry& Tag(daService* service, unsigned tagIndex) {
    return service->tags[tagIndex];
}

}  // namespace

daGroup::daGroup(daServer* server) : server_(server) {
    server_->Unknown()->AddRef();
    ++daObjectCount;
}

daGroup::~daGroup() {
    UnadviseAll();
    items_.clear();
    --daObjectCount;
    server_->Unknown()->Release();
}

HRESULT daGroup::Create(daServer* server, const WCHAR* name, BOOL active, DWORD requestedRate,
                        OPCHANDLE clientHandle, const LONG* timeBias, const FLOAT* percentDeadband,
                        LCID locale, daGroup** group, DWORD* revisedRate) {
    if (!group) return E_INVALIDARG;
    *group = nullptr;
    if (percentDeadband && !ValidDeadband(*percentDeadband)) return E_INVALIDARG;
    const DWORD rate = daReviseRate(server->Service()->driver, requestedRate);
    auto* made = new (std::nothrow) daGroup(server);
    if (!made) return E_OUTOFMEMORY;
    made->updateRate_ = rate;
    made->active_ = active != FALSE;
    made->clientHandle_ = clientHandle;
    made->deadband_ = percentDeadband ? *percentDeadband : 0.0f;
    made->locale_ = LocaleAccepted(server, locale) ? locale : server->Locale();
    made->timeBias_ = timeBias ? *timeBias : platform::TimeZoneBiasMinutes();
    made->timer_.dueBase = platform::TickCount();
    made->attached_ = true;
    const HRESULT attached = server->AttachGroup(made, name);
    if (FAILED(attached)) {
        made->attached_ = false;
        made->Release();
        return attached;
    }
    if (revisedRate) *revisedRate = rate;
    *group = made;
    return rate != requestedRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

IUnknown* daGroup::Unknown() {
    return static_cast<IOPCGroupStateMgt*>(this);
}

// The scheduler's holds count apart: a group only waiting for its data to go out or its
// requests to be served is not in use. That count rises after and falls before the reference,
// so a race errs on "in use".
bool daGroup::ReferencedByClient() const {
    return references_.load() - schedulerHolds_.load() > 1;
}

void daGroup::HoldForScheduler() {
    AddRef();
    ++schedulerHolds_;
}

void daGroup::ReleaseFromScheduler() {
    --schedulerHolds_;
    Release();
}

void daGroup::Detach() {
    attached_ = false;
}

void daGroup::Disconnect() {
    CoDisconnectObject(Unknown(), 0);
}

daCallerRecord daGroup::GroupCaller() const {
    daCallerRecord caller = server_->Caller();
    caller.locale = locale_;
    return caller;
}

daItem* daGroup::FindItem(OPCHANDLE handle) const {
    if (handle == 0 || handle > items_.size()) return nullptr;
    return items_[handle - 1].get();
}

OPCHANDLE daGroup::InsertItem(std::unique_ptr<daItem> item) {
    size_t position = freshFrom_;
    if (!freed_.empty()) {
        position = freed_.top();
        freed_.pop();
    } else {
        ++freshFrom_;
    }
    if (position >= items_.size()) {
        // Grows by a sixteenth, so large groups are not copied item by item.
        items_.resize(std::max(position + 1, items_.size() + items_.size() / 16));
    }
    if (item->active) ++activeItems_;
    items_[position] = std::move(item);
    return static_cast<OPCHANDLE>(position + 1);
}

void daGroup::RemoveItem(OPCHANDLE handle) {
    std::unique_ptr<daItem>& slot = items_[handle - 1];
    if (slot->active) --activeItems_;
    slot.reset();
    freed_.push(handle - 1);
}

void daGroup::RecountTable() {
    freed_ = {};
    activeItems_ = 0;
    freshFrom_ = items_.size();
    while (freshFrom_ > 0 && !items_[freshFrom_ - 1])
        --freshFrom_;
    for (size_t position = 0; position < freshFrom_; ++position) {
        if (!items_[position]) {
            freed_.push(position);
        } else if (items_[position]->active) {
            ++activeItems_;
        }
    }
}

// IUnknown

HRESULT STDMETHODCALLTYPE daGroup::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCGroupStateMgt)) {
        *object = static_cast<IOPCGroupStateMgt*>(this);
    } else if (IsEqualIID(riid, IID_IOPCPublicGroupStateMgt)) {
        *object = static_cast<IOPCPublicGroupStateMgt*>(this);
    } else if (IsEqualIID(riid, IID_IOPCItemMgt)) {
        *object = static_cast<IOPCItemMgt*>(this);
    } else if (IsEqualIID(riid, IID_IOPCSyncIO)) {
        *object = static_cast<IOPCSyncIO*>(this);
    } else if (IsEqualIID(riid, IID_IOPCAsyncIO)) {
        *object = static_cast<IOPCAsyncIO*>(this);
    } else if (IsEqualIID(riid, IID_IOPCAsyncIO2)) {
        *object = static_cast<IOPCAsyncIO2*>(this);
    } else if (IsEqualIID(riid, IID_IDataObject)) {
        *object = static_cast<IDataObject*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPoint)) {
        *object = static_cast<IConnectionPoint*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE daGroup::AddRef() {
    return ++references_;
}

ULONG STDMETHODCALLTYPE daGroup::Release() {
    // Another thread may end the group once the count is down, and the group's end may end the
    // server: nothing of the group is read after the decrement, and the server is held.
    daServer* const server = server_;
    server->Unknown()->AddRef();
    const ULONG left = --references_;
    if (left == 1) server->GroupUnreferenced();
    if (left == 0) {
        if (attached_) {
            kvlog::Error(daLog(), "Releasing of an ATTACHED group %p %p", static_cast<void*>(this),
                         static_cast<void*>(server));
        }
        delete this;
    }
    server->Unknown()->Release();
    return left;
}

// IOPCGroupStateMgt

HRESULT STDMETHODCALLTYPE daGroup::GetState(DWORD* updateRate, BOOL* active, LPWSTR* name,
                                            LONG* timeBias, FLOAT* percentDeadband, DWORD* locale,
                                            OPCHANDLE* clientGroup, OPCHANDLE* serverGroup) {
    daServer::Call call(server_, "IOPCGroupStateMgt", "GetState");
    if (call.Result() != S_OK) return call.Result();
    if (!updateRate || !active || !name || !timeBias || !percentDeadband || !locale ||
        !clientGroup || !serverGroup) {
        return E_INVALIDARG;
    }
    daSharedHold table(server_->GroupTable());
    *name = daCoTaskCopy(name_);
    if (!*name) return E_OUTOFMEMORY;
    *updateRate = updateRate_;
    *active = active_ ? TRUE : FALSE;
    *timeBias = timeBias_;
    *percentDeadband = deadband_;
    *locale = locale_;
    *clientGroup = clientHandle_;
    *serverGroup = serverHandle_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active,
                                            LONG* timeBias, FLOAT* percentDeadband, DWORD* locale,
                                            OPCHANDLE* clientGroup) {
    daServer::Call call(server_, "IOPCGroupStateMgt", "SetState");
    if (call.Result() != S_OK) return call.Result();
    HRESULT result = S_OK;
    bool wake = false;
    const bool localeAccepted = locale && LocaleAccepted(server_, *locale);
    {
        daExclusiveHold table(server_->GroupTable());
        if (requestedRate) {
            const DWORD rate = daReviseRate(server_->Service()->driver, *requestedRate);
            if (rate != *requestedRate) result = OPC_S_UNSUPPORTEDRATE;
            wake = rate < updateRate_;
            updateRate_ = rate;
        }
        if (revisedRate) *revisedRate = updateRate_;
        if (active && (*active != FALSE) != active_) {
            active_ = *active != FALSE;
            if (active_) {
                for (auto& item : items_) {
                    if (item) item->lastQuality = daQUALITY_UNREPORTED;
                }
                timer_.refreshNow = true;
                ForgetEvaluated();
                wake = true;
            }
        }
        if (timeBias) timeBias_ = *timeBias;
        if (percentDeadband) {
            if (ValidDeadband(*percentDeadband)) {
                deadband_ = *percentDeadband;
            } else {
                result = E_INVALIDARG;
            }
        }
        if (localeAccepted) locale_ = *locale;
        if (clientGroup) clientHandle_ = *clientGroup;
    }
    if (wake) server_->WakeScheduler();
    return result;
}

HRESULT STDMETHODCALLTYPE daGroup::SetName(LPCWSTR name) {
    daServer::Call call(server_, "IOPCGroupStateMgt", "SetName");
    if (call.Result() != S_OK) return call.Result();
    if (!name || !name[0]) return E_INVALIDARG;
    return server_->RenameGroup(this, name);
}

HRESULT STDMETHODCALLTYPE daGroup::CloneGroup(LPCWSTR name, REFIID riid, LPUNKNOWN* unknown) {
    daServer::Call call(server_, "IOPCGroupStateMgt", "CloneGroup");
    if (call.Result() != S_OK) return call.Result();
    if (!unknown) return E_INVALIDARG;
    *unknown = nullptr;
    if (!IsGroupInterface(riid)) return E_NOINTERFACE;

    DWORD rate = 0;
    OPCHANDLE clientHandle = 0;
    LONG timeBias = 0;
    FLOAT deadband = 0;
    LCID locale = 0;
    std::vector<std::unique_ptr<daItem>> items;
    {
        daSharedHold table(server_->GroupTable());
        rate = updateRate_;
        clientHandle = clientHandle_;
        timeBias = timeBias_;
        deadband = deadband_;
        locale = locale_;
        for (const auto& item : items_) {
            if (!item) {
                items.emplace_back();
                continue;
            }
            auto copy = std::make_unique<daItem>();
            copy->clientHandle = item->clientHandle;
            copy->tagIndex = item->tagIndex;
            copy->accessPathHandle = item->accessPathHandle;
            copy->requestedType = item->requestedType;
            copy->mode = item->mode;
            copy->active = item->active;
            copy->itemId = item->itemId;
            copy->accessPath = item->accessPath;
            copy->lastQuality = item->active ? daQUALITY_UNREPORTED : daQUALITY_OUT_OF_SERVICE;
            items.push_back(std::move(copy));
        }
    }
    daGroup* clone = nullptr;
    const HRESULT created = Create(server_, name, FALSE, rate, clientHandle, &timeBias, &deadband,
                                   locale, &clone, nullptr);
    if (FAILED(created)) return created;
    {
        daExclusiveHold table(server_->GroupTable());
        // The same positions, so the clone's server handles are the original's.
        clone->items_ = std::move(items);
        clone->RecountTable();
    }
    const HRESULT queried = clone->QueryInterface(riid, reinterpret_cast<void**>(unknown));
    clone->Release();
    return queried;
}

// IOPCPublicGroupStateMgt: groups are private only.

HRESULT STDMETHODCALLTYPE daGroup::GetState(BOOL* isPublic) {
    daServer::Call call(server_, "IOPCPublicGroupStateMgt", "GetState");
    if (call.Result() != S_OK) return call.Result();
    if (!isPublic) return E_INVALIDARG;
    *isPublic = FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::MoveToPublic() {
    daServer::Call call(server_, "IOPCPublicGroupStateMgt", "MoveToPublic");
    if (call.Result() != S_OK) return call.Result();
    return E_NOTIMPL;
}

// IOPCItemMgt

HRESULT daGroup::ValidateItem(const daCallerRecord& caller, const OPCITEMDEF& definition,
                              OPCITEMRESULT* result, std::unique_ptr<daItem>* item) {
    daService* service = server_->Service();
    unsigned tagIndex = 0;
    HRESULT hr =
        daLookupItemId(service, caller, definition.szItemID, definition.szAccessPath, &tagIndex);
    if (FAILED(hr)) return hr;
    hr = daCheckRequestedType(service, caller, tagIndex, definition.vtRequestedDataType);
    if (FAILED(hr)) return hr;
    const daTagEntry& tag = Tag(service, tagIndex);
    result->vtCanonicalDataType = tag.attributes->canonical.vt;
    result->dwAccessRights = tag.accessRights;
    if (!item) return S_OK;
    *item = std::unique_ptr<daItem>(new (std::nothrow) daItem);
    if (!*item) return E_OUTOFMEMORY;
    daItem& made = **item;
    made.clientHandle = definition.hClient;
    made.tagIndex = tagIndex;
    made.requestedType = definition.vtRequestedDataType;
    made.mode = daChooseConversionMode(tag, definition.vtRequestedDataType);
    made.active = definition.bActive != FALSE;
    made.lastQuality = made.active ? daQUALITY_UNREPORTED : daQUALITY_OUT_OF_SERVICE;
    made.itemId = daWideToU16(definition.szItemID);
    made.accessPath = daWideToU16(definition.szAccessPath);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE daGroup::AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                                            HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "AddItems");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !items || !results || !errors) return E_INVALIDARG;
    *results = daTaskArray<OPCITEMRESULT>(count);
    *errors = daTaskArray<HRESULT>(count);
    if (!*results || !*errors) {
        CoTaskMemFree(*results);
        CoTaskMemFree(*errors);
        *results = nullptr;
        *errors = nullptr;
        return E_OUTOFMEMORY;
    }
    const daCallerRecord caller = GroupCaller();
    std::vector<std::unique_ptr<daItem>> made(count);
    for (DWORD i = 0; i < count; ++i) {
        (*errors)[i] = ValidateItem(caller, items[i], &(*results)[i], &made[i]);
    }
    HRESULT result = S_OK;
    // In batches, so that the client's other calls and its scheduler get the table in between
    // however many items come.
    constexpr DWORD kItemsPerHold = 1024;
    for (DWORD first = 0; first < count; first += kItemsPerHold) {
        const DWORD end = std::min(count, first + kItemsPerHold);
        bool anyActive = false;
        daExclusiveHold table(server_->GroupTable());
        for (DWORD i = first; i < end; ++i) {
            if (FAILED((*errors)[i])) {
                result = S_FALSE;
                continue;
            }
            anyActive = anyActive || made[i]->active;
            (*results)[i].hServer = InsertItem(std::move(made[i]));
        }
        if (anyActive) ForgetEvaluated();
    }
    return result;
}

HRESULT STDMETHODCALLTYPE daGroup::ValidateItems(DWORD count, OPCITEMDEF* items, BOOL,
                                                 OPCITEMRESULT** results, HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "ValidateItems");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !items || !results || !errors) return E_INVALIDARG;
    *results = daTaskArray<OPCITEMRESULT>(count);
    *errors = daTaskArray<HRESULT>(count);
    if (!*results || !*errors) {
        CoTaskMemFree(*results);
        CoTaskMemFree(*errors);
        *results = nullptr;
        *errors = nullptr;
        return E_OUTOFMEMORY;
    }
    const daCallerRecord caller = GroupCaller();
    HRESULT result = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        (*errors)[i] = ValidateItem(caller, items[i], &(*results)[i], nullptr);
        if (FAILED((*errors)[i])) result = S_FALSE;
    }
    return result;
}

namespace {

// The per-handle part of RemoveItems, SetActiveState, SetClientHandles and SetDatatypes:
// `apply` gives each known item's result; unknown handles get OPC_E_INVALIDHANDLE.
template <typename Apply>
HRESULT ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Apply apply) {
    *errors = daTaskArray<HRESULT>(count);
    if (!*errors) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        (*errors)[i] = apply(i, handles[i]);
        if ((*errors)[i] != S_OK) result = S_FALSE;
    }
    return result;
}

}  // namespace

HRESULT STDMETHODCALLTYPE daGroup::RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "RemoveItems");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !errors) return E_INVALIDARG;
    daExclusiveHold table(server_->GroupTable());
    return ForEachHandle(count, handles, errors, [this](DWORD, OPCHANDLE handle) {
        if (!FindItem(handle)) return OPC_E_INVALIDHANDLE;
        RemoveItem(handle);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE daGroup::SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active,
                                                  HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "SetActiveState");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !errors) return E_INVALIDARG;
    const bool activate = active != FALSE;
    daExclusiveHold table(server_->GroupTable());
    return ForEachHandle(count, handles, errors, [this, activate](DWORD, OPCHANDLE handle) {
        daItem* item = FindItem(handle);
        if (!item) return OPC_E_INVALIDHANDLE;
        if (item->active == activate) return S_OK;
        item->active = activate;
        if (activate) {
            ++activeItems_;
            item->lastQuality = daQUALITY_UNREPORTED;
            ForgetEvaluated();
        } else {
            --activeItems_;
            item->lastQuality = daQUALITY_OUT_OF_SERVICE;
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE daGroup::SetClientHandles(DWORD count, OPCHANDLE* handles,
                                                    OPCHANDLE* clientHandles, HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "SetClientHandles");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !clientHandles || !errors) return E_INVALIDARG;
    daExclusiveHold table(server_->GroupTable());
    return ForEachHandle(count, handles, errors, [&](DWORD i, OPCHANDLE handle) {
        daItem* item = FindItem(handle);
        if (!item) return OPC_E_INVALIDHANDLE;
        item->clientHandle = clientHandles[i];
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE daGroup::SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types,
                                                HRESULT** errors) {
    daServer::Call call(server_, "IOPCItemMgt", "SetDatatypes");
    if (call.Result() != S_OK) return call.Result();
    if (count == 0 || !handles || !types || !errors) return E_INVALIDARG;
    daService* service = server_->Service();
    const daCallerRecord caller = GroupCaller();
    daExclusiveHold table(server_->GroupTable());
    return ForEachHandle(count, handles, errors, [&](DWORD i, OPCHANDLE handle) {
        daItem* item = FindItem(handle);
        if (!item) return OPC_E_INVALIDHANDLE;
        const HRESULT checked = daCheckRequestedType(service, caller, item->tagIndex, types[i]);
        if (FAILED(checked)) return checked;
        item->requestedType = types[i];
        item->mode = daChooseConversionMode(Tag(service, item->tagIndex), types[i]);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE daGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* unknown) {
    daServer::Call call(server_, "IOPCItemMgt", "CreateEnumerator");
    if (call.Result() != S_OK) return call.Result();
    if (!unknown) return E_INVALIDARG;
    *unknown = nullptr;
    if (!IsEqualIID(riid, IID_IEnumOPCItemAttributes)) return E_NOINTERFACE;
    daService* service = server_->Service();
    IEnumOPCItemAttributes* enumerator = nullptr;
    {
        daSharedHold table(server_->GroupTable());
        // Borrowed strings and VARIANTs: the enumerator copies them.
        std::vector<OPCITEMATTRIBUTES> attributes;
        for (size_t i = 0; i < items_.size(); ++i) {
            const daItem* item = items_[i].get();
            if (!item) continue;
            const daTagEntry& tag = Tag(service, item->tagIndex);
            OPCITEMATTRIBUTES entry{};
            entry.szAccessPath = const_cast<LPWSTR>(daU16ToWide(item->accessPath));
            entry.szItemID = const_cast<LPWSTR>(daU16ToWide(item->itemId));
            entry.bActive = item->active ? TRUE : FALSE;
            entry.hClient = item->clientHandle;
            entry.hServer = static_cast<OPCHANDLE>(i + 1);
            entry.dwAccessRights = tag.accessRights;
            entry.vtRequestedDataType = item->requestedType;
            entry.vtCanonicalDataType = tag.attributes->canonical.vt;
            entry.dwEUType = static_cast<OPCEUTYPE>(tag.attributes->euType);
            entry.vEUInfo = tag.attributes->euInfo;
            attributes.push_back(entry);
        }
        if (attributes.empty()) return S_FALSE;
        enumerator = daEnumItemAttributesCreate(Unknown(), server_->Tracker(), attributes);
    }
    if (!enumerator) return E_OUTOFMEMORY;
    *unknown = enumerator;
    return S_OK;
}

}  // namespace opc
