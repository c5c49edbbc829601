#include <array>

#include "opc/daservice.h"

namespace opc {
namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t crc = static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

uint16_t CrcStep(uint16_t crc, WCHAR unit) {
    const unsigned low = static_cast<unsigned>(unit) & 0xFF;
    return static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ low) & 0xFF]);
}

WCHAR LowerAscii(WCHAR unit) {
    return unit >= 'A' && unit <= 'Z' ? static_cast<WCHAR>(unit + ('a' - 'A')) : unit;
}

constexpr unsigned kChunk = 32;

}  // namespace

uint16_t daNameHash(const WCHAR* name) {
    uint16_t crc = 0;
    for (; *name; ++name)
        crc = CrcStep(crc, *name);
    return crc;
}

uint16_t daNameHashNoCase(const WCHAR* name) {
    uint16_t combined = 0;
    while (*name) {
        uint16_t crc = 0;
        for (unsigned i = 0; i < kChunk && *name; ++i, ++name)
            crc = CrcStep(crc, LowerAscii(*name));
        combined ^= crc;
    }
    return combined;
}

int daNameCompare(const WCHAR* a, const WCHAR* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

// Folds A-Z only, as the hash does, so names that compare equal always hash equal.
int daNameCompareNoCase(const WCHAR* a, const WCHAR* b) {
    for (; *a && LowerAscii(*a) == LowerAscii(*b); ++a, ++b) {
    }
    return static_cast<int>(LowerAscii(*a)) - static_cast<int>(LowerAscii(*b));
}

}  // namespace opc
