#include <windows.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace platform {
namespace {

// Quotes one argument the way CommandLineToArgvW and the C runtime split it again.
std::u16string Quote(const std::string& argument) {
    std::u16string text = Cp1251ToUtf16(argument);
    if (!text.empty() && text.find_first_of(u" \t\"") == std::u16string::npos) return text;
    std::u16string out = u"\"";
    size_t backslashes = 0;
    for (char16_t c : text) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, u'\\');
    out.push_back(u'"');
    return out;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (handle_ != -1) {
        Kill();
        int ignored = 0;
        Wait(5000, &ignored);
    }
}

uint32_t ChildProcess::Start(const std::string& program,
                             const std::vector<std::string>& arguments) {
    std::u16string commandLine = Quote(program);
    for (const auto& argument : arguments)
        commandLine += u" " + Quote(argument);
    std::u16string application = Cp1251ToUtf16(program);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(reinterpret_cast<LPCWSTR>(application.c_str()),
                        reinterpret_cast<LPWSTR>(commandLine.data()), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &info)) {
        return ::GetLastError();
    }
    CloseHandle(info.hThread);
    handle_ = reinterpret_cast<intptr_t>(info.hProcess);
    return kErrorSuccess;
}

uint32_t ChildProcess::Wait(uint32_t timeoutMs, int* exitCode) {
    if (handle_ == -1) return kErrorInvalidHandle;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return kErrorTimeout;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    *exitCode = static_cast<int>(code);
    CloseHandle(process);
    handle_ = -1;
    return kErrorSuccess;
}

void ChildProcess::Kill() {
    if (handle_ != -1) TerminateProcess(reinterpret_cast<HANDLE>(handle_), 137);
}

}  // namespace platform
