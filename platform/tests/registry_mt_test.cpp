// Several writers of one key at once, in threads and in processes: nothing written is lost and
// readers never see a damaged hive.

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "testing/support.h"

namespace reg = platform::reg;
using reg::Hive;
using reg::Value;

namespace {

std::string ValueName(const std::string& writer, int index) {
    return writer + "-" + std::to_string(index);
}

Value ValueData(const std::string& writer, int index) {
    return Value::String("written by " + writer + " #" + std::to_string(index));
}

// Expects count values of each writer in key, each with its own data.
void ExpectAllWritten(const std::string& key, const std::vector<std::string>& writers, int count) {
    std::vector<std::string> names;
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, key, &names), platform::kErrorSuccess);
    EXPECT_GE(names.size(), writers.size() * count);
    for (const std::string& writer : writers) {
        for (int i = 0; i < count; ++i) {
            Value read;
            ASSERT_EQ(reg::QueryValue(Hive::CurrentUser, key, ValueName(writer, i), &read),
                      platform::kErrorSuccess)
                << ValueName(writer, i);
            EXPECT_EQ(read, ValueData(writer, i));
        }
    }
}

}  // namespace

// args: key, writer name, count.
KARVEX_TEST_CHILD(write_values) {
    if (args.size() != 3) return 2;
    int count = std::stoi(args[2]);
    for (int i = 0; i < count; ++i) {
        uint32_t code =
            reg::SetValue(Hive::CurrentUser, args[0], ValueName(args[1], i), ValueData(args[1], i));
        if (code != platform::kErrorSuccess) {
            std::fprintf(stderr, "writer %s: value %d failed with %u\n", args[1].c_str(), i, code);
            return 1;
        }
    }
    return 0;
}

namespace {

class RegistryConcurrencyTest : public ::testing::Test {
protected:
    void TearDown() override { reg::DeleteTree(Hive::CurrentUser, key_); }

    const std::string key_ =
        "Software\\KarvexTest\\" + testing_support::UniqueName("registry-concurrency");
};

TEST_F(RegistryConcurrencyTest, ThreadsWritingOneKeyAllPersist) {
    const std::vector<std::string> writers = {"t0", "t1", "t2", "t3"};
    constexpr int kCount = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const std::string& writer : writers) {
        threads.emplace_back([&, writer] {
            for (int i = 0; i < kCount; ++i) {
                if (reg::SetValue(Hive::CurrentUser, key_, ValueName(writer, i),
                                  ValueData(writer, i)) != platform::kErrorSuccess) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    ExpectAllWritten(key_, writers, kCount);
}

TEST_F(RegistryConcurrencyTest, ProcessesWritingOneKeyAllPersistAndReadersSeeWholeHives) {
    constexpr int kCount = 200;
    const Value sentinel = Value::String("still here");
    ASSERT_EQ(reg::SetValue(Hive::CurrentUser, key_, "sentinel", sentinel),
              platform::kErrorSuccess);

    const std::vector<std::string> writers = {"a", "b"};
    platform::ChildProcess children[2];
    for (size_t i = 0; i < writers.size(); ++i) {
        ASSERT_EQ(children[i].Start(platform::ModulePath(), {"--karvex-child", "write_values", key_,
                                                             writers[i], std::to_string(kCount)}),
                  platform::kErrorSuccess);
    }
    std::atomic<bool> writing{true};
    std::atomic<int> reads{0};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (writing.load()) {
            Value read;
            std::vector<std::string> names;
            if (reg::QueryValue(Hive::CurrentUser, key_, "sentinel", &read) !=
                    platform::kErrorSuccess ||
                read != sentinel ||
                reg::EnumValues(Hive::CurrentUser, key_, &names) != platform::kErrorSuccess) {
                ++badReads;
            }
            ++reads;
            platform::SleepMs(1);
        }
    });

    for (platform::ChildProcess& child : children) {
        int exitCode = -1;
        EXPECT_EQ(child.Wait(300000, &exitCode), platform::kErrorSuccess);
        EXPECT_EQ(exitCode, 0);
    }
    writing = false;
    reader.join();

    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(badReads.load(), 0);
    ExpectAllWritten(key_, writers, kCount);
    std::vector<std::string> names;
    ASSERT_EQ(reg::EnumValues(Hive::CurrentUser, key_, &names), platform::kErrorSuccess);
    EXPECT_EQ(names.size(), writers.size() * kCount + 1);
}

}  // namespace
