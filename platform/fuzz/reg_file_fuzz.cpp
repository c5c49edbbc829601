// Arbitrary bytes as a hive file: the parser must never crash, a damaged text must name a line
// of it, and whatever parses must come back unchanged through the writer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "../src/posix/reg_file.h"

namespace {

constexpr std::string_view kRoot = "HKEY_CURRENT_USER";

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "reg_file_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace platform::reg::file;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Key root;
    ParseError error;
    if (!Parse(text, kRoot, &root, &error)) {
        // Every line break of a decoded UTF-16 text is a '\n' byte of the input as well.
        size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        Check(error.line >= 1 && error.line <= lines, "error line outside the text");
        Check(!error.reason.empty(), "error without a reason");
        return 0;
    }
    std::string written = Serialize(root, kRoot);
    Key again;
    Check(Parse(written, kRoot, &again, &error), "the writer's own text does not parse");
    Check(again == root, "the hive changed through write and read");
    Check(Serialize(again, kRoot) == written, "writing is not deterministic");
    return 0;
}
