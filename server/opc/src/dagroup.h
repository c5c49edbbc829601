#pragma once
// An OPC group of one client: its items, reads and writes, change detection and the delivery of
// data to the client's sinks. Item and state changes take the server's group table exclusively;
// lookups, reads and evaluation take it shared. Sinks and masks have a lock of their own, so a
// delivery can pick its sinks up with no group-table lock held.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "platform/com.h"

// The OPC types come after the COM ones, and before daqueue.h, which uses them.
#include "opcda.h"

#include "daqueue.h"
#include "daschedule.h"
#include "datext.h"
#include "davalue.h"
#include "service.h"

namespace opc {

class daServer;
class daGroup;

// One item of a group; its server handle is its position in the item table + 1.
struct daItem {
    OPCHANDLE clientHandle = 0;
    unsigned tagIndex = 0;
    uintptr_t accessPathHandle = 0;
    VARTYPE requestedType = VT_EMPTY;  // VT_EMPTY: the canonical type
    daConversionMode mode = daCM_RAW;
    bool active = false;
    std::u16string itemId;
    std::u16string accessPath;
    // Change detection, touched only by the scheduler thread (and by state changes, which hold
    // the group table exclusively).
    long lastQuality = -1;  // -1: nothing sent yet; 28 while inactive
    unsigned lastUpdate = 0;
    daLastSent lastSent;
};

constexpr long daQUALITY_UNREPORTED = -1;
constexpr WORD daQUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD daQUALITY_LOCAL_OVERRIDE = 0xD8;

// What one evaluation or served request produced; sent by Send() with no lock held. It keeps
// its group alive.
struct daDelivery {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete };

    daDelivery(daGroup* group, Kind kind, unsigned connections, DWORD transactionId);
    daDelivery(daDelivery&& other) noexcept;
    daDelivery& operator=(daDelivery&& other) noexcept;
    daDelivery(const daDelivery&) = delete;
    daDelivery& operator=(const daDelivery&) = delete;
    ~daDelivery();

    // Calls the sinks of `connections` (daCK_ bits) that are still advised.
    void Send();
    // Appends one item; `value` is moved in (left VT_EMPTY).
    void Add(OPCHANDLE clientHandle, VARIANT* value, WORD quality, const FILETIME& timeStamp,
             HRESULT error);

    daGroup* group = nullptr;  // one reference
    Kind kind = DataChange;
    unsigned connections = 0;
    DWORD transactionId = 0;
    OPCHANDLE groupClientHandle = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<OPCHANDLE> clientHandles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timeStamps;
    std::vector<HRESULT> errors;

private:
    void Clear();
    void SendCallback(IOPCDataCallback* sink);
    void SendAdviseSink(IAdviseSink* sink, unsigned connection);
};

// A synchronous device read: the scheduler fills the item states (and `errors`) here.
struct daReadRequest : daRequest {
    std::vector<OPCITEMSTATE> states;
    ~daReadRequest();
};

class daGroup final : public IOPCGroupStateMgt,
                      public IOPCPublicGroupStateMgt,
                      public IOPCItemMgt,
                      public IOPCSyncIO,
                      public IOPCAsyncIO,
                      public IOPCAsyncIO2,
                      public IDataObject,
                      public IConnectionPointContainer,
                      public IConnectionPoint {
public:
    // Validates the deadband, revises the rate, asks the locale check, defaults the time bias
    // and attaches the group to the server. S_OK or OPC_S_UNSUPPORTEDRATE with *group holding
    // one reference for the caller; on failure no group.
    static HRESULT Create(daServer* server, const WCHAR* name, BOOL active, DWORD requestedRate,
                          OPCHANDLE clientHandle, const LONG* timeBias,
                          const FLOAT* percentDeadband, LCID locale, daGroup** group,
                          DWORD* revisedRate);

    IUnknown* Unknown();
    // Guarded by the server's group table.
    OPCHANDLE ServerHandle() const { return serverHandle_; }
    void SetServerHandle(OPCHANDLE handle) { serverHandle_ = handle; }
    const std::u16string& Name() const { return name_; }
    void SetName(std::u16string name) { name_ = std::move(name); }

    // True while the client holds references beyond the server's own.
    bool ReferencedByClient() const;
    // The references of deliveries and queued requests, which do not count as the client's.
    void HoldForScheduler();
    void ReleaseFromScheduler();
    // The server unlisted the group; it answers its client until released.
    void Detach();
    // Cuts the group off its COM stubs (forced removal, client disconnect).
    void Disconnect();

    // Scheduler thread, under the group table shared: evaluates a due group. False (and only
    // the time to due) when it is inactive, has no advised and enabled data kind, or is not due.
    bool Evaluate(uint32_t now, uint32_t aligned, uint32_t* timeToDue, daGroupAdvance* advance,
                  std::vector<daDelivery>* out);
    // No lock held, under the client's I/O hold: read, write, refresh and cancel notification
    // requests, queued ones on the scheduler thread, synchronous ones on their caller's.
    // Sets request->result.
    void ServeRequest(daRequest* request, std::vector<daDelivery>* out);
    // Advise and DAdvise, on the caller's thread also with client flag 0x20000 (a sink may
    // advise from inside a callback): calls come in on the server's multithreaded apartment,
    // where the scheduler runs too, so the sink is used as given.
    HRESULT AttachSink(unsigned kind, IUnknown* sink);
    // Termination: drops every sink.
    void UnadviseAll();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD* updateRate, BOOL* active, LPWSTR* name,
                                       LONG* timeBias, FLOAT* percentDeadband, DWORD* locale,
                                       OPCHANDLE* clientGroup, OPCHANDLE* serverGroup) override;
    HRESULT STDMETHODCALLTYPE SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active,
                                       LONG* timeBias, FLOAT* percentDeadband, DWORD* locale,
                                       OPCHANDLE* clientGroup) override;
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR name, REFIID riid, LPUNKNOWN* unknown) override;

    // IOPCPublicGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(BOOL* isPublic) override;
    HRESULT STDMETHODCALLTYPE MoveToPublic() override;

    // IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                                       HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD count, OPCITEMDEF* items, BOOL blobUpdate,
                                            OPCITEMRESULT** results, HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD count, OPCHANDLE* handles,
                                          HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active,
                                             HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD count, OPCHANDLE* handles,
                                               OPCHANDLE* clientHandles, HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types,
                                           HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* unknown) override;

    // IOPCSyncIO
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles,
                                   OPCITEMSTATE** values, HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                    HRESULT** errors) override;

    // IOPCAsyncIO
    HRESULT STDMETHODCALLTYPE Read(DWORD connection, OPCDATASOURCE source, DWORD count,
                                   OPCHANDLE* handles, DWORD* transactionId,
                                   HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD connection, DWORD count, OPCHANDLE* handles,
                                    VARIANT* values, DWORD* transactionId,
                                    HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE Refresh(DWORD connection, OPCDATASOURCE source,
                                      DWORD* transactionId) override;
    HRESULT STDMETHODCALLTYPE Cancel(DWORD transactionId) override;

    // IOPCAsyncIO2
    HRESULT STDMETHODCALLTYPE Read(DWORD count, OPCHANDLE* handles, DWORD transactionId,
                                   DWORD* cancelId, HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                    DWORD transactionId, DWORD* cancelId,
                                    HRESULT** errors) override;
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE source, DWORD transactionId,
                                       DWORD* cancelId) override;
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD cancelId) override;
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL enable) override;
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* enable) override;

    // IDataObject
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink,
                                      DWORD* connection) override;
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** advises) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

    // IConnectionPoint (IOPCDataCallback)
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

private:
    friend struct daDelivery;

    explicit daGroup(daServer* server);
    ~daGroup();

    daCallerRecord GroupCaller() const;
    // With the group table held: the item of a server handle, or null.
    daItem* FindItem(OPCHANDLE handle) const;
    // A new item takes the lowest free position; removal frees its position for reuse.
    OPCHANDLE InsertItem(std::unique_ptr<daItem> item);
    void RemoveItem(OPCHANDLE handle);
    // After the table was replaced whole: its free positions and active items, counted anew.
    void RecountTable();
    // Items and the group report everything at the next pass.
    void ForgetEvaluated() { evaluatedKnown_ = false; }
    HRESULT ValidateItem(const daCallerRecord& caller, const OPCITEMDEF& definition,
                         OPCITEMRESULT* result, std::unique_ptr<daItem>* item);
    // Fills `errors` for unknown handles and missing rights; the others go into `request`.
    void CheckItems(DWORD count, const OPCHANDLE* handles, DWORD rights, daRequest* request,
                    std::vector<DWORD>* positions, HRESULT* errors);
    // Copies the values of the checked items into the request; an item whose value cannot be
    // copied gets the failure and leaves the request.
    void CopyWriteValues(const VARIANT* values, daRequest* request, std::vector<DWORD>* positions,
                         HRESULT* errors);
    HRESULT Queue(std::unique_ptr<daRequest> request, DWORD* transactionId);
    // A synchronous request, served on the caller's thread.
    HRESULT RunSynchronous(daRequest* request);
    // With the group table held: whether a refresh has anything to report.
    bool HasActiveReadableItem() const;
    HRESULT QueueAsyncRead(unsigned word, DWORD count, const OPCHANDLE* handles,
                           DWORD clientTransactionId, DWORD* transactionId, HRESULT** errors);
    HRESULT QueueAsyncWrite(unsigned word, DWORD count, const OPCHANDLE* handles,
                            const VARIANT* values, DWORD clientTransactionId, DWORD* transactionId,
                            HRESULT** errors);
    HRESULT QueueRefresh(unsigned word, DWORD clientTransactionId, DWORD* transactionId);
    HRESULT UnadviseSink(unsigned kind, HRESULT notAdvised);
    bool SinkAdvised(unsigned kind) const;
    // Reads on the group's behalf; with the group table and lkPrim held. Only cache reads
    // give inactive items the out-of-service quality.
    void ReadItem(const daCallerRecord& caller, OPCHANDLE handle, bool fromDevice,
                  OPCITEMSTATE* state, HRESULT* error) const;
    void ServeRead(daRequest* request, std::vector<daDelivery>* out);
    void ServeWrite(daRequest* request, std::vector<daDelivery>* out);
    void ServeRefresh(daRequest* request, std::vector<daDelivery>* out);
    // Change detection over the active items; with the group table and lkPrim held.
    void DetectChanges(bool refresh, daDelivery* delivery);

    // Group state; guarded by the server's group table.
    daServer* server_;
    OPCHANDLE serverHandle_ = 0;
    std::u16string name_;
    OPCHANDLE clientHandle_ = 0;
    DWORD updateRate_ = 0;
    bool active_ = false;
    float deadband_ = 0;
    std::atomic<LCID> locale_{0};  // also read with no lock, for caller records
    LONG timeBias_ = 0;
    std::vector<std::unique_ptr<daItem>> items_;  // position = server handle - 1; null: free
    // The free positions below freshFrom_, smallest on top; from freshFrom_ on all are free.
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> freed_;
    size_t freshFrom_ = 0;
    unsigned activeItems_ = 0;
    // Scheduler side: when it is due, and the update number it last evaluated.
    daGroupTimer timer_;
    unsigned lastEvaluated_ = 0;
    bool evaluatedKnown_ = false;

    // Sinks by connection kind, guarded by sinkLock_.
    mutable std::mutex sinkLock_;
    IOPCDataCallback* callback_ = nullptr;
    IAdviseSink* adviseSinks_[3] = {};  // write complete, data with time, data
    unsigned advised_ = 0;
    unsigned enabled_ = daCK_DATATIME | daCK_DATA | daCK_CALLBACK;

    std::atomic<ULONG> references_{1};
    std::atomic<ULONG> schedulerHolds_{0};  // of references_
    std::atomic<bool> attached_{false};
};

// Client writes that the driver left to the service (its write callback returned non-zero):
// each value is changed to its tag's canonical type and committed into the cache with the
// current time, error OPC_S_CLAMP and quality 0xD8; items report OPC_S_CLAMP, or the failing
// change's HRESULT. An item whose tag still has an uncommitted update is not stored.
void daCacheWriteBack(daService* service, const daCallerRecord& caller, unsigned count,
                      const daTagRef* tags, const VARIANT* values, HRESULT* errors);

}  // namespace opc
