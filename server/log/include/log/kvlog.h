#pragma once
// KVLOG: the process-wide list of named logs. Each log takes its output (file, file shared
// between processes, debugger output, event log or none), level, ident and size limit from
// the registry key HKEY_LOCAL_MACHINE "Software\kvlog.dll\<base name>", so an operator can
// change them without touching the program.
//
// Formats are printf formats that may start with "%!" directives (E, e, L, l, s, y, r, P, p,
// T, t, U, V, Y) ended by a blank; see Write. The arguments of the directives (e, l, s, y, r,
// p, t, one 32-bit number each) come first, in the order of their letters, then the format's
// own. Example: Write(kTrace, log, nullptr, "%!e daDelete(%p) = ", result, service).
// Every call keeps errno and the system last-error value as they were.

#include <cstdarg>

namespace kvlog {

struct LogRecord;
using Handle = LogRecord*;

enum Level : int {
    kFatal = 0,  // ends the process with exit code 3 once written
    kError = 1,
    kWarning = 2,
    kMessage = 3,
    kInfo = 4,
    kNotice = 5,
    kTrace = 6,
    kDebug = 7,
    kSuccess = 8,
    kAuditSuccess = 9,
    kAuditFailure = 10,
};

// Opens (or shares, counting references) the log of that base name; nullptr when its output
// cannot be opened, in which case messages for it go to the default log.
Handle Open(const char* baseName, const char* defaultPath, const char* defaultIdent,
            int defaultSize, int defaultLevel);
void Close(Handle log);
// Re-reads the settings of every open log of that base name.
void Refresh(const char* baseName);

// False when the level of the log that would take it filters a message of that level out, so
// callers can skip building costly arguments. Filtered calls take no lock either way.
bool Enabled(Handle log, int level);

// A null or closed handle writes to the process default log (event log, source "kvlog.dll").
// A non-null ident replaces the log's ident for this message.
void Write(int level, Handle log, const char* ident, const char* format, ...);
void WriteV(int level, Handle log, const char* ident, const char* format, va_list arguments);

void Error(Handle log, const char* format, ...);
void Warning(Handle log, const char* format, ...);
void Message(Handle log, const char* format, ...);
void Info(Handle log, const char* format, ...);
void Notice(Handle log, const char* format, ...);
void Trace(Handle log, const char* format, ...);
void Debug(Handle log, const char* format, ...);

}  // namespace kvlog
