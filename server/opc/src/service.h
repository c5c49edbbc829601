#pragma once
// The service object as the rest of the layer (clients, groups, reads) sees it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "opc/dalocks.h"
#include "opc/daservice.h"

namespace opc {

// Attribute block of a tag; its wide name is stored behind it in the same allocation.
struct daAttributes {
    VARIANT canonical;  // VT_EMPTY: no fixed type
    unsigned euType;
    VARIANT euInfo;
    double onePercent;  // of the engineering range; the unit of the percent deadband
    const WCHAR* name;
};

// Published table entry; tagIndex 0 marks a free slot.
struct daTagEntry {
    VARIANT value;
    FILETIME timeStamp;
    HRESULT error;
    DWORD quality;
    unsigned updateNumber;
    unsigned tagIndex;
    uintptr_t driverHandle;
    daAttributes* attributes;
    const WCHAR* name;
    unsigned flags;
    unsigned accessRights;
};

// A client as the service keeps it; the client object carries one.
struct daClientLink {
    daClientLink* next = nullptr;
    unsigned number = 0;
    char logTag[17] = {};
    // Applies daClientSetState operation bits (stop, shutdown request, disconnect, ...).
    void (*applyState)(daClientLink* client, unsigned operation) = nullptr;
};

using daNameCompareFn = int (*)(const WCHAR* a, const WCHAR* b);
using daNameHashFn = uint16_t (*)(const WCHAR* name);

struct daService {
    daService* self = nullptr;
    daDriverRecord driver;
    daCallerRecord caller;

    unsigned tagCount = 0;
    daTagEntry* tags = nullptr;       // [0..tagCount]
    daCacheValue* staging = nullptr;  // [0..tagCount]; tagIndex is the pending mark
    uint16_t* hashes = nullptr;       // [0..tagCount]
    // The named tags of each hash, newest first, chained through nextOfHash; 0 ends a chain.
    // A lookup by name then costs the tags of its hash, not the whole table.
    unsigned* firstOfHash = nullptr;  // [65536]
    unsigned* nextOfHash = nullptr;   // [0..tagCount]
    unsigned highestUsed = 0;
    unsigned highestNamed = 0;
    unsigned lastFreeSearch = 1;

    unsigned updateNumber = 0;     // of the last commit
    unsigned publishedNumber = 0;  // last published by the pipe
    FILETIME driverTimes[2] = {};  // published, staged

    daClientLink* clients = nullptr;
    unsigned lastClientNumber = 0;
    int shutdownState = 0;  // 0 running, 1 waiting for clients to detach, -1 destroying

    std::mutex lock;  // clients, staging table, pipe state
    daThread pipe;    // its state is the pipe state, guarded by `lock`
    daRwLock lkMgmt;  // tag registry
    daRwLock lkPrim;  // published table
    daCondition lkTridWait;
    unsigned transferWaiters = 0;
    std::condition_variable transferWaitersGone;

    WCHAR branchSeparator = 0;
    daNameCompareFn compareNames = nullptr;
    daNameHashFn hashName = nullptr;
    UINT formats[3] = {};
};

// Objects and allocations of the layer still alive; logged when a service goes.
extern std::atomic<long> daAllocationCount;
extern std::atomic<long> daObjectCount;

// The update rate a group gets for the requested one (AddGroup, SetState).
unsigned daReviseRate(const daDriverRecord& driver, unsigned requestedMs);

// One allocation holding the block and a copy of the name; copies the VARIANTs given.
int daMakeAttributes(const VARIANT* canonical, unsigned euType, const VARIANT* euInfo,
                     double onePercent, const WCHAR* name, daAttributes** made);
void daFreeAttributes(daAttributes* attributes);

// True while `service` is a live service (and, with `running`, not shutting down).
bool daServiceIsLive(daService* service, bool running);

// Counts the caller among the waiters of daCacheWaitTransfer, which destruction waits out;
// false for a dead service.
bool daServiceEnterTransferWait(daService* service);

// Gives the client the next free number and lists it; 9 once shutdown has started.
int daServiceAttachClient(daService* service, daClientLink* client);
// Unlists the client; the last one to leave a service in shutdown frees the service.
void daServiceDetachClient(daService* service, daClientLink* client);
void daInternalServiceDestroy(daService* service);

}  // namespace opc
