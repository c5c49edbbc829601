// The server object: its COM identity and lifetime, IOPCServer, IOPCCommon and the IOPCShutdown
// connection point.

#include "daserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

#include "dagroup.h"
#include "dalog.h"
#include "opc/daregister.h"
#include "opcconst.h"
#include "platform/codepage.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace opc {
namespace {

constexpr unsigned kMaxNameTries = 1000;
constexpr DWORD kBandwidthUnknown = 0xFFFFFFFFu;
// Longer than a few driver writes (each waits up to 3 s for its channel).
constexpr uint32_t kIoWaitMs = 10000;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation and lifetime

daServer::daServer(daService* service, IUnknown* outer, unsigned clientFlags,
                   const daVendorRecord* vendor, daReleaseCallback release, void* releaseArgument)
    : outer_(outer ? outer : &inner_),
      service_(service),
      caller_(service->caller),
      flags_(service->driver.flags | clientFlags),
      release_(release),
      releaseArgument_(releaseArgument),
      queue_(std::make_unique<daRequestQueue>(service->driver.asyncQueueLimit)) {
    inner_.server = this;
    link_.server = this;
    link_.applyState = ApplyStateThunk;
    caller_.client = this;
    caller_.clientArgument = releaseArgument;
    if (vendor) {
        versions_[0] = vendor->major;
        versions_[1] = vendor->minor;
        versions_[2] = vendor->build;
        versions_[3] = vendor->reserved;
        vendorText_ = platform::Cp1251ToUtf16(vendor->vendor ? vendor->vendor : "");
    }
    std::snprintf(link_.logTag, sizeof link_.logTag, "[%03X:%03X]",
                  platform::CurrentProcessId() & 0xFFFFu,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this) & 0xFFFFu));
    service->driver.currentTime(&caller_, &startTime_);
    daThrInit(&scheduler_, nullptr);
    ++daObjectCount;
}

daServer::~daServer() {
    --daObjectCount;
}

int daServer::Create(daService* service, IUnknown* outer, unsigned clientFlags,
                     const daVendorRecord* vendor, daReleaseCallback release, void* releaseArgument,
                     daServer** made) {
    auto* server =
        new (std::nothrow) daServer(service, outer, clientFlags, vendor, release, releaseArgument);
    if (!server) return daE_NOMEM;
#ifdef _WIN32
    if ((clientFlags & daCF_FREE_THREADED_MARSHALER) &&
        FAILED(CoCreateFreeThreadedMarshaler(server->outer_, &server->freeThreadedMarshaler_))) {
        kvlog::Warning(daLog(), "%.16s CoCreateFreeThreadedMarshaler() FAILED", server->LogTag());
        server->freeThreadedMarshaler_ = nullptr;
    }
#endif
    int error = daServiceAttachClient(service, &server->link_);
    if (error == 0) {
        error = daThrStart(&server->scheduler_, SchedulerMain, server);
        if (error) {
            kvlog::Error(daLog(), "%!e %.16s daClientCreate() scheduler start FAILED", error,
                         server->LogTag());
            daServiceDetachClient(service, &server->link_);
        }
    }
    if (error) {
        if (server->freeThreadedMarshaler_) server->freeThreadedMarshaler_->Release();
        delete server;
        return error;
    }
    kvlog::Trace(daLog(), "%.16s daClientCreate(%p) client #%u fl=%x", server->LogTag(),
                 static_cast<void*>(server), server->ClientNumber(), server->flags_);
    *made = server;
    return 0;
}

daServer* daServer::FromLink(daClientLink* link) {
    return static_cast<Link*>(link)->server;
}

daCallerRecord daServer::CallerWithLocale() const {
    daCallerRecord caller = caller_;
    caller.locale = locale_.load();
    return caller;
}

HRESULT daServer::Inner::QueryInterface(REFIID iid, void** object) {
    return server->InnerQueryInterface(iid, object);
}
ULONG daServer::Inner::AddRef() {
    return ++server->references_;
}
ULONG daServer::Inner::Release() {
    return server->InnerRelease();
}

HRESULT daServer::QueryInterface(REFIID iid, void** object) {
    return outer_->QueryInterface(iid, object);
}
ULONG daServer::AddRef() {
    return outer_->AddRef();
}
ULONG daServer::Release() {
    return outer_->Release();
}

HRESULT daServer::InnerQueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    IUnknown* found = nullptr;
    if (iid == IID_IUnknown) {
        found = &inner_;
    } else if (iid == IID_IMarshal) {
        if (freeThreadedMarshaler_) return freeThreadedMarshaler_->QueryInterface(iid, object);
        return E_NOINTERFACE;
    } else if (StatusClosed()) {
        return E_NOINTERFACE;
    } else if (iid == IID_IOPCServer) {
        found = static_cast<IOPCServer*>(this);
    } else if (iid == IID_IOPCCommon) {
        found = static_cast<IOPCCommon*>(this);
    } else if (iid == IID_IOPCBrowseServerAddressSpace) {
        found = static_cast<IOPCBrowseServerAddressSpace*>(this);
    } else if (iid == IID_IOPCItemProperties) {
        found = static_cast<IOPCItemProperties*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
        found = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IConnectionPoint) {
        found = static_cast<IConnectionPoint*>(this);
    }
    if (!found) return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
}

bool daServer::TryAddRef() {
    ULONG count = references_.load();
    while (count != 0) {
        if (references_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
}

// Once the count is down, another thread may end the object at any moment: whatever this
// release still has to look at, it looks at while its own reference is held.
ULONG daServer::InnerRelease() {
    ULONG count = references_.load();
    for (;;) {
        const ULONG left = count - 1;
        // Only listed groups that the client no longer holds would keep the server: it went
        // away without removing them.
        if (left != 0 && left <= listedGroups_.load()) {
            CheckOrphaned(1);
            const ULONG remaining = --references_;
            if (remaining == 0) FinalRelease();
            return remaining;
        }
        // A failed exchange reloads the count, so a release racing this one into the
        // orphaned range still checks.
        if (references_.compare_exchange_weak(count, left)) {
            if (left == 0) FinalRelease();
            return left;
        }
    }
}

void daServer::FinalRelease() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopped_ = true;
    }
    {
        // On the scheduler's own stack, or while the scheduler waits for a sink (which may be
        // what releases us, from inside ShutdownRequest through another thread): joining it
        // would wait for ever, so it ends the object itself once its pass is over.
        std::lock_guard<std::mutex> lock(*scheduler_.lock);
        if (!schedulerDone_ && (callingOut_ || std::this_thread::get_id() == scheduler_.threadId)) {
            finalOnScheduler_ = true;
            scheduler_.state = -1;
            scheduler_.wake.Set();
            return;
        }
        // From here on no callout begins, so the join below waits for no client.
        if (!schedulerDone_) scheduler_.state = -1;
    }
    daThrStop(&scheduler_);
    Destroy();
}

void daServer::Destroy() {
    {
        daExclusiveHold hold(groupTable_);
        if (!groups_.empty()) {
            kvlog::Warning(daLog(), "%.16s Still unreleased %d groups", LogTag(),
                           static_cast<int>(groups_.size()));
            for (daGroup* group : groups_)
                group->Detach();
            groups_.clear();
            listedGroups_ = 0;
        }
    }
    {
        std::lock_guard<std::recursive_mutex> lock(enumLock_);
        if (!enumerators_.empty()) {
            kvlog::Warning(daLog(), "%.16s Some Enumerators left unreleased", LogTag());
        }
    }
    queue_->Terminate();
    if (shutdownSink_) shutdownSink_->Release();
    shutdownSink_ = nullptr;
    if (freeThreadedMarshaler_) freeThreadedMarshaler_->Release();
    freeThreadedMarshaler_ = nullptr;
    kvlog::Trace(daLog(), "%.16s Server released", LogTag());
    const daReleaseCallback release = release_;
    void* const argument = releaseArgument_;
    daService* const service = service_;
    // Detaching may free the service (the last client of one shutting down): nothing of it is
    // touched afterwards.
    daServiceDetachClient(service, &link_);
    delete this;
    if (release) release(argument);
}

bool daServer::OrphanedLocked(unsigned callerReferences) {
    if (groups_.empty() || references_.load() != groups_.size() + callerReferences) return false;
    for (daGroup* group : groups_) {
        if (group->ReferencedByClient()) return false;
    }
    std::lock_guard<std::recursive_mutex> lock(enumLock_);
    return enumerators_.empty();
}

void daServer::GroupUnreferenced() {
    if (references_.load() <= listedGroups_.load() + 1) CheckOrphaned(1);
}

// Try-locks: this runs inside releases, which may come from code holding the group table. When
// it is busy, the scheduler checks again after its pass.
void daServer::CheckOrphaned(unsigned callerReferences) {
    if (groupTable_.LockExclusive(0) != 0) {
        orphanCheckPending_ = true;
        WakeScheduler();
        return;
    }
    std::vector<daGroup*> groups;
    if (OrphanedLocked(callerReferences)) {
        groups.swap(groups_);
        listedGroups_ = 0;
    }
    groupTable_.UnlockExclusive();
    if (groups.empty()) return;
    kvlog::Warning(daLog(), "%.16s Still unreleased %d groups", LogTag(),
                   static_cast<int>(groups.size()));
    for (daGroup* group : groups)
        group->Detach();
    // The last of these releases may end the server: nothing of it is touched afterwards.
    for (daGroup* group : groups)
        group->Release();
}

// ---------------------------------------------------------------------------------------------
// Run state

daServer::Call::Call(daServer* server, const char* interfaceName, const char* method)
    : server_(server), result_(S_OK) {
    std::lock_guard<std::mutex> lock(server->lock_);
    if (server->stopped_ || server->terminating_) {
        result_ = E_UNEXPECTED;
        kvlog::Notice(daLog(), "%.16s Server::<%s> interface %s closed: va=%d st=%d sd=%d rc=%d",
                      server->LogTag(), method, interfaceName, server->terminating_ ? 0 : 1,
                      server->stopped_ ? 1 : 0, server->shutdownRequested_ ? 1 : 0,
                      static_cast<int>(server->references_.load()));
        return;
    }
    ++server->callsInProgress_;
}

daServer::Call::~Call() {
    if (result_ != S_OK) return;
    std::lock_guard<std::mutex> lock(server_->lock_);
    if (--server_->callsInProgress_ == 0) server_->callsDone_.notify_all();
}

// Stopped with a shutdown request pending: only IUnknown and IMarshal are answered.
bool daServer::StatusClosed() const {
    std::lock_guard<std::mutex> lock(lock_);
    return stopped_ && shutdownRequested_;
}

void daServer::ApplyStateThunk(daClientLink* link, unsigned operation) {
    FromLink(link)->SetState(operation, 0, nullptr);
}

// Only marks and a wake-up: this runs under the service lock, and disconnecting may release
// the client, which takes that lock. The scheduler does the work.
void daServer::SetState(unsigned operation, unsigned state, const WCHAR* reason) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (terminating_) return;
        if (state != 0) status_ = state;
        if (reason) shutdownReason_ = daWideToU16(reason);
        if (operation & daCS_DISCONNECT) disconnectPending_ = true;
        if (operation & daCS_OPERATE) {
            if (!(operation & daCS_STOP)) stopped_ = false;
            if (!(operation & daCS_REQUEST_SHUTDOWN)) shutdownRequested_ = false;
        }
        if (operation & daCS_STOP) stopped_ = true;
        if (operation & daCS_REQUEST_SHUTDOWN) {
            if (!shutdownRequested_) shutdownSent_ = false;
            shutdownRequested_ = true;
        }
        if (operation & daCS_TERMINATE) {
            stopped_ = true;
            terminating_ = true;
        }
    }
    WakeScheduler();
}

void daServer::WakeScheduler() {
    std::lock_guard<std::mutex> lock(*scheduler_.lock);
    if (scheduler_.state >= 0) scheduler_.state = 1;
    scheduler_.wake.Set();
}

daServer::IoHold::IoHold(daServer* server, const char* what) : server_(server), held_(false) {
    {
        std::unique_lock<std::mutex> lock(server->ioLock_);
        held_ = server->ioFree_.wait_for(lock, std::chrono::milliseconds(kIoWaitMs),
                                         [server] { return !server->ioBusy_; });
        if (held_) server->ioBusy_ = true;
    }
    if (!held_) {
        kvlog::Warning(daLog(), "%.16s %s gave up after %u ms waiting for the client's I/O",
                       server->LogTag(), what, static_cast<unsigned>(kIoWaitMs));
    }
}

daServer::IoHold::~IoHold() {
    if (!held_) return;
    {
        std::lock_guard<std::mutex> lock(server_->ioLock_);
        server_->ioBusy_ = false;
    }
    server_->ioFree_.notify_one();
}

void daServer::NoteDelivery() {
    FILETIME now{};
    service_->driver.currentTime(&caller_, &now);
    std::lock_guard<std::mutex> lock(lock_);
    lastUpdate_ = now;
}

int daServer::Bandwidth(uint32_t now) const {
    std::lock_guard<std::mutex> lock(loadLock_);
    const int load = load_.Load();
    if (load < 0) return -1;
    return daDecayedLoad(load, load_.LastPass(), now, daTimerGranularity());
}

// ---------------------------------------------------------------------------------------------
// Groups

daGroup* daServer::FindGroupLocked(OPCHANDLE handle) const {
    for (daGroup* group : groups_) {
        if (group->ServerHandle() == handle) return group;
    }
    return nullptr;
}

daGroup* daServer::FindGroupByNameLocked(const std::u16string& name) const {
    for (daGroup* group : groups_) {
        if (group->Name() == name) return group;
    }
    return nullptr;
}

HRESULT daServer::AttachGroup(daGroup* group, const WCHAR* name) {
    daExclusiveHold hold(groupTable_);
    std::u16string wanted = daWideToU16(name);
    if (wanted.empty()) {
        const unsigned long address = (reinterpret_cast<uintptr_t>(group) >> 5) & 0xFFFFFu;
        for (unsigned tries = 0; tries < kMaxNameTries && wanted.empty(); ++tries) {
            char made[40];
            std::snprintf(made, sizeof made, "G-%03lu.%lx", ++nameCounter_, address);
            std::u16string candidate = platform::Cp1251ToUtf16(made);
            if (!FindGroupByNameLocked(candidate)) wanted = std::move(candidate);
        }
        if (wanted.empty()) {
            kvlog::Error(daLog(), "%.16s Can not make unique name %lu", LogTag(), nameCounter_);
            return E_FAIL;
        }
    } else if (FindGroupByNameLocked(wanted)) {
        return OPC_E_DUPLICATENAME;
    }
    OPCHANDLE handle = lastGroupHandle_;
    do {
        handle = handle == 0xFFFFFFFFu ? 1 : handle + 1;
    } while (FindGroupLocked(handle));
    lastGroupHandle_ = handle;
    group->SetServerHandle(handle);
    group->SetName(std::move(wanted));
    group->AddRef();
    groups_.push_back(group);
    listedGroups_ = groups_.size();
    return S_OK;
}

HRESULT daServer::RenameGroup(daGroup* group, const WCHAR* name) {
    std::u16string wanted = daWideToU16(name);
    if (wanted.empty()) return E_INVALIDARG;
    daExclusiveHold hold(groupTable_);
    daGroup* holder = FindGroupByNameLocked(wanted);
    if (holder && holder != group) return OPC_E_DUPLICATENAME;
    group->SetName(std::move(wanted));
    return S_OK;
}

std::vector<daGroup*> daServer::GroupSnapshot() {
    daSharedHold hold(groupTable_);
    for (daGroup* group : groups_)
        group->AddRef();
    return groups_;
}

HRESULT daServer::RemoveGroupNow(OPCHANDLE serverGroup, bool force) {
    if (flags_ & daDF_NO_FORCED_REMOVE) force = false;
    daGroup* group = nullptr;
    bool inUse = false;
    {
        daExclusiveHold hold(groupTable_);
        auto found = std::find_if(groups_.begin(), groups_.end(), [&](daGroup* listed) {
            return listed->ServerHandle() == serverGroup;
        });
        if (found == groups_.end()) return OPC_E_INVALIDHANDLE;
        group = *found;
        inUse = group->ReferencedByClient();
        groups_.erase(found);
        listedGroups_ = groups_.size();
    }
    kvlog::Trace(daLog(), "%.16s RemoveGroup(%u%s)%s", LogTag(), static_cast<unsigned>(serverGroup),
                 force ? " forced" : "", inUse ? " in use" : "");
    group->Detach();
    if (inUse && force) group->Disconnect();
    group->Release();
    return inUse && !force ? OPC_S_INUSE : S_OK;
}

void daServer::UnlistAllGroups() {
    std::vector<daGroup*> groups;
    {
        daExclusiveHold hold(groupTable_);
        groups.swap(groups_);
        listedGroups_ = 0;
    }
    for (daGroup* group : groups)
        group->Detach();
    for (daGroup* group : groups)
        group->Release();
}

// ---------------------------------------------------------------------------------------------
// IOPCServer

HRESULT daServer::AddGroup(LPCWSTR name, BOOL active, DWORD requestedRate, OPCHANDLE clientGroup,
                           LONG* timeBias, FLOAT* percentDeadband, DWORD locale,
                           OPCHANDLE* serverGroup, DWORD* revisedRate, REFIID iid,
                           LPUNKNOWN* unknown) {
    Call call(this, "IOPCServer", "AddGroup");
    if (FAILED(call.Result())) return call.Result();
    if (!unknown) return E_INVALIDARG;
    *unknown = nullptr;
    daGroup* group = nullptr;
    DWORD revised = 0;
    const HRESULT created = daGroup::Create(this, name, active, requestedRate, clientGroup,
                                            timeBias, percentDeadband, locale, &group, &revised);
    if (FAILED(created)) return created;
    OPCHANDLE handle = 0;
    {
        daSharedHold hold(groupTable_);
        handle = group->ServerHandle();
    }
    const HRESULT queried = group->QueryInterface(iid, reinterpret_cast<void**>(unknown));
    group->Release();
    if (FAILED(queried)) {
        RemoveGroupNow(handle, true);
        return queried;
    }
    if (serverGroup) *serverGroup = handle;
    if (revisedRate) *revisedRate = revised;
    return created;
}

HRESULT daServer::ErrorString(HRESULT error, LCID locale, LPWSTR* text) {
    if (!text) return E_INVALIDARG;
    *text = nullptr;
    if (StatusClosed()) return E_UNEXPECTED;
    return daGetErrorString(CallerWithLocale(), service_->driver.errorText, error, locale, text);
}

HRESULT daServer::GetErrorString(HRESULT error, LCID locale, LPWSTR* text) {
    return ErrorString(error, locale, text);
}

HRESULT daServer::GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* unknown) {
    Call call(this, "IOPCServer", "GetGroupByName");
    if (FAILED(call.Result())) return call.Result();
    if (!unknown) return E_INVALIDARG;
    *unknown = nullptr;
    if (!name) return E_INVALIDARG;
    daGroup* group = nullptr;
    {
        daSharedHold hold(groupTable_);
        group = FindGroupByNameLocked(daWideToU16(name));
        if (group) group->AddRef();
    }
    if (!group) return E_INVALIDARG;
    const HRESULT queried = group->QueryInterface(iid, reinterpret_cast<void**>(unknown));
    group->Release();
    return queried;
}

HRESULT daServer::GetStatus(OPCSERVERSTATUS** status) {
    if (!status) return E_INVALIDARG;
    *status = nullptr;
    if (StatusClosed()) return E_UNEXPECTED;
    auto* made = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    WCHAR* vendor = daCoTaskCopy(vendorText_);
    if (!made || !vendor) {
        CoTaskMemFree(made);
        CoTaskMemFree(vendor);
        return E_OUTOFMEMORY;
    }
    *made = OPCSERVERSTATUS{};
    service_->driver.currentTime(&caller_, &made->ftCurrentTime);
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        made->ftStartTime = startTime_;
        made->ftLastUpdateTime = lastUpdate_;
        made->dwServerState = static_cast<OPCSERVERSTATE>(status_);
        stopped = stopped_;
    }
    {
        daSharedHold hold(groupTable_);
        made->dwGroupCount = static_cast<DWORD>(groups_.size());
    }
    const int load = stopped ? -1 : Bandwidth(platform::TickCount());
    made->dwBandWidth = load < 0 ? kBandwidthUnknown : static_cast<DWORD>(load);
    made->wMajorVersion = versions_[0];
    made->wMinorVersion = versions_[1];
    made->wBuildNumber = versions_[2];
    made->wReserved = versions_[3];
    made->szVendorInfo = vendor;
    *status = made;
    return S_OK;
}

HRESULT daServer::RemoveGroup(OPCHANDLE serverGroup, BOOL force) {
    Call call(this, "IOPCServer", "RemoveGroup");
    if (FAILED(call.Result())) return call.Result();
    if (!MultithreadedClient()) return RemoveGroupNow(serverGroup, force != FALSE);
    // On the caller's thread, which may be inside a callback of the scheduler.
    IoHold io(this, "RemoveGroup");
    if (!io.Held()) return E_FAIL;
    return RemoveGroupNow(serverGroup, force != FALSE);
}

HRESULT daServer::CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid, LPUNKNOWN* unknown) {
    Call call(this, "IOPCServer", "CreateGroupEnumerator");
    if (FAILED(call.Result())) return call.Result();
    if (!unknown) return E_INVALIDARG;
    *unknown = nullptr;
    if (scope < OPC_ENUM_PRIVATE_CONNECTIONS || scope > OPC_ENUM_ALL) return E_INVALIDARG;
    const bool publicOnly = scope == OPC_ENUM_PUBLIC || scope == OPC_ENUM_PUBLIC_CONNECTIONS;
    IUnknown* made = nullptr;
    if (iid == IID_IEnumUnknown) {
        std::vector<IUnknown*> objects;
        daSharedHold hold(groupTable_);
        if (!publicOnly) {
            for (daGroup* group : groups_)
                objects.push_back(group->Unknown());
        }
        made = daEnumUnknownCreate(Unknown(), this, objects);
    } else if (iid == IID_IEnumString) {
        std::vector<std::u16string> names;
        {
            daSharedHold hold(groupTable_);
            if (!publicOnly) {
                for (daGroup* group : groups_)
                    names.push_back(group->Name());
            }
        }
        made = daEnumStringCreate(Unknown(), this, std::move(names));
    } else {
        return E_NOINTERFACE;
    }
    if (!made) return E_OUTOFMEMORY;
    *unknown = made;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// IOPCCommon

HRESULT daServer::SetLocaleID(LCID locale) {
    Call call(this, "IOPCCommon", "SetLocaleID");
    if (FAILED(call.Result())) return call.Result();
    const daLocaleCheckCallback check = service_->driver.localeCheck;
    const bool rejected = check ? check(&caller_, locale) != 0 : (locale & 0xFFF00000u) != 0;
    if (rejected) return E_INVALIDARG;
    locale_ = locale;
    return S_OK;
}

HRESULT daServer::GetLocaleID(LCID* locale) {
    Call call(this, "IOPCCommon", "GetLocaleID");
    if (FAILED(call.Result())) return call.Result();
    if (!locale) return E_INVALIDARG;
    *locale = locale_.load();
    return S_OK;
}

HRESULT daServer::QueryAvailableLocaleIDs(DWORD* count, LCID** locales) {
    Call call(this, "IOPCCommon", "QueryAvailableLocaleIDs");
    if (FAILED(call.Result())) return call.Result();
    if (!count || !locales) return E_INVALIDARG;
    *count = 0;
    *locales = nullptr;
    if (service_->driver.localeList) {
        const daCallerRecord caller = CallerWithLocale();
        return service_->driver.localeList(&caller, count, locales);
    }
    auto* list = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    if (!list) return E_OUTOFMEMORY;
    list[0] = LOCALE_NEUTRAL;
    list[1] = LANG_ENGLISH;
    *count = 2;
    *locales = list;
    return S_OK;
}

HRESULT daServer::GetErrorString(HRESULT error, LPWSTR* text) {
    return ErrorString(error, locale_.load(), text);
}

HRESULT daServer::SetClientName(LPCWSTR name) {
    Call call(this, "IOPCCommon", "SetClientName");
    if (FAILED(call.Result())) return call.Result();
    if (!name) return E_INVALIDARG;
    std::u16string copy = daWideToU16(name);
    kvlog::Notice(daLog(), "%.16s Server::SetClientName(%s)", LogTag(),
                  platform::Utf16ToCp1251(copy).c_str());
    std::lock_guard<std::mutex> lock(lock_);
    clientName_ = std::move(copy);
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// IConnectionPointContainer and IConnectionPoint (IOPCShutdown)

HRESULT daServer::EnumConnectionPoints(IEnumConnectionPoints** points) {
    Call call(this, "IConnectionPointContainer", "EnumConnectionPoints");
    if (FAILED(call.Result())) return call.Result();
    if (!points) return E_POINTER;
    *points = daEnumConnPointsCreate(Unknown(), this, static_cast<IConnectionPoint*>(this));
    return *points ? S_OK : E_OUTOFMEMORY;
}

HRESULT daServer::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    Call call(this, "IConnectionPointContainer", "FindConnectionPoint");
    if (FAILED(call.Result())) return call.Result();
    if (!point) return E_POINTER;
    *point = nullptr;
    if (iid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
    AddRef();
    *point = this;
    return S_OK;
}

HRESULT daServer::GetConnectionInterface(IID* iid) {
    Call call(this, "IConnectionPoint", "GetConnectionInterface");
    if (FAILED(call.Result())) return call.Result();
    if (!iid) return E_POINTER;
    *iid = IID_IOPCShutdown;
    return S_OK;
}

HRESULT daServer::GetConnectionPointContainer(IConnectionPointContainer** container) {
    Call call(this, "IConnectionPoint", "GetConnectionPointContainer");
    if (FAILED(call.Result())) return call.Result();
    if (!container) return E_POINTER;
    AddRef();
    *container = this;
    return S_OK;
}

HRESULT daServer::Advise(IUnknown* sink, DWORD* cookie) {
    Call call(this, "IConnectionPoint", "Advise");
    if (FAILED(call.Result())) return call.Result();
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    IOPCShutdown* shutdown = nullptr;
    if (FAILED(sink->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&shutdown))) ||
        !shutdown) {
        return CONNECT_E_CANNOTCONNECT;
    }
    bool requestPending = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!shutdownSink_) {
            shutdownSink_ = shutdown;
            shutdown = nullptr;
            requestPending = shutdownRequested_ && !shutdownSent_;
        }
    }
    if (shutdown) {
        shutdown->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    *cookie = kShutdownCookie;
    if (requestPending) WakeScheduler();
    return S_OK;
}

HRESULT daServer::Unadvise(DWORD cookie) {
    Call call(this, "IConnectionPoint", "Unadvise");
    if (FAILED(call.Result())) return call.Result();
    IOPCShutdown* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (cookie == kShutdownCookie) std::swap(sink, shutdownSink_);
    }
    if (!sink) return CONNECT_E_NOCONNECTION;
    sink->Release();
    return S_OK;
}

HRESULT daServer::EnumConnections(IEnumConnections** connections) {
    if (connections) *connections = nullptr;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------------------------
// Enumerators

void daServer::EnumOpened(IUnknown* enumerator) {
    std::lock_guard<std::recursive_mutex> lock(enumLock_);
    enumerators_.push_back(enumerator);
}

void daServer::EnumClosed(IUnknown* enumerator) {
    std::lock_guard<std::recursive_mutex> lock(enumLock_);
    auto found = std::find(enumerators_.begin(), enumerators_.end(), enumerator);
    if (found != enumerators_.end()) enumerators_.erase(found);
}

}  // namespace opc
