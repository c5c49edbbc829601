#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

TEST(Codepage, EveryByteRoundTripsThroughUtf16AndUtf8) {
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(platform::Utf16ToCp1251(platform::Cp1251ToUtf16(all)), all);
    EXPECT_EQ(platform::Utf8ToCp1251(platform::Cp1251ToUtf8(all)), all);
}

TEST(Codepage, CyrillicAndPunctuationMapToUnicode) {
    // "Котёл №1 — ок" in Windows-1251.
    const std::string text = "\xCA\xEE\xF2\xB8\xEB \xB9\x31 \x97 \xEE\xEA";
    EXPECT_EQ(platform::Cp1251ToUtf8(text), "Котёл №1 — ок");
    EXPECT_EQ(platform::Cp1251ToUtf16(text), u"Котёл №1 — ок");
    EXPECT_EQ(platform::Utf8ToCp1251("Котёл №1 — ок"), text);
}

TEST(Codepage, UnmappableAndMalformedInputBecomesQuestionMarks) {
    struct Case {
        std::string utf8;
        std::string expected;
    };
    const Case cases[] = {
        {"日本", "??"},
        {"a\xFF"
         "b",
         "a?b"},                      // invalid lead byte
        {"\xC3", "?"},                // truncated sequence
        {"\xC0\xAF", "??"},           // overlong '/'
        {"\xED\xA0\x80", "???"},      // encoded surrogate
        {"\xF0\x9F\x98\x80x", "?x"},  // outside the BMP
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::Utf8ToCp1251(c.utf8), c.expected) << c.utf8;
    EXPECT_EQ(platform::Utf16ToCp1251(std::u16string(1, char16_t(0xD800)) + u"z"), "?z");
    EXPECT_EQ(platform::Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(platform::Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(Codepage, NamesCompareWithoutCaseInBothAlphabets) {
    EXPECT_TRUE(platform::EqualNoCase("Software\\KvLog.DLL", "SOFTWARE\\kvlog.dll"));
    EXPECT_TRUE(
        platform::EqualNoCase(platform::Utf8ToCp1251("котёл"), platform::Utf8ToCp1251("КОТЁЛ")));
    EXPECT_FALSE(platform::EqualNoCase("abc", "abd"));
    EXPECT_FALSE(platform::EqualNoCase("abc", "abcd"));
}

}  // namespace
