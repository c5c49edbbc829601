#pragma once
// Small services of the operating system: beeps, debugger output, the event log, module and
// user names, environment expansion and error texts.

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Hooks are for tests: while one is set it receives every call on both targets instead of the
// operating system. An empty function removes it.

// No sound on POSIX.
void Beep(uint32_t frequencyHz, uint32_t durationMs);
using BeepHook = std::function<void(uint32_t frequencyHz, uint32_t durationMs)>;
void SetBeepHook(BeepHook hook);

// OutputDebugString on Windows; standard error on POSIX.
void DebugOutput(const std::string& text);
using DebugOutputHook = std::function<void(const std::string& text)>;
void SetDebugOutputHook(DebugOutputHook hook);

// Event log (syslog on POSIX). Types are the Win32 EVENTLOG_* values.
enum class EventType : uint16_t {
    Success = 0x0000,
    Error = 0x0001,
    Warning = 0x0002,
    Information = 0x0004,
    AuditSuccess = 0x0008,
    AuditFailure = 0x0010,
};
using EventSource = void*;
// Server is empty for the local machine; returns nullptr on failure (LastError set).
EventSource RegisterEventSource(const std::string& server, const std::string& source);
bool ReportEvent(EventSource source, EventType type, uint32_t eventId, const std::string& text,
                 bool withUserSid);
void DeregisterEventSource(EventSource source);
using EventReportHook = std::function<void(const std::string& source, EventType type,
                                           uint32_t eventId, const std::string& text)>;
void SetEventReportHook(EventReportHook hook);

// Makes the C runtime's locale Windows code page 1251 (the programs' texts); false when the
// runtime refuses. On POSIX texts stay bytes and the "C" locale serves.
bool UseCodePage1251();

// The command-line text that follows the program name: on Windows as the system gives it, on
// POSIX the arguments joined by blanks.
std::string CommandLineTail(int argc, char** argv);

// A Windows-subsystem program started from a console writes its standard output there; a
// program that has a standard output already (a pipe, a file, POSIX) keeps it.
void AttachParentConsole();

// True when this Windows program runs under Wine (whose emulation has known quirks).
bool RunningUnderWine();

// Full path of the running program, or of the loaded module of that name ("" when not loaded).
std::string ModulePath();
std::string ModulePath(const std::string& moduleName);
std::string UserName();
// Expands %NAME% references from the environment; unknown references stay as they are.
std::string ExpandEnvironment(const std::string& text);

// The runtime's text for an errno value; empty when it has none. Safe from any thread.
std::string RuntimeErrorText(int errorNumber);
// The system's message for a Win32 error code or HRESULT in a language (0 = neutral), without
// trailing blanks or line ends; false when there is none.
bool SystemErrorText(uint32_t code, uint32_t languageId, std::string* text);

}  // namespace platform
