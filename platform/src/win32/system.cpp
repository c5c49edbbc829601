#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "platform/system.h"
#include "system_hooks.h"

// <windows.h> maps these names to their A or W forms; here they name the platform functions.
#undef RegisterEventSource
#undef ReportEvent

namespace platform {
namespace {

struct EventSourceRecord {
    HANDLE handle;
    std::string source;
};

LPCWSTR Wide(const std::u16string& text) {
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

// The token's user SID for event records that name the user; empty when unavailable.
std::vector<BYTE> ProcessUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!ok) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

}  // namespace

void Beep(uint32_t frequencyHz, uint32_t durationMs) {
    if (auto hook = BeepHookSlot().Get()) {
        hook(frequencyHz, durationMs);
        return;
    }
    ::Beep(frequencyHz, durationMs);
}

void DebugOutput(const std::string& text) {
    if (auto hook = DebugOutputHookSlot().Get()) {
        hook(text);
        return;
    }
    OutputDebugStringW(Wide(Cp1251ToUtf16(text)));
}

EventSource RegisterEventSource(const std::string& server, const std::string& source) {
    std::u16string wideServer = Cp1251ToUtf16(server);
    HANDLE handle = RegisterEventSourceW(server.empty() ? nullptr : Wide(wideServer),
                                         Wide(Cp1251ToUtf16(source)));
    if (handle == nullptr) return nullptr;
    return new EventSourceRecord{handle, source};
}

bool ReportEvent(EventSource source, EventType type, uint32_t eventId, const std::string& text,
                 bool withUserSid) {
    auto* record = static_cast<EventSourceRecord*>(source);
    if (record == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (auto hook = EventReportHookSlot().Get()) {
        hook(record->source, type, eventId, text);
        return true;
    }
    std::u16string wide = Cp1251ToUtf16(text);
    LPCWSTR strings[] = {Wide(wide)};
    std::vector<BYTE> sid = withUserSid ? ProcessUserSid() : std::vector<BYTE>();
    return ReportEventW(record->handle, static_cast<WORD>(type), 0, eventId,
                        sid.empty() ? nullptr : sid.data(), 1, 0, strings, nullptr) != FALSE;
}

void DeregisterEventSource(EventSource source) {
    auto* record = static_cast<EventSourceRecord*>(source);
    if (record == nullptr) return;
    ::DeregisterEventSource(record->handle);
    delete record;
}

std::string UserName() {
    std::u16string name(257, u'\0');  // UNLEN + 1
    DWORD size = static_cast<DWORD>(name.size());
    if (!GetUserNameW(reinterpret_cast<LPWSTR>(name.data()), &size) || size == 0) return {};
    name.resize(size - 1);  // the count includes the terminating zero
    return Utf16ToCp1251(name);
}

std::string ExpandEnvironment(const std::string& text) {
    std::u16string source = Cp1251ToUtf16(text);
    std::u16string expanded(source.size() + 1, u'\0');
    for (;;) {
        DWORD needed =
            ExpandEnvironmentStringsW(Wide(source), reinterpret_cast<LPWSTR>(expanded.data()),
                                      static_cast<DWORD>(expanded.size()));
        if (needed == 0) return text;
        if (needed <= expanded.size()) {
            expanded.resize(needed - 1);
            return Utf16ToCp1251(expanded);
        }
        expanded.assign(needed, u'\0');
    }
}

std::string RuntimeErrorText(int errorNumber) {
    char text[256] = {};
    if (strerror_s(text, sizeof(text), errorNumber) != 0) return {};
    // The runtime names every number it does not know this way.
    if (std::strcmp(text, "Unknown error") == 0) return {};
    return text;
}

bool SystemErrorText(uint32_t code, uint32_t languageId, std::string* text) {
    wchar_t buffer[1024];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, languageId, buffer, 1024, nullptr);
    if (length == 0) return false;
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'\t')) {
        --length;
    }
    *text = Utf16ToCp1251(std::u16string(reinterpret_cast<const char16_t*>(buffer), length));
    return true;
}

}  // namespace platform
