#include "platform/file_contents.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "testing/support.h"

namespace {

TEST(FileContents, BinaryContentRoundTripsUnderACyrillicName) {
    testing_support::TempDir dir;
    const std::string path = dir.path() + "/" + platform::Utf8ToCp1251("Котельная №1.scf");
    std::string bytes(
        "\x00\xFF\r\n\x1A"
        "end",
        8);
    ASSERT_EQ(platform::WriteFileContents(path, bytes), platform::kErrorSuccess);
    std::string back;
    ASSERT_EQ(platform::ReadFileContents(path, &back), platform::kErrorSuccess);
    EXPECT_EQ(back, bytes);
    ASSERT_EQ(platform::WriteFileContents(path, "x"), platform::kErrorSuccess);
    ASSERT_EQ(platform::ReadFileContents(path, &back), platform::kErrorSuccess);
    EXPECT_EQ(back, "x");
}

TEST(FileContents, MissingFileAndFolderAreReported) {
    testing_support::TempDir dir;
    std::string back = "unchanged";
    EXPECT_EQ(platform::ReadFileContents(dir.File("absent.scf"), &back),
              platform::kErrorFileNotFound);
    EXPECT_EQ(back, "unchanged");
    EXPECT_EQ(platform::WriteFileContents(dir.File("absent/x.scf"), "x"),
              platform::kErrorPathNotFound);
}

}  // namespace
