#pragma once
// One hive in the ".reg" text form that regedit exports ("Windows Registry Editor Version 5.00"),
// held in memory as a tree of keys. Pure code without system calls, so a fuzzer can drive it.
// Names and texts in memory are Windows-1251; the text form is UTF-8.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform::reg::file {

// Windows' own limits; they also bound what a hostile file can make the parser build.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;

struct NamedValue {
    std::string name;
    Value value;
    bool operator==(const NamedValue&) const = default;
};

// Values and subkeys are kept sorted by name without case, which also fixes the file's order.
struct Key {
    std::string name;
    std::vector<NamedValue> values;
    std::vector<Key> subkeys;

    const Key* FindSubkey(std::string_view subkeyName) const;
    Key* FindSubkey(std::string_view subkeyName);
    Key& CreateSubkey(std::string_view subkeyName);
    bool DeleteSubkey(std::string_view subkeyName);

    const Value* FindValue(std::string_view valueName) const;
    void SetValue(std::string_view valueName, Value value);
    bool DeleteValue(std::string_view valueName);

    bool operator==(const Key&) const = default;
};

using KeyPath = std::vector<std::string_view>;

// Splits "A\B\C" into its names ("" is the root); empty names are skipped as Windows does. False
// when the path starts with a backslash, a name is too long or holds a line break or a zero, or
// the path is too deep.
bool SplitPath(std::string_view path, KeyPath* names);
bool IsValidValueName(std::string_view valueName);

const Key* FindKey(const Key& root, const KeyPath& names);
Key* FindKey(Key& root, const KeyPath& names);
Key& CreateKey(Key& root, const KeyPath& names);

struct ParseError {
    size_t line = 0;  // 1-based
    std::string reason;
};

// Reads the text of the hive whose root is named rootName ("HKEY_CURRENT_USER"). An empty
// text is an empty hive. False, with the line and the reason, when the text is damaged.
bool Parse(std::string_view text, std::string_view rootName, Key* root, ParseError* error);
// Deterministic: Parse(Serialize(root)) gives root back.
std::string Serialize(const Key& root, std::string_view rootName);

}  // namespace platform::reg::file
