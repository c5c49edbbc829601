// POSIX stand-in for the VARIANT functions of OLE Automation. VariantChangeType follows
// oleaut32: integers overflow with DISP_E_OVERFLOW except between the signed and unsigned type
// of one width, which keep the bits; reals round half to even; VARIANT_TRUE is -1 and keeps its
// bits in unsigned types; text is parsed and written as English (United States); arrays change
// only to their own type (and between VT_BSTR and VT_ARRAY|VT_UI1).

#include <cmath>
#include <string>

#include "com_internal.h"
#include "com_variant_text.h"
#include "platform/com.h"

namespace text = platform::com_text;

namespace {

constexpr VARTYPE kRecordType = 15;  // never valid in a VARIANT

HRESULT ValidateType(VARTYPE vt) {
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & (VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
    if (base > VT_UINT || base == kRecordType) return DISP_E_BADVARTYPE;
    if ((vt & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return DISP_E_BADVARTYPE;
    return S_OK;
}

BSTR CopyString(BSTR source) {
    return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
}

BSTR MakeString(const std::u16string& value) {
    return SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
}

std::u16string_view StringView(BSTR value) {
    return value == nullptr ? std::u16string_view()
                            : std::u16string_view(value, SysStringLen(value));
}

// A scalar source reduced to what every conversion needs.
struct Source {
    enum Kind { kEmpty, kInteger, kBool, kReal, kCurrency, kDate, kText, kOther } kind = kOther;
    __int128 integer = 0;  // kInteger, kBool (-1 or 0 as stored), kCurrency (ten-thousandths)
    double real = 0;       // kReal, kDate, and kCurrency as a real
    VARTYPE type = VT_EMPTY;
    BSTR string = nullptr;
};

Source Describe(const VARIANT& v) {
    Source s;
    s.type = v.vt;
    switch (v.vt) {
        case VT_EMPTY:
            s.kind = Source::kEmpty;
            break;
        case VT_I1:
            s.kind = Source::kInteger;
            s.integer = static_cast<signed char>(v.cVal);
            break;
        case VT_UI1:
            s.kind = Source::kInteger;
            s.integer = v.bVal;
            break;
        case VT_I2:
            s.kind = Source::kInteger;
            s.integer = v.iVal;
            break;
        case VT_UI2:
            s.kind = Source::kInteger;
            s.integer = v.uiVal;
            break;
        case VT_I4:
        case VT_INT:
            s.kind = Source::kInteger;
            s.integer = v.lVal;
            break;
        case VT_UI4:
        case VT_UINT:
            s.kind = Source::kInteger;
            s.integer = v.ulVal;
            break;
        case VT_I8:
            s.kind = Source::kInteger;
            s.integer = v.llVal;
            break;
        case VT_UI8:
            s.kind = Source::kInteger;
            s.integer = v.ullVal;
            break;
        case VT_BOOL:
            s.kind = Source::kBool;
            s.integer = v.boolVal;
            s.real = v.boolVal;
            break;
        case VT_R4:
            s.kind = Source::kReal;
            s.real = v.fltVal;
            break;
        case VT_R8:
            s.kind = Source::kReal;
            s.real = v.dblVal;
            break;
        case VT_DATE:
            s.kind = Source::kDate;
            s.real = v.date;
            break;
        case VT_CY:
            s.kind = Source::kCurrency;
            s.integer = v.cyVal.int64;
            s.real = static_cast<double>(v.cyVal.int64) / 10000.0;
            break;
        case VT_BSTR:
            s.kind = Source::kText;
            s.string = v.bstrVal;
            break;
        default:
            break;
    }
    return s;
}

struct IntegerRange {
    __int128 min;
    __int128 max;
    int bits;
    bool isSigned;
};

bool RangeOf(VARTYPE vt, IntegerRange* range) {
    switch (vt) {
        case VT_I1:
            *range = {INT8_MIN, INT8_MAX, 8, true};
            return true;
        case VT_UI1:
            *range = {0, UINT8_MAX, 8, false};
            return true;
        case VT_I2:
            *range = {INT16_MIN, INT16_MAX, 16, true};
            return true;
        case VT_UI2:
            *range = {0, UINT16_MAX, 16, false};
            return true;
        case VT_I4:
        case VT_INT:
            *range = {INT32_MIN, INT32_MAX, 32, true};
            return true;
        case VT_UI4:
        case VT_UINT:
            *range = {0, UINT32_MAX, 32, false};
            return true;
        case VT_I8:
            *range = {INT64_MIN, INT64_MAX, 64, true};
            return true;
        case VT_UI8:
            *range = {0, UINT64_MAX, 64, false};
            return true;
        default:
            return false;
    }
}

// Half to even, like oleaut32's rounding of reals to integers.
double RoundHalfEven(double value) {
    const double down = std::floor(value);
    const double fraction = value - down;
    if (fraction > 0.5) return down + 1.0;
    if (fraction < 0.5) return down;
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

HRESULT RealToInteger(double real, __int128* value) {
    if (std::isnan(real)) return DISP_E_OVERFLOW;
    const double rounded = RoundHalfEven(real);
    // 2^100 bounds every integer type and keeps the cast defined.
    if (std::fabs(rounded) >= 0x1p100) return DISP_E_OVERFLOW;
    *value = static_cast<__int128>(rounded);
    return S_OK;
}

// The same bits read as the target type.
__int128 Reinterpret(__int128 value, const IntegerRange& range) {
    const __int128 modulus = static_cast<__int128>(1) << range.bits;
    value &= modulus - 1;
    return range.isSigned && value > range.max ? value - modulus : value;
}

HRESULT ToInteger(const Source& s, VARTYPE vt, VARIANT* out) {
    IntegerRange range{};
    RangeOf(vt, &range);
    IntegerRange sourceRange{};
    __int128 value = 0;
    HRESULT hr = S_OK;
    switch (s.kind) {
        case Source::kEmpty:
            break;
        case Source::kInteger:
            // Between signed and unsigned types of one width the bits are kept, never overflow.
            RangeOf(s.type, &sourceRange);
            value = sourceRange.bits == range.bits ? Reinterpret(s.integer, range) : s.integer;
            break;
        case Source::kBool:
            // VARIANT_TRUE keeps its bits: 255 as VT_UI1, 65535 as VT_UI2.
            value = Reinterpret(s.integer, range);
            break;
        case Source::kReal:
        case Source::kDate:
        case Source::kCurrency:
            hr = RealToInteger(s.real, &value);
            break;
        case Source::kText: {
            text::Number number;
            hr = text::ParseNumber(StringView(s.string), &number);
            if (SUCCEEDED(hr) && !text::RoundToInteger(number, &value)) hr = DISP_E_OVERFLOW;
            // "&HFFFF" is -1 as VT_I2: hexadecimal and octal text fills the bits of the type.
            const __int128 bitsMax = (static_cast<__int128>(1) << range.bits) - 1;
            if (SUCCEEDED(hr) && number.based && value <= bitsMax) {
                value = Reinterpret(value, range);
            }
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return hr;
    if (value < range.min || value > range.max) return DISP_E_OVERFLOW;
    out->vt = vt;
    switch (range.bits) {
        case 8:
            if (range.isSigned) {
                out->cVal = static_cast<CHAR>(value);
            } else {
                out->bVal = static_cast<BYTE>(value);
            }
            break;
        case 16:
            out->iVal = static_cast<SHORT>(value);
            break;
        case 32:
            out->lVal = static_cast<LONG>(value);
            break;
        default:
            out->llVal = static_cast<LONGLONG>(value);
            break;
    }
    return S_OK;
}

HRESULT ToReal(const Source& s, double* value) {
    switch (s.kind) {
        case Source::kEmpty:
            *value = 0;
            return S_OK;
        case Source::kInteger:
            *value = static_cast<double>(s.integer);
            return S_OK;
        case Source::kBool:
        case Source::kReal:
        case Source::kDate:
        case Source::kCurrency:
            *value = s.real;
            return S_OK;
        case Source::kText: {
            text::Number number;
            const HRESULT hr = text::ParseNumber(StringView(s.string), &number);
            if (FAILED(hr)) return hr;
            return text::ToDouble(number, value) ? S_OK : DISP_E_OVERFLOW;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToR4(const Source& s, VARIANT* out) {
    double value = 0;
    const HRESULT hr = ToReal(s, &value);
    if (FAILED(hr)) return hr;
    // Beyond the midpoint between FLT_MAX and 2^128 a float rounds to infinity.
    if (std::fabs(value) >= 0x1.ffffffp+127) return DISP_E_OVERFLOW;
    out->vt = VT_R4;
    out->fltVal = static_cast<FLOAT>(value);
    return S_OK;
}

HRESULT ToR8(const Source& s, VARIANT* out) {
    double value = 0;
    const HRESULT hr = ToReal(s, &value);
    if (FAILED(hr)) return hr;
    out->vt = VT_R8;
    out->dblVal = value;
    return S_OK;
}

HRESULT ToDate(const Source& s, VARIANT* out) {
    double value = 0;
    HRESULT hr = S_OK;
    if (s.kind == Source::kText) {
        hr = text::ParseDate(StringView(s.string), &value);
    } else if (s.kind == Source::kInteger) {
        if (s.integer < text::kDateMin || s.integer > text::kDateMax) return DISP_E_OVERFLOW;
        value = static_cast<double>(s.integer);
    } else {
        hr = ToReal(s, &value);
        if (SUCCEEDED(hr) && !(value > text::kDateMin - 1.0 && value < text::kDateMax + 1.0)) {
            hr = DISP_E_OVERFLOW;
        }
    }
    if (FAILED(hr)) return hr;
    out->vt = VT_DATE;
    out->date = value;
    return S_OK;
}

// Reals are scaled in extended precision, as oleaut32 does on x86: 0.00005 is a little more
// than half a ten-thousandth there and becomes 1.
HRESULT RealToCurrency(double real, __int128* value) {
    if (std::isnan(real)) return DISP_E_OVERFLOW;
    const long double scaled = static_cast<long double>(real) * 10000.0L;
    const long double down = std::floor(scaled);
    const long double fraction = scaled - down;
    long double rounded = down;
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(down, 2.0L) != 0.0L)) rounded += 1.0L;
    if (std::fabs(rounded) >= 0x1p100L) return DISP_E_OVERFLOW;
    *value = static_cast<__int128>(rounded);
    return S_OK;
}

HRESULT ToCurrency(const Source& s, VARIANT* out) {
    __int128 value = 0;
    HRESULT hr = S_OK;
    switch (s.kind) {
        case Source::kEmpty:
            break;
        case Source::kInteger:
        case Source::kBool:
            value = s.integer * 10000;
            break;
        case Source::kReal:
        case Source::kDate:
        case Source::kText: {
            double real = 0;
            hr = ToReal(s, &real);
            if (SUCCEEDED(hr)) hr = RealToCurrency(real, &value);
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return hr;
    if (value < INT64_MIN || value > INT64_MAX) return DISP_E_OVERFLOW;
    out->vt = VT_CY;
    out->cyVal.int64 = static_cast<LONGLONG>(value);
    return S_OK;
}

HRESULT ToBool(const Source& s, VARIANT* out) {
    VARIANT_BOOL value = VARIANT_FALSE;
    switch (s.kind) {
        case Source::kEmpty:
            break;
        case Source::kInteger:
        case Source::kBool:
        case Source::kCurrency:
            value = s.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case Source::kReal:
        case Source::kDate:
            value = s.real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case Source::kText: {
            const HRESULT hr = text::ParseBool(StringView(s.string), &value);
            if (FAILED(hr)) return hr;
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    out->vt = VT_BOOL;
    out->boolVal = value;
    return S_OK;
}

HRESULT ToText(const Source& s, USHORT flags, VARIANT* out) {
    std::u16string value;
    switch (s.kind) {
        case Source::kEmpty:
            break;
        case Source::kInteger:
            value = text::FormatInteger(s.integer);
            break;
        case Source::kBool:
            if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
                value = s.integer != 0 ? u"True" : u"False";
            } else {
                value = text::FormatInteger(s.integer);
            }
            break;
        case Source::kReal:
            value = text::FormatReal(s.real, s.type == VT_R4 ? 7 : 15);
            break;
        case Source::kCurrency:
            value = text::FormatCurrency(static_cast<int64_t>(s.integer));
            break;
        case Source::kDate:
            if (!text::FormatDate(s.real, &value)) return E_INVALIDARG;
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    out->bstrVal = MakeString(value);
    if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    return S_OK;
}

HRESULT ToInterface(const VARIANT& source, VARTYPE vt, VARIANT* out) {
    if (source.vt != VT_UNKNOWN && source.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    out->punkVal = nullptr;
    if (source.punkVal != nullptr) {
        const HRESULT hr =
            source.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch,
                                           reinterpret_cast<void**>(&out->punkVal));
        if (FAILED(hr)) return hr;
    }
    out->vt = vt;
    return S_OK;
}

// Changes a scalar that is not by reference; `out` is empty on entry.
HRESULT Coerce(const VARIANT& source, USHORT flags, VARTYPE vt, VARIANT* out) {
    if (source.vt == vt) return VariantCopy(out, &source);
    if (vt == VT_EMPTY || vt == VT_NULL) {
        out->vt = vt;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) return ToInterface(source, vt, out);
    const Source s = Describe(source);
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return ToInteger(s, vt, out);
        case VT_R4:
            return ToR4(s, out);
        case VT_R8:
            return ToR8(s, out);
        case VT_DATE:
            return ToDate(s, out);
        case VT_CY:
            return ToCurrency(s, out);
        case VT_BOOL:
            return ToBool(s, out);
        case VT_BSTR:
            return ToText(s, flags, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// Arrays change only to their own type, or between VT_BSTR and bytes.
HRESULT CoerceArray(const VARIANT& source, VARTYPE vt, VARIANT* out) {
    if (vt == VT_BSTR && source.vt == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* bytes = source.parray;
        if (bytes == nullptr || bytes->cDims != 1) return E_INVALIDARG;
        out->bstrVal = SysAllocStringByteLen(static_cast<LPCSTR>(bytes->pvData),
                                             bytes->rgsabound[0].cElements);
        if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if (source.vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1)) {
        const UINT size = SysStringByteLen(source.bstrVal);
        out->parray = SafeArrayCreateVector(VT_UI1, 0, size);
        if (out->parray == nullptr) return E_OUTOFMEMORY;
        if (size > 0) std::memcpy(out->parray->pvData, source.bstrVal, size);
    } else if (source.vt == vt) {
        const HRESULT hr = SafeArrayCopy(source.parray, &out->parray);
        if (FAILED(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    out->vt = vt;
    return S_OK;
}

}  // namespace

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg != nullptr) pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    const HRESULT hr = ValidateType(pvarg->vt);
    if (FAILED(hr)) return hr;
    HRESULT result = S_OK;
    if (!V_ISBYREF(pvarg)) {
        if (V_ISARRAY(pvarg)) {
            result = SafeArrayDestroy(pvarg->parray);
        } else if (pvarg->vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if ((pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) &&
                   pvarg->punkVal != nullptr) {
            pvarg->punkVal->Release();
        }
    }
    pvarg->vt = VT_EMPTY;
    return result;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (FAILED(ValidateType(pvargSrc->vt))) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    *pvargDest = *pvargSrc;
    if (V_ISBYREF(pvargSrc)) return S_OK;
    if (V_ISARRAY(pvargSrc)) {
        hr = SafeArrayCopy(pvargSrc->parray, &pvargDest->parray);
    } else if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        pvargDest->bstrVal = CopyString(pvargSrc->bstrVal);
        if (pvargDest->bstrVal == nullptr) hr = E_OUTOFMEMORY;
    } else if ((pvargSrc->vt == VT_UNKNOWN || pvargSrc->vt == VT_DISPATCH) &&
               pvargSrc->punkVal != nullptr) {
        pvargSrc->punkVal->AddRef();
    }
    if (FAILED(hr)) pvargDest->vt = VT_EMPTY;
    return hr;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!V_ISBYREF(pvargSrc)) return VariantCopy(pvarDest, pvargSrc);
    const VARTYPE base = pvargSrc->vt & VT_TYPEMASK;
    const bool valid =
        V_ISARRAY(pvargSrc) || (base > VT_NULL && base <= VT_UINT && base != kRecordType &&
                                !(pvargSrc->vt & (VT_VECTOR | VT_RESERVED)));
    if (!valid || pvargSrc->byref == nullptr) return E_INVALIDARG;

    // Copy the source first: it may be the destination.
    const VARIANT source = *pvargSrc;
    if (pvarDest != pvargSrc) {
        const HRESULT hr = VariantClear(pvarDest);
        if (FAILED(hr)) return hr;
    }
    pvarDest->vt = VT_EMPTY;
    HRESULT hr = S_OK;
    if (V_ISARRAY(&source)) {
        hr = SafeArrayCopy(*source.pparray, &pvarDest->parray);
    } else if (base == VT_BSTR) {
        const BSTR text = *source.pbstrVal;
        pvarDest->bstrVal = text == nullptr ? nullptr : CopyString(text);
        if (text != nullptr && pvarDest->bstrVal == nullptr) hr = E_OUTOFMEMORY;
    } else if (base == VT_UNKNOWN || base == VT_DISPATCH) {
        pvarDest->punkVal = *source.ppunkVal;
        if (pvarDest->punkVal != nullptr) pvarDest->punkVal->AddRef();
    } else if (base == VT_VARIANT) {
        // One level only, and the result takes the type of the variant pointed to.
        if (source.pvarVal->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
        return VariantCopyInd(pvarDest, source.pvarVal);
    } else if (base == VT_DECIMAL) {
        pvarDest->decVal = *source.pdecVal;
    } else {
        std::memcpy(&pvarDest->llVal, source.byref, platform::com_internal::ElementSize(base));
    }
    if (SUCCEEDED(hr)) pvarDest->vt = source.vt & ~VT_BYREF;
    return hr;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                            VARTYPE vt) {
    if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
    HRESULT hr = ValidateType(pvarSrc->vt);
    if (SUCCEEDED(hr)) hr = ValidateType(vt);
    if (FAILED(hr)) return hr;
    if (V_ISBYREF(pvarSrc) && pvarSrc->byref == nullptr) return DISP_E_TYPEMISMATCH;

    VARIANT source;
    VariantInit(&source);
    hr = VariantCopyInd(&source, pvarSrc);
    if (FAILED(hr)) return hr;
    VARIANT result;
    VariantInit(&result);
    if (V_ISARRAY(&source) || (vt & VT_ARRAY)) {
        hr = CoerceArray(source, vt, &result);
    } else {
        hr = Coerce(source, wFlags, vt, &result);
    }
    VariantClear(&source);
    if (SUCCEEDED(hr)) hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

}  // extern "C"
