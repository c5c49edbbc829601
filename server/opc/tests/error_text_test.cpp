#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opc/daregister.h"
#include "platform/codepage.h"
#include "platform/system.h"

namespace {

std::string Text(HRESULT code, LCID locale = 0x409, opc::daErrorTextCallback callback = nullptr) {
    return platform::Utf16ToCp1251(opc::daErrorText(opc::daCallerRecord{}, callback, code, locale));
}

struct TableCase {
    uint32_t code;
    const char* expected;
};

TEST(ErrorText, BuiltInTableWithCodeSuffix) {
    const TableCase cases[] = {
        {0xC0040001,
         "The value of the handle is invalid. /OPC_E_INVALIDHANDLE =0xC0040001(-1073479679)"},
        {0xC0040007,
         "The item is no longer available in the server address space /OPC_E_UNKNOWNITEMID "
         "=0xC0040007(-1073479673)"},
        {0x0004000D,
         "The server does not support the requested data rate but will use the closest "
         "available rate. /OPC_S_UNSUPPORTEDRATE =0x4000D(262157)"},
        {0x80070057,
         "An argument to the function was invalid. /E_INVALIDARG =0x80070057(-2147024809)"},
        {0x80040064,
         "Invalid or unregistered Format specified in FORMATEC. /DV_E_FORMATETC "
         "=0x80040064(-2147221404)"},
        {1, "The operation partially successed. /S_FALSE =0x1(1)"},
        {0, "The operation successed. /S_OK =0x0(0)"},
        {0xC00400FF, "<UNKNOWN ERROR> =0xC00400FF(-1073479425)"},
    };
    for (const TableCase& c : cases) {
        EXPECT_EQ(Text(static_cast<HRESULT>(c.code)), c.expected) << std::hex << c.code;
    }
}

TEST(ErrorText, OtherCodesTakeTheSystemMessageOfTheLocaleThenNeutral) {
    for (LCID locale : {LCID{0x409}, LCID{0x419}, LCID{0}}) {
        std::string system;
        ASSERT_TRUE(platform::SystemErrorText(2, LANGIDFROMLCID(locale), &system) ||
                    platform::SystemErrorText(2, 0, &system));
        EXPECT_EQ(Text(2, locale), system + " =0x2(2)") << locale;
    }
}

std::vector<unsigned> capacities;

unsigned DriverText(const opc::daCallerRecord*, HRESULT code, LCID, WCHAR* text,
                    unsigned capacity) {
    capacities.push_back(capacity);
    std::u16string made;
    if (code == 0x20000001) made = u"\tLine one\r\nline\ttwo \r\n \x01";
    if (code == 0x20000002) made = std::u16string(300, u'x') + u"!";
    if (code == static_cast<HRESULT>(0xC0040001)) made = u"";  // leaves it to the service
    const size_t written = std::min<size_t>(made.size(), capacity - 1);
    for (size_t i = 0; i < written; ++i)
        text[i] = static_cast<WCHAR>(made[i]);
    text[written] = 0;
    return static_cast<unsigned>(made.size());
}

TEST(ErrorText, DriverTextFirstCleanedOfControlCharacters) {
    capacities.clear();
    EXPECT_EQ(Text(0x20000001, 0x409, DriverText), " Line one  line two =0x20000001(536870913)");
    EXPECT_EQ(capacities, std::vector<unsigned>{256});

    capacities.clear();
    EXPECT_EQ(Text(0x20000002, 0x409, DriverText),
              std::string(300, 'x') + "! =0x20000002(536870914)");
    EXPECT_EQ(capacities, (std::vector<unsigned>{256, 302}));

    EXPECT_EQ(Text(static_cast<HRESULT>(0xC0040001), 0x409, DriverText),
              "The value of the handle is invalid. /OPC_E_INVALIDHANDLE =0xC0040001(-1073479679)");
}

TEST(ErrorText, GetErrorStringAllocatesTheText) {
    LPWSTR text = nullptr;
    ASSERT_EQ(opc::daGetErrorString(opc::daCallerRecord{}, nullptr, E_POINTER, 0x409, &text), S_OK);
    ASSERT_NE(text, nullptr);
    std::u16string got;
    for (const WCHAR* c = text; *c != 0; ++c)
        got.push_back(static_cast<char16_t>(*c));
    CoTaskMemFree(text);
    EXPECT_EQ(platform::Utf16ToCp1251(got), "Invalid pointer. /E_POINTER =0x80004003(-2147467261)");
    EXPECT_EQ(opc::daGetErrorString(opc::daCallerRecord{}, nullptr, E_POINTER, 0x409, nullptr),
              E_INVALIDARG);
}

}  // namespace
