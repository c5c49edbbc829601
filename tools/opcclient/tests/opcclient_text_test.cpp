// The client tool's texts under the real oleaut32: what engineers read and what they type.

#include "format.h"

#include <string>

#include <gtest/gtest.h>

#include "opcconst.h"

namespace {

using namespace opcclient;

TEST(OpcclientText, QualityWords) {
    const struct {
        WORD quality;
        const char* text;
    } cases[] = {
        {0xC0, "0xC0 good"},
        {0xD8, "0xD8 good/local override"},
        {0x20, "0x20 bad/waiting for initial data"},
        {0x1C, "0x1C bad/out of service"},
        {0x00, "0x00 bad"},
        {0x56, "0x56 uncertain/EU units exceeded+high limited"},
        {0x47, "0x47 uncertain/last usable+constant"},
        {0x8C, "0x8C invalid/substatus 3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QualityText(c.quality), c.text) << int(c.quality);
}

TEST(OpcclientText, TimeIsUtcIso) {
    // 2000-01-01T00:00:00Z plus 1.5 s.
    const unsigned long long ticks = 125911584000000000ULL + 15000000ULL;
    EXPECT_EQ(TimeText(FILETIME{DWORD(ticks), DWORD(ticks >> 32)}), "2000-01-01T00:00:01.500Z");
}

TEST(OpcclientText, Values) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = 21.1f;
    EXPECT_EQ(ValueText(v), "21.1");
    v.vt = VT_R8;
    v.dblVal = 0.1 + 0.2;
    EXPECT_EQ(ValueText(v), "0.30000000000000004");
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(ValueText(v), "true");
    v.vt = VT_I4;
    v.lVal = -7;
    EXPECT_EQ(ValueText(v), "-7");
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"a\tb\\c\n\x0442");
    EXPECT_EQ(ValueText(v), "a\\tb\\\\c\\n\xD1\x82");
    VariantClear(&v);

    SAFEARRAYBOUND bound{2, 0};
    v.vt = VT_ARRAY | VT_R8;
    v.parray = SafeArrayCreate(VT_R8, 1, &bound);
    ASSERT_NE(v.parray, nullptr);
    LONG index = 1;
    double high = 150;
    ASSERT_EQ(SafeArrayPutElement(v.parray, &index, &high), S_OK);
    EXPECT_EQ(ValueText(v), "[0,150]");
    EXPECT_EQ(TypeName(v.vt), "R8[]");
    VariantClear(&v);
}

TEST(OpcclientText, ParsesTypedValues) {
    const struct {
        const char* text;
        VARTYPE type;
        HRESULT result;
        const char* printed;
    } cases[] = {
        {"42.5", VT_R4, S_OK, "42.5"},
        {"-1e3", VT_R8, S_OK, "-1000"},
        {"ON", VT_BOOL, S_OK, "true"},
        {"0", VT_BOOL, S_OK, "false"},
        {"maybe", VT_BOOL, DISP_E_TYPEMISMATCH, nullptr},
        {"123", VT_I4, S_OK, "123"},
        {"1.5", VT_I4, DISP_E_TYPEMISMATCH, nullptr},  // no silent rounding
        {"70000", VT_I2, DISP_E_OVERFLOW, nullptr},
        {"12abc", VT_R8, DISP_E_TYPEMISMATCH, nullptr},
        {"", VT_R4, DISP_E_TYPEMISMATCH, nullptr},
        {"1e39", VT_R4, DISP_E_OVERFLOW, nullptr},
        {"text = with blanks", VT_BSTR, S_OK, "text = with blanks"},
        {"1,2", VT_ARRAY | VT_R8, E_INVALIDARG, nullptr},
    };
    for (const auto& c : cases) {
        VARIANT value;
        EXPECT_EQ(ParseValue(c.text, c.type, &value), c.result) << c.text;
        if (c.printed != nullptr) {
            EXPECT_EQ(value.vt, c.type) << c.text;
            EXPECT_EQ(ValueText(value), c.printed) << c.text;
        }
        VariantClear(&value);
    }
}

TEST(OpcclientText, CodesHaveNames) {
    EXPECT_EQ(CodeText(OPC_E_UNKNOWNITEMID), "0xC0040007");
    EXPECT_EQ(CodeName(OPC_E_UNKNOWNITEMID), "OPC_E_UNKNOWNITEMID");
    EXPECT_EQ(CodeName(OPC_S_CLAMP), "OPC_S_CLAMP");
    EXPECT_EQ(CodeName(0x12345678), "");
}

}  // namespace
