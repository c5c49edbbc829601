// The browse name filter on arbitrary UTF-16 text. The first byte says whether letters compare
// without case; the rest is the name, a line feed, then the filter. Nothing may crash, and what
// matches must keep matching when a star is put before or after the filter.

#include <cstddef>
#include <cstdint>
#include <string>

#include "../src/daaddress.h"

namespace {

using Text = std::basic_string<WCHAR>;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool Match(const Text& name, const Text& filter, bool noCase) {
    return opc::daNameFilterMatch(name.c_str(), filter.c_str(), noCase);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool noCase = data[0] & 1;
    Text name, filter;
    Text* into = &name;
    for (size_t i = 1; i + 1 < size; i += 2) {
        const WCHAR unit = static_cast<WCHAR>(data[i] | (data[i + 1] << 8));
        if (unit == 0) continue;  // names and filters end at the first zero
        if (unit == '\n' && into == &name) {
            into = &filter;
            continue;
        }
        into->push_back(unit);
    }
    Check(Match(name, Text(1, WCHAR('*')), noCase));
    const bool valid = opc::daNameFilterValid(filter.c_str());
    const bool matches = Match(name, filter, noCase);  // an invalid filter must not crash either
    if (!valid || !matches) return 0;
    Check(Match(name, WCHAR('*') + filter, noCase));
    Check(Match(name, filter + WCHAR('*'), noCase));
    return 0;
}
