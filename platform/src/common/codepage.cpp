#include "platform/codepage.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

// UTF-16 of the bytes 0x80..0xFF. 0x98 has no character in Windows-1251; it maps to U+0098 as
// on Windows, so every byte survives a round trip.
constexpr std::array<char16_t, 64> kHigh80 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

char16_t ByteToUtf16(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return static_cast<char16_t>(0x0410 + (byte - 0xC0));
    return kHigh80[byte - 0x80];
}

char Utf16ToByte(char32_t code) {
    if (code < 0x80) return static_cast<char>(code);
    if (code >= 0x0410 && code <= 0x044F) return static_cast<char>(0xC0 + (code - 0x0410));
    for (size_t i = 0; i < kHigh80.size(); ++i) {
        if (kHigh80[i] == code) return static_cast<char>(0x80 + i);
    }
    return '?';
}

void AppendUtf8(char32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes one UTF-8 sequence at text[*pos]; malformed input yields kInvalid and skips one byte.
char32_t NextUtf8(std::string_view text, size_t* pos) {
    auto lead = static_cast<unsigned char>(text[*pos]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || *pos + length > text.size()) {
        ++*pos;
        return kInvalid;
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(text[*pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++*pos;
            return kInvalid;
        }
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++*pos;
        return kInvalid;
    }
    *pos += length;
    return code;
}

// Decodes one UTF-16 code point at text[*pos]; a lone surrogate yields kInvalid.
char32_t NextUtf16(std::u16string_view text, size_t* pos) {
    char16_t unit = text[(*pos)++];
    if (unit < 0xD800 || unit > 0xDFFF) return unit;
    if (unit <= 0xDBFF && *pos < text.size() && text[*pos] >= 0xDC00 && text[*pos] <= 0xDFFF) {
        char16_t low = text[(*pos)++];
        return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
    }
    return kInvalid;
}

}  // namespace

std::u16string Cp1251ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(ByteToUtf16(static_cast<unsigned char>(c)));
    return out;
}

std::string Cp1251ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text)
        AppendUtf8(ByteToUtf16(static_cast<unsigned char>(c)), &out);
    return out;
}

std::string Utf16ToCp1251(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t code = NextUtf16(text, &pos);
        out.push_back(code == kInvalid ? '?' : Utf16ToByte(code));
    }
    return out;
}

std::string Utf8ToCp1251(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t code = NextUtf8(text, &pos);
        out.push_back(code == kInvalid ? '?' : Utf16ToByte(code));
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t pos = 0; pos < text.size();) {
        char32_t code = NextUtf16(text, &pos);
        AppendUtf8(code == kInvalid ? 0xFFFD : code, &out);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t code = NextUtf8(text, &pos);
        if (code == kInvalid) code = 0xFFFD;
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

char Cp1251ToUpper(char c) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') return static_cast<char>(byte - 32);
    if (byte >= 0xE0) return static_cast<char>(byte - 32);
    switch (byte) {
        case 0x90:
            return static_cast<char>(0x80);
        case 0x83:
            return static_cast<char>(0x81);
        case 0x9A:
            return static_cast<char>(0x8A);
        case 0x9C:
            return static_cast<char>(0x8C);
        case 0x9D:
            return static_cast<char>(0x8D);
        case 0x9E:
            return static_cast<char>(0x8E);
        case 0x9F:
            return static_cast<char>(0x8F);
        case 0xA2:
            return static_cast<char>(0xA1);
        case 0xBC:
            return static_cast<char>(0xA3);
        case 0xB4:
            return static_cast<char>(0xA5);
        case 0xB8:
            return static_cast<char>(0xA8);
        case 0xBA:
            return static_cast<char>(0xAA);
        case 0xBF:
            return static_cast<char>(0xAF);
        case 0xB3:
            return static_cast<char>(0xB2);
        case 0xBE:
            return static_cast<char>(0xBD);
        default:
            return c;
    }
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Cp1251ToUpper(a[i]) != Cp1251ToUpper(b[i])) return false;
    }
    return true;
}

}  // namespace platform
