#pragma once
// One open log and the operations on it that the list (kvlog.cpp) and the writer (write.cpp)
// share. Every field is guarded by `lock`.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "log/kvlog.h"
#include "platform/errors.h"
#include "platform/file.h"
#include "platform/system.h"
#include "settings.h"

namespace kvlog {

struct LogRecord {
    std::mutex lock;
    // Points to the record itself while it is open; a handle to a closed record is not used.
    LogRecord* self = nullptr;
    int level = kNotice;
    int sizeLimit = -1;  // units of 1024 bytes; 0 and -1 mean no limit
    internal::OutputKind kind = internal::OutputKind::Unset;
    platform::EventSource eventSource = nullptr;
    platform::SharedFile file;
    std::string ident;
    std::string path;                 // the path setting that produced `kind`
    uint32_t messageLanguage = 1033;  // 0 after system texts failed in US English
    // `level` while the record is open, else kClosedGate; read without the lock, so that a
    // message below the level costs no lock. Written under the lock by PublishGate.
    std::atomic<int> gate{kClosedGate};

    static constexpr int kClosedGate = -1;

    // Closes the output and returns to the state before the first Apply.
    void Reset();
    // Called after every change of `level` or `self`.
    void PublishGate() {
        gate.store(self == this ? level : kClosedGate, std::memory_order_relaxed);
    }
};

namespace internal {

// Applies settings to a record whose lock the caller holds. A missing ident (nullptr) or a
// size below -1 or a negative level keep what the record has. A Win32 error code, with the
// record as it was, when the new output cannot be opened.
uint32_t Apply(LogRecord& record, const std::string& path, const std::string* ident, int size,
               int level);

// The process default log (event log, source "kvlog.dll", level 5), made on first use.
LogRecord& DefaultLog();

// Keeps errno and the system last-error value across a library call.
class ErrorStateKeeper {
public:
    ErrorStateKeeper() : errorNumber_(errno), lastError_(platform::LastError()) {}
    ~ErrorStateKeeper() {
        errno = errorNumber_;
        platform::SetLastError(lastError_);
    }
    ErrorStateKeeper(const ErrorStateKeeper&) = delete;
    ErrorStateKeeper& operator=(const ErrorStateKeeper&) = delete;
    int errorNumber() const { return errorNumber_; }
    uint32_t lastError() const { return lastError_; }

private:
    int errorNumber_;
    uint32_t lastError_;
};

}  // namespace internal
}  // namespace kvlog
