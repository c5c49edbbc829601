#include "platform/file.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "testing/support.h"

namespace {

using platform::SharedFile;

std::string ReadAll(const SharedFile& file) {
    uint64_t size = 0;
    EXPECT_EQ(file.Size(&size), 0u);
    std::string content(size, '\0');
    size_t done = 0;
    EXPECT_EQ(file.ReadAt(0, content.data(), content.size(), &done), 0u);
    content.resize(done);
    return content;
}

TEST(SharedFile, WritesAppendsReadsAndTruncates) {
    testing_support::TempDir dir;
    SharedFile file;
    ASSERT_EQ(file.Open(dir.File("a.log"), false), 0u);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Append("hello\r\n", 7), 0u);
    EXPECT_EQ(file.Append("world\r\n", 7), 0u);
    EXPECT_EQ(file.WriteAt(0, "J", 1), 0u);
    EXPECT_EQ(ReadAll(file), "Jello\r\nworld\r\n");

    char tail[16] = {};
    size_t done = 99;
    EXPECT_EQ(file.ReadAt(7, tail, sizeof(tail), &done), 0u);
    EXPECT_EQ(std::string(tail, done), "world\r\n");
    EXPECT_EQ(file.ReadAt(1000, tail, sizeof(tail), &done), 0u);
    EXPECT_EQ(done, 0u);

    EXPECT_EQ(file.Truncate(5), 0u);
    EXPECT_EQ(ReadAll(file), "Jello");
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(testing_support::ReadFile(dir.File("a.log")), "Jello");
}

TEST(SharedFile, OpenKeepsOrEmptiesAnExistingFile) {
    testing_support::TempDir dir;
    const std::string path = dir.File("b.log");
    {
        SharedFile file;
        ASSERT_EQ(file.Open(path, false), 0u);
        ASSERT_EQ(file.Append("old", 3), 0u);
    }
    SharedFile keep;
    ASSERT_EQ(keep.Open(path, false), 0u);
    EXPECT_EQ(ReadAll(keep), "old");
    // A second handle on the same file, as another process would hold it.
    SharedFile fresh;
    ASSERT_EQ(fresh.Open(path, true), 0u);
    EXPECT_EQ(ReadAll(fresh), "");
    EXPECT_EQ(ReadAll(keep), "");
}

TEST(SharedFile, MissingFolderIsReportedAsPathNotFound) {
    testing_support::TempDir dir;
    SharedFile file;
    EXPECT_EQ(file.Open(dir.File("no-such-folder/x.log"), false), platform::kErrorPathNotFound);
    EXPECT_FALSE(file.IsOpen());
}

TEST(SharedFile, MoveHandsTheOpenFileOver) {
    testing_support::TempDir dir;
    SharedFile first;
    ASSERT_EQ(first.Open(dir.File("c.log"), false), 0u);
    SharedFile second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    ASSERT_TRUE(second.IsOpen());
    SharedFile third;
    third = std::move(second);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(third.Append("x", 1), 0u);
    EXPECT_EQ(ReadAll(third), "x");
}

TEST(SharedFile, ExclusiveLockHoldsOffAnotherHandleUntilUnlocked) {
    testing_support::TempDir dir;
    SharedFile holder;
    SharedFile waiter;
    ASSERT_EQ(holder.Open(dir.File("d.log"), false), 0u);
    ASSERT_EQ(waiter.Open(dir.File("d.log"), false), 0u);
    ASSERT_EQ(holder.LockExclusive(), 0u);

    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_EQ(waiter.LockExclusive(), 0u);
        acquired = true;
        EXPECT_EQ(waiter.Unlock(), 0u);
    });
    platform::SleepMs(200);
    EXPECT_FALSE(acquired);
    // The lock region lies beyond the data: other handles still read and write while it is held.
    EXPECT_EQ(waiter.Append("data", 4), 0u);
    EXPECT_EQ(ReadAll(holder), "data");
    EXPECT_EQ(holder.Unlock(), 0u);
    other.join();
    EXPECT_TRUE(acquired);
}

}  // namespace
