// Arbitrary UTF-16 text changed to every number type, to VT_BOOL and to VT_DATE: nothing may
// crash or leak, every result is a known outcome, and what parses survives a trip through its
// own text form.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/com.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "variant_parse_fuzz: %s\n", what);
    std::abort();
}

const VARTYPE kTargets[] = {VT_I1,  VT_UI1,  VT_I2, VT_UI2, VT_I4, VT_UI4,  VT_I8,  VT_UI8,
                            VT_INT, VT_UINT, VT_R4, VT_R8,  VT_CY, VT_BOOL, VT_DATE};

size_t ValueSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return 4;
        default:
            return 8;
    }
}

HRESULT Change(const VARIANT& from, VARTYPE to, VARIANT* result) {
    VariantInit(result);
    return VariantChangeTypeEx(result, &from, 0x0409, 0, to);
}

// A value's text parses back to it: integers and booleans exactly, doubles to the same 15-digit
// text, floats within their precision, dates to the second.
void CheckRoundTrip(const VARIANT& value) {
    VARIANT text;
    Check(SUCCEEDED(Change(value, VT_BSTR, &text)), "value has no text");
    VARIANT again;
    Check(SUCCEEDED(Change(text, value.vt, &again)), "a value's own text does not parse");
    if (value.vt == VT_DATE) {
        Check(std::fabs(again.date - value.date) <= 1.0001 / 86400.0, "date drifted");
    } else if (value.vt == VT_R4) {
        const float difference = std::fabs(again.fltVal - value.fltVal);
        Check(difference <= 1e-6f * std::fabs(value.fltVal) || difference <= 1e-44f,
              "float drifted");
    } else if (value.vt == VT_R8) {
        VARIANT textAgain;
        Check(SUCCEEDED(Change(again, VT_BSTR, &textAgain)), "double lost its text");
        Check(SysStringLen(textAgain.bstrVal) == SysStringLen(text.bstrVal) &&
                  std::memcmp(textAgain.bstrVal, text.bstrVal, SysStringByteLen(text.bstrVal)) == 0,
              "double text changed");
        VariantClear(&textAgain);
    } else {
        Check(std::memcmp(&again.llVal, &value.llVal, ValueSize(value.vt)) == 0, "value changed");
    }
    VariantClear(&again);
    VariantClear(&text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<OLECHAR> units(size / 2);
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<OLECHAR>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));

    for (VARTYPE target : kTargets) {
        VARIANT result;
        const HRESULT hr = Change(source, target, &result);
        Check(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW, "unknown result");
        if (FAILED(hr)) {
            Check(result.vt == VT_EMPTY, "failure wrote the destination");
            continue;
        }
        Check(result.vt == target, "wrong result type");
        if (target == VT_BOOL) Check(result.boolVal == 0 || result.boolVal == -1, "odd boolean");
        if (target == VT_R8) Check(std::isfinite(result.dblVal), "real is not finite");
        // Currency text goes back through a double, which may round large amounts.
        if (target != VT_CY) CheckRoundTrip(result);
        VariantClear(&result);
    }
    VariantClear(&source);
    return 0;
}
