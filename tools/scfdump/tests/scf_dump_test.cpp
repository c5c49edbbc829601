#include "scf_dump.h"

#include <limits>

#include <gtest/gtest.h>

#include "config/scf_file.h"
#include "core/config_reader.h"
#include "platform/codepage.h"
#include "platform/file_contents.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#define KARVEX_HAVE_RAPIDJSON 1
#endif

namespace {

std::string Fixture(const std::string& name) {
    std::string bytes;
    EXPECT_EQ(platform::ReadFileContents(std::string(KARVEX_TEST_DATA) + "/" + name, &bytes), 0u)
        << name;
    return bytes;
}

std::string Cp(const char* utf8) {
    return platform::Utf8ToCp1251(utf8);
}

// The text after "[differences]".
std::string DifferencesOf(const std::string& dump) {
    const size_t start = dump.find("[differences]\n");
    return start == std::string::npos ? "" : dump.substr(start + 14);
}

TEST(ScfDump, SectionsWrittenTogetherAgree) {
    for (const char* name :
         {"config_v113.scf", "config_v114.scf", "taginfo_v114.scf", "empty.scf", "slot_port.scf",
          "parameter_z.scf", "path_254.scf", "path_255.scf", "wide_name.scf"}) {
        std::string out;
        EXPECT_EQ(scfdump::Dump(Fixture(name), scfdump::Format::kText, &out),
                  scfdump::kSectionsAgree)
            << name << "\n"
            << DifferencesOf(out);
        EXPECT_EQ(DifferencesOf(out), "none\n") << name;
    }
}

TEST(ScfDump, ShowsBothSectionsRecordByRecord) {
    std::string out;
    scfdump::Dump(Fixture("taginfo_v114.scf"), scfdump::Format::kText, &out);
    for (const char* line : {
             "[file]\nsize: 769\n",
             "[configuration]\nstatus: \"loaded\"\nversion: 114\nm_dwNextTagID: 20\n",
             "\n[configuration element 9]\nm_dwID: 9\nm_dwParentID: 5\n",
             "m_vtType: 5 (VT_R8)\n",
             "m_aCorrections: 2\nm_aCorrections[0]: m_ucOperation 2 (Умножение), m_dwReserved 1, "
             "m_dParam 0.1\n",
             "path: \"Котёл/Температура\"\n",
             "\n[configuration device 0]\nm_strAddress: \"192.168.1.10\"\nm_strName: \"Шкаф 1\"\n"
             "m_ucType: 102 (Modbus-RTU over TCP)\nm_wPort: 1502\nm_ucSlot: 3\n",
             "[tagInformation]\nstatus: \"loaded\"\nfileVersion: 114\nmarkerOffset: 391\n"
             "version: 114\n",
             "\n[tagInformation tag 9]\nm_dwID: 9\nm_vtType: 5 (VT_R8)\n"
             "m_strName: \"Котёл/Температура\"\n",
             "\n[tagInformation group 5]\n",
             "\n[tagInformation device 0]\nm_strName: \"Шкаф 1\"\nm_strAddress: \"192.168.1.10\"\n"
             "m_ucSlot: 3\nm_wPort: 1502\n",
             "\n[tagInformation parameter 1]\nm_strName: \"DEVICE_REQUEST_MAXSIZE\"\n",
         }) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
    // Only the items a version carries: version 100 has no comment, priority or parameters.
    scfdump::Dump(Fixture("taginfo_v100.scf"), scfdump::Format::kText, &out);
    const size_t from = out.find("[tagInformation]"), to = out.find("[differences]");
    const std::string section = out.substr(from, to - from);
    EXPECT_EQ(section.find("m_strComment"), std::string::npos);
    EXPECT_EQ(section.find("m_ucPriority"), std::string::npos);
    EXPECT_EQ(section.find("[tagInformation parameter"), std::string::npos);
}

TEST(ScfDump, ReportsWhatTheServerWouldRunOnDifferently) {
    // The configuration section of one document and the tag-information section of another.
    config::CKarvexOPCCfgDoc shown;
    ASSERT_EQ(config::LoadDocumentBytes(Fixture("config_v114.scf"), "", &shown).status,
              config::LoadStatus::kLoaded);
    config::CKarvexOPCCfgDoc run = shown;
    run.Elements()[1].m_dwRegister = 70001;
    run.Elements()[1].m_aCorrections.pop_back();
    run.Elements()[0].m_strName = "Boiler";  // the group: the path of its tag changes
    run.Elements()[2].m_dwID = 13;
    run.Devices()[1].m_wTimeout = 500;
    run.Parameters().pop_back();
    const std::string configuration = config::StoreDocument(shown);
    const std::string tagInformation = config::StoreDocument(run);
    const size_t marker = configuration.find(config::kSectionMarker);
    const std::string file = configuration.substr(0, marker) +
                             tagInformation.substr(tagInformation.find(config::kSectionMarker));

    std::string out;
    EXPECT_EQ(scfdump::Dump(file, scfdump::Format::kText, &out), scfdump::kSectionsDisagree);
    EXPECT_EQ(DifferencesOf(out),
              "tag 9: m_strName: configuration \"Котёл/Температура\", tag information "
              "\"Boiler/Температура\"\n"
              "tag 9: m_dwRegister: configuration 70000, tag information 70001\n"
              "tag 9: m_aCorrections: configuration [m_ucOperation 2 (Умножение), m_dwReserved 1, "
              "m_dParam 0.1; m_ucOperation 1 (Сложение), m_dwReserved 1, m_dParam -273.15], tag "
              "information [m_ucOperation 2 (Умножение), m_dwReserved 1, m_dParam 0.1]\n"
              "tag 12: only in the configuration section\n"
              "tag 13: only in the tag-information section\n"
              "group 5: m_strName: configuration \"Котёл\", tag information \"Boiler\"\n"
              "device 1: m_wTimeout: configuration 300, tag information 500\n"
              "parameter 1: only in the configuration section\n");
}

TEST(ScfDump, AnOlderTagInformationVersionRunsOnDefaults) {
    std::string out;
    EXPECT_EQ(scfdump::Dump(Fixture("taginfo_v110.scf"), scfdump::Format::kText, &out),
              scfdump::kSectionsDisagree);
    EXPECT_EQ(DifferencesOf(out),
              "tag 9: m_strComment: configuration \"Вода на выходе\", tag information \"\"\n"
              "tag 9: m_strShortName: configuration \"T1\", tag information \"\"\n"
              "parameter 0: only in the configuration section\n"
              "parameter 1: only in the configuration section\n");
}

TEST(ScfDump, UnreadableSectionsAreNotCompared) {
    const std::string good = Fixture("taginfo_v114.scf");
    for (const std::string& file : {good.substr(0, 100), good.substr(0, good.size() - 1),
                                    std::string("\x63\0\0\0", 4) + good.substr(4)}) {
        std::string out;
        EXPECT_EQ(scfdump::Dump(file, scfdump::Format::kText, &out), scfdump::kSectionUnreadable);
        EXPECT_EQ(DifferencesOf(out), "not compared: a section could not be read\n");
    }
}

TEST(ScfDump, JsonCarriesTheSameRecords) {
    config::CKarvexOPCCfgDoc doc;
    config::opcTagInfo tag;
    tag.m_dwID = 1;
    tag.m_dwParentID = 0;
    tag.m_strName = Cp("Имя \"в кавычках\"\\") + std::string("\x01\t", 2);
    tag.m_aCorrections = {{2, 1, 1.5}, {1, 1, std::numeric_limits<double>::quiet_NaN()}};
    doc.AddElement(tag, 0);
    std::string out;
    EXPECT_EQ(scfdump::Dump(config::StoreDocument(doc), scfdump::Format::kJson, &out),
              scfdump::kSectionsAgree);
    EXPECT_NE(out.find("\"m_strName\": \"Имя \\\"в кавычках\\\"\\\\\\u0001\\t\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"m_dParam\": \"nan\""), std::string::npos);
    EXPECT_NE(out.find("\"differences\": []"), std::string::npos);
#ifdef KARVEX_HAVE_RAPIDJSON
    rapidjson::Document parsed;
    ASSERT_FALSE(parsed.Parse(out.c_str()).HasParseError());
    const auto& element = parsed["configuration"]["elements"][0];
    EXPECT_EQ(element["m_dwID"].GetUint(), 1u);
    EXPECT_EQ(element["m_aCorrections"][0]["m_dParam"].GetDouble(), 1.5);
    EXPECT_EQ(parsed["tagInformation"]["tags"][0]["m_strName"].GetString(),
              platform::Cp1251ToUtf8(tag.m_strName));
#endif
}

// The writer's tag-information section, read the way the server reads it, gives back every
// tag as the document holds it, long texts included, and the groups of type "device".
TEST(ScfDump, TheServerReaderReadsWhatTheWriterWrites) {
    config::CKarvexOPCCfgDoc doc;
    config::opcTagInfo group;
    group.m_dwID = 1;
    group.m_ucKind = config::kKindGroup;
    group.m_strName = std::string(300, 'G');
    doc.AddElement(group, 0);
    config::opcTagInfo tag;
    tag.m_dwID = 2;
    tag.m_dwParentID = 1;
    tag.m_strName = Cp("Тег");
    tag.m_strComment = std::string(70000, 'c');
    tag.m_strShortName = std::string(255, 's');
    tag.m_dwRegister = 40001;
    doc.AddElement(tag, 1);
    doc.AddElement(config::opcTagInfo(tag), 2);
    doc.Elements()[2].m_dwID = 3;
    config::opcTagInfo deviceGroup = group;
    deviceGroup.m_dwID = 4;
    deviceGroup.m_ucGroupType = config::kGroupTypeDevice;
    deviceGroup.m_strName = "PLC";
    doc.AddElement(deviceGroup, 3);

    struct Records : core::ConfigSink {
        void AddTag(core::ConfigTag&& t) override { tags.push_back(std::move(t)); }
        void AddGroup(const core::ConfigGroup& g) override { groups.push_back(g); }
        void AddDevice(const core::ConfigDevice&) override {}
        void DevicesComplete() override {}
        void SetParameter(const std::string&, const std::string&) override {}
        std::vector<core::ConfigTag> tags;
        std::vector<core::ConfigGroup> groups;
    } sink;
    EXPECT_EQ(
        core::ReadTagInformation(config::StoreDocument(doc), nullptr, sink, core::Logging::kOff)
            .status,
        core::ReadStatus::kLoaded);
    ASSERT_EQ(sink.tags.size(), 2u);
    for (const core::ConfigTag& read : sink.tags) {
        EXPECT_EQ(read.m_strName, std::string(300, 'G') + "/" + Cp("Тег"));
        EXPECT_EQ(read.m_strComment, tag.m_strComment);
        EXPECT_EQ(read.m_strShortName, tag.m_strShortName);
        EXPECT_EQ(read.m_dwRegister, 40001u);
        EXPECT_EQ(read.m_dwParentID, 1u);
    }
    EXPECT_EQ(sink.tags[1].m_dwID, 3u);
    ASSERT_EQ(sink.groups.size(), 1u);  // the group of type "group" is not listed
    EXPECT_EQ(sink.groups[0].m_strName, "PLC");
}

}  // namespace
