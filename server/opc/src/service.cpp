// Service creation, the registry of live services, clients and shutdown.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "dalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "service.h"

namespace opc {

std::atomic<long> daAllocationCount{0};
std::atomic<long> daObjectCount{0};

void daUpdatePipe(void* argument);

namespace {

// A freed service is never read to learn that it is dead: liveness is this set.
std::mutex liveMutex;
std::set<daService*>& LiveServices() {
    static std::set<daService*> services;
    return services;
}

constexpr size_t kAlignment = alignof(std::max_align_t);
size_t Aligned(size_t size) {
    return (size + kAlignment - 1) / kAlignment * kAlignment;
}

std::once_flag granularityOnce;
unsigned granularityMs = 0;

void DetermineGranularity() {
    uint32_t increment = 0;
    if (!platform::ClockIncrement(&increment)) {
        granularityMs = 5;
        kvlog::Info(daLog(), "Timer granularity default %u.%04ums", 5u, 0u);
    } else if (increment > 0 && increment < 1000000) {
        granularityMs = std::max(1u, (increment + 5000) / 10000);
        kvlog::Info(daLog(), "Timer granularity determined %u.%04ums; use: %ums", increment / 10000,
                    increment % 10000, granularityMs);
    } else {
        granularityMs = 20;
        kvlog::Info(daLog(), "Timer granularity is suspicious %u.%04ums: Assume 20ms",
                    increment / 10000, increment % 10000);
    }
}

void SystemTimeNow(const daCallerRecord*, FILETIME* now) {
    uint64_t time = platform::SystemTimeAsFileTime();
    now->dwLowDateTime = static_cast<DWORD>(time);
    now->dwHighDateTime = static_cast<DWORD>(time >> 32);
}

void ApplyDriverDefaults(daService* service) {
    daDriverRecord& driver = service->driver;
    const unsigned granularity = daTimerGranularity();
    if (driver.rateGranularity == 0) driver.rateGranularity = granularity ? granularity : 16;
    if (driver.minUpdateRate == 0) driver.minUpdateRate = granularity > 9 ? granularity : 15;
    driver.minUpdateRate = std::max(driver.minUpdateRate, driver.rateGranularity);
    if (driver.asyncQueueLimit == 0) driver.asyncQueueLimit = 4;
    if ((driver.flags & 0x3) == 0x3) driver.flags &= ~0x3u;
    const bool noCase = (driver.flags & daDF_CASE_INSENSITIVE) != 0;
    service->compareNames = noCase ? daNameCompareNoCase : daNameCompare;
    service->hashName = noCase ? daNameHashNoCase : daNameHash;
    if (!driver.currentTime) driver.currentTime = SystemTimeNow;

    const unsigned char byte = static_cast<unsigned char>(driver.branchSeparator);
    if (byte != 0) {
        std::u16string wide = platform::Cp1251ToUtf16(std::string(1, driver.branchSeparator));
        service->branchSeparator = wide.size() == 1 ? static_cast<WCHAR>(wide[0]) : 0;
    }
    kvlog::Info(daLog(), "Branch Separator = \\x%02X <%c>\\x%02X", byte,
                service->branchSeparator ? byte : ' ',
                static_cast<unsigned>(service->branchSeparator));
}

// The published entry of index 0 stands for "no tag": a typeless, nameless attribute block.
bool MakeEmptyTagZero(daService* service) {
    const WCHAR noName[1] = {0};
    return daMakeAttributes(nullptr, daEU_NONE, nullptr, 0, noName, &service->tags[0].attributes) ==
           0;
}

void ClearTables(daService* service) {
    for (unsigned i = 0; i <= service->tagCount; ++i) {
        daTagEntry& tag = service->tags[i];
        tag = daTagEntry{};
        VariantInit(&tag.value);
        daCacheValue& staged = service->staging[i];
        staged = daCacheValue{};
        VariantInit(&staged.value);
        service->hashes[i] = 0;
        service->nextOfHash[i] = 0;
    }
}

void FreeTables(daService* service) {
    for (unsigned i = 0; i <= service->tagCount; ++i) {
        daTagEntry& tag = service->tags[i];
        VariantClear(&tag.value);
        VariantClear(&service->staging[i].value);
        if (tag.attributes) daFreeAttributes(tag.attributes);
        tag.attributes = nullptr;
    }
}

}  // namespace

unsigned daTimerGranularity() {
    std::call_once(granularityOnce, DetermineGranularity);
    return granularityMs;
}

// Rounding stops past 20 granules: a slow rate is kept as asked.
unsigned daReviseRate(const daDriverRecord& driver, unsigned requestedMs) {
    if (requestedMs <= driver.minUpdateRate) return driver.minUpdateRate;
    const unsigned rate = std::min(requestedMs, 0x3FFFFFFFu);
    const unsigned granules = (rate + driver.rateGranularity - 1) / driver.rateGranularity;
    return granules > 20 ? rate : granules * driver.rateGranularity;
}

bool daServiceIsLive(daService* service, bool running) {
    std::lock_guard<std::mutex> live(liveMutex);
    if (!service || LiveServices().count(service) == 0 || service->self != service) return false;
    if (!running) return true;
    std::lock_guard<std::mutex> lock(service->lock);
    return service->shutdownState == 0;
}

bool daServiceEnterTransferWait(daService* service) {
    std::lock_guard<std::mutex> live(liveMutex);
    if (!service || LiveServices().count(service) == 0) return false;
    std::lock_guard<std::mutex> lock(service->lock);
    ++service->transferWaiters;
    return true;
}

int daCreate(daService** result, const daDriverRecord* driver, unsigned tagCount) {
    if (result) *result = nullptr;
    if (!result || !driver || tagCount == 0 || tagCount == 0xFFFFFFFFu) return daE_INVAL;

    const uint64_t entries = uint64_t{tagCount} + 1;
    constexpr uint64_t kHashes = uint64_t{1} << 16;
    const uint64_t size = Aligned(sizeof(daService)) + entries * sizeof(daTagEntry) +
                          entries * sizeof(daCacheValue) + (kHashes + entries) * sizeof(unsigned) +
                          entries * sizeof(uint16_t);
    void* block = size <= SIZE_MAX ? std::malloc(static_cast<size_t>(size)) : nullptr;
    if (!block) {
        kvlog::Error(daLog(), "daCreate(%u) requested size = %llud FAILED", tagCount,
                     static_cast<unsigned long long>(size));
        return daE_NOMEM;
    }
    auto* service = new (block) daService;
    auto* tables = static_cast<char*>(block) + Aligned(sizeof(daService));
    service->tags = reinterpret_cast<daTagEntry*>(tables);
    service->staging = reinterpret_cast<daCacheValue*>(tables + entries * sizeof(daTagEntry));
    char* chains = tables + entries * sizeof(daTagEntry) + entries * sizeof(daCacheValue);
    service->firstOfHash = reinterpret_cast<unsigned*>(chains);
    service->nextOfHash = service->firstOfHash + kHashes;
    service->hashes = reinterpret_cast<uint16_t*>(service->nextOfHash + entries);
    std::fill_n(service->firstOfHash, kHashes, 0u);
    service->tagCount = tagCount;
    service->driver = *driver;
    service->caller.service = service;
    service->caller.driverArgument = driver->driverArgument;
    if (!daLogOpen()) kvlog::Warning(nullptr, "KVLOG initialization missed...");

    ApplyDriverDefaults(service);
    ClearTables(service);
    service->self = service;
    {
        std::lock_guard<std::mutex> live(liveMutex);
        LiveServices().insert(service);
    }
    int error = 0;
    if (!MakeEmptyTagZero(service)) {
        kvlog::Error(daLog(), "daCreate(%u) taDetail FAILED", tagCount);
        error = daE_NOMEM;
    } else {
        daThrInit(&service->pipe, &service->lock);
        error = daThrStart(&service->pipe, daUpdatePipe, service);
        if (error) kvlog::Error(daLog(), "daCreate()::daThr_start FAILED");
    }
    if (error) {
        kvlog::Error(daLog(), "%!e daCreate(%u) failed", error, tagCount);
        daServiceDestroy(service);
        return error;
    }

    service->formats[0] = RegisterClipboardFormatA("OPCSTMFORMATDATA");
    service->formats[1] = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    service->formats[2] = RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE");
    *result = service;
    return 0;
}

int daClipboardFormats(daService* service, UINT formats[3]) {
    if (!daServiceIsLive(service, false)) return daE_BADF;
    std::copy(service->formats, service->formats + 3, formats);
    return 0;
}

int daServiceAttachClient(daService* service, daClientLink* client) {
    if (!daServiceIsLive(service, false)) return daE_BADF;
    std::lock_guard<std::mutex> lock(service->lock);
    if (service->shutdownState != 0) return daE_BADF;
    auto inUse = [service](unsigned number) {
        for (daClientLink* c = service->clients; c; c = c->next)
            if (c->number == number) return true;
        return false;
    };
    unsigned number = service->lastClientNumber;
    do {
        number = number == 0xFFFFFFFFu ? 1 : number + 1;
    } while (inUse(number));
    service->lastClientNumber = number;
    client->number = number;
    client->next = service->clients;
    service->clients = client;
    return 0;
}

void daServiceDetachClient(daService* service, daClientLink* client) {
    {
        std::lock_guard<std::mutex> lock(service->lock);
        for (daClientLink** link = &service->clients; *link; link = &(*link)->next) {
            if (*link == client) {
                *link = client->next;
                client->next = nullptr;
                break;
            }
        }
        if (service->shutdownState != 1 || service->clients) return;
        service->shutdownState = -1;
    }
    kvlog::Trace(daLog(), "%.16s going down", client->logTag);
    service->lkTridWait.Broadcast();
    daInternalServiceDestroy(service);
}

int daServiceDestroy(daService* service) {
    if (!daServiceIsLive(service, false)) return daE_BADF;
    {
        std::lock_guard<std::mutex> lock(service->lock);
        if (service->shutdownState != 0) {
            kvlog::Warning(daLog(), "daServiceDestroy(%p) shutdown started again",
                           static_cast<void*>(service));
            return daE_BADF;
        }
        if (service->clients) {
            service->shutdownState = 1;
            for (daClientLink* client = service->clients; client; client = client->next) {
                client->applyState(client, daCS_STOP | daCS_REQUEST_SHUTDOWN | daCS_DISCONNECT);
            }
            kvlog::Notice(daLog(), "daServiceDestroy(%p) shutdown started",
                          static_cast<void*>(service));
            return daE_BUSY;
        }
        service->shutdownState = -1;
    }
    service->lkTridWait.Broadcast();
    daInternalServiceDestroy(service);
    return 0;
}

void daInternalServiceDestroy(daService* service) {
    {
        std::lock_guard<std::mutex> live(liveMutex);
        LiveServices().erase(service);
        service->self = nullptr;
    }
    const int stopped = daThrStop(&service->pipe);
    {
        // Waiters of daCacheWaitTransfer see the stop and leave before the memory goes.
        std::unique_lock<std::mutex> lock(service->lock);
        service->lkTridWait.Broadcast();
        service->transferWaitersGone.wait(lock,
                                          [service] { return service->transferWaiters == 0; });
    }
    FreeTables(service);
    service->~daService();
    std::free(service);
    kvlog::Trace(daLog(), "daDelete() finished = %u", static_cast<unsigned>(stopped));
    kvlog::Trace(daLog(), "daDelete()::mallocX = %ld xobjref = %ld", daAllocationCount.load(),
                 daObjectCount.load());
    daLogClose();
}

}  // namespace opc
