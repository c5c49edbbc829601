// The value corrections of the cache cycle and the conversion of a tag's value to its OPC type.

#include <cstring>

#include "core/server.h"
#include "correction_math.h"

namespace core {
namespace {

uint32_t ShiftCount(double p) {
    return static_cast<uint32_t>(SaturatedTruncation(p)) & 31u;
}

// Whether the group numbered by the operand holds the tag's register number among its values.
bool InGroup(const TagRecord& tag, const GroupLists& groups, double p) {
    const unsigned number = static_cast<uint8_t>(SaturatedTruncation(p));
    if (number < 1 || number > groups.size()) return false;
    for (const GroupEntry& entry : groups[number - 1]) {
        if (static_cast<uint32_t>(entry.value) == tag.m_dwRegister) return true;
    }
    return false;
}

double FloatStart(const TagRecord& tag) {
    const uint32_t raw = static_cast<uint32_t>(tag.rawValue);
    if (tag.m_ucSize == kSize32) {
        switch (tag.m_ucDataType) {
            case kDataFloat: {
                float single = 0;
                std::memcpy(&single, &raw, sizeof single);
                return single;
            }
            case kDataUnsigned:
                return raw;
            case kDataSigned:
                return tag.rawValue;
            default:
                break;
        }
    }
    return static_cast<int16_t>(raw);
}

// A VARIANT of an integer type from the low bits of a number; VT_EMPTY for other types.
VARIANT IntegerValue(uint16_t type, uint32_t number) {
    VARIANT value;
    VariantInit(&value);
    switch (type) {
        case VT_BOOL:
            value.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_I2:
            value.iVal = static_cast<SHORT>(number);
            break;
        case VT_UI2:
            value.uiVal = static_cast<USHORT>(number);
            break;
        case VT_I1:
            value.cVal = static_cast<CHAR>(number);
            break;
        case VT_UI1:
            value.bVal = static_cast<BYTE>(number);
            break;
        case VT_I4:
            value.lVal = static_cast<LONG>(number);
            break;
        case VT_UI4:
            value.ulVal = number;
            break;
        default:
            return value;
    }
    value.vt = type;
    return value;
}

VARIANT FloatValue(uint16_t type, double number) {
    VARIANT value;
    VariantInit(&value);
    if (type == VT_R4) value.fltVal = static_cast<float>(number);
    if (type == VT_R8) value.dblVal = number;
    value.vt = type;
    return value;
}

// Replaces *value by a scalar result; an empty result is an unsupported type.
bool Publish(const VARIANT& result, VARIANT* value) {
    if (result.vt == VT_EMPTY) return false;
    VariantClear(value);
    *value = result;
    return true;
}

}  // namespace

uint32_t Correct(const TagRecord& tag, const GroupLists& groups, kvlog::Handle log) {
    // Sums and products see the raw value as unsigned, as the register holds it.
    uint32_t v = static_cast<uint32_t>(tag.rawValue);
    for (const ConfigCorrection& correction : tag.m_aCorrections) {
        const double p = correction.m_dParam;
        switch (correction.m_ucOperation) {
            case kCorrectNone:
                break;
            case kCorrectAdd:
                v = Low32(v + p);
                break;
            case kCorrectMultiply:
                v = Low32(v * p);
                break;
            case kCorrectShiftLeft:
                v <<= ShiftCount(p);
                break;
            case kCorrectShiftRight:
                v >>= ShiftCount(p);
                break;
            case kCorrectOr:
                v |= Low32(p);
                break;
            case kCorrectAnd:
                v &= Low32(p);
                break;
            case kCorrectGroupBit:
                v = InGroup(tag, groups, p) ? 1 : 0;
                break;
            case kCorrectEqual:
                v = v == Low32(p) ? 1 : 0;
                break;
            case kCorrectNotEqual:
                v = v != Low32(p) ? 1 : 0;
                break;
            default:
                kvlog::Error(log, "Correct: tag %s - correction type %u unknown",
                             tag.m_strName.c_str(), unsigned{correction.m_ucOperation});
                break;
        }
    }
    return v;
}

double FloatCorrection(const TagRecord& tag) {
    double x = FloatStart(tag);
    for (const ConfigCorrection& correction : tag.m_aCorrections) {
        const double p = correction.m_dParam;
        switch (correction.m_ucOperation) {
            case kCorrectAdd:
                x += p;
                break;
            case kCorrectMultiply:
                x *= p;
                break;
            case kCorrectResistanceToCelsius:
                x = (x / 50 - 1) / ((p - 1) / 100);
                break;
            default:
                break;
        }
    }
    return x;
}

bool CorrectedValue(const TagRecord& tag, const GroupLists& groups, kvlog::Handle log,
                    VARIANT* value) {
    if (tag.m_vtType == VT_R4 || tag.m_vtType == VT_R8) {
        return Publish(FloatValue(tag.m_vtType, FloatCorrection(tag)), value);
    }
    if (IntegerValue(tag.m_vtType, 0).vt == VT_EMPTY) return false;
    return Publish(IntegerValue(tag.m_vtType, Correct(tag, groups, log)), value);
}

bool FinalFloatValue(const TagRecord& tag, VARIANT* value) {
    const double x = tag.floatValue;
    switch (tag.m_vtType) {
        case VT_R4:
        case VT_R8:
            return Publish(FloatValue(tag.m_vtType, x), value);
        // A fraction such as 0.5 is true, though it truncates to 0.
        case VT_BOOL:
            return Publish(IntegerValue(VT_BOOL, x != 0 ? 1 : 0), value);
        default:
            return Publish(IntegerValue(tag.m_vtType, Low32(x)), value);
    }
}

}  // namespace core
