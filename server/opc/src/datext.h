#pragma once
// Strings and arrays at the COM edge of the layer. Names are kept as UTF-16 strings; what goes
// to a client is CoTaskMemAlloc'ed for it to free. WCHAR is char16_t on POSIX and wchar_t on
// Windows, both 16 bits.

#include <cstring>
#include <string>

#include "platform/com.h"

namespace opc {

// A null text is empty.
inline std::u16string daWideToU16(const WCHAR* text) {
    if (!text) return {};
    size_t length = 0;
    while (text[length])
        ++length;
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

inline const WCHAR* daU16ToWide(const std::u16string& text) {
    return reinterpret_cast<const WCHAR*>(text.c_str());
}

// A zero-terminated copy for the client; null when memory runs out.
template <typename Char>
WCHAR* daCoTaskCopy(const Char* text, size_t length) {
    static_assert(sizeof(Char) == sizeof(WCHAR));
    auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc((length + 1) * sizeof(WCHAR)));
    if (!copy) return nullptr;
    if (length) std::memcpy(copy, text, length * sizeof(WCHAR));
    copy[length] = 0;
    return copy;
}
inline WCHAR* daCoTaskCopy(const std::u16string& text) {
    return daCoTaskCopy(text.data(), text.size());
}

// Zeroed array for the client; null when memory runs out.
template <typename T>
T* daTaskArray(size_t count) {
    void* memory = CoTaskMemAlloc(count * sizeof(T));
    if (memory) std::memset(memory, 0, count * sizeof(T));
    return static_cast<T*>(memory);
}

}  // namespace opc
