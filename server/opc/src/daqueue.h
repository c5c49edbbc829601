#pragma once
// A client's queue of requests for its scheduler thread: asynchronous reads, writes, refreshes
// and cancel notifications, and the synchronous device reads and writes whose callers wait.
// Transaction ids are odd for requests that go to the device or the driver, even otherwise.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com.h"

#include "opc/dalocks.h"
#include "opcda.h"
#include "service.h"

namespace opc {

// The request word: one operation, plus the device bit, the connection bits (through which
// connection the completion goes: 0x02, 0x04, 0x08, 0x10), force and synchronous.
constexpr unsigned daRQ_DEVICE = 0x1;
constexpr unsigned daRQ_CONNECTIONS = 0x1E;
constexpr unsigned daRQ_FORCE = 0x20;
constexpr unsigned daRQ_OPERATION = 0xF00;
constexpr unsigned daRQ_ADVISE = 0x100;
constexpr unsigned daRQ_REMOVE_GROUP = 0x300;
constexpr unsigned daRQ_CANCEL = 0x400;
constexpr unsigned daRQ_READ = 0x500;
constexpr unsigned daRQ_WRITE = 0x600;
constexpr unsigned daRQ_REFRESH = 0x700;
constexpr unsigned daRQ_IO = 0x400;  // shared by cancel, read, write and refresh
constexpr unsigned daRQ_SYNC = 0x1000;

// Connection kinds (bits of a group's advise and enable masks and of the request word).
constexpr unsigned daCK_WRITECOMPLETE = 0x02;  // IAdviseSink, "OPCSTMFORMATWRITECOMPLETE"
constexpr unsigned daCK_DATATIME = 0x04;       // IAdviseSink, "OPCSTMFORMATDATATIME"
constexpr unsigned daCK_DATA = 0x08;           // IAdviseSink, "OPCSTMFORMATDATA"
constexpr unsigned daCK_CALLBACK = 0x10;       // IOPCDataCallback

// One request. The queue fills `transactionId` and, for synchronous requests, `result` and
// `done`; everything else belongs to the client code that makes and serves it.
struct daRequest {
    unsigned word = 0;
    OPCHANDLE group = 0;  // the group's server handle
    unsigned clientNumber = 0;
    daCallerRecord caller;
    DWORD clientTransactionId = 0;
    DWORD transactionId = 0;
    std::vector<OPCHANDLE> itemHandles;  // server handles of the items
    std::vector<daTagRef> tags;
    std::vector<VARIANT> values;  // writes: the values to write; VariantClear'ed by ~daRequest
    std::vector<HRESULT> errors;
    IUnknown* sink = nullptr;  // advise requests (a stream with the marshalled sink); released
    HRESULT result = S_OK;
    bool done = false;

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
    ~daRequestQueue();  // terminates: nothing may be queued or waiting by then
    daRequestQueue(const daRequestQueue&) = delete;
    daRequestQueue& operator=(const daRequestQueue&) = delete;

    // Appends an asynchronous request, which the queue then owns, and gives it its transaction
    // id. CONNECT_E_ADVISELIMIT when the limit is reached (the queue is then marked
    // overflowed) or the mark is set; E_FAIL while terminating. The caller then wakes the
    // scheduler.
    HRESULT Push(std::unique_ptr<daRequest> request, DWORD* transactionId);
    // Appends a synchronous request (never refused for the limit), calls `wake`, and waits
    // until the scheduler finishes it or the queue is terminated. The request stays the
    // caller's; the result is its `result` (E_FAIL when aborted).
    HRESULT PushAndWait(daRequest* request, void (*wake)(void* argument), void* wakeArgument);

    // The scheduler takes requests in order (nullptr when none) and serves them with no lock of
    // the queue held. Taking one with daRQ_IO clears the overflow mark.
    daRequest* Take();
    // Ends a taken request: a synchronous caller is woken with `result` and takes it back; an
    // asynchronous request is destroyed.
    void Finish(daRequest* request, HRESULT result);

    // IOPCAsyncIO::Cancel: removes the queued asynchronous request of that id, client and group
    // made through an IAdviseSink connection. E_FAIL when none is queued.
    HRESULT CancelAdviseSinkRequest(DWORD transactionId, unsigned clientNumber, OPCHANDLE group);
    // IOPCAsyncIO2::Cancel2: turns the queued IOPCDataCallback request of that id into a cancel
    // notification (operation daRQ_CANCEL, same id and group). E_FAIL when none is queued.
    HRESULT CancelCallbackRequest(DWORD transactionId, unsigned clientNumber, OPCHANDLE group);

    // From now on every request is refused; queued asynchronous requests are destroyed and
    // synchronous callers woken with E_FAIL.
    void Terminate();
    bool Empty();
    bool Overflowed();

    // The id the next one is counted from; lets tests reach the wrap-around.
    void RestartTransactionIds(DWORD lastIssued);

private:
    DWORD NextTransactionId(bool device);

    std::mutex mutex_;
    daCondition finished_;
    std::vector<daRequest*> queue_;  // in order; asynchronous ones owned
    unsigned limit_;
    DWORD lastTransactionId_ = 0;
    bool overflowed_ = false;
    bool terminating_ = false;
    unsigned waiting_ = 0;  // synchronous callers inside PushAndWait
    std::condition_variable waitersGone_;
};

}  // namespace opc
