#pragma once
// What the Windows tests under Wine share: paths of the build tree as Windows sees them, running
// a program with its output in files, and the proxy/stub DLL registered for the test processes
// that talk to a COM local server (one such process at a time).

#include "platform/com.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/support.h"

namespace wine_test {

inline constexpr DWORD kLongWaitMs = 30000;  // Wine on a busy two-core machine is slow

// A path of the build tree as this Windows program sees it.
inline std::wstring WinePath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : wchar_t(c);
    return path;
}

inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

struct Finished {
    int code = -1;  // -1: did not end in time (killed)
    std::string out;
    std::string err;
};

inline std::wstring Quoted(const std::wstring& argument) {
    return L"\"" + argument + L"\"";
}

// Runs a program with its output going to files of `dir`; bounded.
inline Finished RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                           const std::string& dir, DWORD timeoutMs = 120000) {
    static int runs = 0;
    const std::string base = dir + "\\run" + std::to_string(++runs);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA((base + ".out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA((base + ".err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    std::wstring command = Quoted(program);
    for (const std::wstring& argument : arguments)
        command += L" " + Quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    Finished finished;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            finished.code = int(code);
        } else {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    finished.out = testing_support::ReadFile(base + ".out");
    finished.err = testing_support::ReadFile(base + ".err");
    return finished;
}

inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Holds the suite lock and the proxy DLL's registration (and COM) for a test suite's life.
class ProxyRegistration {
public:
    ProxyRegistration() {
        lock_ = CreateMutexW(nullptr, FALSE, L"KarvexOPCOutOfProcessTests");
        const DWORD waited = WaitForSingleObject(lock_, 600000);
        EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;
        EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        proxy_ = LoadLibraryW(WinePath(KARVEX_PROXY_DLL).c_str());
        EXPECT_NE(proxy_, nullptr) << GetLastError();
        EXPECT_EQ(Export("DllRegisterServer")(), S_OK);
    }
    ~ProxyRegistration() {
        if (proxy_ != nullptr) {
            Export("DllUnregisterServer")();
            FreeLibrary(proxy_);
        }
        CoUninitialize();
        ReleaseMutex(lock_);
        CloseHandle(lock_);
    }
    ProxyRegistration(const ProxyRegistration&) = delete;
    ProxyRegistration& operator=(const ProxyRegistration&) = delete;

private:
    using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
    RegisterFunction Export(const char* name) const {
        auto function = reinterpret_cast<RegisterFunction>(
            reinterpret_cast<void*>(GetProcAddress(proxy_, name)));
        return function != nullptr ? function : [] { return E_NOTIMPL; };
    }

    HANDLE lock_ = nullptr;
    HMODULE proxy_ = nullptr;
};

}  // namespace wine_test
