// Main of every test program. It points the POSIX registry at a fresh temporary folder, so no
// test touches the user's real settings, and runs child entries for multi-process tests.

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "testing/support.h"

namespace testing_support {
int DispatchChild(int argc, char** argv);
}

namespace {

#ifndef _WIN32
// Children inherit the parent's registry folder through the environment.
class RegistryFolder {
public:
    RegistryFolder() {
        if (const char* inherited = std::getenv("KARVEX_TEST_REGISTRY_OWNED"); inherited) return;
        setenv("KARVEX_REGISTRY_DIR", dir_.path().c_str(), 1);
        setenv("KARVEX_TEST_REGISTRY_OWNED", "1", 1);
        owner_ = true;
    }
    ~RegistryFolder() {
        if (owner_) unsetenv("KARVEX_TEST_REGISTRY_OWNED");
    }

private:
    testing_support::TempDir dir_;
    bool owner_ = false;
};
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    RegistryFolder registry;
#endif
    if (int code = testing_support::DispatchChild(argc, argv); code >= 0) return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
