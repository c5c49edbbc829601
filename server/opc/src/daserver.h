#pragma once
// One OPC client connection: the server object with its groups, its shutdown connection point,
// its request queue and its scheduler thread, which evaluates the groups and delivers data.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The COM declarations come before the generated OPC headers.
#include "platform/com.h"
#include "service.h"

#include "daaddress.h"
#include "daenum.h"
#include "daqueue.h"
#include "daschedule.h"
#include "datext.h"
#include "opccomn.h"
#include "opcda.h"

namespace opc {

class daGroup;
struct daDelivery;

class daServer final : public IOPCServer,
                       public IOPCCommon,
                       public IOPCBrowseServerAddressSpace,
                       public IOPCItemProperties,
                       public IConnectionPointContainer,
                       public IConnectionPoint,
                       public daEnumTracker {
public:
    // The connection number of the one IOPCShutdown sink.
    static constexpr DWORD kShutdownCookie = 32;

    // Made by daClientCreate only; `outer` aggregates it.
    static int Create(daService* service, IUnknown* outer, unsigned clientFlags,
                      const daVendorRecord* vendor, daReleaseCallback release,
                      void* releaseArgument, daServer** made);

    // Every interface method of the server and its groups starts with one. While Result() is
    // S_OK the call counts as in progress, which termination waits out.
    class Call {
    public:
        Call(daServer* server, const char* interfaceName, const char* method);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        HRESULT Result() const { return result_; }

    private:
        daServer* server_;
        HRESULT result_;
    };

    daService* Service() const { return service_; }
    const daCallerRecord& Caller() const { return caller_; }
    const char* LogTag() const { return link_.logTag; }
    unsigned Flags() const { return flags_; }
    LCID Locale() const { return locale_.load(); }
    // The caller record with the client's current locale, for the driver's callbacks.
    daCallerRecord CallerWithLocale() const;
    IUnknown* Unknown() { return &inner_; }
    daEnumTracker* Tracker() { return this; }
    unsigned ClientNumber() const { return link_.number; }

    // Shared for lookups and evaluation, exclusive for add, remove and state changes.
    daRwLock& GroupTable() { return groupTable_; }
    // Lists the group under a unique name (generated when null or empty) and a fresh server
    // handle; the server then holds one reference on it.
    HRESULT AttachGroup(daGroup* group, const WCHAR* name);
    HRESULT RenameGroup(daGroup* group, const WCHAR* name);

    // Serialises the client's reads, writes and removals: the scheduler serving queued
    // requests, synchronous ones on their callers' threads. Bounded, and never held while a sink
    // is called, so a sink may call back and one that blocks holds up nothing else.
    class IoHold {
    public:
        IoHold(daServer* server, const char* what);
        ~IoHold();
        IoHold(const IoHold&) = delete;
        IoHold& operator=(const IoHold&) = delete;
        bool Held() const { return held_; }

    private:
        daServer* server_;
        bool held_;
    };

    daRequestQueue& Queue() { return *queue_; }
    void WakeScheduler();
    // The last update time GetStatus reports becomes now.
    void NoteDelivery();
    // The scheduler enters the multithreaded apartment; RemoveGroup takes the I/O hold.
    bool MultithreadedClient() const { return (flags_ & daCF_MULTITHREADED) != 0; }

    // daClientSetState for this client.
    void SetState(unsigned operation, unsigned state, const WCHAR* reason);
    // The scheduler load (daClientBandwidth): -1 before the first pass.
    int Bandwidth(uint32_t now) const;

    // IUnknown (delegating to the outer object when aggregated)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD requestedRate,
                                       OPCHANDLE clientGroup, LONG* timeBias,
                                       FLOAT* percentDeadband, DWORD locale, OPCHANDLE* serverGroup,
                                       DWORD* revisedRate, REFIID iid, LPUNKNOWN* unknown) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override;
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* unknown) override;
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** status) override;
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE serverGroup, BOOL force) override;
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid,
                                                    LPUNKNOWN* unknown) override;

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID locale) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* count, LCID** locales) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LPWSTR* text) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR name) override;

    // IOPCBrowseServerAddressSpace
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* type) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION direction,
                                                   LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType,
                                               DWORD accessRights, LPENUMSTRING* names) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR name, LPWSTR* itemId) override;
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR itemId, LPENUMSTRING* paths) override;

    // IOPCItemProperties
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR itemId, DWORD* count,
                                                       DWORD** propertyIds, LPWSTR** descriptions,
                                                       VARTYPE** dataTypes) override;
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR itemId, DWORD count, DWORD* propertyIds,
                                                VARIANT** values, HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* propertyIds,
                                            LPWSTR** newItemIds, HRESULT** errors) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // IConnectionPoint (IOPCShutdown)
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

    // daEnumTracker
    void EnumOpened(IUnknown* enumerator) override;
    void EnumClosed(IUnknown* enumerator) override;
    std::recursive_mutex& EnumLock() override { return enumLock_; }

    // A group is down to one reference: when it is listed, that is the server's, and a client
    // that went away without removing its groups leaves nothing behind. The caller holds one
    // reference of its own on the server meanwhile, and reads nothing of the group afterwards
    // (it may be gone).
    void GroupUnreferenced();

    static daServer* FromLink(daClientLink* link);

private:
    // The non-delegating IUnknown.
    struct Inner final : IUnknown {
        daServer* server = nullptr;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
    };
    // What the service keeps of the client.
    struct Link : daClientLink {
        daServer* server = nullptr;
    };

    daServer(daService* service, IUnknown* outer, unsigned clientFlags,
             const daVendorRecord* vendor, daReleaseCallback release, void* releaseArgument);
    ~daServer();

    HRESULT InnerQueryInterface(REFIID iid, void** object);
    ULONG InnerRelease();
    // A reference for the scheduler, unless the final release has already begun.
    bool TryAddRef();
    void FinalRelease();
    void Destroy();

    static void ApplyStateThunk(daClientLink* link, unsigned operation);
    bool StatusClosed() const;
    HRESULT ErrorString(HRESULT error, LCID locale, LPWSTR* text);

    // Scheduler thread (server_scheduler.cpp).
    static void SchedulerMain(void* server);
    void RunScheduler();
    bool WaitForWork(uint32_t timeoutMs);
    bool SchedulerStopRequested();
    void SendShutdownRequest();
    bool TerminateRequested();
    void Terminate();
    void DisconnectIfAsked();
    void ServeRequests(std::vector<daDelivery>* out);
    // Around every call of a client's sink; false (and no call) once the scheduler is told to
    // stop. A final release meanwhile leaves the end of the object to the scheduler.
    bool BeginCallout();
    void EndCallout();
    uint32_t EvaluateGroups(uint32_t now, uint32_t* lateness, std::vector<daDelivery>* out);
    std::vector<daGroup*> GroupSnapshot();  // each AddRef'ed

    // Under the group table.
    daGroup* FindGroupLocked(OPCHANDLE handle) const;
    daGroup* FindGroupByNameLocked(const std::u16string& name) const;
    HRESULT RemoveGroupNow(OPCHANDLE serverGroup, bool force);
    // Unlists every group and gives up the server's references on them.
    void UnlistAllGroups();
    // Only listed groups that their client no longer holds (and `callerReferences`) hold us:
    // then they are unlisted and released.
    void CheckOrphaned(unsigned callerReferences);
    bool OrphanedLocked(unsigned callerReferences);

    Inner inner_;
    IUnknown* outer_;  // the controlling IUnknown: the outer object or inner_
    std::atomic<ULONG> references_{1};
    IUnknown* freeThreadedMarshaler_ = nullptr;

    daService* service_;
    Link link_;
    daCallerRecord caller_;
    unsigned flags_;
    WORD versions_[4] = {};
    std::u16string vendorText_;
    daReleaseCallback release_;
    void* releaseArgument_;

    // Run marks, reported state, names, shutdown connection. Taken inside the service lock
    // (daClientSetState), so nothing holding it may take the service lock.
    mutable std::mutex lock_;
    std::condition_variable callsDone_;
    unsigned callsInProgress_ = 0;
    bool stopped_ = false;
    bool shutdownRequested_ = false;
    bool shutdownSent_ = false;
    bool terminating_ = false;
    bool disconnectPending_ = false;
    bool finalOnScheduler_ = false;  // guarded by scheduler_.lock, as callingOut_
    bool callingOut_ = false;
    std::atomic<bool> schedulerDone_{false};
    FILETIME startTime_ = {};
    FILETIME lastUpdate_ = {};
    unsigned status_ = 3;  // OPC_STATUS_NOCONFIG until told
    std::atomic<LCID> locale_{0};
    std::u16string clientName_;
    std::u16string shutdownReason_;
    IOPCShutdown* shutdownSink_ = nullptr;

    std::mutex browseLock_;
    daBrowsePosition browsePosition_;
    // Recursive: an enumerator's final release closes it under this lock.
    std::recursive_mutex enumLock_;
    std::vector<IUnknown*> enumerators_;

    daRwLock groupTable_;
    std::vector<daGroup*> groups_;  // listed groups in order of creation, one reference each
    std::atomic<size_t> listedGroups_{0};
    std::atomic<bool> orphanCheckPending_{false};
    OPCHANDLE lastGroupHandle_ = 0;
    unsigned long nameCounter_ = 0;

    // The I/O hold (a flag and a condition: the thread checker cannot follow timed mutexes).
    std::mutex ioLock_;
    std::condition_variable ioFree_;
    bool ioBusy_ = false;
    std::unique_ptr<daRequestQueue> queue_;
    daThread scheduler_;
    mutable std::mutex loadLock_;
    daLoadFigure load_;
    uint32_t previousAligned_ = 0;
};

}  // namespace opc
