#include "log/kvlog.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_test_support.h"
#include "platform/errors.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

using kvlog_test::AfterTimeStamp;
using kvlog_test::LogKey;
using kvlog_test::SplitLines;
using kvlog_test::StartsWithTimeStamp;
using platform::EventType;
namespace reg = platform::reg;

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string Printed(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return text;
}

// Closes the log when the test ends, also when an assertion stops it early.
struct ScopedLog {
    explicit ScopedLog(kvlog::Handle opened) : handle(opened) {}
    ~ScopedLog() { kvlog::Close(handle); }
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;
    operator kvlog::Handle() const { return handle; }
    kvlog::Handle handle;
};

struct EventReport {
    std::string source;
    EventType type;
    uint32_t id;
    std::string text;
};

// Every test sees the event log and the debugger output through the platform hooks.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetEventReportHook([this](const std::string& source, EventType type, uint32_t id,
                                            const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({source, type, id, text});
        });
        platform::SetDebugOutputHook([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            debugOutput_ += text;
        });
    }
    void TearDown() override {
        platform::SetEventReportHook(nullptr);
        platform::SetDebugOutputHook(nullptr);
    }

    kvlog::Handle OpenPrepared(const LogKey& key, const std::string& path, const std::string& level,
                               int size = 0) {
        key.Prepare(path, level, size);
        return kvlog::Open(key.base().c_str(), nullptr, nullptr, 0, kvlog::kDebug);
    }
    std::vector<EventReport> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::string DebugOutput() {
        std::lock_guard<std::mutex> lock(mutex_);
        return debugOutput_;
    }
    std::vector<std::string> FileLines(const std::string& path) {
        return SplitLines(testing_support::ReadFile(path));
    }

    testing_support::TempDir dir_;
    LogKey key_;

private:
    std::mutex mutex_;
    std::vector<EventReport> events_;
    std::string debugOutput_;
};

TEST_F(LogTest, LevelFiltersMessagesAndEveryLineCarriesStampAndTag) {
    const std::string file = dir_.File("levels.log");
    ScopedLog log(OpenPrepared(key_, file, "INFO"));
    ASSERT_NE(log.handle, nullptr);
    kvlog::Trace(log, "hidden trace");
    kvlog::Debug(log, "hidden debug");
    kvlog::Info(log, "shown %d", 4);
    kvlog::Warning(log, "careful");
    kvlog::Write(kvlog::kSuccess, log, nullptr, "success");
    kvlog::Write(kvlog::kAuditFailure, log, nullptr, "audit");
    kvlog::Write(11, log, nullptr, "no such level");
    kvlog::Write(-1, log, nullptr, "no such level");
    kvlog::Write(kvlog::kError, log, nullptr, nullptr);

    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines)
        EXPECT_TRUE(StartsWithTimeStamp(line)) << line;
    EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 shown 4");
    EXPECT_EQ(AfterTimeStamp(lines[1]), "W2 careful");
    EXPECT_EQ(AfterTimeStamp(lines[2]), "S8 success");
    EXPECT_EQ(AfterTimeStamp(lines[3]), "f10audit");
    EXPECT_EQ(testing_support::ReadFile(file).substr(lines[0].size(), 2), "\r\n");
}

TEST_F(LogTest, DirectivesAddIdsUserAndErrorLines) {
    const std::string file = dir_.File("directives.log");
    ScopedLog log(OpenPrepared(key_, file, "DEBUG"));
    ASSERT_NE(log.handle, nullptr);

    std::string accessDenied;
    ASSERT_TRUE(platform::SystemErrorText(5, 0, &accessDenied));
    int marker = 0;
    const std::string pointer = Printed("%p", static_cast<void*>(&marker));
    const std::string pid = Printed("% 03d ", static_cast<int>(platform::CurrentProcessId()));

    struct Case {
        const char* name;
        std::function<void()> write;
        std::vector<std::string> expected;  // the lines after the time stamp, then error lines
    };
    const Case cases[] = {
        {"runtime error from an argument",
         [&] { kvlog::Trace(log, "%!e daDelete(%p) = ", 2, static_cast<void*>(&marker)); },
         {"T6 daDelete(" + pointer + ") = ", "No such file or directory (2)"}},
        {"current runtime error",
         [&] {
             errno = EACCES;
             kvlog::Error(log, "%!E open");
         },
         {"E1 open", Printed("Permission denied (%d)", EACCES)}},
        {"current last error",
         [&] {
             platform::SetLastError(5);
             kvlog::Error(log, "%!L CreateFile");
         },
         {"E1 CreateFile", accessDenied + " (5=0x5)"}},
        {"sockets, security and remote-access texts",
         [&] { kvlog::Info(log, "%!syr %s", 10061, 0x8009030Cu, 0x2BADF00Du, "three"); },
         {"I4 three", "WSAECONNREFUSED Connection refused. (10061=0x274D)",
          "The logon attempt failed (SEC_E_LOGON_DENIED) (2148074252=0x8009030C)",
          "<unknown RAS> (732819469=0x2BADF00D)"}},
        {"unknown security status",
         [&] { kvlog::Info(log, "%!y", 0x1234); },
         {"I4 ", "<unknown SSP> (4660=0x1234)"}},
        {"current process id", [&] { kvlog::Info(log, "%!P up"); }, {"I4" + pid + "up"}},
        {"given process and thread ids",
         [&] { kvlog::Info(log, "%!pt x", 7, 42); },
         {"I4 07 042 x"}},
        {"given thread id without level tag", [&] { kvlog::Info(log, "%!Yt x", 5); }, {" 005 x"}},
        {"user name",
         [&] { kvlog::Info(log, "%!U who"); },
         {"I4 [" + platform::UserName() + "] who"}},
        {"unknown letters skip an argument or nothing",
         [&] { kvlog::Info(log, "%!qQ%d", 99, 5); },
         {"I4 5"}},
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        c.write();
        std::vector<std::string> lines = FileLines(file);
        ASSERT_EQ(lines.size(), seen + c.expected.size()) << c.name;
        EXPECT_TRUE(StartsWithTimeStamp(lines[seen])) << c.name;
        EXPECT_EQ(AfterTimeStamp(lines[seen]), c.expected[0]) << c.name;
        for (size_t i = 1; i < c.expected.size(); ++i) {
            EXPECT_EQ(lines[seen + i], c.expected[i]) << c.name;
        }
        seen = lines.size();
    }
}

TEST_F(LogTest, IdentComesFromRegistryPathRestOrOverride) {
    const std::string file = dir_.File("ident.log");
    ScopedLog log(OpenPrepared(key_, file + "*X", "INFO"));
    ASSERT_NE(log.handle, nullptr);
    kvlog::Info(log, "hello");
    kvlog::Write(kvlog::kInfo, log, "OV", "override");
    kvlog::Write(kvlog::kInfo, log, "%!YT thr", "no tag");

    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 X hello");
    EXPECT_EQ(AfterTimeStamp(lines[1]), "I4 OV override");
    EXPECT_EQ(AfterTimeStamp(lines[2]),
              Printed("% 04d thr no tag", static_cast<int>(platform::CurrentThreadId())));

    // The registry's ident wins over the path's, without its leading blanks, cut to 31.
    LogKey named;
    named.SetText("", " \t\x01Registry ident that is longer than thirty-one");
    const std::string namedFile = dir_.File("named.log");
    ScopedLog namedLog(OpenPrepared(named, namedFile + "*X", "INFO"));
    ASSERT_NE(namedLog.handle, nullptr);
    kvlog::Info(namedLog, "named");
    lines = FileLines(namedFile);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 Registry ident that is longer t named");
}

TEST_F(LogTest, PathSettingSelectsTheOutput) {
    const std::string source = testing_support::UniqueName("kvlogsrc");
    struct Case {
        std::string path;
        std::string file;   // where lines must appear; empty for none
        std::string ident;  // expected ident prefix
        bool debugger = false;
        bool eventLog = false;
    };
    const std::string plain = dir_.File("plain.log");
    const std::string starred = dir_.File("starred.log");
    const std::string shared = dir_.File("shared.log");
    const Case cases[] = {
        {plain, plain, ""},     {starred + "*X", starred, "X "},     {shared + "?S", shared, "S "},
        {"?D", "", "D ", true}, {"|" + source, "", "", false, true}, {"", "", ""},
        {"*Z", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        LogKey key;
        std::string before = DebugOutput();
        size_t eventsBefore = Events().size();
        {
            ScopedLog log(OpenPrepared(key, c.path, "DEBUG"));
            ASSERT_NE(log.handle, nullptr);
            kvlog::Info(log, "to %s", "out");
            kvlog::Warning(log, "w 100%%1");
        }
        const std::string first = "I4 " + c.ident + "to out";
        const std::string second = "W2 " + c.ident + "w 100%1";
        if (!c.file.empty()) {
            std::vector<std::string> lines = FileLines(c.file);
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(AfterTimeStamp(lines[0]), first);
            EXPECT_EQ(AfterTimeStamp(lines[1]), second);
        }
        std::vector<std::string> debugLines = SplitLines(DebugOutput().substr(before.size()));
        if (c.debugger) {
            ASSERT_EQ(debugLines.size(), 2u);
            EXPECT_TRUE(StartsWithTimeStamp(debugLines[0]));
            EXPECT_EQ(AfterTimeStamp(debugLines[0]), first);
            EXPECT_EQ(AfterTimeStamp(debugLines[1]), second);
        } else {
            EXPECT_TRUE(debugLines.empty());
        }
        std::vector<EventReport> events = Events();
        events.erase(events.begin(), events.begin() + static_cast<ptrdiff_t>(eventsBefore));
        if (c.eventLog) {
            ASSERT_EQ(events.size(), 2u);
            EXPECT_EQ(events[0].source, source);
            EXPECT_EQ(events[0].type, EventType::Information);
            EXPECT_EQ(events[0].id, 0x40000003u);
            EXPECT_EQ(events[0].text, "I4 to out");
            EXPECT_EQ(events[1].type, EventType::Warning);
            EXPECT_EQ(events[1].id, 0x80000002u);
            EXPECT_EQ(events[1].text, "W2 w 100%?1");
        } else {
            EXPECT_TRUE(events.empty());
        }
    }
    const std::string sourceKey =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    reg::Value types;
    EXPECT_EQ(reg::QueryValue(reg::Hive::LocalMachine, sourceKey, "TypesSupported", &types), 0u);
    EXPECT_EQ(types.AsDword(), 7u);
    reg::DeleteTree(reg::Hive::LocalMachine, sourceKey);
}

TEST_F(LogTest, RegistryPathIsExpandedWhenExpandable) {
    SetEnvironment("KVLOG_TEST_DIR", dir_.path());
    key_.Prepare("", "INFO");
    key_.SetText("path", "%KVLOG_TEST_DIR%/expanded.log", reg::Type::ExpandSz);
    ScopedLog log(kvlog::Open(key_.base().c_str(), nullptr, nullptr, 0, kvlog::kDebug));
    ASSERT_NE(log.handle, nullptr);
    kvlog::Info(log, "there");
    EXPECT_EQ(FileLines(dir_.File("expanded.log")).size(), 1u);
}

TEST_F(LogTest, OpenWritesMissingDefaultsAndKeepsExistingValues) {
    SetEnvironment("KVLOG_TEST_DIR", dir_.path());
    const std::string defaultPath = "%KVLOG_TEST_DIR%/default.log";
    {
        ScopedLog log(kvlog::Open(key_.base().c_str(), defaultPath.c_str(), "ID", 12, 6));
        ASSERT_NE(log.handle, nullptr);
        kvlog::Trace(log, "into the expanded default");
    }
    struct Expected {
        const char* name;
        reg::Value value;
    };
    const Expected written[] = {
        {"size", reg::Value::String("12")},
        {"level", reg::Value::String("TRACE")},
        {"", reg::Value::String("ID")},
        {"path", reg::Value::String(defaultPath, reg::Type::ExpandSz)},
    };
    for (const auto& e : written) {
        reg::Value value;
        ASSERT_TRUE(key_.Query(e.name, &value)) << e.name;
        EXPECT_EQ(value.type, e.value.type) << e.name;
        EXPECT_EQ(value.AsString(), e.value.AsString()) << e.name;
    }
    std::vector<std::string> lines = FileLines(dir_.File("default.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "T6 ID into the expanded default");

    LogKey bare;
    bare.SetText("level", "ERROR");
    bare.SetText("size", "0x10");
    {
        ScopedLog log(kvlog::Open(bare.base().c_str(), nullptr, nullptr, 0, 9));
        EXPECT_NE(log.handle, nullptr);  // an empty path is a log without output
    }
    reg::Value value;
    EXPECT_TRUE(bare.Query("level", &value));
    EXPECT_EQ(value.AsString(), "ERROR");
    EXPECT_TRUE(bare.Query("size", &value));
    EXPECT_EQ(value.AsString(), "0x10");
    EXPECT_FALSE(bare.Query("", &value));
    EXPECT_TRUE(bare.Query("path", &value));
    EXPECT_EQ(value.type, reg::Type::ExpandSz);
    EXPECT_EQ(value.AsString(), "");

    LogKey numeric;
    { ScopedLog log(kvlog::Open(numeric.base().c_str(), nullptr, nullptr, 0, 9)); }
    EXPECT_TRUE(numeric.Query("level", &value));
    EXPECT_EQ(value.type, reg::Type::Dword);
    EXPECT_EQ(value.AsDword(), 9u);
}

TEST_F(LogTest, LevelIsReadInEveryStoredForm) {
    SetEnvironment("KVLOG_TEST_LEVEL", "4");
    struct Case {
        const char* name;
        reg::Value value;
        int level;  // the number of the levels ERROR..DEBUG that get written
    };
    const Case cases[] = {
        {"dword", reg::Value::Dword(3), 3},
        {"decimal", reg::Value::String("5"), 5},
        {"hexadecimal", reg::Value::String("0x6"), 6},
        {"octal", reg::Value::String("07"), 7},
        {"name in any case", reg::Value::String("wArNiNg"), 2},
        {"unknown name", reg::Value::String("verbose"), 0},
        {"above DEBUG", reg::Value::Dword(99), 7},
        {"expandable", reg::Value::String("%KVLOG_TEST_LEVEL%", reg::Type::ExpandSz), 4},
        {"stored with its terminator", reg::Value::String(std::string("2\0", 2)), 2},
        {"empty text gives the default", reg::Value::String(""), 1},
        {"binary gives the default", reg::Value::Binary({1, 2}), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogKey key;
        const std::string file = dir_.File(key.base() + ".log");
        key.SetText("path", file);
        key.Set("level", c.value);
        ScopedLog log(kvlog::Open(key.base().c_str(), nullptr, nullptr, 0, kvlog::kError));
        ASSERT_NE(log.handle, nullptr);
        for (int level = kvlog::kError; level <= kvlog::kDebug; ++level) {
            kvlog::Write(level, log, nullptr, "level %d", level);
        }
        EXPECT_EQ(FileLines(file).size(), static_cast<size_t>(c.level));
    }
}

TEST_F(LogTest, RefreshAppliesChangedSettingsOnlyWhenAllAreReadable) {
    const std::string first = dir_.File("first.log");
    const std::string second = dir_.File("second.log");
    ScopedLog log(OpenPrepared(key_, first, "INFO"));
    ASSERT_NE(log.handle, nullptr);
    std::string upperBase = key_.base();
    for (char& c : upperBase)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    kvlog::Debug(log, "a");
    key_.SetText("level", "DEBUG");
    kvlog::Debug(log, "b");  // not yet refreshed
    kvlog::Refresh(upperBase.c_str());
    kvlog::Debug(log, "c");

    ASSERT_EQ(reg::DeleteValue(reg::Hive::LocalMachine, key_.key(), "size"), 0u);
    key_.SetText("level", "ERROR");
    kvlog::Refresh(key_.base().c_str());
    kvlog::Debug(log, "d");  // size unreadable: nothing applied

    key_.Prepare(second, "DEBUG", 0);
    kvlog::Refresh(key_.base().c_str());
    kvlog::Debug(log, "e");

    std::vector<std::string> lines = FileLines(first);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "D7 c");
    EXPECT_EQ(AfterTimeStamp(lines[1]), "D7 d");
    lines = FileLines(second);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "D7 e");
}

TEST_F(LogTest, EnabledFollowsTheLevelOfTheLogThatWouldTakeTheMessage) {
    kvlog::Handle log = OpenPrepared(key_, dir_.File("enabled.log"), "WARNING");
    ASSERT_NE(log, nullptr);
    struct Case {
        int level;
        bool atWarning;
        bool atDebug;
        bool closed;  // the default log's level, NOTICE, decides
    };
    const Case cases[] = {
        {kvlog::kFatal, true, true, true},
        {kvlog::kError, true, true, true},
        {kvlog::kWarning, true, true, true},
        {kvlog::kInfo, false, true, true},
        {kvlog::kNotice, false, true, true},
        {kvlog::kTrace, false, true, false},
        {kvlog::kDebug, false, true, false},
        {kvlog::kSuccess, false, true, true},
        {kvlog::kAuditFailure, false, true, true},
        {-1, false, false, false},
        {11, false, false, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kvlog::Enabled(log, c.level), c.atWarning) << "level " << c.level;
    key_.SetText("level", "DEBUG");
    kvlog::Refresh(key_.base().c_str());
    for (const Case& c : cases)
        EXPECT_EQ(kvlog::Enabled(log, c.level), c.atDebug) << "level " << c.level;
    kvlog::Close(log);
    for (const Case& c : cases) {
        EXPECT_EQ(kvlog::Enabled(log, c.level), c.closed) << "level " << c.level;
        EXPECT_EQ(kvlog::Enabled(nullptr, c.level), c.closed) << "level " << c.level;
    }
}

TEST_F(LogTest, OpensAreCountedAndAClosedHandleWritesToTheDefaultLog) {
    const std::string file = dir_.File("counted.log");
    kvlog::Handle first = OpenPrepared(key_, file, "INFO");
    ASSERT_NE(first, nullptr);
    std::string upperBase = key_.base();
    for (char& c : upperBase)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    kvlog::Handle second = kvlog::Open(upperBase.c_str(), nullptr, nullptr, 0, 0);
    EXPECT_EQ(second, first);
    kvlog::Close(second);
    kvlog::Info(first, "still open");
    kvlog::Close(first);
    kvlog::Info(first, "after close");
    kvlog::Trace(first, "below the default log's level");
    kvlog::Notice(nullptr, "no handle");

    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 still open");
    std::vector<EventReport> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].source, "kvlog.dll");
    EXPECT_EQ(events[0].text, "I4 after close");
    EXPECT_EQ(events[1].text, "N5 no handle");
}

TEST_F(LogTest, ThirtyTwoLogsAtMost) {
    std::vector<std::unique_ptr<LogKey>> keys;
    std::vector<kvlog::Handle> handles;
    for (int i = 0; i < 33; ++i) {
        keys.push_back(std::make_unique<LogKey>());
        keys.back()->Prepare("", "INFO");
        handles.push_back(kvlog::Open(keys.back()->base().c_str(), nullptr, nullptr, 0, 4));
    }
    for (int i = 0; i < 32; ++i)
        EXPECT_NE(handles[i], nullptr) << i;
    EXPECT_EQ(handles[32], nullptr);
    kvlog::Close(handles[0]);
    kvlog::Handle reused = kvlog::Open(keys[32]->base().c_str(), nullptr, nullptr, 0, 4);
    EXPECT_NE(reused, nullptr);
    kvlog::Close(reused);
    for (int i = 1; i < 32; ++i)
        kvlog::Close(handles[i]);
}

TEST_F(LogTest, FailedOutputMakesOpenFailAndMessagesGoToTheDefaultLog) {
    ScopedLog log(OpenPrepared(key_, dir_.File("missing-folder/x.log"), "DEBUG"));
    EXPECT_EQ(log.handle, nullptr);
    kvlog::Error(log, "lost %d", 1);
    std::vector<EventReport> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].source, "kvlog.dll");
    EXPECT_EQ(events[0].type, EventType::Error);
    EXPECT_NE(events[0].text.find("cannot open the output"), std::string::npos);
    EXPECT_NE(events[0].text.find(key_.base()), std::string::npos);
    EXPECT_NE(events[0].text.find("(3=0x3)"), std::string::npos) << events[0].text;
    EXPECT_EQ(events[1].text, "E1 lost 1");
}

TEST_F(LogTest, LinesAreCutAt4072BytesAndKeepTheirLineEnd) {
    const std::string file = dir_.File("long.log");
    ScopedLog log(OpenPrepared(key_, file, "DEBUG"));
    ASSERT_NE(log.handle, nullptr);
    const size_t kLimit = 4072;

    kvlog::Info(log, "%s", std::string(5000, 'a').c_str());
    std::string content = testing_support::ReadFile(file);
    EXPECT_EQ(content.size(), kLimit);
    EXPECT_EQ(content.substr(kLimit - 3), "a\r\n");

    // A message that leaves 12 bytes: the error line is cut to 10 characters and its CR LF.
    const size_t lineOverhead = kvlog_test::kTimeStampWidth + 3 + 2;
    const std::string message(kLimit - 12 - lineOverhead, 'b');
    kvlog::Info(log, "%!e %s", 2, message.c_str());
    content = testing_support::ReadFile(file).substr(kLimit);
    EXPECT_EQ(content.size(), kLimit);
    std::vector<std::string> lines = SplitLines(content);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "No such fi");

    kvlog::Info(log, "%!e %s", 2, std::string(kLimit, 'c').c_str());
    content = testing_support::ReadFile(file).substr(2 * kLimit);
    EXPECT_EQ(content.size(), kLimit);
    EXPECT_EQ(SplitLines(content).size(), 1u);
}

TEST_F(LogTest, ControlCharactersBecomeBlanks) {
    const std::string file = dir_.File("control.log");
    ScopedLog log(OpenPrepared(key_, file, "DEBUG"));
    ASSERT_NE(log.handle, nullptr);
    kvlog::Write(kvlog::kInfo, log, "i\td",
                 "a\tb\nc\x01"
                 "d\x7F"
                 "e%c",
                 0);
    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 i d a b c d e ");
}

TEST_F(LogTest, CallsKeepErrnoAndLastError) {
    const std::string file = dir_.File("errors.log");
    key_.Prepare(file, "DEBUG");
    LogKey failing;
    failing.Prepare(dir_.File("missing-folder/x.log"), "DEBUG");
    kvlog::Handle log = nullptr;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"open", [&] { log = kvlog::Open(key_.base().c_str(), nullptr, nullptr, 0, 7); }},
        {"failing open", [&] { kvlog::Open(failing.base().c_str(), nullptr, nullptr, 0, 7); }},
        {"write", [&] { kvlog::Info(log, "%!EL plain"); }},
        {"default log", [&] { kvlog::Error(nullptr, "x"); }},
        {"refresh", [&] { kvlog::Refresh(key_.base().c_str()); }},
        {"close", [&] { kvlog::Close(log); }},
    };
    for (const auto& [name, call] : calls) {
        errno = EDOM;
        platform::SetLastError(1234);
        call();
        EXPECT_EQ(errno, EDOM) << name;
        EXPECT_EQ(platform::LastError(), 1234u) << name;
    }
    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], Printed("%s (%d)", platform::RuntimeErrorText(EDOM).c_str(), EDOM));
    EXPECT_NE(lines[2].find("(1234=0x4D2)"), std::string::npos) << lines[2];
}

TEST_F(LogTest, SizeLimitKeepsTheNewestHalfFromALineStart) {
    const std::string file = dir_.File("limited.log");
    ScopedLog log(OpenPrepared(key_, file, "DEBUG", 10));
    ASSERT_NE(log.handle, nullptr);
    const std::string padding(70, 'p');
    size_t lineLength = 0;
    uint64_t previous = 0;
    int shrinks = 0;
    for (int n = 0; n < 400; ++n) {
        kvlog::Info(log, "line %04d %s", n, padding.c_str());
        std::string content = testing_support::ReadFile(file);
        if (n == 0) lineLength = content.size();
        ASSERT_LE(content.size(), 10240 + lineLength) << n;
        if (content.size() < previous) {
            ++shrinks;
            EXPECT_GT(content.size(), 5120 - lineLength) << n;
            EXPECT_LE(content.size(), 5120 + lineLength) << n;
            std::vector<std::string> lines = SplitLines(content);
            EXPECT_TRUE(StartsWithTimeStamp(lines.front())) << n;
            EXPECT_EQ(AfterTimeStamp(lines.back()), Printed("I4 line %04d ", n) + padding);
            for (const auto& line : lines)
                EXPECT_EQ(line.size() + 2, lineLength) << n;
        }
        previous = content.size();
    }
    EXPECT_GE(shrinks, 5);
}

TEST_F(LogTest, SizeZeroEmptiesTheFileAtEveryOpen) {
    for (const char* kind : {"", "?"}) {  // a file, and a file shared between processes
        SCOPED_TRACE(kind);
        LogKey key;
        const std::string file = dir_.File(key.base() + ".log");
        for (int start = 0; start < 2; ++start) {
            ScopedLog log(OpenPrepared(key, file + kind, "DEBUG", 0));
            ASSERT_NE(log.handle, nullptr);
            kvlog::Info(log, "start %d", start);
        }
        std::vector<std::string> lines = FileLines(file);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(AfterTimeStamp(lines[0]), "I4 start 1");

        for (int start = 2; start < 4; ++start) {
            ScopedLog log(OpenPrepared(key, file + kind, "DEBUG", 5));
            ASSERT_NE(log.handle, nullptr);
            kvlog::Info(log, "start %d", start);
        }
        EXPECT_EQ(FileLines(file).size(), 3u);
    }
}

KARVEX_TEST_CHILD(log_fatal) {
    kvlog::Handle log = kvlog::Open(args.at(0).c_str(), nullptr, nullptr, 0, 1);
    if (!log) return 10;
    kvlog::Write(kvlog::kFatal, log, nullptr, "fatal %d", 1);
    return 0;
}

TEST_F(LogTest, FatalMessageIsWrittenThenEndsTheProcessWithCode3) {
    const std::string file = dir_.File("fatal.log");
    key_.Prepare(file, "ERROR");
    EXPECT_EQ(testing_support::RunChild("log_fatal", {key_.base()}), 3);
    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimeStamp(lines[0]), "F0 fatal 1");
}

}  // namespace
