#include "testing/support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "platform/process.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace testing_support {
namespace fs = std::filesystem;

namespace {

std::map<std::string, ChildMain>& Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

std::string RandomSuffix() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    std::ostringstream out;
    out << platform::CurrentProcessId() << '-' << device() % 1000000 << '-' << counter++;
    return out.str();
}

}  // namespace

TempDir::TempDir() {
    fs::path base = fs::temp_directory_path() / ("karvex-test-" + RandomSuffix());
    fs::create_directories(base);
    path_ = base.string();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

std::string UniqueName(const std::string& prefix) {
    return prefix + "-" + RandomSuffix();
}

bool RegisterChild(const std::string& name, ChildMain entry) {
    Children()[name] = std::move(entry);
    return true;
}

int RunChild(const std::string& name, const std::vector<std::string>& arguments,
             unsigned timeoutMs) {
    std::vector<std::string> all{"--karvex-child", name};
    all.insert(all.end(), arguments.begin(), arguments.end());
    platform::ChildProcess child;
    if (child.Start(platform::ModulePath(), all) != 0) return -1;
    int exitCode = -1;
    if (child.Wait(timeoutMs, &exitCode) != 0) {
        child.Kill();
        return -1;
    }
    return exitCode;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Called by the test main: runs a child entry when asked to, else returns -1.
int DispatchChild(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) != "--karvex-child") return -1;
    auto found = Children().find(argv[2]);
    if (found == Children().end()) return 100;
    return found->second(std::vector<std::string>(argv + 3, argv + argc));
}

}  // namespace testing_support
