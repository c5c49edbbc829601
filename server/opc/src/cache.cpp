// The two-stage value cache: commits into the staging table, the update pipe that publishes
// them, and readers of the published table.

#include <mutex>

#include "dalog.h"
#include "service.h"

namespace opc {
namespace {

constexpr unsigned kFirstUpdateNumber = 4;
constexpr DWORD kGoodQualityBits = 0xC0;

// A value that cannot be copied keeps its new time stamp but reports the failure.
void CopyValue(VARIANT* target, const VARIANT* source, HRESULT* error, DWORD* quality,
               const char* where) {
    // Windows declares the source without const; it is only read.
    HRESULT copied = VariantCopy(target, const_cast<VARIANT*>(source));
    if (SUCCEEDED(copied)) return;
    if (SUCCEEDED(*error)) *error = copied;
    if (*quality & kGoodQualityBits) *quality = 0;
    kvlog::Error(daLog(), "%!l %s(VariantCopy())", static_cast<uint32_t>(copied), where);
}

bool Stopping(const daService* service) {
    return service->pipe.state < 0;
}

// With the service lock and lkPrim (exclusive) held.
void PublishStaged(daService* service) {
    const unsigned number = service->updateNumber;
    for (unsigned i = 1; i <= service->highestUsed; ++i) {
        daCacheValue& staged = service->staging[i];
        if (staged.tagIndex == 0) continue;
        daTagEntry& tag = service->tags[i];
        tag.timeStamp = staged.timeStamp;
        tag.error = staged.error;
        tag.quality = staged.quality;
        CopyValue(&tag.value, &staged.value, &tag.error, &tag.quality, "daUpdatePipe");
        tag.updateNumber = number;
        staged.tagIndex = 0;
    }
    service->publishedNumber = number;
    service->driverTimes[0] = service->driverTimes[1];
}

}  // namespace

void daUpdatePipe(void* argument) {
    auto* service = static_cast<daService*>(argument);
    std::unique_lock<std::mutex> lock(service->lock);
    for (;;) {
        if (service->pipe.state == 0) {
            lock.unlock();
            service->pipe.wake.Wait(platform::Event::kInfinite);
            lock.lock();
            continue;
        }
        if (Stopping(service)) break;
        lock.unlock();
        service->lkPrim.LockExclusive();
        lock.lock();
        if (Stopping(service)) {
            service->lkPrim.UnlockExclusive();
            break;
        }
        PublishStaged(service);
        service->lkPrim.UnlockExclusive();
        service->pipe.state = 0;
        lock.unlock();
        service->lkTridWait.Broadcast();
        lock.lock();
    }
    lock.unlock();
    kvlog::Trace(daLog(), "daUpdatePipe() finished");
}

unsigned daCacheUpdate(daService* service, unsigned count, const daCacheValue* values,
                       const FILETIME* driverTime) {
    if (!daServiceIsLive(service, true) || (!values && !driverTime)) return 0;
    std::lock_guard<std::mutex> lock(service->lock);
    if (Stopping(service)) {
        kvlog::Error(daLog(), "daCacheUpdate() lock failed");
        return 0;
    }
    for (unsigned i = 0; values && i < count; ++i) {
        const daCacheValue& value = values[i];
        if (value.tagIndex == 0) continue;
        if (value.tagIndex > service->highestUsed) {
            kvlog::Error(daLog(), "daCacheUpdate(BAD ti:%u)", i);
            continue;
        }
        daCacheValue& staged = service->staging[value.tagIndex];
        staged.timeStamp = value.timeStamp;
        staged.error = value.error;
        staged.quality = value.quality;
        CopyValue(&staged.value, &value.value, &staged.error, &staged.quality, "daCacheUpdate");
        staged.tagIndex = value.tagIndex;
    }
    service->pipe.state = 1;
    if (service->updateNumber == service->publishedNumber) ++service->updateNumber;
    if (service->updateNumber < kFirstUpdateNumber) service->updateNumber = kFirstUpdateNumber;
    if (driverTime) service->driverTimes[1] = *driverTime;
    service->pipe.wake.Set();
    return service->updateNumber;
}

int daCacheWaitTransfer(daService* service, unsigned updateNumber) {
    if (updateNumber < kFirstUpdateNumber || !daServiceEnterTransferWait(service)) return -1;
    std::unique_lock<std::mutex> lock(service->lock);
    int result = 0;
    for (;;) {
        // Update numbers wrap: "published" means not behind in the circular order.
        if (static_cast<int32_t>(service->publishedNumber - updateNumber) >= 0) {
            result = 1;
            break;
        }
        if (service->shutdownState != 0 || Stopping(service)) break;
        service->lkTridWait.Wait(lock);
    }
    if (--service->transferWaiters == 0) service->transferWaitersGone.notify_all();
    return result;
}

int daReadPublished(daService* service, unsigned count, const unsigned* tagIndexes,
                    daPublishedValue* values) {
    if (!daServiceIsLive(service, false)) return daE_BADF;
    if (count > 0 && (!tagIndexes || !values)) return daE_INVAL;
    daSharedHold published(service->lkPrim);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned index = tagIndexes[i];
        if (index == 0 || index > service->tagCount || service->tags[index].tagIndex == 0) {
            return daE_NOENT;
        }
    }
    for (unsigned i = 0; i < count; ++i) {
        const daTagEntry& tag = service->tags[tagIndexes[i]];
        daPublishedValue& out = values[i];
        VariantInit(&out.value);
        out.timeStamp = tag.timeStamp;
        out.error = tag.error;
        out.quality = tag.quality;
        out.updateNumber = tag.updateNumber;
        CopyValue(&out.value, &tag.value, &out.error, &out.quality, "daReadPublished");
    }
    return 0;
}

unsigned daPublishedUpdateNumber(daService* service) {
    if (!daServiceIsLive(service, false)) return 0;
    daSharedHold published(service->lkPrim);
    return service->publishedNumber;
}

}  // namespace opc
