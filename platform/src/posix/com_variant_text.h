#pragma once
// Text forms of VARIANT values for the POSIX stand-in of VariantChangeType: numbers, booleans
// and dates parsed and formatted the way oleaut32 does in English (United States).

#include <string>
#include <string_view>

#include "platform/com.h"

namespace platform::com_text {

// DATE limits: 1 January 100 and 31 December 9999.
constexpr double kDateMin = -657434.0;
constexpr double kDateMax = 2958465.0;

// A parsed number: (negative ? -1 : 1) * digits * 10^exponent, digits without leading or
// trailing zeros (empty for zero). Hexadecimal and octal text is marked as based.
struct Number {
    bool negative = false;
    bool based = false;
    std::string digits;
    int exponent = 0;
};

// The rules of VarParseNumFromStr with NUMPRS_STD: surrounding blanks, a leading or trailing
// sign, parentheses for negatives, "$", "," between integer digits, a decimal point, an
// exponent, and "&H"/"&O" for hexadecimal and octal. The text ends at its first NUL.
// DISP_E_TYPEMISMATCH when the text is not a number, DISP_E_OVERFLOW for a hexadecimal or
// octal number beyond 64 bits.
HRESULT ParseNumber(std::u16string_view text, Number* number);

// Rounds half to even to an integer; false when the magnitude exceeds 2^100.
bool RoundToInteger(const Number& number, __int128* value);
// The nearest double; false when beyond the double range.
bool ToDouble(const Number& number, double* value);

// "True"/"False" in any case, "#TRUE#"/"#FALSE#", or a number (non-zero is true).
HRESULT ParseBool(std::u16string_view text, VARIANT_BOOL* value);
// Month/day/year (day/month/year when the month cannot be one) or year-month-day, and/or a
// time h:mm[:ss] with optional AM/PM.
HRESULT ParseDate(std::u16string_view text, DATE* value);

std::u16string FormatInteger(__int128 value);
// printf's %.<precision>G, with a negative zero written as 0.
std::u16string FormatReal(double value, int precision);
std::u16string FormatCurrency(int64_t value);
// "M/D/YYYY", "h:mm:ss AM" or both; false outside the DATE range.
bool FormatDate(DATE value, std::u16string* text);

}  // namespace platform::com_text
