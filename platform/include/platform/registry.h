#pragma once
// The registry: Win32 registry on Windows; on POSIX one ".reg" text file per hive in
// $KARVEX_REGISTRY_DIR (default ~/.config/karvex/registry), shared safely between processes.
// Key paths use backslashes; key and value names compare without case; an empty value name
// is the key's unnamed value. Texts are Windows-1251 bytes. Functions return Win32 error codes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::reg {

enum class Hive { CurrentUser, LocalMachine, ClassesRoot };

enum class Type : uint32_t { None = 0, Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4 };

struct Value {
    Type type = Type::None;
    // Sz and ExpandSz: the text without its terminating zero. Dword: 4 bytes little-endian.
    std::vector<uint8_t> data;

    static Value String(std::string_view text, Type type = Type::Sz);
    static Value Dword(uint32_t number);
    static Value Binary(std::vector<uint8_t> bytes);
    std::string AsString() const;  // Sz and ExpandSz (empty for other types)
    uint32_t AsDword() const;      // Dword (0 when shorter or of another type)
    bool operator==(const Value&) const = default;
};

// Creates the key and every missing parent.
uint32_t CreateKey(Hive hive, std::string_view key);
// kErrorFileNotFound when the key or the value does not exist.
uint32_t QueryValue(Hive hive, std::string_view key, std::string_view name, Value* value);
// Creates the key when missing.
uint32_t SetValue(Hive hive, std::string_view key, std::string_view name, const Value& value);
uint32_t DeleteValue(Hive hive, std::string_view key, std::string_view name);
// Deletes the key with all its subkeys and values.
uint32_t DeleteTree(Hive hive, std::string_view key);
uint32_t EnumSubkeys(Hive hive, std::string_view key, std::vector<std::string>* names);
uint32_t EnumValues(Hive hive, std::string_view key, std::vector<std::string>* names);
bool KeyExists(Hive hive, std::string_view key);

// POSIX only: the folder that holds the hive files ($KARVEX_REGISTRY_DIR or the default).
std::string StorageDirectory();

}  // namespace platform::reg
