#include "platform/system.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <set>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "system_hooks.h"

namespace platform {
namespace {

struct EventSourceRecord {
    std::string source;
};

// openlog keeps the ident pointer, and one process has one ident: each report sets it again
// under this lock, from a copy that lives as long as the process.
std::mutex& SyslogLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
const char* PermanentIdent(const std::string& source) {
    static auto* idents = new std::set<std::string>;
    return idents->insert(source).first->c_str();
}

int SyslogPriority(EventType type) {
    switch (type) {
        case EventType::Error:
        case EventType::AuditFailure:
            return LOG_ERR;
        case EventType::Warning:
            return LOG_WARNING;
        case EventType::Success:
        case EventType::AuditSuccess:
            return LOG_NOTICE;
        case EventType::Information:
            break;
    }
    return LOG_INFO;
}

struct SystemMessage {
    uint32_t code;
    const char* text;
};

// POSIX has no Windows message tables: the common Win32 codes and HRESULTs, in English.
constexpr SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {21, "The device is not ready."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33,
     "The process cannot access the file because another process has locked a portion of "
     "the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an "
     "application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry "
     "data is corrupted, or the system's memory image of the file is corrupted, or the "
     "file could not be recovered because the alternate copy or log was absent or "
     "corrupted."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1460, "This operation returned because the timeout period expired."},
    {1610,
     "The configuration data for this product is corrupt.  Contact your support "
     "personnel."},
    {1722, "The RPC server is unavailable."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x80040154, "Class not registered"},
    {0x800401F0, "CoInitialize has not been called."},
};

constexpr uint32_t kLanguageNeutral = 0;
constexpr uint32_t kLanguageEnglishUs = 1033;

}  // namespace

void Beep(uint32_t frequencyHz, uint32_t durationMs) {
    if (auto hook = BeepHookSlot().Get()) hook(frequencyHz, durationMs);
}

void DebugOutput(const std::string& text) {
    if (auto hook = DebugOutputHookSlot().Get()) {
        hook(text);
        return;
    }
    std::string utf8 = Cp1251ToUtf8(text);
    const char* data = utf8.data();
    size_t left = utf8.size();
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, data, left);
        if (written <= 0) return;  // nobody to tell about a broken standard error
        data += written;
        left -= static_cast<size_t>(written);
    }
}

EventSource RegisterEventSource(const std::string& server, const std::string& source) {
    if (!server.empty()) {
        // syslog has no remote event logs to open by name.
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    return new EventSourceRecord{source};
}

bool ReportEvent(EventSource source, EventType type, uint32_t eventId, const std::string& text,
                 bool withUserSid) {
    (void)withUserSid;  // syslog records the user itself
    auto* record = static_cast<EventSourceRecord*>(source);
    if (record == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (auto hook = EventReportHookSlot().Get()) {
        hook(record->source, type, eventId, text);
        return true;
    }
    std::string utf8 = Cp1251ToUtf8(text);
    std::lock_guard<std::mutex> lock(SyslogLock());
    openlog(PermanentIdent(Cp1251ToUtf8(record->source)), LOG_PID, LOG_USER);
    syslog(SyslogPriority(type), "%s", utf8.c_str());
    return true;
}

void DeregisterEventSource(EventSource source) {
    delete static_cast<EventSourceRecord*>(source);
}

std::string UserName() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return Utf8ToCp1251(found->pw_name);
    }
    const char* user = std::getenv("USER");
    return user ? Utf8ToCp1251(user) : std::string();
}

std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    size_t position = 0;
    while (position < text.size()) {
        size_t open = text.find('%', position);
        size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, position, std::string::npos);
            break;
        }
        out.append(text, position, open - position);
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(Cp1251ToUtf8(name).c_str());
        if (value) {
            out += Utf8ToCp1251(value);
            position = close + 1;
        } else {
            // Unknown references stay, both '%' included, as Windows leaves them.
            out.append(text, open, close - open + 1);
            position = close + 1;
        }
    }
    return out;
}

std::string RuntimeErrorText(int errorNumber) {
    // strerrordesc_np reads a constant table: thread-safe, and null for unknown numbers.
    const char* text = strerrordesc_np(errorNumber);
    return text ? std::string(text) : std::string();
}

bool SystemErrorText(uint32_t code, uint32_t languageId, std::string* text) {
    if (languageId != kLanguageNeutral && languageId != kLanguageEnglishUs) return false;
    for (const auto& message : kSystemMessages) {
        if (message.code == code) {
            *text = message.text;
            return true;
        }
    }
    return false;
}

}  // namespace platform
