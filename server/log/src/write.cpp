// Formatting one message into its lines and writing them to the log's output.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "error_texts.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "record.h"

namespace kvlog {
namespace {

using internal::OutputKind;
using platform::EventType;

struct LevelRow {
    char letter;
    int threshold;  // the log's level at which the row is written
    EventType eventType;
    uint32_t eventId;
};

constexpr LevelRow kLevels[] = {
    {'F', 0, EventType::Error, 0xC0000001},
    {'E', 1, EventType::Error, 0xC0000001},
    {'W', 2, EventType::Warning, 0x80000002},
    {'M', 3, EventType::Information, 0x40000003},
    {'I', 4, EventType::Information, 0x40000003},
    {'N', 5, EventType::Information, 0x40000003},
    {'T', 6, EventType::Information, 0x40000003},
    {'D', 7, EventType::Information, 0x40000003},
    {'S', 4, EventType::Success, 4},
    {'a', 3, EventType::AuditSuccess, 4},
    {'f', 3, EventType::AuditFailure, 4},
};

constexpr size_t kTimeStampWidth = 24;
constexpr uint32_t kNeutralLanguage = 0;

// The lines of one message: at most kCapacity bytes, every line ending in CR LF however much
// is cut, control characters inside a line turned into blanks.
class LineBuffer {
public:
    static constexpr size_t kCapacity = 4072;

    bool HasRoomForLine() const { return kCapacity - length_ > 2; }
    void Append(std::string_view text) {
        size_t count = std::min(text.size(), Room());
        text.copy(data_ + length_, count);
        length_ += count;
    }
    void AppendV(const char* format, va_list arguments) {
        size_t room = Room();
        int written = std::vsnprintf(data_ + length_, room + 1, format, arguments);
        if (written > 0) length_ += std::min(static_cast<size_t>(written), room);
    }
    __attribute__((format(printf, 2, 3))) void AppendF(const char* format, ...) {
        va_list arguments;
        va_start(arguments, format);
        AppendV(format, arguments);
        va_end(arguments);
    }
    void PadTo(size_t width) {
        while (length_ - lineStart_ < width && Room() > 0)
            data_[length_++] = ' ';
    }
    void DropTrailingBlank() {
        if (length_ > lineStart_ && data_[length_ - 1] == ' ') --length_;
    }
    void EndLine() {
        for (size_t i = lineStart_; i < length_; ++i) {
            unsigned char c = static_cast<unsigned char>(data_[i]);
            if (c < 0x20 || c == 0x7F) data_[i] = ' ';
        }
        data_[length_++] = '\r';
        data_[length_++] = '\n';
        lineStart_ = length_;
    }
    std::string_view View() const { return std::string_view(data_, length_); }

private:
    // What a line may still hold; its CR LF always fits.
    size_t Room() const { return kCapacity - 2 - length_; }

    char data_[kCapacity + 1];  // + vsnprintf's terminating zero
    size_t length_ = 0;
    size_t lineStart_ = 0;
};

struct ErrorRequest {
    char letter;
    uint32_t code;
};

struct LineOptions {
    bool levelTag = true;
    bool processId = false;
    bool threadId = false;
    bool userName = false;
    uint32_t processIdValue = 0;
    uint32_t threadIdValue = 0;
    std::vector<ErrorRequest> errors;
};

void ApplyIdentDirectives(std::string_view letters, LineOptions& options) {
    for (char letter : letters) {
        switch (letter) {
            case 'P':
                options.processId = true;
                options.processIdValue = platform::CurrentProcessId();
                break;
            case 'T':
                options.threadId = true;
                options.threadIdValue = platform::CurrentThreadId();
                break;
            case 'U':
                options.userName = true;
                break;
            case 'V':
                options.levelTag = true;
                break;
            case 'Y':
            case 'v':
                options.levelTag = false;
                break;
            default:
                break;
        }
    }
}

std::string TrimTrailingBlanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

// The system's text in the log's language; falls back once to the neutral language for good.
bool SystemText(LogRecord& record, uint32_t code, std::string* text) {
    if (platform::SystemErrorText(code, record.messageLanguage, text)) return true;
    if (record.messageLanguage == kNeutralLanguage) return false;
    if (!platform::SystemErrorText(code, kNeutralLanguage, text)) return false;
    record.messageLanguage = kNeutralLanguage;
    return true;
}

std::string CodeSuffix(const char* format, uint32_t code) {
    char suffix[48];
    std::snprintf(suffix, sizeof(suffix), format, code, code);
    return suffix;
}

std::string ErrorLine(LogRecord& record, const ErrorRequest& request) {
    std::string text;
    switch (request.letter) {
        case 'E':
        case 'e': {
            const int number = static_cast<int>(request.code);
            text = platform::RuntimeErrorText(number);
            if (text.empty()) text = "Unknown errno";
            return TrimTrailingBlanks(text) + CodeSuffix(" (%d)", request.code);
        }
        case 'L':
        case 'l':
            if (!SystemText(record, request.code, &text)) text = "GetLastError() =";
            return text + CodeSuffix(" (%u=0x%X)", request.code);
        case 's': {
            const int code = static_cast<int>(request.code);
            text = internal::WsaErrorText(code);
            if (text.empty()) text = platform::RuntimeErrorText(code);
            if (text.empty()) text = "<unknown WSA>";
            std::string system;
            if (text[0] == '<' && SystemText(record, request.code, &system)) text = system;
            return text + CodeSuffix(" (%d=0x%X)", request.code);
        }
        case 'y':
            text = internal::SspErrorText(request.code);
            if (text.empty()) text = "<unknown SSP>";
            return text + CodeSuffix(" (%u=0x%X)", request.code);
        default:  // 'r': no remote-access library here; its codes rarely have system texts
            if (!SystemText(record, request.code, &text)) text = "<unknown RAS>";
            return text + CodeSuffix(" (%u=0x%X)", request.code);
    }
}

// The event log reads "%1" in a text as an insertion: "%?1" keeps it literal.
std::string EventText(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 8);
    for (size_t i = 0; i < line.size(); ++i) {
        text.push_back(line[i]);
        if (line[i] == '%' && i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '9') {
            text.push_back('?');
        }
    }
    return text;
}

// Past the limit the oldest half goes, up to the next line start, and the rest moves to the
// front. An error stops the move; the file then ends where the moved part ends.
void TrimToLimit(platform::SharedFile& file, int limitKiB) {
    uint64_t size = 0;
    if (file.Size(&size) != platform::kErrorSuccess) return;
    if (size <= static_cast<uint64_t>(limitKiB) * 1024) return;

    char chunk[4096];
    size_t got = 0;
    uint64_t start = static_cast<uint64_t>(limitKiB) * 512 - 1;  // last byte that surely goes
    for (;;) {
        if (start >= size) break;
        if (file.ReadAt(start, chunk, sizeof(chunk), &got) != platform::kErrorSuccess) return;
        if (got == 0) {
            start = size;
            break;
        }
        const char* newline = static_cast<const char*>(std::memchr(chunk, '\n', got));
        if (newline) {
            start += static_cast<uint64_t>(newline - chunk);
            break;
        }
        start += got;
    }
    start = std::min(start + 1, size);

    uint64_t target = 0;
    for (uint64_t source = start; source < size;) {
        if (file.ReadAt(source, chunk, sizeof(chunk), &got) != platform::kErrorSuccess ||
            got == 0) {
            break;
        }
        if (file.WriteAt(target, chunk, got) != platform::kErrorSuccess) break;
        source += got;
        target += got;
    }
    file.Truncate(target);
}

void WriteToFile(LogRecord& record, std::string_view lines) {
    const bool shared = record.kind == OutputKind::SharedFile;
    if (shared && record.file.LockExclusive() != platform::kErrorSuccess) return;
    if (record.file.Append(lines.data(), lines.size()) == platform::kErrorSuccess &&
        record.sizeLimit > 0) {
        TrimToLimit(record.file, record.sizeLimit);
    }
    if (shared) record.file.Unlock();
}

void Output(LogRecord& record, const LevelRow& row, std::string_view lines, bool withUser) {
    switch (record.kind) {
        case OutputKind::EventLog:
            platform::ReportEvent(
                record.eventSource, row.eventType, row.eventId,
                EventText(lines.substr(kTimeStampWidth, lines.size() - kTimeStampWidth - 2)),
                withUser);
            break;
        case OutputKind::Debugger:
            platform::DebugOutput(std::string(lines));
            break;
        case OutputKind::File:
        case OutputKind::SharedFile:
            WriteToFile(record, lines);
            break;
        default:
            break;
    }
}

// The record of a live handle, else the default log; returned locked.
std::unique_lock<std::mutex> LockLiveRecord(Handle log, LogRecord** record) {
    if (log) {
        std::unique_lock<std::mutex> lock(log->lock);
        if (log->self == log) {
            *record = log;
            return lock;
        }
    }
    *record = &internal::DefaultLog();
    return std::unique_lock<std::mutex>((*record)->lock);
}

// Decided without a lock from the level of the log that would take the message. A level change
// racing the call may go either way, as it may with the lock.
bool BelowLevel(int level, Handle log) {
    if (level == kFatal) return false;
    int gate = log ? log->gate.load(std::memory_order_relaxed) : LogRecord::kClosedGate;
    if (gate == LogRecord::kClosedGate) {
        gate = internal::DefaultLog().gate.load(std::memory_order_relaxed);
    }
    return gate < kLevels[level].threshold;
}

bool KnownLevel(int level) {
    return level >= kFatal && level <= kAuditFailure;
}

}  // namespace

bool Enabled(Handle log, int level) {
    return KnownLevel(level) && !BelowLevel(level, log);
}

void WriteV(int level, Handle log, const char* ident, const char* format, va_list arguments) {
    if (!format || !KnownLevel(level) || BelowLevel(level, log)) return;
    internal::ErrorStateKeeper keep;
    const LevelRow& row = kLevels[level];
    {
        LogRecord* record = nullptr;
        std::unique_lock<std::mutex> lock = LockLiveRecord(log, &record);
        if (level != kFatal && record->level < row.threshold) return;

        LineOptions options;
        internal::Directives identParts = internal::SplitDirectives(
            ident ? std::string_view(ident) : std::string_view(record->ident));
        ApplyIdentDirectives(identParts.letters, options);

        va_list rest;
        va_copy(rest, arguments);
        internal::Directives formatParts = internal::SplitDirectives(format);
        for (char letter : formatParts.letters) {
            switch (letter) {
                case 'E':
                    options.errors.push_back({'E', static_cast<uint32_t>(keep.errorNumber())});
                    break;
                case 'L':
                    options.errors.push_back({'L', keep.lastError()});
                    break;
                case 'e':
                case 'l':
                case 's':
                case 'y':
                case 'r':
                    options.errors.push_back({letter, va_arg(rest, uint32_t)});
                    break;
                case 'p':
                    options.processId = true;
                    options.processIdValue = va_arg(rest, uint32_t);
                    break;
                case 't':
                    options.threadId = true;
                    options.threadIdValue = va_arg(rest, uint32_t);
                    break;
                default:
                    if (letter >= 'a' && letter <= 'z') {
                        (void)va_arg(rest, int);
                    } else {
                        ApplyIdentDirectives(std::string_view(&letter, 1), options);
                    }
                    break;
            }
        }

        LineBuffer lines;
        platform::LocalTime now = platform::LocalTimeNow();
        lines.AppendF("%04u/%02u/%02u %02u:%02u:%02u.%03u", unsigned{now.year}, unsigned{now.month},
                      unsigned{now.day}, unsigned{now.hour}, unsigned{now.minute},
                      unsigned{now.second}, unsigned{now.millisecond});
        lines.PadTo(kTimeStampWidth);
        if (options.levelTag) lines.AppendF("%c%-2d", row.letter, level);
        if (options.processId || options.threadId) {
            if (options.levelTag) lines.DropTrailingBlank();
            const int pid = static_cast<int>(options.processIdValue);
            const int tid = static_cast<int>(options.threadIdValue);
            if (options.processId && options.threadId) {
                lines.AppendF("% 03d% 04d ", pid, tid);
            } else if (options.processId) {
                lines.AppendF("% 03d ", pid);
            } else {
                lines.AppendF("% 04d ", tid);
            }
        }
        if (options.userName) {
            lines.Append("[");
            lines.Append(platform::UserName());
            lines.Append("] ");
        }
        if (!identParts.text.empty()) {
            lines.Append(identParts.text);
            lines.Append(" ");
        }
        // The text after the directives is a tail of `format`, so it still ends in its zero.
        lines.AppendV(formatParts.text.data(), rest);
        va_end(rest);
        lines.EndLine();
        for (const ErrorRequest& request : options.errors) {
            if (!lines.HasRoomForLine()) break;
            lines.Append(ErrorLine(*record, request));
            lines.EndLine();
        }
        Output(*record, row, lines.View(), options.userName);
    }
    if (level == kFatal) std::exit(3);
}

void Write(int level, Handle log, const char* ident, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    WriteV(level, log, ident, format, arguments);
    va_end(arguments);
}

#define KVLOG_LEVEL_FUNCTION(Name, level)               \
    void Name(Handle log, const char* format, ...) {    \
        va_list arguments;                              \
        va_start(arguments, format);                    \
        WriteV(level, log, nullptr, format, arguments); \
        va_end(arguments);                              \
    }

KVLOG_LEVEL_FUNCTION(Error, kError)
KVLOG_LEVEL_FUNCTION(Warning, kWarning)
KVLOG_LEVEL_FUNCTION(Message, kMessage)
KVLOG_LEVEL_FUNCTION(Info, kInfo)
KVLOG_LEVEL_FUNCTION(Notice, kNotice)
KVLOG_LEVEL_FUNCTION(Trace, kTrace)
KVLOG_LEVEL_FUNCTION(Debug, kDebug)

#undef KVLOG_LEVEL_FUNCTION

}  // namespace kvlog
