#pragma once
// Windows-1251 text, the program's single-byte encoding, to and from UTF-8 and UTF-16.
// One table of our own, so the result never depends on the host's locale or code page.

#include <string>
#include <string_view>

namespace platform {

std::u16string Cp1251ToUtf16(std::string_view text);
std::string Cp1251ToUtf8(std::string_view text);
// Characters that Windows-1251 cannot hold become '?'; malformed UTF-8 or lone surrogates too.
std::string Utf16ToCp1251(std::u16string_view text);
std::string Utf8ToCp1251(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Case folding of Windows-1251 letters (Latin and Cyrillic), for names compared without case.
char Cp1251ToUpper(char c);
bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace platform
