#include "dalog.h"

#include <atomic>
#include <mutex>
#include <string>

#include "platform/system.h"

namespace opc {
namespace {

std::mutex logMutex;
unsigned openCount = 0;
std::atomic<kvlog::Handle> logHandle{nullptr};

// Beside the program, like the server's own log: a COM server starts in the system folder.
std::string DefaultPath() {
    std::string path = platform::ModulePath();
    size_t slash = path.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           "opcservice.log";
}

}  // namespace

bool daLogOpen() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (openCount++ == 0) {
        logHandle = kvlog::Open("opcservice", DefaultPath().c_str(), nullptr, 1024, kvlog::kNotice);
    }
    return logHandle.load() != nullptr;
}

void daLogClose() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (openCount == 0 || --openCount > 0) return;
    kvlog::Close(logHandle.exchange(nullptr));
}

kvlog::Handle daLog() {
    return logHandle.load();
}

}  // namespace opc
