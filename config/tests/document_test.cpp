#include "config/document.h"

#include <gtest/gtest.h>

#include "config/code_tables.h"
#include "sample_document.h"

namespace {

using config::CKarvexOPCCfgDoc;
using sample::Cp;

config::opcTagInfo Element(uint32_t id, uint32_t parent, const std::string& name,
                           uint8_t kind = config::kKindTag) {
    config::opcTagInfo e;
    e.m_dwID = id;
    e.m_dwParentID = parent;
    e.m_strName = name;
    e.m_ucKind = kind;
    return e;
}

TEST(Document, NewElementsTakeTheCounterAndANumberedName) {
    CKarvexOPCCfgDoc doc;
    config::opcTagInfo group = doc.CreateElement(config::kKindGroup, 0);
    group.m_ucDevice = 4;
    doc.AddElement(group, doc.Elements().size());
    const config::opcTagInfo tag = doc.CreateElement(config::kKindTag, group.m_dwID);
    doc.AddElement(tag, doc.Elements().size());

    EXPECT_EQ(group.m_dwID, 1u);
    EXPECT_EQ(group.m_strName, "Group1");
    EXPECT_EQ(tag.m_dwID, 2u);
    EXPECT_EQ(tag.m_strName, "Tag2");
    EXPECT_EQ(tag.m_dwParentID, 1u);
    EXPECT_EQ(tag.m_ucDevice, 4);  // taken from its group
    EXPECT_EQ(doc.NextTagID(), 3u);
    EXPECT_TRUE(doc.IsModified());
}

TEST(Document, FindReplaceAndInsertKeepTheListOrder) {
    CKarvexOPCCfgDoc doc;
    doc.AddElement(Element(1, 0, "A", config::kKindGroup), 0);
    doc.AddElement(Element(3, 1, "T"), 1);
    doc.AddElement(Element(2, 1, "S"), 1);
    ASSERT_EQ(doc.Elements().size(), 3u);
    EXPECT_EQ(doc.Elements()[1].m_strName, "S");

    config::opcTagInfo found;
    ASSERT_TRUE(doc.FindElement(3, &found));
    EXPECT_EQ(doc.FindParent(found).m_strName, "A");
    EXPECT_EQ(doc.FindParent(doc.Elements()[0]).m_dwID, 0u);
    EXPECT_FALSE(doc.FindElement(9, &found));

    found.m_strName = "T2";
    doc.SetModified(false);
    ASSERT_TRUE(doc.ReplaceElement(found));
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(doc.Elements()[2].m_strName, "T2");
    EXPECT_FALSE(doc.ReplaceElement(Element(9, 0, "none")));
}

TEST(Document, CountsTagsByType) {
    CKarvexOPCCfgDoc doc;
    doc.AddElement(Element(1, 0, "G", config::kKindGroup), 0);
    for (uint16_t type : {uint16_t{11}, uint16_t{16}, uint16_t{4}}) {
        config::opcTagInfo tag = Element(type, 1, "T");
        tag.m_vtType = type;
        doc.AddElement(tag, doc.Elements().size());
    }
    EXPECT_EQ(doc.CountTags(config::TagFilter::kAll), 3u);
    EXPECT_EQ(doc.CountTags(config::TagFilter::kAnalog), 2u);  // VT_I1 counts as analog
    EXPECT_EQ(doc.CountTags(config::TagFilter::kDiscrete), 1u);
    EXPECT_EQ(config::TypeImage(16), config::kImagePlain);
    EXPECT_EQ(config::TypeImage(11), config::kImageDiscrete);
    EXPECT_EQ(config::TypeText(19), "VT_UI4");
}

TEST(Document, ElementPathJoinsTheAncestorsNames) {
    CKarvexOPCCfgDoc doc;
    doc.AddElement(Element(1, 0, "A", config::kKindGroup), 0);
    doc.AddElement(Element(2, 1, "B", config::kKindGroup), 1);
    doc.AddElement(Element(3, 2, "T"), 2);
    doc.AddElement(Element(4, 0, "Top"), 3);
    doc.AddElement(Element(5, 77, "Orphan"), 4);
    // A damaged file: two groups that are each other's parent, and an element its own parent.
    doc.AddElement(Element(6, 7, "X", config::kKindGroup), 5);
    doc.AddElement(Element(7, 6, "Y", config::kKindGroup), 6);
    doc.AddElement(Element(8, 7, "Loop"), 7);
    doc.AddElement(Element(9, 9, "Self"), 8);

    EXPECT_EQ(doc.ElementPath(doc.Elements()[2]), "A/B/T");
    EXPECT_EQ(doc.ElementPath(doc.Elements()[3]), "Top");
    EXPECT_EQ(doc.ElementPath(doc.Elements()[4]), "Orphan");
    EXPECT_EQ(doc.ElementPath(doc.Elements()[7]), "X/Y/Loop");
    EXPECT_EQ(doc.ElementPath(doc.Elements()[8]), "Self");
}

TEST(Document, DeviceTextsAndChoosingFromThem) {
    CKarvexOPCCfgDoc doc;
    for (int i = 0; i < 3; ++i)
        doc.Devices().push_back(doc.CreateDevice());
    doc.Devices()[2].m_strName = "PLC";
    doc.Devices()[2].m_strAddress = "10.0.0.5";
    EXPECT_EQ(doc.DeviceText(0), "Device (127.0.0.1) {0}");
    EXPECT_EQ(doc.DeviceText(2), "PLC (10.0.0.5) {2}");

    config::opcTagInfo tag;
    EXPECT_EQ(doc.ElementDeviceText(tag), Cp("НЕ ВЫБРАНО"));  // 255
    tag.m_ucDevice = 3;
    EXPECT_EQ(doc.ElementDeviceText(tag), Cp("НЕ ВЫБРАНО"));
    tag.m_ucDevice = 2;
    EXPECT_EQ(doc.ElementDeviceText(tag), "PLC (10.0.0.5) {2}");

    struct Case {
        const char* text;
        int expected;  // -1: unchanged
    };
    const Case cases[] = {
        {"PLC (10.0.0.5) {2}", 2},
        {"{1}", 1},
        {"Device (127.0.0.1) {7}", -1},
        {"x {}", -1},
        {"{01}", 1},
        {"{100}", -1},
        {"no braces", -1},
        {"} {0", -1},
        {"a} {0} {2}", 0},
    };
    for (const Case& c : cases) {
        config::opcTagInfo element;
        element.m_ucDevice = 9;
        EXPECT_EQ(doc.ChooseDevice(c.text, &element), c.expected >= 0) << c.text;
        EXPECT_EQ(element.m_ucDevice, c.expected >= 0 ? c.expected : 9) << c.text;
    }
}

TEST(Document, ChoosingADeviceSelectsItsPositionByIdentifier) {
    // After a device was removed from the middle, identifiers and positions differ.
    CKarvexOPCCfgDoc doc;
    doc.Devices().resize(2);
    doc.Devices()[0].m_ucID = 0;
    doc.Devices()[1].m_ucID = 1;
    doc.Devices().erase(doc.Devices().begin());
    config::opcTagInfo element;
    EXPECT_FALSE(doc.ChooseDevice("Device (127.0.0.1) {1}", &element));
    doc.Devices().push_back(doc.CreateDevice());  // identifier 1 again
    EXPECT_TRUE(doc.ChooseDevice("Device (127.0.0.1) {1}", &element));
    EXPECT_EQ(element.m_ucDevice, 0);
}

TEST(Document, FixNextIdentifierOnlyWhenTheCounterIsUnset) {
    CKarvexOPCCfgDoc doc;
    std::vector<std::string> output;
    doc.SetOutput([&](const std::string& line) { output.push_back(line); });
    doc.FixNextTagID();
    EXPECT_EQ(doc.NextTagID(), 1u);  // empty list
    for (uint32_t id : {5u, 12u, 9u})
        doc.AddElement(Element(id, 0, "T"), 0);
    doc.SetModified(false);
    doc.FixNextTagID();
    EXPECT_EQ(doc.NextTagID(), 13u);
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(output, std::vector<std::string>{Cp("Установка переменной m_dwNextTagID=12")});
    doc.FixNextTagID();
    EXPECT_EQ(doc.NextTagID(), 13u);
}

TEST(CodeTables, TextsOfTheCodes) {
    std::vector<uint32_t> order;
    for (const auto& operation : config::CorrectionOperations())
        order.push_back(operation.code);
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 12, 7, 9, 10, 11}));
    EXPECT_EQ(config::CorrectionText(11), Cp("ТСМ-50 в град.С"));
    EXPECT_EQ(config::CorrectionText(8), "");

    EXPECT_EQ(config::DeviceTypeText(104), "Remote TCP CWT Client");
    EXPECT_EQ(config::DeviceTypes()[4].serverText, "Remote TCP CWT Device");
    EXPECT_EQ(config::DeviceTypes()[4].letter, 'h');
    EXPECT_EQ(config::DeviceTypeText(99), Cp("Неизвестный"));
    EXPECT_EQ(config::ParityText(0), Cp("Нет"));
    EXPECT_EQ(config::ParityText(4), "SPACE");
    EXPECT_EQ(config::QualityResetText(10), Cp("Не изменять"));
    EXPECT_EQ(config::QualityResetText(3), Cp("ОШИБКА - Неизвестное значение"));
    EXPECT_EQ(config::TextOf(config::ByteOrders(), 3), "3412");
}

}  // namespace
