#include "platform/registry.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "testing/support.h"

namespace {

namespace reg = platform::reg;
using reg::Hive;
using reg::Type;
using reg::Value;

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

std::string EveryByte() {
    std::string bytes;
    for (int b = 1; b < 256; ++b)
        bytes.push_back(static_cast<char>(b));
    return bytes;
}

std::vector<uint8_t> ByteRamp(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

// A key of its own under HKEY_CURRENT_USER, removed at the end (under Wine it is the real
// registry).
class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override { reg::DeleteTree(Hive::CurrentUser, key_); }
    std::string Sub(const std::string& name) const { return key_ + "\\" + name; }

    const std::string key_ = "Software\\KarvexTest\\" + testing_support::UniqueName("registry");
};

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTrip) {
    struct Case {
        const char* label;
        std::string name;
        Value value;
    };
    const Case cases[] = {
        {"plain text", "plain", Value::String("hello")},
        {"empty text", "empty", Value::String("")},
        // Name and text "Котёл "1" \" / C:\Котёл\"№1"\ in Windows-1251.
        {"quotes, backslashes, Cyrillic", "\xCA\xEE\xF2\xB8\xEB \"1\" \\",
         Value::String("C:\\\xCA\xEE\xF2\xB8\xEB\\\"\xB9\x31\"\\")},
        {"every byte", "every byte", Value::String(EveryByte())},
        {"line breaks and an embedded zero", "lines", Value::String(std::string("a\r\nb\0c\n", 7))},
        {"expandable", "path", Value::String("%TEMP%\\\xEB\xEE\xE3 \"x\"", Type::ExpandSz)},
        {"empty expandable", "empty path", Value::String("", Type::ExpandSz)},
        {"dword zero", "zero", Value::Dword(0)},
        {"dword", "level", Value::Dword(42)},
        {"dword maximum", "max", Value::Dword(0xFFFFFFFFu)},
        {"empty binary", "nothing", Value::Binary({})},
        {"binary", "blob", Value::Binary({0xDE, 0xAD, 0xBE, 0xEF})},
        {"long binary", "long", Value::Binary(ByteRamp(600))},
        {"unnamed value", "", Value::String("default")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(reg::SetValue(Hive::CurrentUser, key_, c.name, c.value), platform::kErrorSuccess);
        Value read;
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key_, c.name, &read), platform::kErrorSuccess);
        EXPECT_EQ(read, c.value);
    }
    // Every value survives the writes of the others.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Value read;
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key_, c.name, &read), platform::kErrorSuccess);
        EXPECT_EQ(read, c.value);
    }
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheCaseTheyWereCreatedWith) {
    const std::string key = Sub("Settings\\\xCA\xEE\xF2\xB8\xEB");       // "Котёл"
    const std::string upperKey = Sub("SETTINGS\\\xCA\xCE\xD2\xA8\xCB");  // "КОТЁЛ"
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, key, "Lock Server", Value::Dword(1)), 0u);
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, key, "\xEF\xF3\xF2\xFC", Value::String("a")), 0u);

    Value read;
    ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, upperKey, "LOCK SERVER", &read), 0u);
    EXPECT_EQ(read.AsDword(), 1u);
    ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, upperKey, "\xCF\xD3\xD2\xDC", &read),
              0u);  // "ПУТЬ"
    EXPECT_EQ(read.AsString(), "a");

    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, upperKey, "lock server", Value::Dword(2)), 0u);
    ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "Lock Server", &read), 0u);
    EXPECT_EQ(read.AsDword(), 2u);

    std::vector<std::string> names;
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, upperKey, &names), 0u);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"Lock Server", "\xEF\xF3\xF2\xFC"}));
    ASSERT_EQ(reg::EnumSubkeys(Hive::CurrentUser, Sub("settings"), &names), 0u);
    EXPECT_EQ(names, std::vector<std::string>{"\xCA\xEE\xF2\xB8\xEB"});
    ASSERT_EQ(reg::EnumSubkeys(Hive::CurrentUser, key_, &names), 0u);
    EXPECT_EQ(names, std::vector<std::string>{"Settings"});
    EXPECT_TRUE(reg::KeyExists(Hive::CurrentUser, upperKey));
}

TEST_F(RegistryTest, MissingKeysAndValuesAreReportedAsFileNotFound) {
    const std::string missing = Sub("missing");
    Value read;
    std::vector<std::string> names;
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, missing, "x", &read),
              platform::kErrorFileNotFound);
    EXPECT_EQ(reg::DeleteValue(Hive::CurrentUser, missing, "x"), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::DeleteTree(Hive::CurrentUser, missing), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::EnumSubkeys(Hive::CurrentUser, missing, &names), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::EnumValues(Hive::CurrentUser, missing, &names), platform::kErrorFileNotFound);
    EXPECT_FALSE(reg::KeyExists(Hive::CurrentUser, missing));

    ASSERT_EQ(reg::CreateKey(Hive::CurrentUser, key_), 0u);
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, key_, "x", &read), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, key_, "", &read), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::DeleteValue(Hive::CurrentUser, key_, "x"), platform::kErrorFileNotFound);
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, key_, "x", nullptr), platform::kErrorFileNotFound);
}

TEST_F(RegistryTest, CreatesParentsEnumeratesAndDeletes) {
    ASSERT_EQ(reg::CreateKey(Hive::CurrentUser, Sub("A\\B\\C")), 0u);
    EXPECT_TRUE(reg::KeyExists(Hive::CurrentUser, Sub("A\\B")));
    EXPECT_TRUE(reg::KeyExists(Hive::CurrentUser, Sub("A\\\\B\\")));  // as Windows reads it
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, Sub("A"), "x", Value::String("1")), 0u);
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, Sub("A"), "y", Value::Dword(2)), 0u);
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, Sub("A"), "", Value::String("unnamed")), 0u);
    ASSERT_EQ(reg::CreateKey(Hive::CurrentUser, Sub("D")), 0u);
    ASSERT_EQ(reg::CreateKey(Hive::CurrentUser, Sub("D")), 0u);  // already there

    std::vector<std::string> names;
    ASSERT_EQ(reg::EnumSubkeys(Hive::CurrentUser, key_, &names), 0u);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"A", "D"}));
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, Sub("A"), &names), 0u);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"", "x", "y"}));
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, Sub("A\\B"), &names), 0u);
    EXPECT_TRUE(names.empty());

    EXPECT_EQ(reg::DeleteValue(Hive::CurrentUser, Sub("A"), "X"), 0u);
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, Sub("A"), &names), 0u);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"", "y"}));

    EXPECT_EQ(reg::DeleteTree(Hive::CurrentUser, Sub("a")), 0u);
    EXPECT_FALSE(reg::KeyExists(Hive::CurrentUser, Sub("A\\B\\C")));
    EXPECT_FALSE(reg::KeyExists(Hive::CurrentUser, Sub("A")));
    EXPECT_TRUE(reg::KeyExists(Hive::CurrentUser, Sub("D")));
    ASSERT_EQ(reg::EnumSubkeys(Hive::CurrentUser, key_, &names), 0u);
    EXPECT_EQ(names, std::vector<std::string>{"D"});

    EXPECT_EQ(reg::DeleteTree(Hive::CurrentUser, ""), platform::kErrorInvalidParameter);
}

#ifndef _WIN32

namespace fs = std::filesystem;

// Sets or clears an environment variable for one scope.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) previous_ = value;
    }
    ~ScopedEnvironment() {
        if (previous_) {
            setenv(name_, previous_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }
    void Clear() { unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// An empty registry folder of its own for tests that look at the files.
class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override { environment_.Set(folder_.path()); }
    std::string HiveFile(const char* name) const { return folder_.File(name); }
    void Write(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    testing_support::TempDir folder_;
    ScopedEnvironment environment_{"KARVEX_REGISTRY_DIR"};
};

TEST_F(RegistryFileTest, HiveIsRegeditTextInUtf8) {
    const std::string key = "Software\\kvlog.dll\\KarvexOPC-modbus";
    ASSERT_EQ(reg::SetValue(Hive::LocalMachine, key, "path",
                            Value::String("C:\\logs\\\"\xEB\xEE\xE3\".txt")),
              0u);
    ASSERT_EQ(reg::SetValue(Hive::LocalMachine, key, "level", Value::Dword(42)), 0u);
    ASSERT_EQ(reg::SetValue(Hive::LocalMachine, key, "", Value::String("ident")), 0u);
    ASSERT_EQ(reg::SetValue(Hive::LocalMachine, key, "blob", Value::Binary({0xDE, 0xAD})), 0u);
    ASSERT_EQ(reg::SetValue(Hive::LocalMachine, key, "exp", Value::String("%A%", Type::ExpandSz)),
              0u);
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "Software\\Empty"), 0u);

    EXPECT_EQ(testing_support::ReadFile(HiveFile("HKEY_LOCAL_MACHINE.reg")),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Empty]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\kvlog.dll\\KarvexOPC-modbus]\n"
              "@=\"ident\"\n"
              "\"blob\"=hex:de,ad\n"
              "\"exp\"=hex(2):25,00,41,00,25,00,00,00\n"
              "\"level\"=dword:0000002a\n"
              "\"path\"=\"C:\\\\logs\\\\\\\"лог\\\".txt\"\n");
    EXPECT_FALSE(fs::exists(HiveFile("HKEY_CURRENT_USER.reg")));
}

TEST_F(RegistryFileTest, LongHexListsWrapLikeRegedit) {
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, "Software\\K", "long", Value::Binary(ByteRamp(300))),
              0u);
    std::istringstream text(testing_support::ReadFile(HiveFile("HKEY_CURRENT_USER.reg")));
    size_t continued = 0;
    for (std::string line; std::getline(text, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (!line.empty() && line.back() == '\\') ++continued;
    }
    EXPECT_GE(continued, 10u);
    Value read;
    ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, "Software\\K", "long", &read), 0u);
    EXPECT_EQ(read.data, ByteRamp(300));
}

TEST_F(RegistryFileTest, ReadsWhatRegeditWrites) {
    // CRLF line ends, a comment, a continued hex list, a root name in another case, a type the
    // programs do not use, and UTF-8 text.
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; exported by hand\r\n"
        "[hkey_current_user\\Software\\KB Karvex\\KarvexOPCCfg\\Settings]\r\n"
        "@=\"кот\"\r\n"
        "\"datafile\"=\"C:\\\\Д\\\\a.scf\"\r\n"
        "\"lock server\"=dword:00000001\r\n"
        "\"tx devices\"=hex:01,02,03,\\\r\n"
        "  04,05\r\n"
        "\"path\"=hex(2):25,00,54,00,25,00,00,00\r\n"
        "\"multi\"=hex(7):61,00,00,00,00,00\r\n"
        "\r\n";
    std::u16string utf16 = platform::Utf8ToUtf16(text);
    const std::string encodings[] = {
        "\xEF\xBB\xBF" + text,
        "\xFF\xFE" + std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2),
    };
    const std::string key = "Software\\KB Karvex\\KarvexOPCCfg\\Settings";
    auto expectValues = [&] {
        Value read;
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "", &read), 0u);
        EXPECT_EQ(read, Value::String("\xEA\xEE\xF2"));
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "datafile", &read), 0u);
        EXPECT_EQ(read, Value::String("C:\\\xC4\\a.scf"));
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "lock server", &read), 0u);
        EXPECT_EQ(read, Value::Dword(1));
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "tx devices", &read), 0u);
        EXPECT_EQ(read, Value::Binary({1, 2, 3, 4, 5}));
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "path", &read), 0u);
        EXPECT_EQ(read, Value::String("%T%", Type::ExpandSz));
        ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, "multi", &read), 0u);
        EXPECT_EQ(read, (Value{static_cast<Type>(7), {0x61, 0, 0, 0, 0, 0}}));
    };
    for (const std::string& encoded : encodings) {
        SCOPED_TRACE(encoded.substr(0, 2) == "\xFF\xFE" ? "UTF-16" : "UTF-8");
        Write(HiveFile("HKEY_CURRENT_USER.reg"), encoded);
        expectValues();
        ASSERT_EQ(reg::SetValue(Hive::CurrentUser, key, "rx fail ct", Value::Dword(3)), 0u);
        expectValues();
        EXPECT_TRUE(testing_support::ReadFile(HiveFile("HKEY_CURRENT_USER.reg"))
                        .starts_with("Windows Registry Editor Version 5.00\n"));
    }
}

TEST_F(RegistryFileTest, RepeatedSectionsAndValuesMergeLikeRegeditImport) {
    Write(HiveFile("HKEY_CURRENT_USER.reg"),
          "Windows Registry Editor Version 5.00\n"
          "[HKEY_CURRENT_USER\\B]\n"
          "[HKEY_CURRENT_USER\\a\\x]\n"
          "\"v\"=\"first\"\n"
          "[HKEY_CURRENT_USER\\A\\\\X\\]\n"
          "\"V\"=\"second\"\n"
          "\"w\"=dword:00000001\n"
          "[HKEY_CURRENT_USER\\b]\n");
    Value read;
    ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, "A\\X", "v", &read), 0u);
    EXPECT_EQ(read, Value::String("second"));
    std::vector<std::string> names;
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, "a\\x", &names), 0u);
    EXPECT_EQ(names, (std::vector<std::string>{"v", "w"}));
    ASSERT_EQ(reg::EnumSubkeys(Hive::CurrentUser, "", &names), 0u);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"B", "a"}));
}

TEST_F(RegistryFileTest, DamagedHiveIsReportedAndNeverOverwritten) {
    const std::string header =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\K]\n";
    struct Case {
        const char* label;
        std::string content;
        size_t line;
    };
    const Case cases[] = {
        {"garbage",
         "\x7F"
         "ELF\x02\x01 garbage\n",
         1},
        {"truncated string", header + "\"a\"=\"tex", 4},
        {"truncated hex list", header + "\"a\"=hex:de,ad,\\\n", 4},
        {"bad hex byte", header + "\"a\"=hex:de,zz\n", 4},
        {"bad dword", header + "\"a\"=dword:123456789\n", 4},
        {"invalid line", header + "\"a\"=\"1\"\nname=value\n", 5},
        {"value before any section", "Windows Registry Editor Version 5.00\n\"a\"=\"1\"\n", 2},
        {"section of another hive",
         "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n", 3},
        {"key path with a leading backslash",
         "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\\\A]\n", 2},
    };
    const std::string path = HiveFile("HKEY_CURRENT_USER.reg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Write(path, c.content);
        testing::internal::CaptureStderr();
        Value read;
        std::vector<std::string> names;
        EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, "Software\\K", "a", &read),
                  platform::kErrorRegistryCorrupt);
        EXPECT_EQ(reg::EnumSubkeys(Hive::CurrentUser, "", &names), platform::kErrorRegistryCorrupt);
        EXPECT_FALSE(reg::KeyExists(Hive::CurrentUser, "Software"));
        EXPECT_EQ(reg::SetValue(Hive::CurrentUser, "Software\\K", "a", Value::Dword(1)),
                  platform::kErrorRegistryCorrupt);
        EXPECT_EQ(reg::DeleteTree(Hive::CurrentUser, "Software"), platform::kErrorRegistryCorrupt);
        std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing_support::ReadFile(path), c.content);
        EXPECT_NE(report.find(path), std::string::npos) << report;
        EXPECT_NE(report.find("line " + std::to_string(c.line) + " "), std::string::npos) << report;
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    }
    // Other hives are not affected.
    EXPECT_EQ(reg::SetValue(Hive::LocalMachine, "Software\\K", "a", Value::Dword(1)), 0u);
}

TEST_F(RegistryFileTest, InvalidNamesAreRefused) {
    // Windows names cannot start with a backslash; line breaks and zeros would not fit the file.
    const std::string badPaths[] = {"\\A", "A\nB", std::string("A\\B\0C", 5),
                                    "A\\" + std::string(256, 'k')};
    for (const std::string& path : badPaths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(reg::CreateKey(Hive::CurrentUser, path), platform::kErrorBadPathname);
        EXPECT_EQ(reg::SetValue(Hive::CurrentUser, path, "v", Value::Dword(1)),
                  platform::kErrorBadPathname);
        EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, path, "v", nullptr),
                  platform::kErrorFileNotFound);
    }
    EXPECT_EQ(reg::SetValue(Hive::CurrentUser, "A", std::string(16384, 'v'), Value::Dword(1)),
              platform::kErrorInvalidParameter);
    EXPECT_FALSE(fs::exists(HiveFile("HKEY_CURRENT_USER.reg")));
}

TEST(RegistryStorage, EnvironmentChoosesTheFolder) {
    testing_support::TempDir first;
    testing_support::TempDir second;
    ScopedEnvironment folder("KARVEX_REGISTRY_DIR");
    ScopedEnvironment home("HOME");

    const std::string nested = first.path() + "/nested/registry";
    folder.Set(nested);
    EXPECT_EQ(reg::StorageDirectory(), nested);
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, "Software\\K", "v", Value::Dword(7)), 0u);
    EXPECT_TRUE(fs::exists(nested + "/HKEY_CURRENT_USER.reg"));

    folder.Set(second.path());
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, "Software\\K", "v", nullptr),
              platform::kErrorFileNotFound);
    folder.Set(nested);
    EXPECT_EQ(reg::QueryValue(Hive::CurrentUser, "Software\\K", "v", nullptr), 0u);

    folder.Clear();
    home.Set(second.path());
    EXPECT_EQ(reg::StorageDirectory(), second.path() + "/.config/karvex/registry");
}

#endif

}  // namespace
