#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "../../opc/tests/test_driver.h"
#include "captured_log.h"
#include "core/server.h"

namespace {

using core::ConfigCorrection;
using core::GroupLists;
using core::TagRecord;
using opc_test::Variant;
using Corrections = std::vector<ConfigCorrection>;
using Messages = std::vector<std::string>;

enum : uint8_t { kAdd = 1, kMul = 2, kShl = 3, kShr = 4, kOr = 5, kAnd = 6, kGroup = 7 };
enum : uint8_t { kEqual = 9, kNotEqual = 10, kResistance = 11, kNot = 12 };

ConfigCorrection C(uint8_t operation, double p) {
    return ConfigCorrection{0, operation, p};
}

TagRecord Tag(uint16_t type, uint32_t raw, Corrections corrections = {}, uint8_t size = 16,
              uint8_t dataType = 0) {
    TagRecord tag;
    tag.m_strName = "Boiler/T1";
    tag.m_vtType = type;
    tag.rawValue = static_cast<int32_t>(raw);
    tag.m_aCorrections = std::move(corrections);
    tag.m_ucSize = size;
    tag.m_ucDataType = dataType;
    return tag;
}

uint32_t Bits(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(CorrectTest, IntegerCorrectionsApplyInListOrder) {
    struct Case {
        const char* what;
        uint32_t raw;
        Corrections corrections;
        uint32_t expected;
    };
    const Case cases[] = {
        {"none", 42, {C(0, 9)}, 42},
        {"SHL 4 then OR 1", 5, {C(kShl, 4), C(kOr, 1)}, 81},
        {"SHR by the operand mod 32", 0x100, {C(kShr, 36)}, 0x10},
        {"AND", 0xAB, {C(kAnd, 0x0F)}, 0x0B},
        {"equal", 7, {C(kEqual, 7)}, 1},
        {"equal, other value", 8, {C(kEqual, 7)}, 0},
        {"not equal", 7, {C(kNotEqual, 7)}, 0},
        {"add truncates toward zero", 10, {C(kAdd, -1.5)}, 8},
        {"the raw value enters unsigned", 0x80000000u, {C(kMul, 0.5)}, 0x40000000u},
        {"sum keeps its low 32 bits", 0xFFFFFFFFu, {C(kAdd, 2)}, 1},
        {"a product beyond 64 bits saturates", 3, {C(kMul, 1e30)}, 0xFFFFFFFFu},
        {"a NaN operand gives 0", 3, {C(kMul, std::nan(""))}, 0},
    };
    const GroupLists groups{};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(core::Correct(Tag(VT_UI4, c.raw, c.corrections), groups, nullptr), c.expected);
    }
}

TEST(CorrectTest, GroupBitTellsWhetherTheGroupHoldsTheRegisterNumber) {
    GroupLists groups{};
    groups[2] = {{3, 5, 0, 0}, {3, 9, 1, 0}, {3, 0, 2, 0}};  // group 3
    groups[31] = {{32, 9, 3, 0}};
    struct Case {
        double group;
        uint32_t reg;
        uint32_t expected;
    };
    const Case cases[] = {
        {3, 9, 1},  {3, 5, 1}, {3, 4, 0},  {4, 9, 0},
        {32, 9, 1}, {0, 9, 0}, {33, 9, 0}, {259, 9, 1},  // low 8 bits of 259 are 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "group " << c.group << " register " << c.reg);
        TagRecord tag = Tag(VT_BOOL, 77, {C(kGroup, c.group)});
        tag.m_dwRegister = c.reg;
        EXPECT_EQ(core::Correct(tag, groups, nullptr), c.expected);
    }
}

TEST(CorrectTest, UnknownCodesAreLoggedAndSkipped) {
    core_test::CapturedLog log("Correct:");
    const TagRecord tag = Tag(VT_UI2, 10, {C(kResistance, 2), C(kAdd, 1), C(kNot, 0), C(8, 3)});
    EXPECT_EQ(core::Correct(tag, GroupLists{}, log.handle()), 11u);
    EXPECT_EQ(log.Messages(), (Messages{
                                  "E Correct: tag Boiler/T1 - correction type 11 unknown",
                                  "E Correct: tag Boiler/T1 - correction type 12 unknown",
                                  "E Correct: tag Boiler/T1 - correction type 8 unknown",
                              }));
}

TEST(CorrectTest, FloatCorrectionStartsByFormatAndAppliesOnlyArithmetic) {
    struct Case {
        const char* what;
        TagRecord tag;
        double expected;
        double tolerance;
    };
    const Case cases[] = {
        {"16 bits are signed", Tag(VT_R4, 0x1FFFF), -1, 0},
        {"32-bit float", Tag(VT_R4, Bits(1.5f), {}, 32, 0), 1.5, 0},
        {"32-bit unsigned", Tag(VT_R4, 0xFFFFFFFF, {}, 32, 1), 4294967295.0, 0},
        {"32-bit signed", Tag(VT_R4, 0xFFFFFFFF, {}, 32, 2), -1, 0},
        {"32 bits of another type start from 16", Tag(VT_R4, 0x0001FFFF, {}, 32, 7), -1, 0},
        {"multiply then add", Tag(VT_R8, 7, {C(kMul, 0.5), C(kAdd, 5)}), 8.5, 0},
        {"integer codes skipped", Tag(VT_R8, 3, {C(kShl, 4), C(kNot, 0), C(kEqual, 3)}), 3, 0},
        {"resistance thermometer", Tag(VT_R8, 60, {C(kResistance, 1.428)}), 46.73, 0.01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(core::FloatCorrection(c.tag), c.expected, c.tolerance);
    }
}

struct Published {
    const char* what;
    TagRecord tag;
    VARTYPE type;
    double value;  // VARIANT_TRUE reads -1
};

void ExpectPublished(const Published& c, bool (*publish)(const TagRecord&, VARIANT*)) {
    SCOPED_TRACE(c.what);
    Variant value = Variant::Text("previous");
    ASSERT_TRUE(publish(c.tag, value.get()));
    EXPECT_EQ(value.vt(), c.type);
    EXPECT_EQ(value.AsDouble(), c.value);
}

bool Corrected(const TagRecord& tag, VARIANT* value) {
    return core::CorrectedValue(tag, GroupLists{}, nullptr, value);
}

TEST(CorrectTest, CorrectedValueTakesTheTagsType) {
    const Published cases[] = {
        {"R4 of 32-bit unsigned", Tag(VT_R4, 0xFFFFFFFF, {}, 32, 1), VT_R4, 4294967296.0},
        {"R8 corrected", Tag(VT_R8, 100, {C(kMul, 0.25)}), VT_R8, 25},
        {"BOOL from 'equal'", Tag(VT_BOOL, 7, {C(kEqual, 7)}), VT_BOOL, -1},
        {"BOOL of 2", Tag(VT_BOOL, 2), VT_BOOL, -1},
        {"BOOL of 0", Tag(VT_BOOL, 0), VT_BOOL, 0},
        {"I2 low 16 bits", Tag(VT_I2, 0x1234FFFE), VT_I2, -2},
        {"UI2 low 16 bits", Tag(VT_UI2, 0x1234FFFE), VT_UI2, 0xFFFE},
        {"I1 low 8 bits", Tag(VT_I1, 0x180), VT_I1, -128},
        {"UI1 low 8 bits", Tag(VT_UI1, 0x1FF), VT_UI1, 255},
        {"UI4", Tag(VT_UI4, 0xFFFFFFFF), VT_UI4, 4294967295.0},
        {"I4", Tag(VT_I4, 0xFFFFFFFB), VT_I4, -5},
    };
    for (const Published& c : cases)
        ExpectPublished(c, Corrected);
}

TEST(CorrectTest, FinalFloatValueTakesTheTagsType) {
    auto floatTag = [](uint16_t type, float value) {
        TagRecord tag = Tag(type, 0);
        tag.floatValue = value;
        return tag;
    };
    const Published cases[] = {
        {"R4", floatTag(VT_R4, 2.5f), VT_R4, 2.5},
        {"R8 widened", floatTag(VT_R8, 0.1f), VT_R8, double{0.1f}},
        {"BOOL of a fraction", floatTag(VT_BOOL, 0.5f), VT_BOOL, -1},
        {"BOOL of 0", floatTag(VT_BOOL, 0), VT_BOOL, 0},
        {"I2 truncated", floatTag(VT_I2, -3.9f), VT_I2, -3},
        {"UI2 low 16 bits", floatTag(VT_UI2, 70000.5f), VT_UI2, 70000 & 0xFFFF},
        {"UI1 300.7", floatTag(VT_UI1, 300.7f), VT_UI1, 44},
        {"I1", floatTag(VT_I1, -1.5f), VT_I1, -1},
        {"UI4 of -1", floatTag(VT_UI4, -1), VT_UI4, 4294967295.0},
        {"I4", floatTag(VT_I4, -70000), VT_I4, -70000},
        {"I2 of NaN", floatTag(VT_I2, std::numeric_limits<float>::quiet_NaN()), VT_I2, 0},
    };
    for (const Published& c : cases)
        ExpectPublished(c, core::FinalFloatValue);
}

TEST(CorrectTest, OtherTypesLeaveTheValueAlone) {
    for (VARTYPE type : {VT_EMPTY, VT_BSTR, VT_DATE, VT_I8, VT_CY}) {
        SCOPED_TRACE(type);
        TagRecord tag = Tag(type, 5, {C(kNot, 0)});
        Variant value = Variant::I4(17);
        core_test::CapturedLog log("Correct:");
        EXPECT_FALSE(core::CorrectedValue(tag, GroupLists{}, log.handle(), value.get()));
        EXPECT_FALSE(core::FinalFloatValue(tag, value.get()));
        EXPECT_EQ(value.vt(), VT_I4);
        EXPECT_EQ(value.AsDouble(), 17);
        EXPECT_EQ(log.Messages(), Messages{});
    }
}

}  // namespace
