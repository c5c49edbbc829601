// The registry on Windows: the W functions, with names and texts converted from and to
// Windows-1251 by our own table, so the result never depends on the system's code page.

#include "platform/registry.h"

#include <windows.h>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace platform::reg {
namespace {

// Windows' limits for a key name and a value name, in characters.
constexpr DWORD kMaxKeyName = 256;
constexpr DWORD kMaxValueName = 16384;

HKEY RootKey(Hive hive) {
    switch (hive) {
        case Hive::CurrentUser:
            return HKEY_CURRENT_USER;
        case Hive::LocalMachine:
            return HKEY_LOCAL_MACHINE;
        case Hive::ClassesRoot:
            return HKEY_CLASSES_ROOT;
    }
    return HKEY_CURRENT_USER;
}

std::wstring Wide(std::string_view text) {
    std::u16string units = Cp1251ToUtf16(text);
    return std::wstring(units.begin(), units.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
    return Utf16ToCp1251(std::u16string(text, text + length));
}

class OpenKey {
public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }

    uint32_t Open(Hive hive, std::string_view path, REGSAM access) {
        return RegOpenKeyExW(RootKey(hive), Wide(path).c_str(), 0, access, &key_);
    }
    uint32_t Create(Hive hive, std::string_view path) {
        return RegCreateKeyExW(RootKey(hive), Wide(path).c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key_,
                               nullptr);
    }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Strings live in the registry as UTF-16, normally with one terminating zero.
Value FromStored(DWORD type, const std::vector<uint8_t>& bytes) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return Value{static_cast<Type>(type), bytes};
    }
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    if (!units.empty() && units.back() == 0) units.pop_back();
    return Value::String(Utf16ToCp1251(units), static_cast<Type>(type));
}

std::vector<uint8_t> ToStored(const Value& value) {
    if (value.type != Type::Sz && value.type != Type::ExpandSz) return value.data;
    std::u16string units = Cp1251ToUtf16(value.AsString());
    units.push_back(0);
    std::vector<uint8_t> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

}  // namespace

std::string StorageDirectory() {
    return {};
}

uint32_t CreateKey(Hive hive, std::string_view key) {
    OpenKey created;
    return created.Create(hive, key);
}

uint32_t QueryValue(Hive hive, std::string_view key, std::string_view name, Value* value) {
    OpenKey opened;
    if (uint32_t code = opened.Open(hive, key, KEY_QUERY_VALUE); code != ERROR_SUCCESS) return code;
    std::wstring wideName = Wide(name);
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG code = RegQueryValueExW(opened.get(), wideName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<uint8_t> bytes;
    // The value may grow between the two calls.
    while (code == ERROR_SUCCESS || code == ERROR_MORE_DATA) {
        bytes.resize(size);
        code = RegQueryValueExW(opened.get(), wideName.c_str(), nullptr, &type,
                                bytes.empty() ? nullptr : bytes.data(), &size);
        if (code == ERROR_SUCCESS) {
            bytes.resize(size);
            if (value != nullptr) *value = FromStored(type, bytes);
            return kErrorSuccess;
        }
    }
    return static_cast<uint32_t>(code);
}

uint32_t SetValue(Hive hive, std::string_view key, std::string_view name, const Value& value) {
    OpenKey created;
    if (uint32_t code = created.Create(hive, key); code != ERROR_SUCCESS) return code;
    std::vector<uint8_t> bytes = ToStored(value);
    return RegSetValueExW(created.get(), Wide(name).c_str(), 0, static_cast<DWORD>(value.type),
                          bytes.data(), static_cast<DWORD>(bytes.size()));
}

uint32_t DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    OpenKey opened;
    if (uint32_t code = opened.Open(hive, key, KEY_SET_VALUE); code != ERROR_SUCCESS) return code;
    return RegDeleteValueW(opened.get(), Wide(name).c_str());
}

uint32_t DeleteTree(Hive hive, std::string_view key) {
    // Never the whole hive.
    if (key.empty()) return kErrorInvalidParameter;
    return RegDeleteTreeW(RootKey(hive), Wide(key).c_str());
}

uint32_t EnumSubkeys(Hive hive, std::string_view key, std::vector<std::string>* names) {
    names->clear();
    OpenKey opened;
    uint32_t code = opened.Open(hive, key, KEY_ENUMERATE_SUB_KEYS);
    if (code != ERROR_SUCCESS) return code;
    wchar_t name[kMaxKeyName];
    for (DWORD index = 0;; ++index) {
        DWORD length = kMaxKeyName;
        code =
            RegEnumKeyExW(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) return kErrorSuccess;
        if (code != ERROR_SUCCESS) return code;
        names->push_back(Narrow(name, length));
    }
}

uint32_t EnumValues(Hive hive, std::string_view key, std::vector<std::string>* names) {
    names->clear();
    OpenKey opened;
    uint32_t code = opened.Open(hive, key, KEY_QUERY_VALUE);
    if (code != ERROR_SUCCESS) return code;
    std::wstring name(kMaxValueName, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = kMaxValueName;
        code = RegEnumValueW(opened.get(), index, name.data(), &length, nullptr, nullptr, nullptr,
                             nullptr);
        if (code == ERROR_NO_MORE_ITEMS) return kErrorSuccess;
        if (code != ERROR_SUCCESS) return code;
        names->push_back(Narrow(name.data(), length));
    }
}

bool KeyExists(Hive hive, std::string_view key) {
    OpenKey opened;
    return opened.Open(hive, key, KEY_READ) == ERROR_SUCCESS;
}

}  // namespace platform::reg
