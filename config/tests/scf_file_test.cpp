#include "config/scf_file.h"

#include <gtest/gtest.h>

#include "platform/file_contents.h"
#include "sample_document.h"
#include "testing/support.h"

namespace {

using config::CKarvexOPCCfgDoc;
using config::LoadStatus;
using sample::Cp;

std::string Fixture(const std::string& name) {
    std::string bytes;
    EXPECT_EQ(platform::ReadFileContents(sample::DataFile(name), &bytes), 0u) << name;
    return bytes;
}

// The sample content as a configuration section of that version carries it: items the version
// lacks keep the record defaults.
config::opcTagInfo AsVersion(uint32_t v, const config::opcTagInfo& full) {
    const config::opcTagInfo defaults;
    config::opcTagInfo e = full;
    if (v < 112) e.m_strComment = defaults.m_strComment;
    if (v < 113) {
        e.m_strRange = defaults.m_strRange;
        e.m_strShortName = defaults.m_strShortName;
        e.m_ucGroupType = defaults.m_ucGroupType;
    }
    if (v < 104) e.m_ucPriority = defaults.m_ucPriority;
    if (v < 106) {
        e.m_ucDataType = defaults.m_ucDataType;
        e.m_ucByteOrder = defaults.m_ucByteOrder;
    }
    if (v < 110) e.m_dwIdentifier = defaults.m_dwIdentifier;
    return e;
}

config::opcDeviceInfo AsVersion(uint32_t v, const config::opcDeviceInfo& full) {
    const config::opcDeviceInfo defaults;
    config::opcDeviceInfo d = full;
    if (v < 102) {
        d.m_ucFailThreshold = defaults.m_ucFailThreshold;
        d.m_wCyclePause = defaults.m_wCyclePause;
    }
    if (v < 103) d.m_wTimeout = defaults.m_wTimeout;
    if (v < 105) {
        d.m_ucType = defaults.m_ucType;
        d.m_ucComPort = defaults.m_ucComPort;
        d.m_dwBaudRate = defaults.m_dwBaudRate;
        d.m_ucStopBits = defaults.m_ucStopBits;
        d.m_ucParity = defaults.m_ucParity;
    }
    if (v < 107) {
        d.m_ucDisconnect = defaults.m_ucDisconnect;
        d.m_wPacketPause = defaults.m_wPacketPause;
    }
    if (v < 109) d.m_ucQualityReset = defaults.m_ucQualityReset;
    return d;
}

TEST(ScfLoad, EveryConfigurationVersionLoadsWithTheDefaultsOfWhatItLacks) {
    for (uint32_t v : {101u, 103u, 105u, 107u, 109u, 111u, 112u, 113u, 114u}) {
        SCOPED_TRACE(v);
        const std::string name = "config_v" + std::to_string(v) + ".scf";
        CKarvexOPCCfgDoc doc;
        std::vector<std::string> output;
        doc.SetOutput([&](const std::string& line) { output.push_back(line); });
        const config::LoadResult result = config::LoadDocument(sample::DataFile(name), &doc);
        ASSERT_EQ(result.status, LoadStatus::kLoaded) << result.error;
        EXPECT_EQ(result.version, v);

        const std::vector<config::opcTagInfo> elements = {AsVersion(v, sample::Group()),
                                                          AsVersion(v, sample::Temperature()),
                                                          AsVersion(v, sample::Alarm())};
        EXPECT_EQ(doc.Elements(), elements);
        const std::vector<config::opcDeviceInfo> devices = {AsVersion(v, sample::Cabinet()),
                                                            AsVersion(v, sample::Rtu())};
        EXPECT_EQ(doc.Devices(), devices);
        EXPECT_EQ(doc.Parameters(),
                  v >= 111 ? sample::Parameters() : std::vector<config::opcParameter>{});

        ASSERT_FALSE(output.empty());
        EXPECT_EQ(output[0],
                  Cp("Загрузка конфигурации ") + sample::DataFile(name) + Cp(" завершена."));
        if (v >= 108) {
            EXPECT_EQ(doc.NextTagID(), sample::kNextID);
            EXPECT_FALSE(doc.IsModified());
            EXPECT_EQ(output.size(), 1u);
        } else {
            // No counter in the file: it continues after the largest identifier, 12.
            EXPECT_EQ(doc.NextTagID(), 13u);
            EXPECT_TRUE(doc.IsModified());
            ASSERT_EQ(output.size(), 2u);
            EXPECT_EQ(output[1], Cp("Установка переменной m_dwNextTagID=12"));
        }
        EXPECT_EQ(doc.PathName(), sample::DataFile(name));
    }
}

TEST(ScfLoad, SpecialFilesLoad) {
    CKarvexOPCCfgDoc doc;
    ASSERT_EQ(config::LoadDocument(sample::DataFile("empty.scf"), &doc).status,
              LoadStatus::kLoaded);
    EXPECT_TRUE(doc.Elements().empty());
    EXPECT_TRUE(doc.Devices().empty());
    EXPECT_EQ(doc.NextTagID(), 1u);

    ASSERT_EQ(config::LoadDocument(sample::DataFile("slot_port.scf"), &doc).status,
              LoadStatus::kLoaded);
    ASSERT_EQ(doc.Devices().size(), 1u);
    EXPECT_EQ(doc.Devices()[0].m_ucSlot, 3);
    EXPECT_EQ(doc.Devices()[0].m_wPort, 502);

    ASSERT_EQ(config::LoadDocument(sample::DataFile("wide_name.scf"), &doc).status,
              LoadStatus::kLoaded);
    ASSERT_EQ(doc.Elements().size(), 1u);
    EXPECT_EQ(doc.Elements()[0].m_strName, Cp("Котёл"));
    EXPECT_EQ(doc.Elements()[0].m_dwPublish, 1u);  // the fields after the name are in step
}

TEST(ScfStore, WritesTheFixtureFilesByteForByte) {
    for (const char* name : {"config_v114.scf", "taginfo_v114.scf", "empty.scf", "slot_port.scf",
                             "parameter_z.scf", "path_254.scf", "path_255.scf"}) {
        SCOPED_TRACE(name);
        const std::string bytes = Fixture(name);
        CKarvexOPCCfgDoc doc;
        ASSERT_EQ(config::LoadDocumentBytes(bytes, name, &doc).status, LoadStatus::kLoaded);
        EXPECT_EQ(config::StoreDocument(doc), bytes);
    }
}

TEST(ScfStore, TagInformationOfAnEmptyDocumentFollowsTheMarker) {
    const std::string bytes = config::StoreDocument(CKarvexOPCCfgDoc());
    ASSERT_EQ(bytes.size(), 88u);
    EXPECT_EQ(bytes.substr(20, 48), config::kSectionMarker);
    EXPECT_EQ(bytes.substr(68, 4), std::string("\x72\0\0\0", 4));
}

// A document that uses every field of every record, with texts in every length form.
CKarvexOPCCfgDoc EveryField() {
    CKarvexOPCCfgDoc doc;
    config::opcTagInfo container = sample::Group();
    container.m_dwID = 1;
    container.m_ucKind = config::kKindContainer;
    container.m_strName = "root";
    config::opcTagInfo group = sample::Group();
    group.m_dwParentID = 1;
    group.m_strName = std::string(300, 'G');
    config::opcTagInfo plainGroup = sample::Group();
    plainGroup.m_dwID = 6;
    plainGroup.m_ucGroupType = config::kGroupTypeGroup;
    config::opcTagInfo tag = sample::Temperature();
    tag.m_strComment = std::string(70000, 'c');
    tag.m_strRange = Cp("диапазон");
    tag.m_aCorrections.push_back({7, 0xFFFFFFFF, 1e300});
    config::opcTagInfo hidden = sample::Alarm();
    hidden.m_dwPublish = 0;
    hidden.m_ucGroupType = 4;
    hidden.m_ucAccess = 2;
    for (const auto& e : {container, group, plainGroup, tag, hidden, sample::Alarm()}) {
        doc.AddElement(e, doc.Elements().size());
    }
    doc.Devices() = {sample::Cabinet(), sample::Rtu()};
    doc.Devices()[1].m_strName = std::string(255, 'D');
    doc.Parameters() = sample::Parameters();
    doc.Parameters().push_back({"", std::string(65534, 'v')});
    doc.SetNextTagID(0xFFFFFFF0);
    return doc;
}

TEST(ScfStore, StoreLoadStoreIsByteIdentical) {
    const CKarvexOPCCfgDoc original = EveryField();
    const std::string first = config::StoreDocument(original);
    CKarvexOPCCfgDoc loaded;
    ASSERT_EQ(config::LoadDocumentBytes(first, "x.scf", &loaded).status, LoadStatus::kLoaded);
    EXPECT_EQ(loaded.Elements(), original.Elements());
    EXPECT_EQ(loaded.Devices(), original.Devices());
    EXPECT_EQ(loaded.Parameters(), original.Parameters());
    EXPECT_EQ(loaded.NextTagID(), original.NextTagID());
    EXPECT_EQ(config::StoreDocument(loaded), first);
}

TEST(ScfStore, SaveWritesTheFileAndClearsModified) {
    testing_support::TempDir dir;
    const std::string path = dir.path() + "/" + Cp("Котельная.scf");
    CKarvexOPCCfgDoc doc = EveryField();
    doc.SetModified();
    ASSERT_EQ(config::SaveDocument(path, &doc), 0u);
    EXPECT_FALSE(doc.IsModified());
    EXPECT_EQ(doc.PathName(), path);
    std::string written;
    ASSERT_EQ(platform::ReadFileContents(path, &written), 0u);
    EXPECT_EQ(written, config::StoreDocument(doc));
}

TEST(ScfLoad, ReportsProgressOncePerElement) {
    uint32_t range = 0, step = 0, steps = 0;
    config::LoadProgress progress;
    progress.setRange = [&](uint32_t r, uint32_t s) { range = r, step = s; };
    progress.step = [&] { ++steps; };
    CKarvexOPCCfgDoc doc;
    ASSERT_EQ(config::LoadDocument(sample::DataFile("config_v114.scf"), &doc, progress).status,
              LoadStatus::kLoaded);
    EXPECT_EQ(range, 3u);
    EXPECT_EQ(step, 1u);
    EXPECT_EQ(steps, 3u);
}

TEST(ScfLoad, UnsupportedVersionOpensAnEmptyDocument) {
    for (uint32_t version : {0u, 100u, 115u, 0xFFFFFFFFu}) {
        std::string bytes = Fixture("config_v114.scf");
        bytes.replace(0, 4, std::string(reinterpret_cast<const char*>(&version), 4));
        CKarvexOPCCfgDoc doc = EveryField();
        std::vector<std::string> output;
        doc.SetOutput([&](const std::string& line) { output.push_back(line); });
        const config::LoadResult result = config::LoadDocumentBytes(bytes, "old.scf", &doc);
        EXPECT_EQ(result.status, LoadStatus::kUnsupportedVersion) << version;
        EXPECT_TRUE(doc.Elements().empty());
        EXPECT_TRUE(doc.Devices().empty());
        EXPECT_TRUE(doc.Parameters().empty());
        EXPECT_EQ(doc.NextTagID(), 1u);
        EXPECT_EQ(doc.PathName(), "old.scf");
        EXPECT_EQ(output, std::vector<std::string>{
                              Cp("Документ данной версии не поддерживается, обновите программу.")});
    }
}

TEST(ScfLoad, FileCutAnywhereInTheConfigurationSectionOpensNothing) {
    const std::string bytes = Fixture("config_v114.scf");
    const size_t sectionEnd = bytes.find(config::kSectionMarker);
    ASSERT_NE(sectionEnd, std::string::npos);
    CKarvexOPCCfgDoc before;
    before.AddElement(sample::Alarm(), 0);
    for (size_t length = 0; length < bytes.size(); ++length) {
        CKarvexOPCCfgDoc doc = before;
        const config::LoadResult result =
            config::LoadDocumentBytes(std::string_view(bytes).substr(0, length), "cut.scf", &doc);
        if (length < sectionEnd) {
            ASSERT_EQ(result.status, LoadStatus::kBroken) << length;
            EXPECT_FALSE(result.error.empty());
            EXPECT_EQ(doc.Elements(), before.Elements());
            EXPECT_EQ(doc.PathName(), "");
        } else {
            ASSERT_EQ(result.status, LoadStatus::kLoaded) << length;
        }
    }
}

TEST(ScfLoad, HugeCountsCostNoMoreThanTheData) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::string u32max("\xFF\xFF\xFF\xFF", 4);
    const std::string v114("\x72\0\0\0", 4), zero("\0\0\0\0", 4), one("\1\0\0\0", 4);
    // An element record of version 114 up to its kind, its four empty texts, and the fixed
    // items between the texts and the correction count.
    const std::string head(13, '\0'), texts(4, '\0'), middle(26, '\0');
    const Case cases[] = {
        {"elements", v114 + u32max + one},
        {"devices", v114 + zero + one + u32max},
        {"parameters", v114 + zero + one + zero + u32max + std::string("\3abc\3def")},
        {"corrections", v114 + one + one + head + texts + middle + u32max + std::string(13, '\0')},
        {"text length", v114 + one + one + head + "\xFF\xFF\xFF" + u32max + std::string(8, '\xFF')},
    };
    for (const Case& c : cases) {
        CKarvexOPCCfgDoc doc;
        EXPECT_EQ(config::LoadDocumentBytes(c.bytes, "huge.scf", &doc).status, LoadStatus::kBroken)
            << c.what;
    }
}

TEST(ScfLoad, MissingFileOpensNothing) {
    testing_support::TempDir dir;
    CKarvexOPCCfgDoc doc = EveryField();
    const config::LoadResult result = config::LoadDocument(dir.File("absent.scf"), &doc);
    EXPECT_EQ(result.status, LoadStatus::kCannotOpen);
    EXPECT_NE(result.error.find(dir.File("absent.scf")), std::string::npos);
    EXPECT_EQ(doc.Elements(), EveryField().Elements());
}

}  // namespace
