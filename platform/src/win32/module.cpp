#include <windows.h>

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

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace platform
