#include "archive.h"

#include <bit>

#include "platform/codepage.h"

namespace config {

bool ArchiveReader::Take(size_t count, const char** bytes) {
    if (failed_ || count > data_.size() - offset_) {
        failed_ = true;
        return false;
    }
    *bytes = data_.data() + offset_;
    offset_ += count;
    return true;
}

uint64_t ArchiveReader::Unsigned(size_t width) {
    const char* bytes = nullptr;
    if (!Take(width, &bytes)) return 0;
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

uint8_t ArchiveReader::U8() {
    return static_cast<uint8_t>(Unsigned(1));
}
uint16_t ArchiveReader::U16() {
    return static_cast<uint16_t>(Unsigned(2));
}
uint32_t ArchiveReader::U32() {
    return static_cast<uint32_t>(Unsigned(4));
}
double ArchiveReader::F64() {
    return std::bit_cast<double>(Unsigned(8));
}

// 0xFF escapes to a 16-bit length, 0xFFFF to 32 bits, 0xFFFFFFFF to 64 bits; a 16-bit 0xFFFE
// announces UTF-16 text whose length follows in the same form.
uint64_t ArchiveReader::StringLength(bool* wide) {
    *wide = false;
    uint8_t shortLength = U8();
    if (shortLength < 0xFF) return shortLength;
    uint16_t length16 = U16();
    if (length16 == 0xFFFE) {
        *wide = true;
        shortLength = U8();
        if (shortLength < 0xFF) return shortLength;
        length16 = U16();
    }
    if (length16 < 0xFFFF) return length16;
    const uint32_t length32 = U32();
    if (length32 < 0xFFFFFFFF) return length32;
    return Unsigned(8);
}

std::string ArchiveReader::String() {
    bool wide = false;
    const uint64_t length = StringLength(&wide);
    if (failed_) return {};
    const uint64_t remaining = data_.size() - offset_;
    if (length > (wide ? remaining / 2 : remaining)) {
        failed_ = true;
        return {};
    }
    const char* bytes = nullptr;
    if (!wide) {
        Take(static_cast<size_t>(length), &bytes);
        return std::string(bytes, static_cast<size_t>(length));
    }
    Take(static_cast<size_t>(length) * 2, &bytes);
    std::u16string units(static_cast<size_t>(length), u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return platform::Utf16ToCp1251(units);
}

void ArchiveWriter::Unsigned(uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        out_.push_back(static_cast<char>(value >> (8 * i)));
}

void ArchiveWriter::F64(double value) {
    Unsigned(std::bit_cast<uint64_t>(value), 8);
}

void ArchiveWriter::String(std::string_view text) {
    const uint64_t length = text.size();
    if (length < 0xFF) {
        U8(static_cast<uint8_t>(length));
    } else if (length < 0xFFFE) {
        U8(0xFF);
        U16(static_cast<uint16_t>(length));
    } else if (length < 0xFFFFFFFF) {
        U8(0xFF);
        U16(0xFFFF);
        U32(static_cast<uint32_t>(length));
    } else {
        U8(0xFF);
        U16(0xFFFF);
        U32(0xFFFFFFFF);
        Unsigned(length, 8);
    }
    out_.append(text);
}

}  // namespace config
