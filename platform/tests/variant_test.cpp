// One table of VARIANT conversions, run natively against the POSIX stand-in and, in the Windows
// build under Wine, against the real oleaut32, so both give the same results. Text conversions
// use the English (United States) locale.

#include "platform/com.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Text = std::basic_string<OLECHAR>;

const LCID kEnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

// A scalar VARIANT written as a table entry.
struct Value {
    VARTYPE vt = VT_EMPTY;
    int64_t i = 0;   // signed integers, VT_BOOL, VT_ERROR, VT_CY (ten-thousandths)
    uint64_t u = 0;  // unsigned integers
    double d = 0;    // VT_R4, VT_R8, VT_DATE
    const OLECHAR* s = nullptr;
};

Value Signed(VARTYPE vt, int64_t i) {
    return {vt, i, 0, 0, nullptr};
}
Value Unsigned(VARTYPE vt, uint64_t u) {
    return {vt, 0, u, 0, nullptr};
}
Value I1(int64_t i) {
    return Signed(VT_I1, i);
}
Value I2(int64_t i) {
    return Signed(VT_I2, i);
}
Value I4(int64_t i) {
    return Signed(VT_I4, i);
}
Value I8(int64_t i) {
    return Signed(VT_I8, i);
}
Value Int(int64_t i) {
    return Signed(VT_INT, i);
}
Value UI1(uint64_t u) {
    return Unsigned(VT_UI1, u);
}
Value UI2(uint64_t u) {
    return Unsigned(VT_UI2, u);
}
Value UI4(uint64_t u) {
    return Unsigned(VT_UI4, u);
}
Value UI8(uint64_t u) {
    return Unsigned(VT_UI8, u);
}
Value Uint(uint64_t u) {
    return Unsigned(VT_UINT, u);
}
Value Bool(bool b) {
    return Signed(VT_BOOL, b ? VARIANT_TRUE : VARIANT_FALSE);
}
Value Cy(int64_t tenThousandths) {
    return Signed(VT_CY, tenThousandths);
}
Value Error(int64_t code) {
    return Signed(VT_ERROR, code);
}
Value R4(double d) {
    return {VT_R4, 0, 0, d, nullptr};
}
Value R8(double d) {
    return {VT_R8, 0, 0, d, nullptr};
}
Value Date(double d) {
    return {VT_DATE, 0, 0, d, nullptr};
}
Value Str(const OLECHAR* s) {
    return {VT_BSTR, 0, 0, 0, s};
}
Value Empty() {
    return {};
}
Value Null() {
    return {VT_NULL, 0, 0, 0, nullptr};
}

VARIANT Make(const Value& value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = value.vt;
    switch (value.vt) {
        case VT_I1:
            v.cVal = static_cast<CHAR>(value.i);
            break;
        case VT_I2:
        case VT_BOOL:
            v.iVal = static_cast<SHORT>(value.i);
            break;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            v.lVal = static_cast<LONG>(value.i);
            break;
        case VT_I8:
        case VT_CY:
            v.llVal = value.i;
            break;
        case VT_UI1:
            v.bVal = static_cast<BYTE>(value.u);
            break;
        case VT_UI2:
            v.uiVal = static_cast<USHORT>(value.u);
            break;
        case VT_UI4:
        case VT_UINT:
            v.ulVal = static_cast<ULONG>(value.u);
            break;
        case VT_UI8:
            v.ullVal = value.u;
            break;
        case VT_R4:
            v.fltVal = static_cast<float>(value.d);
            break;
        case VT_R8:
        case VT_DATE:
            v.dblVal = value.d;
            break;
        case VT_BSTR:
            v.bstrVal = SysAllocString(value.s);
            break;
        default:
            break;
    }
    return v;
}

std::string Narrow(const OLECHAR* text, size_t length) {
    std::string result;
    for (size_t i = 0; i < length; ++i) {
        result.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    }
    return result;
}

std::string Describe(const VARIANT& v) {
    std::string text = "vt=" + std::to_string(v.vt) + " ";
    switch (v.vt) {
        case VT_I1:
            return text + std::to_string(v.cVal);
        case VT_I2:
        case VT_BOOL:
            return text + std::to_string(v.iVal);
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            return text + std::to_string(v.lVal);
        case VT_I8:
        case VT_CY:
            return text + std::to_string(v.llVal);
        case VT_UI1:
            return text + std::to_string(v.bVal);
        case VT_UI2:
            return text + std::to_string(v.uiVal);
        case VT_UI4:
        case VT_UINT:
            return text + std::to_string(v.ulVal);
        case VT_UI8:
            return text + std::to_string(v.ullVal);
        case VT_R4: {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "%.9g", v.fltVal);
            return text + buffer;
        }
        case VT_R8:
        case VT_DATE: {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "%.17g", v.dblVal);
            return text + buffer;
        }
        case VT_BSTR:
            return text + "\"" + Narrow(v.bstrVal, SysStringLen(v.bstrVal)) + "\"";
        default:
            return text;
    }
}

std::string Describe(const Value& value) {
    VARIANT v = Make(value);
    std::string text = Describe(v);
    VariantClear(&v);
    return text;
}

// Every value compares through its exact text form (%.17g for doubles).
bool Same(const VARIANT& actual, const Value& expected) {
    return Describe(actual) == Describe(expected);
}

struct Case {
    Value in;
    VARTYPE to;
    HRESULT hr;
    Value out;  // ignored when hr fails: the destination then stays as it was
    USHORT flags = 0;
};

std::string Describe(const Case& c) {
    return Describe(c.in) + " -> vt=" + std::to_string(c.to) + " flags=" + std::to_string(c.flags);
}

void RunTable(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c));
        VARIANT source = Make(c.in);
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = VariantChangeTypeEx(&result, &source, kEnglishUs, c.flags, c.to);
        EXPECT_EQ(hr, c.hr) << std::hex << "0x" << static_cast<uint32_t>(hr);
        if (SUCCEEDED(c.hr)) {
            EXPECT_TRUE(Same(result, c.out)) << Describe(result) << " expected " << Describe(c.out);
        } else {
            EXPECT_EQ(result.vt, VT_EMPTY) << Describe(result);
        }
        VariantClear(&result);
        VariantClear(&source);
    }
}

TEST(VariantChangeType, IntegersOfEveryWidthOverflowOutsideTheirRange) {
    RunTable({
        {I4(127), VT_I1, S_OK, I1(127)},
        {I4(128), VT_I1, DISP_E_OVERFLOW, {}},
        {I4(-128), VT_I1, S_OK, I1(-128)},
        {I4(-129), VT_I1, DISP_E_OVERFLOW, {}},
        {I4(255), VT_UI1, S_OK, UI1(255)},
        {I4(256), VT_UI1, DISP_E_OVERFLOW, {}},
        {I4(-1), VT_UI1, DISP_E_OVERFLOW, {}},
        {I4(32767), VT_I2, S_OK, I2(32767)},
        {I4(32768), VT_I2, DISP_E_OVERFLOW, {}},
        {I4(-32768), VT_I2, S_OK, I2(-32768)},
        {I4(65535), VT_UI2, S_OK, UI2(65535)},
        {I4(65536), VT_UI2, DISP_E_OVERFLOW, {}},
        {I4(-1), VT_UI2, DISP_E_OVERFLOW, {}},
        {UI4(0x7FFFFFFF), VT_I4, S_OK, I4(0x7FFFFFFF)},
        {I4(-1), VT_INT, S_OK, Int(-1)},
        {UI4(4000000000), VT_UINT, S_OK, Uint(4000000000)},
        {Uint(7), VT_UI1, S_OK, UI1(7)},
        {Int(-7), VT_I8, S_OK, I8(-7)},
        {I8(2147483648), VT_I4, DISP_E_OVERFLOW, {}},
        {I8(-2147483648), VT_I4, S_OK, I4(-2147483648)},
        {I8(4294967295), VT_UI4, S_OK, UI4(4294967295)},
        {I8(4294967296), VT_UI4, DISP_E_OVERFLOW, {}},
        {UI8(0x7FFFFFFFFFFFFFFF), VT_I8, S_OK, I8(0x7FFFFFFFFFFFFFFF)},
        {I8(-1), VT_UI4, DISP_E_OVERFLOW, {}},
        {I1(-5), VT_I2, S_OK, I2(-5)},
        {I1(-1), VT_UI2, DISP_E_OVERFLOW, {}},
        {UI1(200), VT_I2, S_OK, I2(200)},
        {I2(-1), VT_I8, S_OK, I8(-1)},
        {UI2(65535), VT_I4, S_OK, I4(65535)},
        {UI2(40000), VT_I1, DISP_E_OVERFLOW, {}},
        {I8(9007199254740993), VT_R8, S_OK, R8(9007199254740992.0)},
        {I4(16777217), VT_R4, S_OK, R4(16777216.0)},
    });
}

// Windows keeps the bits when a value changes between the signed and the unsigned type of one
// width, where it would otherwise overflow.
TEST(VariantChangeType, SameWidthSignedAndUnsignedKeepTheBits) {
    RunTable({
        {I1(-1), VT_UI1, S_OK, UI1(255)},
        {UI1(200), VT_I1, S_OK, I1(-56)},
        {UI2(40000), VT_I2, S_OK, I2(-25536)},
        {I4(-1), VT_UI4, S_OK, UI4(0xFFFFFFFF)},
        {I4(-1), VT_UINT, S_OK, Uint(0xFFFFFFFF)},
        {UI4(0x80000000), VT_I4, S_OK, I4(-2147483648)},
        {UI4(4000000000), VT_INT, S_OK, Int(-294967296)},
        {I8(-1), VT_UI8, S_OK, UI8(0xFFFFFFFFFFFFFFFF)},
        {UI8(0x8000000000000000), VT_I8, S_OK, I8(-9223372036854775807ll - 1)},
    });
}

TEST(VariantChangeType, RealsRoundHalfToEvenWhenTheyBecomeIntegers) {
    RunTable({
        {R8(0.5), VT_I4, S_OK, I4(0)},
        {R8(1.5), VT_I4, S_OK, I4(2)},
        {R8(2.5), VT_I4, S_OK, I4(2)},
        {R8(-0.5), VT_I4, S_OK, I4(0)},
        {R8(-1.5), VT_I4, S_OK, I4(-2)},
        {R8(-2.5), VT_I4, S_OK, I4(-2)},
        {R8(0.49), VT_I4, S_OK, I4(0)},
        {R8(2.51), VT_I4, S_OK, I4(3)},
        {R8(127.5), VT_I1, DISP_E_OVERFLOW, {}},
        {R8(-128.5), VT_I1, S_OK, I1(-128)},
        {R8(254.5), VT_UI1, S_OK, UI1(254)},
        {R8(255.5), VT_UI1, DISP_E_OVERFLOW, {}},
        {R8(-0.5), VT_UI1, S_OK, UI1(0)},
        {R8(-0.6), VT_UI1, DISP_E_OVERFLOW, {}},
        {R8(2147483647.5), VT_I4, DISP_E_OVERFLOW, {}},
        {R8(-2147483648.5), VT_I4, S_OK, I4(-2147483648)},
        {R8(4294967295.4), VT_UI4, S_OK, UI4(4294967295)},
        {R8(1e10), VT_I4, DISP_E_OVERFLOW, {}},
        {R8(1e10), VT_I8, S_OK, I8(10000000000)},
        {R8(1.5), VT_UI8, S_OK, UI8(2)},
        {R8(-3.5), VT_INT, S_OK, Int(-4)},
        {R4(2.5), VT_I2, S_OK, I2(2)},
        {R4(3.5), VT_UI2, S_OK, UI2(4)},
        {R4(-0.5), VT_I1, S_OK, I1(0)},
        {R8(1e39), VT_R4, DISP_E_OVERFLOW, {}},
        {R8(0.1), VT_R4, S_OK, R4(0.1f)},
        {R4(0.1f), VT_R8, S_OK, R8(static_cast<double>(0.1f))},
    });
}

TEST(VariantChangeType, BooleansAreMinusOneAndZero) {
    RunTable({
        {I4(5), VT_BOOL, S_OK, Bool(true)},
        {I4(0), VT_BOOL, S_OK, Bool(false)},
        {R8(0.25), VT_BOOL, S_OK, Bool(true)},
        {Bool(true), VT_I4, S_OK, I4(-1)},
        {Bool(true), VT_I2, S_OK, I2(-1)},
        {Bool(false), VT_I4, S_OK, I4(0)},
        {Bool(true), VT_UI1, S_OK, UI1(255)},
        {Bool(true), VT_UI2, S_OK, UI2(65535)},
        {Bool(true), VT_UI4, S_OK, UI4(0xFFFFFFFF)},
        {Bool(true), VT_I8, S_OK, I8(-1)},
        {Bool(true), VT_R8, S_OK, R8(-1.0)},
        {Bool(true), VT_BSTR, S_OK, Str(OLESTR("-1"))},
        {Bool(false), VT_BSTR, S_OK, Str(OLESTR("0"))},
        {Bool(true), VT_BSTR, S_OK, Str(OLESTR("True")), VARIANT_ALPHABOOL},
        {Bool(false), VT_BSTR, S_OK, Str(OLESTR("False")), VARIANT_ALPHABOOL},
        {Str(OLESTR("True")), VT_BOOL, S_OK, Bool(true)},
        {Str(OLESTR("false")), VT_BOOL, S_OK, Bool(false)},
        {Str(OLESTR("#TRUE#")), VT_BOOL, S_OK, Bool(true)},
        {Str(OLESTR("1")), VT_BOOL, S_OK, Bool(true)},
        {Str(OLESTR("0.0")), VT_BOOL, S_OK, Bool(false)},
        {Str(OLESTR("yes")), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
    });
}

TEST(VariantChangeType, NumbersBecomeText) {
    RunTable({
        {I4(-42), VT_BSTR, S_OK, Str(OLESTR("-42"))},
        {I1(-128), VT_BSTR, S_OK, Str(OLESTR("-128"))},
        {UI8(18446744073709551615ull), VT_BSTR, S_OK, Str(OLESTR("18446744073709551615"))},
        {I8(-9223372036854775807ll - 1), VT_BSTR, S_OK, Str(OLESTR("-9223372036854775808"))},
        {R8(1.5), VT_BSTR, S_OK, Str(OLESTR("1.5"))},
        {R8(-0.25), VT_BSTR, S_OK, Str(OLESTR("-0.25"))},
        {R8(1e20), VT_BSTR, S_OK, Str(OLESTR("1E+20"))},
        {R8(1.0 / 3.0), VT_BSTR, S_OK, Str(OLESTR("0.333333333333333"))},
        {R8(123456789012345678.0), VT_BSTR, S_OK, Str(OLESTR("1.23456789012346E+17"))},
        {R8(0.00001), VT_BSTR, S_OK, Str(OLESTR("1E-05"))},
        {R8(-0.0), VT_BSTR, S_OK, Str(OLESTR("0"))},
        {R4(0.1f), VT_BSTR, S_OK, Str(OLESTR("0.1"))},
        {R4(1.0f / 3.0f), VT_BSTR, S_OK, Str(OLESTR("0.3333333"))},
        {R4(1234.5f), VT_BSTR, S_OK, Str(OLESTR("1234.5"))},
        {Cy(12345), VT_BSTR, S_OK, Str(OLESTR("1.2345"))},
        {Cy(-10000), VT_BSTR, S_OK, Str(OLESTR("-1"))},
    });
}

TEST(VariantChangeType, TextBecomesNumbersOrTypeMismatch) {
    RunTable({
        {Str(OLESTR("42")), VT_I4, S_OK, I4(42)},
        {Str(OLESTR("  42  ")), VT_I4, S_OK, I4(42)},
        {Str(OLESTR("-42")), VT_I4, S_OK, I4(-42)},
        {Str(OLESTR("+7")), VT_I2, S_OK, I2(7)},
        {Str(OLESTR("42-")), VT_I4, S_OK, I4(-42)},
        {Str(OLESTR("(42)")), VT_I4, S_OK, I4(-42)},
        {Str(OLESTR("1,234")), VT_I4, S_OK, I4(1234)},
        {Str(OLESTR("1e3")), VT_I4, S_OK, I4(1000)},
        {Str(OLESTR("&H1F")), VT_I4, S_OK, I4(31)},
        {Str(OLESTR("&O17")), VT_I4, S_OK, I4(15)},
        {Str(OLESTR("&HFFFF")), VT_I2, S_OK, I2(-1)},
        {Str(OLESTR("2.5")), VT_I4, S_OK, I4(2)},
        {Str(OLESTR("3.5")), VT_I4, S_OK, I4(4)},
        {Str(OLESTR("-2.5")), VT_I4, S_OK, I4(-2)},
        {Str(OLESTR("0.5")), VT_I4, S_OK, I4(0)},
        {Str(OLESTR("1.5")), VT_UI1, S_OK, UI1(2)},
        {Str(OLESTR("128")), VT_I1, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("-1")), VT_UI1, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("99999999999")), VT_I4, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("18446744073709551615")), VT_UI8, S_OK, UI8(18446744073709551615ull)},
        {Str(OLESTR("9223372036854775808")), VT_I8, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("1.5")), VT_R8, S_OK, R8(1.5)},
        {Str(OLESTR("-1.25e-3")), VT_R8, S_OK, R8(-0.00125)},
        {Str(OLESTR("1.5")), VT_R4, S_OK, R4(1.5)},
        {Str(OLESTR("3.4028235e38")), VT_R4, S_OK, R4(3.4028234663852886e38)},
        {Str(OLESTR("1e400")), VT_R8, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("1e39")), VT_R4, DISP_E_OVERFLOW, {}},
        {Str(OLESTR("1.23456")), VT_CY, S_OK, Cy(12346)},
        {Str(OLESTR("abc")), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Str(OLESTR("")), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Str(OLESTR("12abc")), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Str(OLESTR("1 2")), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {Str(OLESTR("(42")), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Str(OLESTR(".")), VT_R8, DISP_E_TYPEMISMATCH, {}},
    });
}

TEST(VariantChangeType, DatesToAndFromTextAndReals) {
    RunTable({
        {Date(36526.0), VT_BSTR, S_OK, Str(OLESTR("1/1/2000"))},
        {Date(36526.5), VT_BSTR, S_OK, Str(OLESTR("1/1/2000 12:00:00 PM"))},
        {Date(0.25), VT_BSTR, S_OK, Str(OLESTR("6:00:00 AM"))},
        {Date(0.0), VT_BSTR, S_OK, Str(OLESTR("12:00:00 AM"))},
        {Date(3.34), VT_BSTR, S_OK, Str(OLESTR("1/2/1900 8:09:36 AM"))},
        {Date(-1.25), VT_BSTR, S_OK, Str(OLESTR("12/29/1899 6:00:00 AM"))},
        {Date(2958465.0), VT_BSTR, S_OK, Str(OLESTR("12/31/9999"))},
        {Str(OLESTR("1/1/2000")), VT_DATE, S_OK, Date(36526.0)},
        {Str(OLESTR("1/1/2000 12:00:00 PM")), VT_DATE, S_OK, Date(36526.5)},
        {Str(OLESTR("12/29/1899 6:00:00 AM")), VT_DATE, S_OK, Date(-1.25)},
        {Str(OLESTR("2000-01-01")), VT_DATE, S_OK, Date(36526.0)},
        {Str(OLESTR("12:00:00 PM")), VT_DATE, S_OK, Date(0.5)},
        {Str(OLESTR("13:30")), VT_DATE, S_OK, Date(0.5625)},
        {Str(OLESTR("12/31/99")), VT_DATE, S_OK, Date(36525.0)},
        {Str(OLESTR("13/1/2000")), VT_DATE, S_OK, Date(36538.0)},
        {Str(OLESTR("not a date")), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {Date(36526.5), VT_R8, S_OK, R8(36526.5)},
        {R8(-1.25), VT_DATE, S_OK, Date(-1.25)},
        {R8(1e10), VT_DATE, DISP_E_OVERFLOW, {}},
        {I4(3000000), VT_DATE, DISP_E_OVERFLOW, {}},
        {I4(36526), VT_DATE, S_OK, Date(36526.0)},
        {Date(1.5), VT_I4, S_OK, I4(2)},
        {Date(2.5), VT_I4, S_OK, I4(2)},
    });
}

TEST(VariantChangeType, CurrencyEmptyNullAndInvalidTypes) {
    RunTable({
        {R8(1.23456), VT_CY, S_OK, Cy(12346)},
        {R8(-2.5), VT_CY, S_OK, Cy(-25000)},
        {R8(0.00005), VT_CY, S_OK, Cy(1)},
        {R8(123456789012345.0), VT_CY, S_OK, Cy(1234567890123450000)},
        {I4(-3), VT_CY, S_OK, Cy(-30000)},
        {Cy(12345), VT_R8, S_OK, R8(1.2345)},
        {Cy(15000), VT_I4, S_OK, I4(2)},
        {Cy(25000), VT_I4, S_OK, I4(2)},
        {Empty(), VT_I4, S_OK, I4(0)},
        {Empty(), VT_R8, S_OK, R8(0)},
        {Empty(), VT_BOOL, S_OK, Bool(false)},
        {Empty(), VT_BSTR, S_OK, Str(OLESTR(""))},
        {Empty(), VT_DATE, S_OK, Date(0)},
        {Null(), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Null(), VT_BSTR, DISP_E_TYPEMISMATCH, {}},
        {I4(1), VT_EMPTY, S_OK, Empty()},
        {I4(1), VT_NULL, S_OK, Null()},
        {Error(5), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {I4(1), 15, DISP_E_BADVARTYPE, {}},
        {I4(1), VT_VECTOR | VT_I4, DISP_E_BADVARTYPE, {}},
        {I4(1), VT_ARRAY | VT_NULL, DISP_E_BADVARTYPE, {}},
    });
}

VARIANT R8Array(std::initializer_list<double> values, LONG lowerBound) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_R8;
    v.parray = SafeArrayCreateVector(VT_R8, lowerBound, static_cast<ULONG>(values.size()));
    LONG index = lowerBound;
    for (double value : values) {
        SafeArrayPutElement(v.parray, &index, &value);
        ++index;
    }
    return v;
}

std::vector<double> Elements(SAFEARRAY* array) {
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    std::vector<double> values;
    for (LONG i = low; i <= high; ++i) {
        double value = 0;
        EXPECT_EQ(SafeArrayGetElement(array, &i, &value), S_OK);
        values.push_back(value);
    }
    return values;
}

TEST(VariantArrays, CopiesAreDeepAndArraysChangeOnlyToTheirOwnType) {
    VARIANT source = R8Array({1.5, -2.25}, 1);
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    ASSERT_EQ(copy.vt, VT_ARRAY | VT_R8);
    EXPECT_NE(copy.parray, source.parray);
    LONG low = 0;
    EXPECT_EQ(SafeArrayGetLBound(copy.parray, 1, &low), S_OK);
    EXPECT_EQ(low, 1);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(copy.parray, &vt), S_OK);
    EXPECT_EQ(vt, VT_R8);
    LONG first = 1;
    double changed = 9.0;
    ASSERT_EQ(SafeArrayPutElement(source.parray, &first, &changed), S_OK);
    EXPECT_EQ(Elements(copy.parray), (std::vector<double>{1.5, -2.25}));

    VARIANT same;
    VariantInit(&same);
    ASSERT_EQ(VariantChangeTypeEx(&same, &source, kEnglishUs, 0, VT_ARRAY | VT_R8), S_OK);
    EXPECT_NE(same.parray, source.parray);
    EXPECT_EQ(Elements(same.parray), (std::vector<double>{9.0, -2.25}));

    for (VARTYPE to : std::vector<VARTYPE>{VT_R8, VT_I4, VT_BSTR, VT_ARRAY | VT_I4}) {
        SCOPED_TRACE(to);
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(VariantChangeTypeEx(&result, &source, kEnglishUs, 0, to), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(result.vt, VT_EMPTY);
    }
    VARIANT scalar = Make(R8(1.0));
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(VariantChangeTypeEx(&result, &scalar, kEnglishUs, 0, VT_ARRAY | VT_R8),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantClear(&same), S_OK);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&source), S_OK);
    EXPECT_EQ(source.vt, VT_EMPTY);
}

TEST(VariantByReference, CopyIndAndChangeTypeReadThroughThePointer) {
    LONG number = 42;
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_I4;
    reference.plVal = &number;

    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(VariantCopyInd(&result, &reference), S_OK);
    EXPECT_TRUE(Same(result, I4(42))) << Describe(result);
    ASSERT_EQ(VariantCopy(&result, &reference), S_OK);
    EXPECT_EQ(result.vt, VT_BYREF | VT_I4);
    EXPECT_EQ(result.plVal, &number);
    ASSERT_EQ(VariantChangeTypeEx(&result, &reference, kEnglishUs, 0, VT_R8), S_OK);
    EXPECT_TRUE(Same(result, R8(42.0))) << Describe(result);
    ASSERT_EQ(VariantChangeTypeEx(&result, &reference, kEnglishUs, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(result, I4(42))) << Describe(result);

    BSTR text = SysAllocString(OLESTR("17"));
    VARIANT textReference;
    VariantInit(&textReference);
    textReference.vt = VT_BYREF | VT_BSTR;
    textReference.pbstrVal = &text;
    ASSERT_EQ(VariantChangeTypeEx(&result, &textReference, kEnglishUs, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(result, I4(17))) << Describe(result);
    ASSERT_EQ(VariantCopyInd(&result, &textReference), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_NE(result.bstrVal, text);
    EXPECT_EQ(Text(result.bstrVal), Text(OLESTR("17")));
    VariantClear(&result);
    SysFreeString(text);

    VARIANT inner = Make(I2(7));
    VARIANT variantReference;
    VariantInit(&variantReference);
    variantReference.vt = VT_BYREF | VT_VARIANT;
    variantReference.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&result, &variantReference), S_OK);
    EXPECT_TRUE(Same(result, I2(7))) << Describe(result);
    ASSERT_EQ(VariantChangeTypeEx(&result, &variantReference, kEnglishUs, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(result, I4(7))) << Describe(result);

    VARIANT array = R8Array({0.5}, 0);
    VARIANT arrayReference;
    VariantInit(&arrayReference);
    arrayReference.vt = VT_BYREF | VT_ARRAY | VT_R8;
    arrayReference.pparray = &array.parray;
    ASSERT_EQ(VariantCopyInd(&result, &arrayReference), S_OK);
    ASSERT_EQ(result.vt, VT_ARRAY | VT_R8);
    EXPECT_NE(result.parray, array.parray);
    EXPECT_EQ(Elements(result.parray), (std::vector<double>{0.5}));
    VariantClear(&result);
    VariantClear(&array);

    // In place: the reference becomes the value.
    ASSERT_EQ(VariantCopyInd(&reference, &reference), S_OK);
    EXPECT_TRUE(Same(reference, I4(42))) << Describe(reference);
}

TEST(VariantChangeType, WorksInPlaceAndKeepsTheDestinationOnFailure) {
    VARIANT value = Make(Str(OLESTR("12")));
    ASSERT_EQ(VariantChangeTypeEx(&value, &value, kEnglishUs, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(value, I4(12))) << Describe(value);

    VARIANT destination = Make(I4(99));
    VARIANT text = Make(Str(OLESTR("abc")));
    EXPECT_EQ(VariantChangeTypeEx(&destination, &text, kEnglishUs, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Same(destination, I4(99))) << Describe(destination);
    VariantClear(&text);
}

}  // namespace
