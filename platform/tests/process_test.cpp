#include "platform/process.h"

#include <gtest/gtest.h>

#include "testing/support.h"

KARVEX_TEST_CHILD(exit_with) {
    return args.size() == 2 && args[1] == "two words" ? std::stoi(args[0]) : 99;
}

namespace {

TEST(ChildProcess, RunsChildWithArgumentsAndReturnsItsExitCode) {
    EXPECT_EQ(testing_support::RunChild("exit_with", {"7", "two words"}), 7);
    EXPECT_EQ(testing_support::RunChild("exit_with", {"0", "two words"}), 0);
}

TEST(ChildProcess, MissingProgramIsReported) {
    platform::ChildProcess child;
    EXPECT_NE(child.Start("/nonexistent/program-karvex", {}), 0u);
}

}  // namespace
