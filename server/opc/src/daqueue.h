#pragma once
// A client's queue of requests for its scheduler thread: asynchronous reads, writes, refreshes
// and cancel notifications. Synchronous reads and writes use the same request record but are
// served on their caller's thread. Transaction ids are odd for requests that go to the device or
// the driver, even otherwise.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com.h"

#include "opc/dalocks.h"
#include "opcda.h"
#include "service.h"

namespace opc {

class daGroup;

// The request word: one operation, plus the device bit, the connection bits (through which
// connection the completion goes: 0x02, 0x04, 0x08, 0x10) and synchronous.
constexpr unsigned daRQ_DEVICE = 0x1;
constexpr unsigned daRQ_CONNECTIONS = 0x1E;
constexpr unsigned daRQ_OPERATION = 0xF00;
constexpr unsigned daRQ_CANCEL = 0x400;
constexpr unsigned daRQ_READ = 0x500;
constexpr unsigned daRQ_WRITE = 0x600;
constexpr unsigned daRQ_REFRESH = 0x700;
constexpr unsigned daRQ_IO = 0x400;     // shared by cancel, read, write and refresh
constexpr unsigned daRQ_SYNC = 0x1000;  // served on the caller's thread, with no completion

// Connection kinds (bits of a group's advise and enable masks and of the request word).
constexpr unsigned daCK_WRITECOMPLETE = 0x02;  // IAdviseSink, "OPCSTMFORMATWRITECOMPLETE"
constexpr unsigned daCK_DATATIME = 0x04;       // IAdviseSink, "OPCSTMFORMATDATATIME"
constexpr unsigned daCK_DATA = 0x08;           // IAdviseSink, "OPCSTMFORMATDATA"
constexpr unsigned daCK_CALLBACK = 0x10;       // IOPCDataCallback

// One request. The queue fills `transactionId`; everything else belongs to the client code that
// makes and serves it.
struct daRequest {
    unsigned word = 0;
    OPCHANDLE group = 0;  // the group's server handle
    // The group it is for, held (daGroup::HoldForScheduler) until the request ends: a group that
    // RemoveGroup unlisted while its client still holds it still completes what it accepted.
    daGroup* target = nullptr;
    unsigned clientNumber = 0;
    daCallerRecord caller;
    DWORD clientTransactionId = 0;
    DWORD transactionId = 0;
    std::vector<OPCHANDLE> itemHandles;  // server handles of the items
    std::vector<daTagRef> tags;
    std::vector<VARIANT> values;  // writes: the values to write; VariantClear'ed by ~daRequest
    std::vector<HRESULT> errors;
    HRESULT result = S_OK;

    daRequest() = default;
    daRequest(const daRequest&) = delete;
    daRequest& operator=(const daRequest&) = delete;
    ~daRequest();

    unsigned Operation() const { return word & daRQ_OPERATION; }
    bool IsSynchronous() const { return (word & daRQ_SYNC) != 0; }
};

class daRequestQueue {
public:
    // `limit`: queued requests carrying daRQ_IO that an asynchronous request may find.
    explicit daRequestQueue(unsigned limit);
    ~daRequestQueue();  // terminates
    daRequestQueue(const daRequestQueue&) = delete;
    daRequestQueue& operator=(const daRequestQueue&) = delete;

    // Appends an asynchronous request, which the queue then owns, and gives it its transaction
    // id. CONNECT_E_ADVISELIMIT when the limit is reached (the queue is then marked
    // overflowed) or the mark is set; E_FAIL while terminating. The caller then wakes the
    // scheduler.
    HRESULT Push(std::unique_ptr<daRequest> request, DWORD* transactionId);

    // The scheduler takes requests in order (null when none) and serves them with no lock of
    // the queue held. Taking one with daRQ_IO clears the overflow mark.
    std::unique_ptr<daRequest> Take();

    // IOPCAsyncIO::Cancel: removes the queued asynchronous request of that id, client and group
    // made through an IAdviseSink connection. E_FAIL when none is queued.
    HRESULT CancelAdviseSinkRequest(DWORD transactionId, unsigned clientNumber, OPCHANDLE group);
    // IOPCAsyncIO2::Cancel2: turns the queued IOPCDataCallback request of that id into a cancel
    // notification (operation daRQ_CANCEL, same id and group). E_FAIL when none is queued.
    HRESULT CancelCallbackRequest(DWORD transactionId, unsigned clientNumber, OPCHANDLE group);

    // From now on every request is refused; queued requests are destroyed.
    void Terminate();
    bool Empty();
    bool Overflowed();

    // The id the next one is counted from; lets tests reach the wrap-around.
    void RestartTransactionIds(DWORD lastIssued);

private:
    DWORD NextTransactionId(bool device);

    std::mutex mutex_;
    std::vector<std::unique_ptr<daRequest>> queue_;  // in order
    unsigned limit_;
    DWORD lastTransactionId_ = 0;
    bool overflowed_ = false;
    bool terminating_ = false;
};

}  // namespace opc
