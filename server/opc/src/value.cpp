// Item values: requested-type checks, conversion modes and change comparison.

#include <cmath>
#include <cstring>

#include "dalog.h"
#include "davalue.h"
#include "opcconst.h"

namespace opc {
namespace {

// Clears the temporary whatever the outcome of the change that filled it.
class ScopedVariant {
public:
    ScopedVariant() { VariantInit(&value_); }
    ~ScopedVariant() { VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }

private:
    VARIANT value_;
};

HRESULT ChangeType(const VARIANT& source, const daCallerRecord& caller, VARTYPE type,
                   VARIANT* result) {
    return VariantChangeType(result, const_cast<VARIANT*>(&source),
                             static_cast<USHORT>(caller.conversionFlags), type);
}

HRESULT CheckConverts(const VARIANT& source, const daCallerRecord& caller, VARTYPE type) {
    ScopedVariant converted;
    return ChangeType(source, caller, type, converted.get());
}

bool ReadAnalogRange(const daAttributes& attributes, double range[2]) {
    const VARIANT& info = attributes.euInfo;
    if (attributes.euType != daEU_ANALOG || info.vt != (VT_ARRAY | VT_R8) || !info.parray) {
        return false;
    }
    LONG lower = 0;
    if (FAILED(SafeArrayGetLBound(info.parray, 1, &lower))) return false;
    for (LONG i = 0; i < 2; ++i) {
        LONG index = lower + i;
        if (FAILED(SafeArrayGetElement(info.parray, &index, &range[i]))) return false;
    }
    return true;
}

HRESULT CheckAttributes(const daAttributes& attributes, unsigned tagFlags,
                        const daCallerRecord& caller, VARTYPE requested) {
    const VARIANT& canonical = attributes.canonical;
    if (canonical.vt == VT_EMPTY) return OPC_E_BADTYPE;
    if (requested == VT_EMPTY || requested == canonical.vt) return S_OK;
    if (tagFlags & daTF_CANONICAL_ONLY) return OPC_E_BADTYPE;
    if (HRESULT hr = CheckConverts(canonical, caller, requested); FAILED(hr)) return hr;
    double range[2];
    if (!ReadAnalogRange(attributes, range)) return S_OK;
    for (double limit : range) {
        VARIANT bound;
        VariantInit(&bound);
        bound.vt = VT_R8;
        bound.dblVal = limit;
        if (HRESULT hr = CheckConverts(bound, caller, requested); FAILED(hr)) return hr;
    }
    return S_OK;
}

bool IsStringDateOrArray(VARTYPE type) {
    return type == VT_BSTR || type == VT_DATE || (type & VT_ARRAY);
}

VARTYPE EffectiveType(const daTagEntry& tag, VARTYPE requested) {
    if (requested != VT_EMPTY || !tag.attributes) return requested;
    return tag.attributes->canonical.vt;
}

HRESULT DriverValue(const daCallerRecord& caller, const daTagEntry& tag, VARTYPE type,
                    const VARIANT& value, VARIANT* result) {
    daConversionCallback convert = caller.service ? caller.service->driver.conversion : nullptr;
    if (!convert) return ChangeType(value, caller, type, result);
    daTagRef ref;
    ref.tagIndex = tag.tagIndex;
    ref.driverHandle = tag.driverHandle;
    return convert(&caller, &ref, result, &value, type);
}

// Raw bytes are safe only for a value that owns nothing.
bool OwnsNothing(VARTYPE type) {
    if (type & (VT_ARRAY | VT_BYREF | VT_VECTOR)) return false;
    switch (type) {
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
        case VT_VARIANT:
        case VT_RECORD:
            return false;
        default:
            return true;
    }
}

HRESULT SameTypeValue(const daCallerRecord& caller, VARTYPE type, const VARIANT& value,
                      VARIANT* result) {
    // A typeless tag delivers whatever it holds; a value of another type than the item's is
    // changed to it rather than handed out under the wrong type.
    if (type != VT_EMPTY && value.vt != type) return ChangeType(value, caller, type, result);
    if (!OwnsNothing(value.vt)) return VariantCopy(result, const_cast<VARIANT*>(&value));
    std::memcpy(static_cast<void*>(result), &value, sizeof(VARIANT));
    return S_OK;
}

// What a value is compared by.
struct Sample {
    enum Kind { kUnknown, kNumber, kBytes } kind = kUnknown;
    double number = 0;
    std::vector<uint8_t> bytes;  // kBytes; for 64-bit integers their exact bits
};

void AppendBytes(std::vector<uint8_t>* bytes, const void* data, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes->insert(bytes->end(), begin, begin + size);
}

// The bounds of every dimension, so that arrays of one size but another shape differ.
bool AppendArrayShape(SAFEARRAY* array, std::vector<uint8_t>* bytes, size_t* count) {
    *count = 1;
    const UINT dims = SafeArrayGetDim(array);
    for (UINT dim = 1; dim <= dims; ++dim) {
        LONG bounds[2] = {};
        if (FAILED(SafeArrayGetLBound(array, dim, &bounds[0])) ||
            FAILED(SafeArrayGetUBound(array, dim, &bounds[1]))) {
            return false;
        }
        AppendBytes(bytes, bounds, sizeof bounds);
        *count *= bounds[1] >= bounds[0] ? static_cast<size_t>(bounds[1] - bounds[0]) + 1 : 0;
    }
    return true;
}

// The data bytes of an array; strings of a string array by their contents, each behind its
// length, since their pointers differ between copies of the same value.
bool ArrayBytes(SAFEARRAY* array, VARTYPE elementType, std::vector<uint8_t>* bytes) {
    size_t count = 0;
    if (!array || !AppendArrayShape(array, bytes, &count)) return false;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return false;
    if (elementType == VT_BSTR) {
        for (size_t i = 0; i < count; ++i) {
            BSTR text = static_cast<BSTR*>(data)[i];
            const UINT length = SysStringByteLen(text);
            AppendBytes(bytes, &length, sizeof length);
            if (text) AppendBytes(bytes, text, length);
        }
    } else if (count > 0) {
        AppendBytes(bytes, data, count * SafeArrayGetElemsize(array));
    }
    SafeArrayUnaccessData(array);
    return true;
}

Sample Describe(const VARIANT& value) {
    Sample sample;
    if (value.vt & VT_BYREF) {
        ScopedVariant direct;
        if (SUCCEEDED(VariantCopyInd(direct.get(), const_cast<VARIANT*>(&value)))) {
            sample = Describe(*direct);
        }
        return sample;
    }
    if (value.vt == VT_BSTR) {
        sample.kind = Sample::kBytes;
        if (value.bstrVal)
            AppendBytes(&sample.bytes, value.bstrVal, SysStringByteLen(value.bstrVal));
        return sample;
    }
    if (value.vt & VT_ARRAY) {
        if (ArrayBytes(value.parray, value.vt & VT_TYPEMASK, &sample.bytes)) {
            sample.kind = Sample::kBytes;
        }
        return sample;
    }
    ScopedVariant number;
    if (FAILED(VariantChangeType(number.get(), const_cast<VARIANT*>(&value), 0, VT_R8))) {
        return sample;
    }
    sample.kind = Sample::kNumber;
    sample.number = (*number).dblVal;
    // Doubles cannot tell all 64-bit integers apart; a change of one must not get lost.
    if (value.vt == VT_I8 || value.vt == VT_UI8) {
        AppendBytes(&sample.bytes, &value.llVal, sizeof value.llVal);
    }
    return sample;
}

bool SameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool SameAsLast(const daLastSent& last, const Sample& sample) {
    if (!last.valid || last.isBytes != (sample.kind == Sample::kBytes)) return false;
    if (last.bytes != sample.bytes) return false;
    return last.isBytes || SameBits(last.number, sample.number);
}

bool WithinDeadband(const daLastSent& last, const Sample& sample, float deadbandPercent,
                    double onePercent) {
    if (!last.valid || last.isBytes || sample.kind != Sample::kNumber) return false;
    const double band = static_cast<double>(deadbandPercent) * onePercent;
    if (!(band > 0) || !std::isfinite(band)) return false;
    if (!std::isfinite(last.number) || !std::isfinite(sample.number)) return false;
    return std::fabs(sample.number - last.number) <= band;
}

void Remember(daLastSent* last, Sample&& sample) {
    last->valid = sample.kind != Sample::kUnknown;
    last->isBytes = sample.kind == Sample::kBytes;
    last->number = sample.number;
    last->bytes = std::move(sample.bytes);
}

}  // namespace

HRESULT daCheckRequestedType(daService* service, const daCallerRecord& caller, unsigned tagIndex,
                             VARTYPE requested) {
    if (!service) return E_INVALIDARG;
    daSharedHold registry(service->lkMgmt);
    if (tagIndex == 0 || tagIndex > service->tagCount) return OPC_E_INVALIDITEMID;
    const daTagEntry& tag = service->tags[tagIndex];
    if (tag.tagIndex == 0 || !tag.attributes) return OPC_E_INVALIDITEMID;
    return CheckAttributes(*tag.attributes, tag.flags, caller, requested);
}

daConversionMode daChooseConversionMode(const daTagEntry& tag, VARTYPE requested) {
    const VARTYPE canonical = tag.attributes ? tag.attributes->canonical.vt : VARTYPE{VT_EMPTY};
    const VARTYPE type = requested == VT_EMPTY ? canonical : requested;
    if (type == canonical) {
        return type == VT_BSTR || (type & VT_ARRAY) ? daCM_COPY : daCM_RAW;
    }
    if ((tag.flags & daTF_DRIVER_CONVERSION) && IsStringDateOrArray(type)) return daCM_DRIVER;
    return daCM_CHANGE_TYPE;
}

HRESULT daItemValue(const daCallerRecord& caller, const daTagEntry& tag, daConversionMode mode,
                    VARTYPE requested, const VARIANT& value, VARIANT* result) {
    VariantClear(result);
    const VARTYPE type = EffectiveType(tag, requested);
    HRESULT hr = E_INVALIDARG;
    switch (mode) {
        case daCM_CHANGE_TYPE:
            hr = ChangeType(value, caller, type, result);
            break;
        case daCM_COPY:
        case daCM_RAW:
            hr = SameTypeValue(caller, type, value, result);
            break;
        case daCM_DRIVER:
            hr = DriverValue(caller, tag, type, value, result);
            break;
    }
    if (FAILED(hr)) VariantClear(result);
    return hr;
}

bool daValueChanged(daLastSent* last, const VARIANT& value, float deadbandPercent,
                    double onePercent) {
    Sample sample = Describe(value);
    if (sample.kind == Sample::kUnknown) {
        kvlog::Warning(daLog(), "da_compare_lastent() Unknown VARTYPE 0x%X",
                       static_cast<unsigned>(value.vt));
        Remember(last, std::move(sample));
        return true;
    }
    if (SameAsLast(*last, sample)) return false;
    if (WithinDeadband(*last, sample, deadbandPercent, onePercent)) return false;
    Remember(last, std::move(sample));
    return true;
}

void daRememberSent(daLastSent* last, const VARIANT& value) {
    Remember(last, Describe(value));
}

}  // namespace opc
