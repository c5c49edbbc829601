#pragma once
// What the corrections and client writes share: the correction codes, the register formats,
// and double to integer truncation without undefined behaviour (a cast of NaN or of a value
// outside the integer's range is undefined, and client writes and configured operands can be
// anything).

#include <cmath>
#include <cstdint>

namespace core {

enum CorrectionCode : uint8_t {
    kCorrectNone = 0,
    kCorrectAdd = 1,
    kCorrectMultiply = 2,
    kCorrectShiftLeft = 3,
    kCorrectShiftRight = 4,
    kCorrectOr = 5,
    kCorrectAnd = 6,
    kCorrectGroupBit = 7,
    kCorrectEqual = 9,
    kCorrectNotEqual = 10,
    kCorrectResistanceToCelsius = 11,  // 50-ohm resistance thermometer; float correction only
};

// A tag of two registers (m_ucSize) and what they hold (m_ucDataType).
constexpr uint8_t kSize32 = 32;
enum : uint8_t { kDataFloat = 0, kDataUnsigned = 1, kDataSigned = 2 };

// Rounds toward zero into *result. False when the value is NaN or its truncation does not fit
// 64 bits; *result then holds the nearer limit (0 for NaN).
inline bool TruncateToInt64(double value, int64_t* result) {
    constexpr double kTwoPow63 = 9223372036854775808.0;
    if (std::isnan(value)) {
        *result = 0;
        return false;
    }
    const double truncated = std::trunc(value);
    if (truncated >= kTwoPow63) {
        *result = INT64_MAX;
        return false;
    }
    if (truncated < -kTwoPow63) {
        *result = INT64_MIN;
        return false;
    }
    *result = static_cast<int64_t>(truncated);
    return true;
}

inline int64_t SaturatedTruncation(double value) {
    int64_t result = 0;
    TruncateToInt64(value, &result);
    return result;
}

inline uint32_t Low32(double value) {
    return static_cast<uint32_t>(SaturatedTruncation(value));
}

}  // namespace core
