#pragma once
// Parsers of what operators put into a log's registry key: "size", "level", the unnamed
// value (ident) and "path". Outside input: they accept any bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace kvlog::internal {

constexpr size_t kMaxIdent = 31;
constexpr size_t kMaxRegistryPath = 275;
constexpr size_t kMaxExpandedPath = 299;

// "FATAL" ... "DEBUG" for 0..7; nullptr otherwise.
const char* LevelName(int level);
// Position of a level name (any case) among the eight names; 0 when it is none of them.
int LevelFromName(std::string_view text);
// An unsigned number the way strtoul reads it with base 0 (blanks first, then decimal, 0x hex
// or 0 octal, up to the first other character); saturates at 0xFFFFFFFF; none without a digit.
std::optional<uint32_t> ParseUnsigned(std::string_view text);

// "size" and "level": a REG_DWORD, or a non-empty string holding a number or a level name.
std::optional<int> ReadNumberSetting(const platform::reg::Value& value);
// The unnamed value: leading blanks and control characters skipped, cut to kMaxIdent; none
// when empty.
std::optional<std::string> ReadIdent(const platform::reg::Value& value);
// "path": a string of at most kMaxRegistryPath characters, expanded when REG_EXPAND_SZ.
std::optional<std::string> ReadPath(const platform::reg::Value& value);

enum class OutputKind { None = 0, EventLog = 1, File = 2, SharedFile = 3, Debugger = 4, Unset = 5 };

// name, name*rest, name?rest, ?rest, name|rest, name<rest, name>rest, *rest or empty.
struct PathSpec {
    OutputKind kind = OutputKind::None;
    std::string name;  // file name, or the event log's server
    std::string rest;  // ident, or the event source name
};
PathSpec ParsePathSpec(std::string_view path);

// Splits "%!letters text": the directive letters, then the text after the blank that ends
// them (or from the first other character). Text without "%!" has no letters.
struct Directives {
    std::string_view letters;
    std::string_view text;
};
Directives SplitDirectives(std::string_view text);

}  // namespace kvlog::internal
