// Client values and configured corrections from arbitrary bytes: no undefined conversion, text
// read exactly as the C library reads it, and published values always of the tag's type.
// The first byte picks the case: 0 text, 1 a scalar VARIANT, 2 a tag with corrections.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "../src/client_value.h"
#include "../src/correction_math.h"
#include "core/server.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// A number that was accepted truncates into 64 bits exactly when it is within them.
void CheckTruncation(double number) {
    int64_t integer = 0;
    const bool fits = core::TruncateToInt64(number, &integer);
    if (!fits) {
        Check(std::isnan(number) || std::fabs(number) >= 9223372036854775807.0);
        return;
    }
    Check(std::fabs(number - static_cast<double>(integer)) < 1.0);
}

// Text is widened byte by byte. Where it is accepted as a finite number, strtod (in the C
// locale of this process) reads the same number from the same text.
void FuzzText(const uint8_t* data, size_t size) {
    std::basic_string<OLECHAR> wide(data, data + size);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
    double number = 0;
    const bool accepted = core::ClientValueToDouble(value, &number);
    VariantClear(&value);
    if (!accepted || !std::isfinite(number)) return;
    const std::string text(data, data + size);
    Check(text.find('\0') == std::string::npos);
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    Check(text.find_first_not_of(" \t", static_cast<size_t>(end - text.c_str())) ==
          std::string::npos);
    Check(expected == number);
    CheckTruncation(number);
}

constexpr VARTYPE kScalarTypes[] = {VT_I1,  VT_I2,      VT_I4,   VT_I8,   VT_INT,  VT_UI1,
                                    VT_UI2, VT_UI4,     VT_UI8,  VT_UINT, VT_R4,   VT_R8,
                                    VT_CY,  VT_DECIMAL, VT_BOOL, VT_DATE, VT_EMPTY};

void FuzzScalar(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const VARTYPE type = kScalarTypes[data[0] % std::size(kScalarTypes)];
    VARIANT value;
    VariantInit(&value);
    // The decimal overlays the whole VARIANT, the type's place included.
    std::memcpy(&value.decVal, data + 1, std::min(size - 1, sizeof value.decVal));
    value.vt = type;
    double number = 0;
    const bool accepted = core::ClientValueToDouble(value, &number);
    const bool invalidDecimal = type == VT_DECIMAL && value.decVal.scale > 28;
    Check(accepted == (type != VT_DATE && type != VT_EMPTY && !invalidDecimal));
    if (accepted) CheckTruncation(number);
}

// Correction codes that Correct knows (it logs the others), and the ones only the float
// correction knows.
constexpr uint8_t kIntegerCodes[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10};
constexpr uint16_t kTagTypes[] = {VT_R4, VT_R8,  VT_BOOL, VT_I2, VT_UI2,
                                  VT_I1, VT_UI1, VT_UI4,  VT_I4, VT_BSTR};

template <typename T>
T Take(const uint8_t*& data, size_t& size) {
    T value{};
    const size_t n = std::min(size, sizeof value);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

void FuzzCorrections(const uint8_t* data, size_t size) {
    core::TagRecord tag;
    tag.m_strName = "fuzz";
    tag.m_vtType = kTagTypes[Take<uint8_t>(data, size) % std::size(kTagTypes)];
    tag.m_ucSize = Take<uint8_t>(data, size) % 2 == 0 ? 16 : 32;
    tag.m_ucDataType = Take<uint8_t>(data, size) % 4;
    tag.m_dwRegister = Take<uint8_t>(data, size);
    tag.rawValue = Take<int32_t>(data, size);
    tag.floatValue = Take<float>(data, size);
    while (size > 0 && tag.m_aCorrections.size() < 8) {
        const uint8_t code = kIntegerCodes[Take<uint8_t>(data, size) % std::size(kIntegerCodes)];
        tag.m_aCorrections.push_back({0, code, Take<double>(data, size)});
    }
    core::GroupLists groups{};
    groups[2] = {{3, 7, 0, 7}, {3, static_cast<int32_t>(tag.m_dwRegister), 1, 0}};

    core::TagRecord withResistance = tag;
    withResistance.m_aCorrections.push_back({0, core::kCorrectResistanceToCelsius, 1.428});
    core::FloatCorrection(withResistance);
    core::Correct(tag, groups, nullptr);

    const bool supported = tag.m_vtType != VT_BSTR;
    for (bool fromFloat : {false, true}) {
        VARIANT value;
        VariantInit(&value);
        const bool published = fromFloat ? core::FinalFloatValue(tag, &value)
                                         : core::CorrectedValue(tag, groups, nullptr, &value);
        Check(published == supported);
        if (!published) continue;
        Check(value.vt == tag.m_vtType);
        if (value.vt == VT_BOOL) {
            Check(value.boolVal == VARIANT_TRUE || value.boolVal == VARIANT_FALSE);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
        case 0:
            FuzzText(data + 1, size - 1);
            break;
        case 1:
            FuzzScalar(data + 1, size - 1);
            break;
        default:
            FuzzCorrections(data + 1, size - 1);
            break;
    }
    return 0;
}
