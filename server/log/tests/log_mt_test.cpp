// Several writers on one log: processes sharing a kind-3 file, and threads sharing a log while
// its settings are refreshed and it is opened and closed around them.

#include "log/kvlog.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_test_support.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {

using kvlog_test::AfterTimeStamp;
using kvlog_test::LogKey;
using kvlog_test::SplitLines;
using kvlog_test::StartsWithTimeStamp;

const char kPadding[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// "I4 <writer> line <n> <padding>": the writer and its line number, or false when the line
// is not one whole line of that form.
bool ParseLine(const std::string& line, std::string* writer, int* number) {
    if (!StartsWithTimeStamp(line)) return false;
    char name[32] = {};
    char padding[64] = {};
    int consumed = 0;
    std::string body = AfterTimeStamp(line);
    if (std::sscanf(body.c_str(), "I4 %31s line %d %63s%n", name, number, padding, &consumed) !=
        3) {
        return false;
    }
    *writer = name;
    return static_cast<size_t>(consumed) == body.size() && std::string(padding) == kPadding;
}

// Every line whole and well-formed, each writer's numbers rising by one from its first line.
// Returns the number of lines per writer, or an empty map after reporting a failure.
std::map<std::string, int> CheckLines(const std::string& content) {
    std::map<std::string, int> next;
    if (content.empty()) return next;
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
    std::map<std::string, int> counts;
    for (const std::string& line : SplitLines(content)) {
        std::string writer;
        int number = 0;
        if (!ParseLine(line, &writer, &number)) {
            ADD_FAILURE() << "malformed line <" << line << ">";
            return {};
        }
        if (next.count(writer) && number != next[writer]) {
            ADD_FAILURE() << writer << " jumped from " << next[writer] << " to " << number;
            return {};
        }
        next[writer] = number + 1;
        ++counts[writer];
    }
    return counts;
}

KARVEX_TEST_CHILD(log_append) {
    kvlog::Handle log = kvlog::Open(args.at(0).c_str(), nullptr, nullptr, 0, kvlog::kDebug);
    if (!log) return 10;
    const int count = std::stoi(args.at(2));
    for (int n = 0; n < count; ++n)
        kvlog::Info(log, "%s line %d %s", args[1].c_str(), n, kPadding);
    kvlog::Close(log);
    return 0;
}

// Starts both writers at once; `whileRunning` runs repeatedly until both have ended.
void RunTwoWriters(const LogKey& key, int lines, const std::function<void()>& whileRunning) {
    platform::ChildProcess children[2];
    const char* names[2] = {"A", "B"};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(
            children[i].Start(platform::ModulePath(), {"--karvex-child", "log_append", key.base(),
                                                       names[i], std::to_string(lines)}),
            0u);
    }
    const uint64_t deadline = platform::TickCount64() + 280000;
    int exitCodes[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        for (;;) {
            uint32_t result = children[i].Wait(whileRunning ? 0 : 1000, &exitCodes[i]);
            if (result == 0) break;
            ASSERT_LT(platform::TickCount64(), deadline) << "writer " << names[i] << " hangs";
            if (whileRunning) whileRunning();
        }
        EXPECT_EQ(exitCodes[i], 0) << names[i];
    }
}

TEST(LogProcesses, TwoProcessesAppendWholeLinesToOneSharedFile) {
    testing_support::TempDir dir;
    LogKey key;
    const std::string file = dir.File("shared.log");
    // A limit far above what is written: with 0 each writer's open would empty the file.
    key.Prepare(file + "?", "INFO", 1000000);
    const int kLines = 10000;
    const uint64_t started = platform::TickCount64();
    RunTwoWriters(key, kLines, nullptr);
    std::map<std::string, int> counts = CheckLines(testing_support::ReadFile(file));
    EXPECT_EQ(counts["A"], kLines);
    EXPECT_EQ(counts["B"], kLines);
    EXPECT_EQ(counts.size(), 2u);
    std::printf("two writers x %d lines: %llu ms\n", kLines,
                static_cast<unsigned long long>(platform::TickCount64() - started));
}

TEST(LogProcesses, SharedFileUnderASizeLimitAlwaysStartsAtALine) {
    testing_support::TempDir dir;
    LogKey key;
    const std::string file = dir.File("limited.log");
    const int kLimitKiB = 8;
    key.Prepare(file + "?", "INFO", kLimitKiB);
    const int kLines = 5000;
    const size_t longestLine = kvlog_test::kTimeStampWidth + 3 + 2 + 6 + 4 + sizeof(kPadding) + 2;

    platform::SharedFile observer;
    ASSERT_EQ(observer.Open(file, false), 0u);
    int observations = 0;
    auto observe = [&] {
        ASSERT_EQ(observer.LockExclusive(), 0u);
        uint64_t size = 0;
        std::string content;
        if (observer.Size(&size) == 0) {
            content.resize(size);
            size_t done = 0;
            observer.ReadAt(0, content.data(), content.size(), &done);
            content.resize(done);
        }
        observer.Unlock();
        ++observations;
        EXPECT_LE(content.size(), kLimitKiB * 1024 + longestLine);
        CheckLines(content);
        platform::SleepMs(1);
    };
    RunTwoWriters(key, kLines, observe);
    observe();
    std::printf("observed %d states\n", observations);

    std::vector<std::string> lines = SplitLines(testing_support::ReadFile(file));
    ASSERT_FALSE(lines.empty());
    std::string writer;
    int number = 0;
    ASSERT_TRUE(ParseLine(lines.back(), &writer, &number));
    EXPECT_EQ(number, kLines - 1);  // the writer that ended last wrote the last line
}

TEST(LogThreads, ThreadsShareALogWhileItIsRefreshedReopenedAndClosed) {
    testing_support::TempDir dir;
    LogKey key;
    const std::string file = dir.File("threads.log");
    key.Prepare(file, "INFO", 0);
    kvlog::Handle log = kvlog::Open(key.base().c_str(), nullptr, nullptr, 0, kvlog::kDebug);
    ASSERT_NE(log, nullptr);

    const int kThreads = 4;
    const int kLines = 2000;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            const std::string name = "T" + std::to_string(t);
            for (int n = 0; n < kLines; ++n)
                kvlog::Info(log, "%s line %d %s", name.c_str(), n, kPadding);
            --running;
        });
    }
    std::thread manager([&] {
        while (running > 0) {
            kvlog::Refresh(key.base().c_str());
            kvlog::Handle again = kvlog::Open(key.base().c_str(), nullptr, nullptr, 0, 0);
            kvlog::Close(again);
            LogKey other;
            other.Prepare("", "INFO");
            kvlog::Close(kvlog::Open(other.base().c_str(), nullptr, nullptr, 0, 0));
        }
    });
    for (auto& writer : writers)
        writer.join();
    manager.join();
    kvlog::Close(log);

    std::map<std::string, int> counts = CheckLines(testing_support::ReadFile(file));
    ASSERT_EQ(counts.size(), static_cast<size_t>(kThreads));
    for (const auto& [name, count] : counts)
        EXPECT_EQ(count, kLines) << name;
}

}  // namespace
