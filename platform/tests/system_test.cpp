#include "platform/system.h"

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "testing/support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

TEST(System, HooksReceiveBeepsDebugOutputAndEventReports) {
    std::vector<uint32_t> beeps;
    platform::SetBeepHook([&](uint32_t frequency, uint32_t duration) {
        beeps.push_back(frequency);
        beeps.push_back(duration);
    });
    platform::Beep(750, 300);
    platform::SetBeepHook(nullptr);
    platform::Beep(1, 1);  // no hook: no sound on POSIX, a real beep (silent under Wine) else
    EXPECT_EQ(beeps, (std::vector<uint32_t>{750, 300}));

    std::string debugText;
    platform::SetDebugOutputHook([&](const std::string& text) { debugText += text; });
    platform::DebugOutput("line one\r\n");
    platform::SetDebugOutputHook(nullptr);
    EXPECT_EQ(debugText, "line one\r\n");

    struct Report {
        std::string source;
        platform::EventType type;
        uint32_t id;
        std::string text;
    };
    std::vector<Report> reports;
    platform::SetEventReportHook([&](const std::string& source, platform::EventType type,
                                     uint32_t id, const std::string& text) {
        reports.push_back({source, type, id, text});
    });
    platform::EventSource source = platform::RegisterEventSource("", "karvex-test");
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(platform::ReportEvent(source, platform::EventType::Warning, 0x80000002u,
                                      "W2 disk almost full", false));
    platform::DeregisterEventSource(source);
    platform::SetEventReportHook(nullptr);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].source, "karvex-test");
    EXPECT_EQ(reports[0].type, platform::EventType::Warning);
    EXPECT_EQ(reports[0].id, 0x80000002u);
    EXPECT_EQ(reports[0].text, "W2 disk almost full");
}

#ifdef _WIN32
TEST(System, RealEventLogAcceptsReportsWithAndWithoutTheUser) {
    platform::EventSource source = platform::RegisterEventSource("", "karvex-test");
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(platform::ReportEvent(source, platform::EventType::Information, 0x40000003u,
                                      "I4 plain", false));
    EXPECT_TRUE(platform::ReportEvent(source, platform::EventType::Error, 0xC0000001u,
                                      "E1 with the user", true));
    platform::DeregisterEventSource(source);
}
#else
TEST(System, DebugOutputGoesToStandardErrorAsUtf8) {
    testing_support::TempDir dir;
    const std::string path = dir.File("stderr.txt");
    int saved = dup(STDERR_FILENO);
    int capture = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(capture, 0);
    dup2(capture, STDERR_FILENO);
    platform::DebugOutput("\xCA\xEE\xF2\xB8\xEB 1\r\n");  // Windows-1251
    dup2(saved, STDERR_FILENO);
    close(capture);
    close(saved);
    EXPECT_EQ(testing_support::ReadFile(path), "Котёл 1\r\n");
}

TEST(System, RemoteEventLogsAreRefused) {
    EXPECT_EQ(platform::RegisterEventSource("otherhost", "karvex-test"), nullptr);
}
#endif

TEST(System, ExpandEnvironmentReplacesKnownReferencesOnly) {
    SetEnvironment("KARVEX_TEST_LOGDIR", "C:\\logs");
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"%KARVEX_TEST_LOGDIR%\\server.log", "C:\\logs\\server.log"},
        {"a%KARVEX_TEST_LOGDIR%b%KARVEX_TEST_LOGDIR%", "aC:\\logsbC:\\logs"},
        {"%KARVEX_NO_SUCH_VARIABLE%\\x", "%KARVEX_NO_SUCH_VARIABLE%\\x"},
        {"100% sure", "100% sure"},
        {"%%", "%%"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::ExpandEnvironment(c.text), c.expected) << c.text;
}

TEST(System, UserNameIsKnown) {
    EXPECT_FALSE(platform::UserName().empty());
}

TEST(System, RuntimeErrorTextKnowsCommonNumbersOnly) {
    EXPECT_EQ(platform::RuntimeErrorText(2), "No such file or directory");
    EXPECT_EQ(platform::RuntimeErrorText(987654), "");
}

TEST(System, SystemErrorTextIsTrimmedAndAbsentForUnknownCodes) {
    std::string text;
    ASSERT_TRUE(platform::SystemErrorText(2, 1033, &text));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), ' ');
    EXPECT_TRUE(platform::SystemErrorText(5, 0, &text));
    EXPECT_FALSE(platform::SystemErrorText(0x2BADF00Du, 0, &text));
}

}  // namespace
