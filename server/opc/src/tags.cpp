// The tag registry: registration and lookup by name.

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>

#include "dalog.h"
#include "platform/codepage.h"
#include "service.h"

namespace opc {
namespace {

using WideString = std::basic_string<WCHAR>;

WideString Widen(const char* text) {
    std::u16string wide = platform::Cp1251ToUtf16(text ? text : "");
    return WideString(wide.begin(), wide.end());
}

std::string Narrow(const WideString& text) {
    return platform::Utf16ToCp1251(std::u16string(text.begin(), text.end()));
}

// Checks an analog range: a one-dimensional VT_R8 array of exactly two elements.
int CheckAnalogRange(const VARIANT* info, double* onePercent) {
    kvlog::Handle log = daLog();
    if (info->vt != (VT_ARRAY | VT_R8) || !info->parray) {
        kvlog::Error(log, "daAddRealTag->EUinfo.vt = %#x (%p/%p)", static_cast<unsigned>(info->vt),
                     static_cast<const void*>(info), static_cast<void*>(info->parray));
        return daE_INVAL;
    }
    SAFEARRAY* array = info->parray;
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != sizeof(double)) {
        kvlog::Error(log, "daAddRealTag->EUinfo.dim = %d .size = %d != %d",
                     static_cast<int>(SafeArrayGetDim(array)),
                     static_cast<int>(SafeArrayGetElemsize(array)),
                     static_cast<int>(sizeof(double)));
        return daE_INVAL;
    }
    LONG lower = 0, upper = 0;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper != lower + 1) {
        kvlog::Error(log, "daAddRealTag->EUinfo.bound = [%ld, %ld] %s", static_cast<long>(lower),
                     static_cast<long>(upper), "needs two elements");
        return daE_INVAL;
    }
    double range[2] = {};
    for (LONG i = 0; i < 2; ++i) {
        LONG index = lower + i;
        if (FAILED(SafeArrayGetElement(array, &index, &range[i]))) {
            kvlog::Error(log, "daAddRealTag->EUinfo.element = %s", i == 0 ? "low" : "high");
            return daE_INVAL;
        }
    }
    *onePercent = std::fabs(range[1] - range[0]) / 100;
    kvlog::Debug(log, "daAddRealTag->EUinfo.range = %g", *onePercent * 100);
    return 0;
}

// Type and engineering-unit data of a new tag, from the arguments or from its base tag.
struct TagType {
    const VARIANT* canonical = nullptr;
    unsigned euType = daEU_NONE;
    const VARIANT* euInfo = nullptr;
    double onePercent = 0;
};

int ResolveType(daService* service, const VARIANT* canonical, unsigned euType,
                const VARIANT* euInfo, unsigned baseTag, TagType* type) {
    if (baseTag != 0) {
        if (canonical || euInfo) return daE_INVAL;
        daSharedHold registry(service->lkMgmt);
        if (baseTag > service->tagCount || service->tags[baseTag].tagIndex == 0) return daE_NOENT;
        const daAttributes* base = service->tags[baseTag].attributes;
        type->canonical = &base->canonical;
        type->euType = base->euType;
        type->euInfo = &base->euInfo;
        type->onePercent = base->onePercent;
        return 0;
    }
    if (euType != daEU_NONE && !euInfo) return daE_INVAL;
    if (euType == daEU_ANALOG) {
        if (int error = CheckAnalogRange(euInfo, &type->onePercent)) return error;
    }
    type->canonical = canonical;
    type->euType = euType;
    type->euInfo = euInfo;
    return 0;
}

}  // namespace

void daFreeAttributes(daAttributes* attributes) {
    VariantClear(&attributes->canonical);
    VariantClear(&attributes->euInfo);
    std::free(attributes);
    --daAllocationCount;
}

int daMakeAttributes(const VARIANT* canonicalValue, unsigned euType, const VARIANT* euInfo,
                     double onePercent, const WCHAR* name, daAttributes** made) {
    const size_t length = std::char_traits<WCHAR>::length(name);
    void* memory = std::malloc(sizeof(daAttributes) + (length + 1) * sizeof(WCHAR));
    if (!memory) return daE_NOMEM;
    ++daAllocationCount;
    auto* attributes = static_cast<daAttributes*>(memory);
    VariantInit(&attributes->canonical);
    VariantInit(&attributes->euInfo);
    attributes->euType = euType;
    attributes->onePercent = onePercent;
    auto* nameCopy = reinterpret_cast<WCHAR*>(attributes + 1);
    std::char_traits<WCHAR>::copy(nameCopy, name, length + 1);
    attributes->name = nameCopy;
    // Windows declares the sources without const; they are only read.
    VARIANT* canonical = const_cast<VARIANT*>(canonicalValue);
    VARIANT* info = const_cast<VARIANT*>(euInfo);
    if ((canonical && FAILED(VariantCopyInd(&attributes->canonical, canonical))) ||
        (info && FAILED(VariantCopy(&attributes->euInfo, info)))) {
        daFreeAttributes(attributes);
        return daE_FAULT;
    }
    *made = attributes;
    return 0;
}

namespace {

unsigned TagFlags(const daService* service, unsigned callerFlags, double onePercent) {
    unsigned flags = (callerFlags & 0x7F00) | (service->driver.flags & 0x2300);
    if (!service->driver.conversion) flags &= ~daTF_DRIVER_CONVERSION;
    if (!service->driver.itemId) flags &= ~daTF_ASK_DRIVER;
    if (onePercent == 0) flags |= daTF_NO_RANGE;
    return flags;
}

// With lkMgmt held: the index of a registered tag of that name, or 0.
unsigned FindByName(daService* service, const WCHAR* name, uint16_t hash) {
    for (unsigned i = service->firstOfHash[hash]; i != 0; i = service->nextOfHash[i]) {
        const daTagEntry& tag = service->tags[i];
        if (tag.tagIndex != 0 && tag.name && tag.name[0] &&
            service->compareNames(tag.name, name) == 0) {
            return i;
        }
    }
    return 0;
}

unsigned FindFreeSlot(daService* service) {
    for (unsigned i = service->lastFreeSearch; i <= service->tagCount; ++i) {
        if (service->tags[i].tagIndex == 0) return i;
    }
    return 0;
}

// With lkMgmt held: fills the free slot with the new tag and its first staging value.
int StoreTag(daService* service, unsigned slot, daAttributes* attributes, uint16_t hash,
             uintptr_t driverHandle, unsigned flags, unsigned accessRights) {
    daExclusiveHold published(service->lkPrim);
    std::lock_guard<std::mutex> lock(service->lock);
    daTagEntry& tag = service->tags[slot];
    daCacheValue& staged = service->staging[slot];
    if (FAILED(VariantCopy(&tag.value, &attributes->canonical)) ||
        FAILED(VariantCopy(&staged.value, &attributes->canonical))) {
        VariantClear(&tag.value);
        VariantClear(&staged.value);
        return daE_FAULT;
    }
    staged.tagIndex = 0;
    tag.timeStamp = FILETIME{};
    tag.error = S_FALSE;
    tag.quality = daQUALITY_WAITING;
    tag.updateNumber = 0;
    tag.tagIndex = slot;
    tag.driverHandle = driverHandle;
    tag.attributes = attributes;
    tag.name = attributes->name;
    tag.flags = flags;
    tag.accessRights = accessRights;
    service->hashes[slot] = hash;
    if (slot > service->highestUsed) service->highestUsed = slot;
    if (attributes->name[0]) {
        if (slot > service->highestNamed) service->highestNamed = slot;
        service->nextOfHash[slot] = service->firstOfHash[hash];
        service->firstOfHash[hash] = slot;
    }
    return 0;
}

int RegisterTag(daService* service, unsigned* tagIndex, uintptr_t driverHandle,
                const WideString& name, unsigned tagFlags, unsigned accessRights,
                const TagType& type) {
    const bool typed = type.canonical && type.canonical->vt != VT_EMPTY;
    if (name.empty() && !(service->driver.itemId && typed)) return daE_INVAL;

    daAttributes* attributes = nullptr;
    if (int error = daMakeAttributes(type.canonical, type.euType, type.euInfo, type.onePercent,
                                     name.c_str(), &attributes)) {
        return error;
    }
    const unsigned flags = TagFlags(service, tagFlags, type.onePercent);
    const uint16_t hash = service->hashName(attributes->name);

    daExclusiveHold registry(service->lkMgmt);
    if (!name.empty()) {
        if (unsigned existing = FindByName(service, attributes->name, hash)) {
            daFreeAttributes(attributes);
            *tagIndex = existing;
            return daE_EXIST;
        }
    }
    const unsigned slot = FindFreeSlot(service);
    int error = slot ? StoreTag(service, slot, attributes, hash, driverHandle, flags, accessRights)
                     : daE_MLINK;
    if (error) {
        daFreeAttributes(attributes);
        return error;
    }
    service->lastFreeSearch = slot;
    *tagIndex = slot;
    kvlog::Trace(daLog(), "daAddTag(%s vt=%x fl=%x ha=%X) = %u", Narrow(name).c_str(),
                 static_cast<unsigned>(attributes->canonical.vt), flags, unsigned{hash}, slot);
    return 0;
}

}  // namespace

int daAddTag(daService* service, unsigned* tagIndex, uintptr_t driverHandle, const char* name,
             const WCHAR* wideName, unsigned tagFlags, unsigned accessRights,
             const VARIANT* canonicalValue, unsigned euType, const VARIANT* euInfo,
             unsigned baseTag) {
    if (!daServiceIsLive(service, true)) return daE_BADF;
    if (!tagIndex) return daE_INVAL;
    *tagIndex = 0;

    WideString fullName = wideName && wideName[0] ? WideString(wideName) : Widen(name);
    TagType type;
    int error = ResolveType(service, canonicalValue, euType, euInfo, baseTag, &type);
    if (error == 0) {
        if (service->branchSeparator) {
            size_t end = fullName.find_last_not_of(service->branchSeparator);
            fullName.resize(end == WideString::npos ? 0 : end + 1);
        }
        error =
            RegisterTag(service, tagIndex, driverHandle, fullName, tagFlags, accessRights, type);
    }
    if (error) {
        kvlog::Error(daLog(), "%!e daAddTag(%s%s) failed", error, name ? name : "",
                     wideName ? Narrow(wideName).c_str() : "");
    }
    return error;
}

int daAddRealTag_a(daService* service, unsigned* tagIndex, uintptr_t driverHandle, const char* name,
                   unsigned tagFlags, unsigned accessRights, const VARIANT* canonicalValue,
                   double low, double high) {
    SAFEARRAY* range = SafeArrayCreateVector(VT_R8, 0, 2);
    if (!range) return daE_NOMEM;
    double limits[2] = {low, high};
    for (LONG i = 0; i < 2; ++i) {
        if (FAILED(SafeArrayPutElement(range, &i, &limits[i]))) {
            SafeArrayDestroy(range);
            return daE_FAULT;
        }
    }
    VARIANT info;
    VariantInit(&info);
    info.vt = VT_ARRAY | VT_R8;
    info.parray = range;
    int error = daAddTag(service, tagIndex, driverHandle, name, nullptr, tagFlags, accessRights,
                         canonicalValue, daEU_ANALOG, &info, 0);
    VariantClear(&info);
    return error;
}

int daFindTag(daService* service, const WCHAR* name, unsigned* tagIndex) {
    if (!daServiceIsLive(service, false)) return daE_BADF;
    if (!name || !tagIndex) return daE_INVAL;
    *tagIndex = 0;
    if (!name[0]) return daE_NOENT;
    daSharedHold registry(service->lkMgmt);
    *tagIndex = FindByName(service, name, service->hashName(name));
    return *tagIndex ? 0 : daE_NOENT;
}

}  // namespace opc
