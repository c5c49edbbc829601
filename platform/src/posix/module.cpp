#include <climits>
#include <clocale>
#include <unistd.h>

#include "platform/system.h"

namespace platform {

std::string ModulePath() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// No Windows modules are ever loaded on POSIX.
std::string ModulePath(const std::string&) {
    return std::string();
}

bool RunningUnderWine() {
    return false;
}

bool UseCodePage1251() {
    return std::setlocale(LC_ALL, "C") != nullptr;
}

std::string CommandLineTail(int argc, char** argv) {
    std::string tail;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) tail += ' ';
        tail += argv[i];
    }
    return tail;
}

void AttachParentConsole() {}

}  // namespace platform
