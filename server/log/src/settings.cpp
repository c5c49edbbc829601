#include "settings.h"

#include "platform/codepage.h"
#include "platform/system.h"

namespace kvlog::internal {
namespace {

using platform::reg::Type;
using platform::reg::Value;

constexpr const char* kLevelNames[] = {"FATAL", "ERROR",  "WARNING", "MESSAGE",
                                       "INFO",  "NOTICE", "TRACE",   "DEBUG"};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == '\x7F';
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// String values as text, ending at the first zero: some editors store the terminator too.
std::optional<std::string> StringOf(const Value& value) {
    if (value.type != Type::Sz && value.type != Type::ExpandSz) return std::nullopt;
    std::string text = value.AsString();
    if (size_t zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    return text;
}

}  // namespace

const char* LevelName(int level) {
    return level >= 0 && level <= 7 ? kLevelNames[level] : nullptr;
}

int LevelFromName(std::string_view text) {
    for (int level = 0; level <= 7; ++level) {
        if (platform::EqualNoCase(text, kLevelNames[level])) return level;
    }
    return 0;
}

std::optional<uint32_t> ParseUnsigned(std::string_view text) {
    size_t position = 0;
    while (position < text.size() && IsBlank(text[position]))
        ++position;
    if (position == text.size() || DigitValue(text[position]) > 9) return std::nullopt;
    int base = 10;
    if (text[position] == '0') {
        base = 8;
        bool hexPrefix = position + 2 < text.size() && (text[position + 1] | 0x20) == 'x' &&
                         DigitValue(text[position + 2]) < 16;
        if (hexPrefix) {
            base = 16;
            position += 2;
        }
    }
    uint64_t number = 0;
    for (; position < text.size(); ++position) {
        int digit = DigitValue(text[position]);
        if (digit >= base) break;
        number = number * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (number > 0xFFFFFFFFu) number = 0x100000000u;  // saturated; keeps consuming digits
    }
    return number > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(number);
}

std::optional<int> ReadNumberSetting(const Value& value) {
    if (value.type == Type::Dword && value.data.size() >= 4) {
        return static_cast<int>(value.AsDword());
    }
    std::optional<std::string> text = StringOf(value);
    if (!text || text->empty()) return std::nullopt;
    if (value.type == Type::ExpandSz) text = platform::ExpandEnvironment(*text);
    if (std::optional<uint32_t> number = ParseUnsigned(*text)) return static_cast<int>(*number);
    return LevelFromName(*text);
}

std::optional<std::string> ReadIdent(const Value& value) {
    std::optional<std::string> text = StringOf(value);
    if (!text) return std::nullopt;
    size_t start = 0;
    while (start < text->size() && IsControlOrBlank((*text)[start]))
        ++start;
    if (start == text->size()) return std::nullopt;
    return text->substr(start, kMaxIdent);
}

std::optional<std::string> ReadPath(const Value& value) {
    std::optional<std::string> text = StringOf(value);
    if (!text || text->size() > kMaxRegistryPath) return std::nullopt;
    if (value.type == Type::ExpandSz) text = platform::ExpandEnvironment(*text);
    if (text->size() > kMaxExpandedPath) return std::nullopt;
    return text;
}

PathSpec ParsePathSpec(std::string_view path) {
    PathSpec spec;
    size_t separator = path.find_first_of("?*|<>");
    spec.name = std::string(path.substr(0, separator));
    if (separator == std::string_view::npos) {
        spec.kind = spec.name.empty() ? OutputKind::None : OutputKind::File;
        return spec;
    }
    spec.rest = std::string(path.substr(separator + 1));
    switch (path[separator]) {
        case '*':
            spec.kind = spec.name.empty() ? OutputKind::None : OutputKind::File;
            break;
        case '?':
            spec.kind = spec.name.empty() ? OutputKind::Debugger : OutputKind::SharedFile;
            break;
        default:  // | < >
            spec.kind = OutputKind::EventLog;
            if (spec.rest.empty()) spec.rest = "kvlog.dll";
            break;
    }
    return spec;
}

Directives SplitDirectives(std::string_view text) {
    Directives directives;
    if (text.substr(0, 2) != "%!") {
        directives.text = text;
        return directives;
    }
    size_t end = 2;
    while (end < text.size() && IsAsciiLetter(text[end]))
        ++end;
    directives.letters = text.substr(2, end - 2);
    if (end < text.size() && text[end] == ' ') ++end;
    directives.text = text.substr(end);
    return directives;
}

}  // namespace kvlog::internal
