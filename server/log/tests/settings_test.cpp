// The parsers of registry settings, case by case; log_test covers them end to end.

#include "../src/settings.h"

#include <gtest/gtest.h>

namespace {

using namespace kvlog::internal;
namespace reg = platform::reg;

TEST(LogSettings, UnsignedNumbersReadLikeStrtoulWithBaseZero) {
    struct Case {
        const char* text;
        std::optional<uint32_t> expected;
    };
    const Case cases[] = {
        {"10", 10u},
        {"  42kB", 42u},
        {"0x1F", 31u},
        {"0X1f", 31u},
        {"017", 15u},
        {"0", 0u},
        {"08", 0u},
        {"0x", 0u},
        {"0xg", 0u},
        {"4294967295", 0xFFFFFFFFu},
        {"99999999999", 0xFFFFFFFFu},
        {"", std::nullopt},
        {"DEBUG", std::nullopt},
        {"-1", std::nullopt},
        {" ", std::nullopt},
        {"+5", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseUnsigned(c.text), c.expected) << c.text;
}

TEST(LogSettings, SizeAndLevelAcceptDwordsNumbersAndLevelNames) {
    struct Case {
        const char* name;
        reg::Value value;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {"dword", reg::Value::Dword(2048), 2048},
        {"dword all ones", reg::Value::Dword(0xFFFFFFFFu), -1},
        {"decimal", reg::Value::String("10240"), 10240},
        {"hexadecimal", reg::Value::String("0x400"), 1024},
        {"octal", reg::Value::String("010"), 8},
        {"name", reg::Value::String("Notice"), 5},
        {"unknown name", reg::Value::String("loud"), 0},
        {"expandable", reg::Value::String("7", reg::Type::ExpandSz), 7},
        {"empty", reg::Value::String(""), std::nullopt},
        {"only a terminator", reg::Value::String(std::string(1, '\0')), std::nullopt},
        {"binary", reg::Value::Binary({5, 0, 0, 0}), std::nullopt},
        {"short dword", reg::Value{reg::Type::Dword, {1}}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadNumberSetting(c.value), c.expected) << c.name;
}

TEST(LogSettings, IdentSkipsLeadingBlanksAndIsCut) {
    EXPECT_EQ(ReadIdent(reg::Value::String("  \t\x02Modbus")), "Modbus");
    EXPECT_EQ(ReadIdent(reg::Value::String(std::string(40, 'x'))), std::string(31, 'x'));
    EXPECT_EQ(ReadIdent(reg::Value::String(" \t ")), std::nullopt);
    EXPECT_EQ(ReadIdent(reg::Value::Dword(1)), std::nullopt);
}

TEST(LogSettings, PathMayBeEmptyButNotTooLong) {
    EXPECT_EQ(ReadPath(reg::Value::String("")), "");
    EXPECT_EQ(ReadPath(reg::Value::String(std::string(275, 'p'))), std::string(275, 'p'));
    EXPECT_EQ(ReadPath(reg::Value::String(std::string(276, 'p'))), std::nullopt);
    EXPECT_EQ(ReadPath(reg::Value::Dword(1)), std::nullopt);
}

TEST(LogSettings, PathSettingFormsSelectKindNameAndRest) {
    struct Case {
        const char* path;
        OutputKind kind;
        const char* name;
        const char* rest;
    };
    const Case cases[] = {
        {"C:\\logs\\a.log", OutputKind::File, "C:\\logs\\a.log", ""},
        {"a.log*X", OutputKind::File, "a.log", "X"},
        {"a.log?Y", OutputKind::SharedFile, "a.log", "Y"},
        {"?Z", OutputKind::Debugger, "", "Z"},
        {"?", OutputKind::Debugger, "", ""},
        {"host|Source", OutputKind::EventLog, "host", "Source"},
        {"<Source", OutputKind::EventLog, "", "Source"},
        {"host>", OutputKind::EventLog, "host", "kvlog.dll"},
        {"", OutputKind::None, "", ""},
        {"*rest", OutputKind::None, "", "rest"},
        {"a*b?c", OutputKind::File, "a", "b?c"},
    };
    for (const auto& c : cases) {
        PathSpec spec = ParsePathSpec(c.path);
        EXPECT_EQ(spec.kind, c.kind) << c.path;
        EXPECT_EQ(spec.name, c.name) << c.path;
        EXPECT_EQ(spec.rest, c.rest) << c.path;
    }
}

TEST(LogSettings, DirectivesEndAtABlankOrAnyOtherCharacter) {
    struct Case {
        const char* text;
        const char* letters;
        const char* rest;
    };
    const Case cases[] = {
        {"%!e daDelete(%p) = ", "e", "daDelete(%p) = "},
        {"%!PT%d", "PT", "%d"},
        {"%!", "", ""},
        {"%!  two blanks", "", " two blanks"},
        {"plain %!e", "", "plain %!e"},
        {"%%!e", "", "%%!e"},
    };
    for (const auto& c : cases) {
        Directives directives = SplitDirectives(c.text);
        EXPECT_EQ(directives.letters, c.letters) << c.text;
        EXPECT_EQ(directives.text, c.rest) << c.text;
    }
}

TEST(LogSettings, LevelNamesBothWays) {
    for (int level = 0; level <= 7; ++level)
        EXPECT_EQ(LevelFromName(LevelName(level)), level);
    EXPECT_EQ(LevelName(8), nullptr);
    EXPECT_EQ(LevelName(-1), nullptr);
    EXPECT_EQ(LevelFromName("trace"), 6);
}

}  // namespace
