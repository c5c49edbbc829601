#include <windows.h>

#include <clocale>
#include <cstdio>

#include "platform/codepage.h"
#include "platform/system.h"

namespace platform {
namespace {

std::string ModuleFileName(HMODULE module) {
    std::u16string path(MAX_PATH, u'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, reinterpret_cast<LPWSTR>(path.data()),
                                          static_cast<DWORD>(path.size()));
        if (length == 0) return std::string();
        if (length < path.size()) {
            path.resize(length);
            return Utf16ToCp1251(path);
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

std::string ModulePath() {
    return ModuleFileName(nullptr);
}

std::string ModulePath(const std::string& moduleName) {
    HMODULE module = GetModuleHandleW(reinterpret_cast<LPCWSTR>(Cp1251ToUtf16(moduleName).c_str()));
    return module ? ModuleFileName(module) : std::string();
}

bool UseCodePage1251() {
    return std::setlocale(LC_ALL, ".1251") != nullptr;
}

// Skips the program name as the C runtime does: quoted up to the closing quote, else up to the
// first blank; then the blanks after it.
std::string CommandLineTail(int, char**) {
    const char* text = GetCommandLineA();
    if (*text == '"') {
        ++text;
        while (*text != '\0' && *text != '"')
            ++text;
        if (*text == '"') ++text;
    } else {
        while (*text != '\0' && *text != ' ' && *text != '\t')
            ++text;
    }
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

void AttachParentConsole() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) std::freopen("CONOUT$", "w", stdout);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace platform
