// The parsers of a log's registry settings on arbitrary bytes. The first byte picks the parser
// (and the registry type for value readers); the rest is the input.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../src/settings.h"

namespace {

using namespace kvlog::internal;
namespace reg = platform::reg;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == '\x7F';
}

// ParseUnsigned must agree with the C library wherever it finds a number.
void CheckAgainstStrtoull(std::string_view text, uint32_t number) {
    std::string copy(text);
    if (copy.find('\0') != std::string::npos) return;
    unsigned long long expected = std::strtoull(copy.c_str(), nullptr, 0);
    Check(number == (expected > 0xFFFFFFFFull ? 0xFFFFFFFFu : expected));
}

reg::Value ValueOf(uint8_t selector, std::string_view bytes) {
    constexpr reg::Type kTypes[] = {reg::Type::Sz, reg::Type::ExpandSz, reg::Type::Dword,
                                    reg::Type::Binary};
    reg::Value value;
    value.type = kTypes[(selector / 6) % 4];
    value.data.assign(bytes.begin(), bytes.end());
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (selector % 6) {
        case 0:
            if (std::optional<uint32_t> number = ParseUnsigned(text)) {
                CheckAgainstStrtoull(text, *number);
            }
            break;
        case 1:
            ReadNumberSetting(ValueOf(selector, text));
            break;
        case 2:
            if (std::optional<std::string> ident = ReadIdent(ValueOf(selector, text))) {
                Check(!ident->empty() && ident->size() <= kMaxIdent);
                Check(!IsControlOrBlank((*ident)[0]));
            }
            break;
        case 3:
            if (std::optional<std::string> path = ReadPath(ValueOf(selector, text))) {
                Check(path->size() <= kMaxExpandedPath);
                Check(path->find('\0') == std::string::npos);
            }
            break;
        case 4: {
            PathSpec spec = ParsePathSpec(text);
            Check(spec.name.find_first_of("?*|<>") == std::string::npos);
            Check(spec.kind != OutputKind::Unset);
            Check(spec.kind != OutputKind::EventLog || !spec.rest.empty());
            Check(spec.kind != OutputKind::File || !spec.name.empty());
            break;
        }
        default: {
            Directives directives = SplitDirectives(text);
            for (char letter : directives.letters) {
                Check((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z'));
            }
            Check(directives.text.data() + directives.text.size() == text.data() + text.size());
            break;
        }
    }
    return 0;
}
