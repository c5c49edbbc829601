// Parsing and formatting of numbers, booleans and dates for the POSIX VariantChangeType, after
// oleaut32's rules in English (United States): "," groups digits, "." separates decimals, dates
// are month/day/year and times use a 12-hour clock with AM and PM.

#include "com_variant_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace platform::com_text {

namespace {

constexpr int kExponentLimit = 100000;
constexpr int kMaxIntegerDigits = 31;          // 10^31 > 2^100; larger values overflow every type
constexpr int64_t kDateEpochFromUnix = 25569;  // days from 1899-12-30 to 1970-01-01

std::u16string_view UpToNul(std::u16string_view text) {
    const size_t end = text.find(u'\0');
    return end == std::u16string_view::npos ? text : text.substr(0, end);
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

std::u16string Widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

class Scanner {
public:
    explicit Scanner(std::u16string_view text) : text_(text) {}

    bool AtEnd() const { return pos_ == text_.size(); }
    char16_t Peek(size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : u'\0';
    }
    void Advance(size_t count = 1) { pos_ += count; }
    bool Consume(char16_t c) {
        if (Peek() != c) return false;
        ++pos_;
        return true;
    }
    bool SkipBlanks() {
        const size_t start = pos_;
        while (!AtEnd() && IsBlank(Peek()))
            ++pos_;
        return pos_ > start;
    }
    size_t Position() const { return pos_; }
    void Rewind(size_t position) { pos_ = position; }

    // Up to nine decimal digits; false when there are none or more.
    bool ReadSmallNumber(int* value, int* digits) {
        *value = 0;
        *digits = 0;
        while (IsDigit(Peek())) {
            if (++*digits > 9) return false;
            *value = *value * 10 + (Peek() - u'0');
            ++pos_;
        }
        return *digits > 0;
    }

private:
    std::u16string_view text_;
    size_t pos_ = 0;
};

// Signs, currency and parentheses around a number; each may appear once.
struct Decorations {
    bool plus = false;
    bool minus = false;
    bool currency = false;
    bool parens = false;
    bool closed = false;
};

void ReadLeading(Scanner& in, Decorations* marks) {
    for (;;) {
        if (in.SkipBlanks()) continue;
        if (!marks->plus && in.Consume(u'+')) {
            marks->plus = true;
        } else if (!marks->minus && in.Consume(u'-')) {
            marks->minus = true;
        } else if (!marks->currency && in.Consume(u'$')) {
            marks->currency = true;
        } else if (!marks->parens && in.Consume(u'(')) {
            marks->parens = true;
        } else {
            return;
        }
    }
}

void ReadTrailing(Scanner& in, Decorations* marks) {
    for (;;) {
        if (in.SkipBlanks()) continue;
        if (!marks->plus && in.Consume(u'+')) {
            marks->plus = true;
        } else if (!marks->minus && in.Consume(u'-')) {
            marks->minus = true;
        } else if (!marks->currency && in.Consume(u'$')) {
            marks->currency = true;
        } else if (marks->parens && !marks->closed && in.Consume(u')')) {
            marks->closed = true;
        } else {
            return;
        }
    }
}

int DigitValue(char16_t c, int base) {
    int value = 16;
    if (IsDigit(c)) value = c - u'0';
    if (c >= u'a' && c <= u'f') value = c - u'a' + 10;
    if (c >= u'A' && c <= u'F') value = c - u'A' + 10;
    return value < base ? value : -1;
}

// "&H1F" or "&O17" after the leading marks; *found is false when the text has neither prefix.
HRESULT ReadBasedNumber(Scanner& in, Number* number, bool* found) {
    *found = false;
    if (in.Peek() != u'&') return S_OK;
    const char16_t kind = Upper(in.Peek(1));
    const int shift = kind == u'H' ? 4 : kind == u'O' ? 3 : 0;
    if (shift == 0) return S_OK;
    *found = true;
    in.Advance(2);
    uint64_t value = 0;
    int count = 0;
    for (int digit; (digit = DigitValue(in.Peek(), 1 << shift)) >= 0; in.Advance(), ++count) {
        if (value > (UINT64_MAX >> shift)) return DISP_E_OVERFLOW;
        value = (value << shift) | static_cast<uint64_t>(digit);
    }
    if (count == 0) return DISP_E_TYPEMISMATCH;
    number->digits = value == 0 ? std::string() : std::to_string(value);
    number->based = true;
    return S_OK;
}

// Digits with grouping commas, a decimal point and an exponent.
HRESULT ReadDecimalNumber(Scanner& in, Number* number) {
    std::string digits;
    int fractionDigits = 0;
    bool seenDigit = false;
    bool seenPoint = false;
    for (;;) {
        const char16_t c = in.Peek();
        if (IsDigit(c)) {
            seenDigit = true;
            digits.push_back(static_cast<char>(c));
            if (seenPoint) ++fractionDigits;
        } else if (c == u',' && seenDigit && !seenPoint) {
            // Grouping separators are skipped wherever they stand in the integer part.
        } else if (c == u'.' && !seenPoint) {
            seenPoint = true;
        } else {
            break;
        }
        in.Advance();
    }
    if (!seenDigit) return DISP_E_TYPEMISMATCH;

    long exponent = 0;
    const size_t beforeExponent = in.Position();
    if (Upper(in.Peek()) == u'E') {
        in.Advance();
        const bool negative = in.Peek() == u'-';
        if (negative || in.Peek() == u'+') in.Advance();
        if (!IsDigit(in.Peek())) {
            in.Rewind(beforeExponent);
        } else {
            while (IsDigit(in.Peek())) {
                if (exponent < kExponentLimit) exponent = exponent * 10 + (in.Peek() - u'0');
                in.Advance();
            }
            if (negative) exponent = -exponent;
        }
    }
    number->digits = std::move(digits);
    number->exponent = static_cast<int>(exponent) - fractionDigits;
    return S_OK;
}

void Normalize(Number* number) {
    std::string& digits = number->digits;
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        digits.clear();
        number->exponent = 0;
        return;
    }
    digits.erase(0, first);
    const size_t last = digits.find_last_not_of('0');
    number->exponent += static_cast<int>(digits.size() - 1 - last);
    digits.erase(last + 1);
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2));
}

struct CalendarDate {
    int year;
    int month;
    int day;
};

bool IsDateSeparator(char16_t c) {
    return c == u'/' || c == u'-';
}

// Three numbers separated by '/' or '-': year first when it has three or more digits,
// otherwise month/day/year, or day/month/year when the first number cannot be a month.
// Two-digit years are 1930..2029, Windows' default window.
bool ReadDate(Scanner& in, CalendarDate* date) {
    int values[3];
    int digits[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (!IsDateSeparator(in.Peek())) return false;
            in.Advance();
        }
        if (!in.ReadSmallNumber(&values[i], &digits[i])) return false;
    }
    if (digits[0] >= 3) {
        *date = {values[0], values[1], values[2]};
    } else {
        int year = values[2];
        if (digits[2] <= 2) year += year < 30 ? 2000 : 1900;
        const bool dayFirst = values[0] > 12 && values[1] <= 12;
        *date = {year, dayFirst ? values[1] : values[0], dayFirst ? values[0] : values[1]};
    }
    return date->year >= 100 && date->year <= 9999 && date->month >= 1 && date->month <= 12 &&
           date->day >= 1 && date->day <= DaysInMonth(date->year, date->month);
}

// h[:mm[:ss]] followed by AM or PM, or h:mm[:ss] on a 24-hour clock (also when a marker
// follows an hour above 12).
bool ReadTime(Scanner& in, int* seconds) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int digits = 0;
    if (!in.ReadSmallNumber(&hour, &digits)) return false;
    const bool hasMinutes = in.Consume(u':');
    if (hasMinutes && !in.ReadSmallNumber(&minute, &digits)) return false;
    if (hasMinutes && in.Consume(u':') && !in.ReadSmallNumber(&second, &digits)) return false;
    const size_t beforeMarker = in.Position();
    in.SkipBlanks();
    const char16_t marker = Upper(in.Peek());
    if ((marker == u'A' || marker == u'P') && Upper(in.Peek(1)) == u'M') {
        in.Advance(2);
        if (hour <= 12) hour = hour % 12 + (marker == u'P' ? 12 : 0);
    } else if (!hasMinutes) {
        return false;
    } else {
        in.Rewind(beforeMarker);
    }
    if (hour > 23 || minute > 59 || second > 59) return false;
    *seconds = hour * 3600 + minute * 60 + second;
    return true;
}

std::u16string TwoDigits(int value) {
    return {static_cast<char16_t>(u'0' + value / 10), static_cast<char16_t>(u'0' + value % 10)};
}

}  // namespace

HRESULT ParseNumber(std::u16string_view text, Number* number) {
    *number = Number{};
    Scanner in(UpToNul(text));
    Decorations marks;
    ReadLeading(in, &marks);
    bool based = false;
    HRESULT hr = ReadBasedNumber(in, number, &based);
    if (SUCCEEDED(hr) && !based) hr = ReadDecimalNumber(in, number);
    if (FAILED(hr)) return hr;
    ReadTrailing(in, &marks);
    if (!in.AtEnd() || marks.parens != marks.closed) return DISP_E_TYPEMISMATCH;
    number->negative = marks.minus || marks.parens;
    Normalize(number);
    return S_OK;
}

bool RoundToInteger(const Number& number, __int128* value) {
    *value = 0;
    if (number.digits.empty()) return true;
    const long integerDigits = static_cast<long>(number.digits.size()) + number.exponent;
    if (integerDigits > kMaxIntegerDigits) return false;
    __int128 magnitude = 0;
    for (long i = 0; i < integerDigits; ++i) {
        const char digit = i < static_cast<long>(number.digits.size()) ? number.digits[i] : '0';
        magnitude = magnitude * 10 + (digit - '0');
    }
    if (integerDigits < static_cast<long>(number.digits.size())) {
        // Digits beyond the point; Normalize leaves no trailing zeros, so a tail means non-zero.
        const char first = integerDigits < 0 ? '0' : number.digits[integerDigits];
        const bool tail =
            integerDigits < 0 || integerDigits + 1 < static_cast<long>(number.digits.size());
        if (first > '5' || (first == '5' && (tail || (magnitude & 1) != 0))) ++magnitude;
    }
    *value = number.negative ? -magnitude : magnitude;
    return true;
}

bool ToDouble(const Number& number, double* value) {
    *value = number.negative ? -0.0 : 0.0;
    if (number.digits.empty()) return true;
    std::string text = number.negative ? "-" : "";
    text += number.digits + "e" + std::to_string(number.exponent);
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small rounds to zero; too large overflows.
        *value = number.negative ? -0.0 : 0.0;
        return static_cast<long>(number.digits.size()) + number.exponent <= 0;
    }
    return result.ec == std::errc();
}

HRESULT ParseBool(std::u16string_view text, VARIANT_BOOL* value) {
    text = UpToNul(text);
    if (EqualNoCase(text, u"True") || text == u"#TRUE#") {
        *value = VARIANT_TRUE;
        return S_OK;
    }
    if (EqualNoCase(text, u"False") || text == u"#FALSE#") {
        *value = VARIANT_FALSE;
        return S_OK;
    }
    Number number;
    HRESULT hr = ParseNumber(text, &number);
    if (FAILED(hr)) return hr;
    double real = 0;
    if (!ToDouble(number, &real)) return DISP_E_OVERFLOW;
    *value = real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ParseDate(std::u16string_view text, DATE* value) {
    Scanner in(UpToNul(text));
    in.SkipBlanks();
    CalendarDate date{};
    const size_t start = in.Position();
    const bool hasDate = ReadDate(in, &date);
    if (!hasDate) in.Rewind(start);
    const bool separated = in.SkipBlanks();
    int seconds = 0;
    bool hasTime = false;
    if (!in.AtEnd() && (!hasDate || separated)) {
        hasTime = ReadTime(in, &seconds);
        if (!hasTime) return DISP_E_TYPEMISMATCH;
        in.SkipBlanks();
    }
    if (!in.AtEnd() || (!hasDate && !hasTime)) return DISP_E_TYPEMISMATCH;
    const double time = seconds / 86400.0;
    if (!hasDate) {
        *value = time;
        return S_OK;
    }
    const double day =
        static_cast<double>(DaysFromCivil(date.year, date.month, date.day) + kDateEpochFromUnix);
    // The fraction of a DATE counts forward in time also on days before 1899-12-30.
    *value = day < 0 ? day - time : day + time;
    return S_OK;
}

std::u16string FormatInteger(__int128 value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude =
        negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(u'0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) text.insert(text.begin(), u'-');
    return text;
}

std::u16string FormatReal(double value, int precision) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
    std::string text(buffer, result.ptr);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos) text = "0";
    return Widen(text);
}

std::u16string FormatCurrency(int64_t value) {
    const bool negative = value < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string text = std::to_string(magnitude / 10000);
    if (const uint64_t fraction = magnitude % 10000; fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, ".%04u", static_cast<unsigned>(fraction));
        text += digits;
        text.erase(text.find_last_not_of('0') + 1);
    }
    return Widen(negative ? "-" + text : text);
}

bool FormatDate(DATE value, std::u16string* text) {
    if (!(value > kDateMin - 1.0 && value < kDateMax + 1.0)) return false;
    const double whole = std::trunc(value);
    const double partial = std::fabs(value - whole);
    int64_t day = static_cast<int64_t>(whole);
    int64_t seconds = std::llround(partial * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        ++day;
    }
    text->clear();
    if (whole != 0.0) {
        int year = 0;
        int month = 0;
        int dayOfMonth = 0;
        CivilFromDays(day - kDateEpochFromUnix, &year, &month, &dayOfMonth);
        *text =
            FormatInteger(month) + u"/" + FormatInteger(dayOfMonth) + u"/" + FormatInteger(year);
        if (partial < 1e-12) return true;
        *text += u' ';
    }
    const int hour = static_cast<int>(seconds / 3600);
    const int hour12 = hour % 12 == 0 ? 12 : hour % 12;
    *text += FormatInteger(hour12) + u":" + TwoDigits(static_cast<int>(seconds / 60 % 60)) + u":" +
             TwoDigits(static_cast<int>(seconds % 60)) + (hour < 12 ? u" AM" : u" PM");
    return true;
}

}  // namespace platform::com_text
