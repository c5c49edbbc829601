#pragma once
// Test support shared by every test program: temporary folders, unique names and child
// processes that run a named function of the same test program.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// A name no other test process uses at the same time (for registry keys under Wine).
std::string UniqueName(const std::string& prefix);

// A child entry point: int main-like function receiving the arguments after its name.
using ChildMain = std::function<int(const std::vector<std::string>&)>;
bool RegisterChild(const std::string& name, ChildMain entry);
// Runs this test program again as the named child; returns its exit code or -1.
int RunChild(const std::string& name, const std::vector<std::string>& arguments,
             unsigned timeoutMs = 120000);

std::string ReadFile(const std::string& path);

// Milliseconds of steady time since start, for the generous bounds of timing tests.
inline int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace testing_support

// KARVEX_TEST_CHILD(name) { ...; return 0; } defines a child entry with access to `args`.
#define KARVEX_TEST_CHILD(name)                                          \
    static int karvexChild_##name(const std::vector<std::string>& args); \
    [[maybe_unused]] static const bool karvexChildRegistered_##name =    \
        ::testing_support::RegisterChild(#name, karvexChild_##name);     \
    static int karvexChild_##name([[maybe_unused]] const std::vector<std::string>& args)
