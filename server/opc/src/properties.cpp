// Item properties: the standard ones every typed tag has, and those a driver adds.

#include <cstdint>
#include <vector>

#include "daaddress.h"
#include "datext.h"
#include "opcconst.h"

namespace opc {
namespace {

constexpr DWORD kCanonicalType = 1;
constexpr DWORD kValue = 2;
constexpr DWORD kQuality = 3;
constexpr DWORD kTimeStamp = 4;
constexpr DWORD kAccessRights = 5;
constexpr DWORD kScanRate = 6;
constexpr DWORD kEuType = 7;
constexpr DWORD kEuInfo = 8;

struct StandardProperty {
    DWORD id;
    VARTYPE type;  // VT_EMPTY: the tag's own (canonical value or EU information)
    const OLECHAR* description;
};

constexpr StandardProperty kStandard[] = {
    {kCanonicalType, VT_I2, OLESTR("Item Canonical DataType")},
    {kValue, VT_EMPTY, OLESTR("Item Value")},
    {kQuality, VT_I2, OLESTR("Item Quality")},
    {kTimeStamp, VT_DATE, OLESTR("Item Timestamp")},
    {kAccessRights, VT_I4, OLESTR("Item Access Rights")},
    {kScanRate, VT_R4, OLESTR("Server Scan Rate")},
    {kEuType, VT_I4, OLESTR("Item EU Type")},
    {kEuInfo, VT_EMPTY, OLESTR("Item EU Info")},
};

bool IsStandard(DWORD id) {
    return id >= kCanonicalType && id <= kEuInfo;
}

// What the properties need of a tag, copied under the registry lock.
class TagFacts {
public:
    TagFacts(daService* service, unsigned tagIndex) {
        VariantInit(&euInfo);
        daSharedHold registry(service->lkMgmt);
        const daTagEntry& tag = service->tags[tagIndex];
        canonicalType = tag.attributes->canonical.vt;
        accessRights = tag.accessRights;
        euType = tag.attributes->euType;
        euInfoCopied = VariantCopy(&euInfo, &tag.attributes->euInfo);
    }
    ~TagFacts() { VariantClear(&euInfo); }
    TagFacts(const TagFacts&) = delete;
    TagFacts& operator=(const TagFacts&) = delete;

    bool Typed() const { return canonicalType != VT_EMPTY; }
    bool HasEuInfo() const { return euType != daEU_NONE && euInfo.vt != VT_EMPTY; }
    bool Offers(DWORD id) const {
        return Typed() && IsStandard(id) && (id != kEuInfo || HasEuInfo());
    }

    VARTYPE canonicalType = VT_EMPTY;
    unsigned accessRights = 0;
    unsigned euType = daEU_NONE;
    VARIANT euInfo;
    HRESULT euInfoCopied = S_OK;
};

// FILETIME and OLE date without any time-zone conversion.
double OleDate(const FILETIME& time) {
    constexpr double kOleEpoch = 94353120000000000.0;  // 1899-12-30 in 100 ns since 1601
    constexpr double kDay = 864000000000.0;
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (static_cast<double>(ticks) - kOleEpoch) / kDay;
}

HRESULT StandardValue(daService* service, const TagFacts& facts, const daPublishedValue& published,
                      DWORD id, VARIANT* value) {
    switch (id) {
        case kCanonicalType:
            value->vt = VT_I2;
            value->iVal = static_cast<SHORT>(facts.canonicalType);
            return S_OK;
        case kValue:
            if (!(facts.accessRights & OPC_READABLE)) return OPC_E_BADRIGHTS;
            return VariantCopy(value, const_cast<VARIANT*>(&published.value));
        case kQuality:
            value->vt = VT_I2;
            value->iVal = static_cast<SHORT>(published.quality & 0xFFFF);
            return S_OK;
        case kTimeStamp:
            value->vt = VT_DATE;
            value->date = OleDate(published.timeStamp);
            return S_OK;
        case kAccessRights:
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(facts.accessRights);
            return S_OK;
        case kScanRate:
            value->vt = VT_R4;
            value->fltVal = static_cast<float>(service->driver.minUpdateRate);
            return S_OK;
        case kEuType:
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(facts.euType);
            return S_OK;
        default:  // kEuInfo
            if (FAILED(facts.euInfoCopied)) return facts.euInfoCopied;
            return VariantCopy(value, const_cast<VARIANT*>(&facts.euInfo));
    }
}

HRESULT DriverValue(daService* service, const daCallerRecord& caller, unsigned tagIndex, DWORD id,
                    VARIANT* value) {
    if (!service->driver.propertyValue) return OPC_E_INVALID_PID;
    HRESULT result = service->driver.propertyValue(&caller, tagIndex, id, value);
    if (FAILED(result)) VariantClear(value);
    return result;
}

struct AvailableProperty {
    DWORD id;
    VARTYPE type;
    const OLECHAR* description;
};

// The properties a driver adds; its IDs of properties already listed are left out.
void AddDriverProperties(daService* service, const daCallerRecord& caller, unsigned tagIndex,
                         std::vector<AvailableProperty>* list) {
    DWORD count = 0;
    DWORD* ids = nullptr;
    if (!service->driver.properties ||
        FAILED(service->driver.properties(&caller, tagIndex, &count, &ids)) || !ids) {
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        bool listed = false;
        for (const AvailableProperty& known : *list)
            listed = listed || known.id == ids[i];
        if (listed) continue;
        VARIANT value;
        VariantInit(&value);
        const VARTYPE type = SUCCEEDED(DriverValue(service, caller, tagIndex, ids[i], &value))
                                 ? value.vt
                                 : static_cast<VARTYPE>(VT_EMPTY);
        VariantClear(&value);
        list->push_back(AvailableProperty{ids[i], type, OLESTR("")});
    }
    CoTaskMemFree(ids);
}

void FreeStrings(LPWSTR* strings, size_t count) {
    for (size_t i = 0; strings && i < count; ++i)
        CoTaskMemFree(strings[i]);
    CoTaskMemFree(strings);
}

// Allocates the three arrays and fills them, or frees everything and gives E_OUTOFMEMORY.
HRESULT HandOut(const std::vector<AvailableProperty>& list, DWORD* count, DWORD** propertyIds,
                LPWSTR** descriptions, VARTYPE** dataTypes) {
    if (list.empty()) return S_OK;
    DWORD* ids = daTaskArray<DWORD>(list.size());
    VARTYPE* types = daTaskArray<VARTYPE>(list.size());
    LPWSTR* texts = daTaskArray<LPWSTR>(list.size());
    bool complete = ids && types && texts;
    for (size_t i = 0; texts && i < list.size(); ++i) {
        texts[i] = complete ? daCoTaskCopy(list[i].description,
                                           std::char_traits<OLECHAR>::length(list[i].description))
                            : nullptr;
        complete = complete && texts[i];
    }
    if (!complete) {
        CoTaskMemFree(ids);
        CoTaskMemFree(types);
        FreeStrings(texts, list.size());
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        ids[i] = list[i].id;
        types[i] = list[i].type;
    }
    *count = static_cast<DWORD>(list.size());
    *propertyIds = ids;
    *dataTypes = types;
    *descriptions = texts;
    return S_OK;
}

}  // namespace

HRESULT daQueryAvailableProperties(daService* service, const daCallerRecord& caller,
                                   const WCHAR* itemId, DWORD* count, DWORD** propertyIds,
                                   LPWSTR** descriptions, VARTYPE** dataTypes) {
    if (!count || !propertyIds || !descriptions || !dataTypes) return E_INVALIDARG;
    *count = 0;
    *propertyIds = nullptr;
    *descriptions = nullptr;
    *dataTypes = nullptr;
    unsigned tagIndex = 0;
    HRESULT found = daLookupTag(service, caller, itemId, nullptr, &tagIndex);
    if (FAILED(found)) return found;

    const TagFacts facts(service, tagIndex);
    if (!facts.Typed()) return S_OK;  // a tag without type has no properties
    std::vector<AvailableProperty> list;
    for (const StandardProperty& property : kStandard) {
        if (!facts.Offers(property.id)) continue;
        VARTYPE type = property.type;
        if (property.id == kValue) type = facts.canonicalType;
        if (property.id == kEuInfo) type = facts.euInfo.vt;
        list.push_back(AvailableProperty{property.id, type, property.description});
    }
    AddDriverProperties(service, caller, tagIndex, &list);
    return HandOut(list, count, propertyIds, descriptions, dataTypes);
}

HRESULT daGetItemProperties(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                            DWORD count, const DWORD* propertyIds, VARIANT** values,
                            HRESULT** errors) {
    if (!count || !propertyIds || !values || !errors) return E_INVALIDARG;
    *values = nullptr;
    *errors = nullptr;
    unsigned tagIndex = 0;
    HRESULT found = daLookupTag(service, caller, itemId, nullptr, &tagIndex);
    if (FAILED(found)) return found;

    VARIANT* results = daTaskArray<VARIANT>(count);
    HRESULT* codes = daTaskArray<HRESULT>(count);
    if (!results || !codes) {
        CoTaskMemFree(results);
        CoTaskMemFree(codes);
        return E_OUTOFMEMORY;
    }
    const TagFacts facts(service, tagIndex);
    daPublishedValue published{};
    VariantInit(&published.value);
    const bool read = daReadPublished(service, 1, &tagIndex, &published) == 0;
    bool allGood = true;
    for (DWORD i = 0; i < count; ++i) {
        VariantInit(&results[i]);
        const DWORD id = propertyIds[i];
        if (facts.Offers(id)) {
            codes[i] = read ? StandardValue(service, facts, published, id, &results[i]) : E_FAIL;
        } else if (facts.Typed()) {
            codes[i] = DriverValue(service, caller, tagIndex, id, &results[i]);
        } else {
            codes[i] = OPC_E_INVALID_PID;
        }
        allGood = allGood && codes[i] == S_OK;
    }
    VariantClear(&published.value);
    *values = results;
    *errors = codes;
    return allGood ? S_OK : S_FALSE;
}

HRESULT daLookupItemIds(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                        DWORD count, const DWORD* propertyIds, LPWSTR** newItemIds,
                        HRESULT** errors) {
    if (!count || !propertyIds || !newItemIds || !errors) return E_INVALIDARG;
    *newItemIds = nullptr;
    *errors = nullptr;
    unsigned tagIndex = 0;
    HRESULT found = daLookupTag(service, caller, itemId, nullptr, &tagIndex);
    if (FAILED(found)) return found;

    LPWSTR* ids = daTaskArray<LPWSTR>(count);
    HRESULT* codes = daTaskArray<HRESULT>(count);
    if (!ids || !codes) {
        CoTaskMemFree(ids);
        CoTaskMemFree(codes);
        return E_OUTOFMEMORY;
    }
    const TagFacts facts(service, tagIndex);
    const daLookupCallback lookup = service->driver.lookupItemIds;
    bool allGood = true;
    for (DWORD i = 0; i < count; ++i) {
        ids[i] = nullptr;
        // Standard properties have no item IDs of their own.
        codes[i] = OPC_E_INVALID_PID;
        if (facts.Typed() && !facts.Offers(propertyIds[i]) && lookup) {
            codes[i] = lookup(&caller, tagIndex, propertyIds[i], &ids[i]);
            if (SUCCEEDED(codes[i]) && !ids[i]) codes[i] = OPC_E_INVALID_PID;
            if (FAILED(codes[i])) {
                CoTaskMemFree(ids[i]);
                ids[i] = nullptr;
            }
        }
        allGood = allGood && codes[i] == S_OK;
    }
    *newItemIds = ids;
    *errors = codes;
    return allGood ? S_OK : S_FALSE;
}

}  // namespace opc
