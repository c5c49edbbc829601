#pragma once
// The OPC DA service: the tag registry and the two-stage value cache between the server core
// and the OPC clients. The core creates one service, registers its tags, then pushes values
// with daCacheUpdate; an update pipe thread publishes them for the clients.
//
// Plain operations return 0 or an errno number (the daE_ constants).

#include <cstdint>

#include "platform/com.h"

namespace opc {

constexpr int daE_NOENT = 2;    // no such entry
constexpr int daE_BADF = 9;     // not a live service, or shutdown started
constexpr int daE_AGAIN = 11;   // a thread could not be started
constexpr int daE_NOMEM = 12;   // out of memory
constexpr int daE_FAULT = 14;   // VARIANT copy or change failed
constexpr int daE_BUSY = 16;    // shutdown started but not finished; lock timeout
constexpr int daE_EXIST = 17;   // duplicate name; thread already started
constexpr int daE_INVAL = 22;   // invalid argument
constexpr int daE_MFILE = 24;   // an event of a lock or condition could not be created
constexpr int daE_MLINK = 31;   // tag table full
constexpr int daE_DEADLK = 36;  // a thread stop found another stop in progress

constexpr unsigned daDF_NO_FORCED_REMOVE = 0x8;
constexpr unsigned daDF_CASE_INSENSITIVE = 0x80;
constexpr unsigned daDF_SEND_ALL_UPDATES = 0x200;

// Tag flags the service sets itself.
constexpr unsigned daTF_DRIVER_CONVERSION = 0x800;
constexpr unsigned daTF_ASK_DRIVER = 0x1000;
constexpr unsigned daTF_NO_RANGE = 0x8000;

// Engineering-unit types (OPC_NOENUM, OPC_ANALOG, OPC_ENUMERATED).
constexpr unsigned daEU_NONE = 0;
constexpr unsigned daEU_ANALOG = 1;
constexpr unsigned daEU_ENUMERATED = 2;

// Quality and error of a tag that has not yet received a value.
constexpr DWORD daQUALITY_WAITING = 0x20;

struct daService;
class daServer;

// The first argument of every driver callback.
struct daCallerRecord {
    daService* service = nullptr;
    void* driverArgument = nullptr;
    daServer* client = nullptr;
    void* clientArgument = nullptr;
    LCID locale = 0;
    unsigned conversionFlags = 0;
};

struct daTagRef {
    unsigned tagIndex = 0;
    uintptr_t driverHandle = 0;
    uintptr_t accessPathHandle = 0;
};

// One element of the array handed to daCacheUpdate; tag index 0 skips it.
struct daCacheValue {
    VARIANT value;
    FILETIME timeStamp;
    HRESULT error;
    DWORD quality;
    unsigned tagIndex;
};

struct daVendorRecord {
    WORD major = 0;
    WORD minor = 0;
    WORD build = 0;
    WORD reserved = 0;
    const char* vendor = nullptr;
};

using daItemIdCallback = int (*)(const daCallerRecord* caller, const WCHAR* itemId,
                                 const WCHAR* accessPath, unsigned* tagIndex);
using daWriteCallback = int (*)(const daCallerRecord* caller, unsigned count, const daTagRef* tags,
                                VARIANT* values, HRESULT* itemErrors, HRESULT* masterError,
                                LCID locale);
using daDeviceReadCallback = int (*)(const daCallerRecord* caller, unsigned count,
                                     const daTagRef* tags, VARIANT* values, FILETIME* timeStamps,
                                     DWORD* qualities, HRESULT* errors);
using daConversionCallback = HRESULT (*)(const daCallerRecord* caller, const daTagRef* tag,
                                         VARIANT* result, const VARIANT* value, VARTYPE type);
using daActivationCallback = void (*)(const daCallerRecord* caller, int active, unsigned count,
                                      const daTagRef* tags);
using daAccessPathCallback = HRESULT (*)(const daCallerRecord* caller, const WCHAR* itemId,
                                         unsigned* count, WCHAR*** paths);
using daCurrentTimeCallback = void (*)(const daCallerRecord* caller, FILETIME* now);
// Writes at most `capacity` characters with the terminating zero and returns the length of the
// whole text; 0 makes the service use its own texts. A longer text is asked for again with room.
using daErrorTextCallback = unsigned (*)(const daCallerRecord* caller, HRESULT code, LCID locale,
                                         WCHAR* text, unsigned capacity);
using daLocaleListCallback = HRESULT (*)(const daCallerRecord* caller, DWORD* count,
                                         LCID** locales);
// Non-zero rejects the locale.
using daLocaleCheckCallback = int (*)(const daCallerRecord* caller, LCID locale);
using daPropertyCallback = HRESULT (*)(const daCallerRecord* caller, unsigned tagIndex,
                                       DWORD* count, DWORD** propertyIds);
using daPropertyValueCallback = HRESULT (*)(const daCallerRecord* caller, unsigned tagIndex,
                                            DWORD propertyId, VARIANT* value);
using daLookupCallback = HRESULT (*)(const daCallerRecord* caller, unsigned tagIndex,
                                     DWORD propertyId, WCHAR** itemId);

// What the driver gives daCreate; zeros take the defaults.
struct daDriverRecord {
    void* driverArgument = nullptr;
    unsigned rateGranularity = 0;  // ms
    unsigned minUpdateRate = 0;    // ms
    unsigned asyncQueueLimit = 0;
    unsigned flags = 0;
    char branchSeparator = 0;  // 0: flat namespace
    daItemIdCallback itemId = nullptr;
    daWriteCallback write = nullptr;
    daDeviceReadCallback deviceRead = nullptr;
    daConversionCallback conversion = nullptr;
    daActivationCallback activation = nullptr;
    daAccessPathCallback accessPath = nullptr;
    daCurrentTimeCallback currentTime = nullptr;
    daErrorTextCallback errorText = nullptr;
    daLocaleListCallback localeList = nullptr;
    daLocaleCheckCallback localeCheck = nullptr;
    daPropertyCallback properties = nullptr;
    daPropertyValueCallback propertyValue = nullptr;
    daLookupCallback lookupItemIds = nullptr;
};

// A published tag as readers see it.
struct daPublishedValue {
    VARIANT value;
    FILETIME timeStamp;
    HRESULT error;
    DWORD quality;
    unsigned updateNumber;
};

int daCreate(daService** result, const daDriverRecord* driver, unsigned tagCount);

int daAddTag(daService* service, unsigned* tagIndex, uintptr_t driverHandle, const char* name,
             const WCHAR* wideName, unsigned tagFlags, unsigned accessRights,
             const VARIANT* canonicalValue, unsigned euType, const VARIANT* euInfo,
             unsigned baseTag);
// An analog tag with the engineering range [low, high].
int daAddRealTag_a(daService* service, unsigned* tagIndex, uintptr_t driverHandle, const char* name,
                   unsigned tagFlags, unsigned accessRights, const VARIANT* canonicalValue,
                   double low, double high);

// The index of a registered name, compared as the service's flags say; 2 when unknown.
int daFindTag(daService* service, const WCHAR* name, unsigned* tagIndex);

// The new update number, or 0 when nothing could be committed.
unsigned daCacheUpdate(daService* service, unsigned count, const daCacheValue* values,
                       const FILETIME* driverTime);
// 1 once the pipe has published the update number, 0 when the service stops first, -1 for a
// dead service or a number below 4.
int daCacheWaitTransfer(daService* service, unsigned updateNumber);

// Copies the published entries of `count` tags, all under one shared hold of the published
// table, so they form one snapshot. The values are the caller's to clear.
int daReadPublished(daService* service, unsigned count, const unsigned* tagIndexes,
                    daPublishedValue* values);
// The update number the pipe published last (0 before the first publication).
unsigned daPublishedUpdateNumber(daService* service);

// Called with the release argument when a client object is finally released.
using daReleaseCallback = void (*)(void* argument);

// Client-creation flags accepted besides the low four bits.
constexpr unsigned daCF_FREE_THREADED_MARSHALER = 0x10000;
constexpr unsigned daCF_MULTITHREADED = 0x20000;
constexpr unsigned daCF_NOT_MULTITHREADED = 0x40000;

// Creates one daServer (one OPC connection) bound to the service and starts its scheduler.
// On success *client carries one reference, given up through its IUnknown (daClientUnknown):
// a class factory queries the interface asked for and releases that reference. With an outer
// IUnknown the object is aggregated and *inner receives its inner IUnknown instead.
int daClientCreate(daService* service, daServer** client, IUnknown* outer, IUnknown** inner,
                   unsigned clientFlags, const daVendorRecord* vendor, daReleaseCallback release,
                   void* releaseArgument);
// The client's own IUnknown (no reference added).
IUnknown* daClientUnknown(daServer* client);

// Operation bits of daClientSetState.
constexpr unsigned daCS_OPERATE = 0x01;
constexpr unsigned daCS_STOP = 0x02;
constexpr unsigned daCS_REQUEST_SHUTDOWN = 0x04;
constexpr unsigned daCS_DISCONNECT = 0x08;
constexpr unsigned daCS_TERMINATE = 0x10;

// Applies the operation bits to one client, or to every client when `client` is null. A
// non-zero state (OPCSERVERSTATE numbering) becomes the status GetStatus reports; a reason
// replaces the stored shutdown reason. 22 for bits of 32 or more, 9 for a dead or
// shutting-down service, 2 when no client matched.
int daClientSetState(daService* service, daServer* client, unsigned operation, unsigned state,
                     const WCHAR* reason);
int daClientSetStateA(daService* service, daServer* client, unsigned operation, unsigned state,
                      const char* reason);
// Scheduler load in percent of one client, or the maximum over all; 0 when there is none or it
// has not scheduled yet; -1 for a dead or shutting-down service.
int daClientBandwidth(daService* service, daServer* client);

// 0 when the service is gone, 16 when shutdown waits for clients to detach, 9 when it was
// called again or the pointer is not a live service.
int daServiceDestroy(daService* service);

// The numbers registered for the three OPC stream formats, in the order DATA, DATATIME,
// WRITECOMPLETE.
int daClipboardFormats(daService* service, UINT formats[3]);

// The system timer granularity the service uses, in ms.
unsigned daTimerGranularity();

// The name hash and compare the service uses with and without daDF_CASE_INSENSITIVE.
uint16_t daNameHash(const WCHAR* name);
uint16_t daNameHashNoCase(const WCHAR* name);
int daNameCompare(const WCHAR* a, const WCHAR* b);
int daNameCompareNoCase(const WCHAR* a, const WCHAR* b);

}  // namespace opc
