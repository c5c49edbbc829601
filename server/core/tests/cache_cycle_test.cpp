// The cache update cycle, driven as the workers drive it (tag and statistics records changed
// under their locks) and observed as OPC clients observe it: items read from the cache.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

using core::RuntimeTables;
using core::TagRecord;
using core_test::ChannelConfig;
using core_test::ItemState;
using core_test::TagConfig;
using core_test::TestServer;

constexpr WORD kGood = 0xC0;

// As a worker stores a good answer.
void StoreFresh(RuntimeTables& tables, size_t index, int32_t raw) {
    ASSERT_EQ(tables.UpdateTag(index,
                               [&](TagRecord& tag) {
                                   tag.rawValue = raw;
                                   tag.faultCount = 0;
                                   tag.state = core::kTagFresh;
                               }),
              core::kOk);
}

void SetFaults(RuntimeTables& tables, size_t index, int32_t faults) {
    ASSERT_EQ(tables.UpdateTag(index, [&](TagRecord& tag) { tag.faultCount = faults; }), core::kOk);
}

TagRecord TagAt(RuntimeTables& tables, size_t index) {
    TagRecord tag;
    EXPECT_EQ(tables.GetTag(index, &tag), core::kOk);
    return tag;
}

std::u16string WideName(const std::string& name) {
    return std::u16string(name.begin(), name.end());
}

// --- statistics items ------------------------------------------------------------------------

TEST(CacheCycleTest, StatisticsItemsPublishTheBlocksAndStampOnlyChanges) {
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 3), ChannelConfig("Mill", 4),
                         ChannelConfig("Spare", 5)};
    s.doc().Elements() = {TagConfig(1, "T1", 3, 1), TagConfig(2, "T2", 3, 2),
                          TagConfig(3, "T3", 4, 1)};
    ASSERT_EQ(s.Init(), 0);

    const std::vector<std::string> suffixes = {
        "/tx count",        "/rx count",   "/crcfail count", "/noanswer count",
        "/exception count", "/connection", "/Command status"};
    std::vector<std::pair<std::string, uintptr_t>> expected;
    for (const char* device : {"Stats/Boiler(3)-1", "Stats/Boiler(3)-2"}) {
        for (const std::string& suffix : suffixes)
            expected.emplace_back(device + suffix, 100 + expected.size());
    }
    expected.emplace_back("Stats/Boiler(3)/Connection status", 114);
    for (const std::string& suffix : suffixes)
        expected.emplace_back("Stats/Mill(4)-1" + suffix, 100 + expected.size());
    expected.emplace_back("Stats/Mill(4)/Connection status", 122);
    expected.emplace_back("Stats/Spare(5)/Connection status", 123);
    for (const auto& [name, handle] : expected) {
        const std::u16string wide = WideName(name);
        unsigned index = 0;
        ASSERT_EQ(opc::daFindTag(s.server().service, reinterpret_cast<const WCHAR*>(wide.c_str()),
                                 &index),
                  0)
            << name;
        EXPECT_NE(index, 0u) << name;
        EXPECT_EQ(s.server().itemIds[handle], index) << name;
    }
    EXPECT_EQ(s.server().itemIds[124], 0u) << "the field-device-less channel has one item";

    const auto handles =
        s.AddItems({"Stats/Boiler(3)-2/tx count", "Stats/Boiler(3)-2/rx count",
                    "Stats/Boiler(3)-2/crcfail count", "Stats/Boiler(3)-2/noanswer count",
                    "Stats/Boiler(3)-2/exception count", "Stats/Boiler(3)-2/connection",
                    "Stats/Boiler(3)-2/Command status", "Stats/Boiler(3)/Connection status",
                    "Stats/Mill(4)-1/tx count", "Stats/Boiler(3)-1/tx count", "Server version"});
    s.StartProcess();
    ASSERT_TRUE(s.WaitCycles(1));
    s.tables().UpdateStatistics(0, 1,
                                [](core::StatisticsBlock& b) { b = {17, 16, 1, 2, 9, 1, 6, -1}; });
    s.tables().UpdateStatistics(1, 0, [](core::StatisticsBlock& b) { b.txCount = 5; });
    s.tables().UpdateChannel(0, [](core::ChannelRecord& c) { c.connectionStatus = 10061; });

    EXPECT_EQ(s.WaitForValue(handles[7], 10061).value.AsDouble(), 10061);
    const double values[] = {17, 16, 1, 2, 6};
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(s.WaitForValue(handles[i], values[i]).value.AsDouble(), values[i]) << i;
    const ItemState connection = s.WaitForValue(handles[5], -1);
    EXPECT_EQ(connection.value.vt(), VT_BOOL);
    EXPECT_EQ((*connection.value).boolVal, VARIANT_TRUE);
    EXPECT_EQ(s.WaitForValue(handles[6], 255).value.AsDouble(), 255);
    EXPECT_EQ(s.WaitForValue(handles[8], 5).value.AsDouble(), 5);

    // An unchanged counter keeps the stamp of the call's start, which the version item has.
    const ItemState version = s.Read(handles[10]);
    EXPECT_EQ(version.value.AsDouble(), 601);
    const ItemState unchanged = s.Read(handles[9]);
    EXPECT_EQ(unchanged.quality, kGood);
    EXPECT_EQ(unchanged.time, version.time);
    const ItemState changed = s.Read(handles[0]);
    EXPECT_GT(changed.time, version.time);

    ASSERT_TRUE(s.WaitCycles(3));
    EXPECT_EQ(s.Read(handles[9]).time, version.time);
    EXPECT_EQ(s.Read(handles[0]).time, changed.time);
    s.tables().UpdateStatistics(0, 1, [](core::StatisticsBlock& b) { b.txCount = 18; });
    EXPECT_GT(s.WaitForValue(handles[0], 18).time, changed.time);
    s.StopProcess();

    const auto& log = s.log();
    EXPECT_EQ(log.Count("D Process: Boiler Device id 1 updating tag txcnt - id 107 [17]"), 1u);
    EXPECT_EQ(log.Count("D Process: Boiler Device id 1 updating tag exception_ct - id 111 [6]"),
              1u);
    EXPECT_EQ(log.Count("D Process: Boiler Device id 1 updating tag connection - id 112 [1]"), 1u);
    EXPECT_EQ(log.Count("D Process: Boiler Device id 1 updating tag cmdstatus - id 113 [255]"), 1u);
    EXPECT_EQ(log.Count("D Process: Boiler Device id 3 updating tag conn_status - id 114 [10061]"),
              1u);
    EXPECT_EQ(log.Count("D Process: Mill Device id 0 updating tag txcnt - id 115 [5]"), 1u);
    EXPECT_EQ(log.Count("D Process: Boiler Device id 0 updating tag txcnt - id 100 [0]"), 0u);
}

// Beyond 412 statistics items and 513 tags the handles go on past the classic array.
TEST(CacheCycleTest, LargeConfigurationsPublishEveryItem) {
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("C1", 1), ChannelConfig("C2", 2)};
    constexpr size_t kTags = 600;
    for (size_t k = 0; k < kTags; ++k) {
        s.doc().Elements().push_back(TagConfig(static_cast<uint32_t>(k + 1),
                                               "T" + std::to_string(k), uint8_t(k % 2 + 1),
                                               uint8_t(k / 2 % 30 + 1)));
    }
    ASSERT_EQ(s.Init(), 0);
    const auto handles = s.AddItems({"T0", "T599", "Stats/C2(2)-30/tx count",
                                     "Stats/C2(2)/Connection status", "Stats/C1(1)-1/rx count"});
    for (OPCHANDLE handle : handles)
        ASSERT_NE(handle, 0u);

    s.StartProcess();
    StoreFresh(s.tables(), 0, 1);
    StoreFresh(s.tables(), kTags - 1, 42);
    s.tables().UpdateStatistics(1, 29, [](core::StatisticsBlock& b) { b.txCount = 7; });
    s.tables().UpdateStatistics(0, 0, [](core::StatisticsBlock& b) { b.rxCount = 3; });
    s.tables().UpdateChannel(1, [](core::ChannelRecord& c) { c.connectionStatus = 77; });
    const double expected[] = {1, 42, 7, 77, 3};
    for (size_t i = 0; i < handles.size(); ++i)
        EXPECT_EQ(s.WaitForValue(handles[i], expected[i]).value.AsDouble(), expected[i]) << i;
}

// --- groups ----------------------------------------------------------------------------------

TEST(CacheCycleTest, FreshValuesBehindAGroupsFirstZeroArePublishedAsZero) {
    struct Case {
        const char* what;
        bool fourthFresh;
        double fifth;
    };
    const Case cases[] = {{"all fresh", true, 0}, {"the fourth not fresh", false, 4}};
    const int32_t raws[] = {3, 7, 0, 9, 4};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer s("Process:");
        s.doc().Devices() = {ChannelConfig("Boiler", 1)};
        std::vector<std::string> names;
        for (uint32_t k = 0; k < 5; ++k) {
            names.push_back("G" + std::to_string(k + 1));
            config::opcTagInfo tag = TagConfig(k + 1, names.back(), 1, 1);
            tag.m_ucGroupNo = 5;
            s.doc().Elements().push_back(tag);
        }
        ASSERT_EQ(s.Init(), 0);
        for (size_t k = 0; k < 5; ++k) {
            if (k == 3 && !c.fourthFresh) {
                s.tables().UpdateTag(k, [&](TagRecord& tag) { tag.rawValue = raws[k]; });
            } else {
                StoreFresh(s.tables(), k, raws[k]);
            }
        }
        const auto handles = s.AddItems(names);
        s.StartProcess();

        EXPECT_EQ(s.WaitForValue(handles[4], c.fifth).value.AsDouble(), c.fifth);
        const double published[] = {3, 7, 0};
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(s.WaitForValue(handles[k], published[k]).value.AsDouble(), published[k]);
        if (c.fourthFresh) {
            EXPECT_EQ(s.WaitForValue(handles[3], 0).value.AsDouble(), 0);
            const TagRecord forced = TagAt(s.tables(), 3);
            EXPECT_EQ(forced.rawValue, 0);
            EXPECT_EQ(forced.flags, 0u) << "the forced-zero mark ends with the publication";
            EXPECT_EQ(forced.state, core::kTagNoFreshValue);
        } else {
            ASSERT_TRUE(s.WaitCycles(2));
            EXPECT_NE(s.Read(handles[3]).quality, kGood) << "never published";
            EXPECT_EQ(TagAt(s.tables(), 3).rawValue, 9);
        }
    }
}

// A group member test (correction 7) finds the tag of group 40 in group 31.
TEST(CacheCycleTest, AGroupNumberBeyondTheListsCountsInGroup31) {
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 1)};
    config::opcTagInfo member = TagConfig(1, "G40", 1, 1);
    member.m_ucGroupNo = 40;
    s.doc().Elements().push_back(member);
    for (uint8_t group : {31, 32}) {
        config::opcTagInfo probe = TagConfig(group, "In" + std::to_string(group), 1, 1, VT_BOOL);
        probe.m_ucFunction = 0;
        probe.m_dwRegister = 12;
        probe.m_aCorrections = {config::CorrectionInfo{7, 1, double(group)}};
        s.doc().Elements().push_back(probe);
    }
    ASSERT_EQ(s.Init(), 0);
    StoreFresh(s.tables(), 0, 12);
    const auto handles = s.AddItems({"In31", "In32"});
    s.StartProcess();

    const ItemState in31 = s.WaitFor(handles[0], [](const ItemState& item) {
        return item.quality == kGood && item.value.vt() == VT_BOOL;
    });
    EXPECT_EQ((*in31.value).boolVal, VARIANT_TRUE);
    const ItemState in32 = s.WaitFor(handles[1], [](const ItemState& item) {
        return item.quality == kGood && item.value.vt() == VT_BOOL;
    });
    EXPECT_EQ((*in32.value).boolVal, VARIANT_FALSE);
    s.StopProcess();
    EXPECT_EQ(s.log().Count("E Process: tag G40 group number 40 > 32."), 1u);
    EXPECT_EQ(s.log().Count("D Process: Adding tag G40 data [12] to group number 31"), 1u);
}

// --- tag values ------------------------------------------------------------------------------

TEST(CacheCycleTest, FreshValuesArePublishedInTheTagsType) {
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 1)};
    s.doc().Elements() = {TagConfig(1, "Flag", 1, 1, VT_BOOL), TagConfig(2, "Byte", 1, 1, VT_UI1)};
    ASSERT_EQ(s.Init(), 0);
    const auto handles = s.AddItems({"Flag", "Byte"});
    s.StartProcess();
    StoreFresh(s.tables(), 0, 2);
    s.tables().UpdateTag(1, [](TagRecord& tag) {  // as the remote exchange stores one
        tag.floatValue = 300.7f;
        tag.flags |= core::kTagFloatIsFinal;
        tag.state = core::kTagFresh;
    });

    const ItemState flag =
        s.WaitFor(handles[0], [](const ItemState& item) { return item.quality == kGood; });
    EXPECT_EQ(flag.value.vt(), VT_BOOL);
    EXPECT_EQ((*flag.value).boolVal, VARIANT_TRUE);
    const ItemState byte = s.WaitForValue(handles[1], 44);
    EXPECT_EQ(byte.value.vt(), VT_UI1);
    EXPECT_EQ(byte.value.AsDouble(), 44);
    const TagRecord taken = TagAt(s.tables(), 1);
    EXPECT_EQ(taken.state, core::kTagNoFreshValue);
    EXPECT_EQ(taken.flags & core::kTagFloatIsFinal, 0u);
    s.StopProcess();
    EXPECT_EQ(s.log().Count("D Process: Updating tag: Flag, new raw value: 00000002"), 1u);
}

// The correction examples as a client reads them.
TEST(CacheCycleTest, CorrectedValuesAsAClientReadsThem) {
    struct Case {
        const char* name;
        uint16_t type;
        uint8_t size, dataType;
        std::vector<config::CorrectionInfo> corrections;
        int32_t raw;
        double published;
    };
    const Case cases[] = {
        {"ShlOr", VT_UI4, 16, 0, {{3, 1, 4}, {5, 1, 1}}, 5, 81},
        {"Equal", VT_BOOL, 16, 0, {{9, 1, 7}}, 7, -1},  // VARIANT_TRUE
        {"Unsigned", VT_R4, 32, 1, {}, -1, 4294967296.0},
        {"Tsm50", VT_R4, 16, 0, {{11, 1, 1.428}}, 60, 46.73},
        {"Half", VT_UI2, 16, 0, {{2, 1, 0.5}}, 125, 62},
    };
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 1)};
    for (const Case& c : cases) {
        config::opcTagInfo tag =
            TagConfig(static_cast<uint32_t>(s.doc().Elements().size() + 1), c.name, 1, 1, c.type);
        tag.m_ucSize = c.size;
        tag.m_ucDataType = c.dataType;
        tag.m_aCorrections = c.corrections;
        s.doc().Elements().push_back(tag);
    }
    ASSERT_EQ(s.Init(), 0);
    s.StartProcess();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const OPCHANDLE handle = s.AddItem(cases[i].name);
        StoreFresh(s.tables(), i, cases[i].raw);
        const ItemState item =
            s.WaitFor(handle, [](const ItemState& read) { return read.quality == kGood; });
        EXPECT_EQ(item.value.vt(), cases[i].type);
        EXPECT_NEAR(item.value.AsDouble(), cases[i].published, 0.01);
    }
}

TEST(CacheCycleTest, WriteOnlyTagsAreLeftAlone) {
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 1)};
    config::opcTagInfo writeOnly = TagConfig(1, "W", 1, 1);
    writeOnly.m_ucAccess = config::kAccessWrite;
    writeOnly.m_ucFunction = 0;
    config::opcTagInfo computed = TagConfig(2, "R", 1, 1);
    computed.m_ucFunction = 0;
    s.doc().Elements() = {writeOnly, computed};
    ASSERT_EQ(s.Init(), 0);
    StoreFresh(s.tables(), 0, 5);
    StoreFresh(s.tables(), 1, 6);
    const OPCHANDLE computedItem = s.AddItem("R");
    s.StartProcess();

    EXPECT_EQ(s.WaitForValue(computedItem, 6).value.AsDouble(), 6);
    ASSERT_TRUE(s.WaitCycles(2));
    EXPECT_EQ(TagAt(s.tables(), 0).state, core::kTagFresh);
    std::lock_guard hold(s.tables().CacheLock());
    EXPECT_EQ(s.server().cache[s.server().handles.Tag(0)].tagIndex, 0u);
}

// --- link loss -------------------------------------------------------------------------------

TEST(CacheCycleTest, EnoughFaultsSetTheChannelsQualityOnceUntilAFreshValue) {
    struct Case {
        uint8_t qualityReset;
        WORD quality;
        const char* line;  // nullptr: no line
    };
    const Case cases[] = {
        {0, 0x00, "D Process: Setting tag L0 quality to OPC_QUALITY_BAD due to 3 RX faults"},
        {1, 0x40, "D Process: Setting tag L1 quality to OPC_QUALITY_UNCERTAIN due to 3 RX faults"},
        {2, 0x18,
         "D Process: Setting tag L2 quality to OPC_QUALITY_COMM_FAILURE due to 3 RX faults"},
        {10, kGood, nullptr},
    };
    TestServer s("Process:");
    std::vector<std::string> names;
    for (const Case& c : cases) {
        config::opcDeviceInfo channel = ChannelConfig("Boiler", uint8_t(c.qualityReset + 1));
        channel.m_ucQualityReset = c.qualityReset;
        channel.m_ucFailThreshold = 3;
        s.doc().Devices().push_back(channel);
        names.push_back("L" + std::to_string(c.qualityReset));
        s.doc().Elements().push_back(
            TagConfig(c.qualityReset + 1u, names.back(), uint8_t(c.qualityReset + 1), 1));
    }
    ASSERT_EQ(s.Init(), 0);
    const auto handles = s.AddItems(names);
    s.StartProcess();
    for (size_t i = 0; i < std::size(cases); ++i) {
        StoreFresh(s.tables(), i, 5);
        ASSERT_EQ(s.WaitForValue(handles[i], 5).quality, kGood);
        SetFaults(s.tables(), i, 2);
    }
    ASSERT_TRUE(s.WaitCycles(3));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(s.Read(handles[i]).quality, kGood) << "below the threshold";
        SetFaults(s.tables(), i, 3);
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(int{c.qualityReset});
        const ItemState lost =
            s.WaitFor(handles[i], [&](const ItemState& item) { return item.quality == c.quality; });
        EXPECT_EQ(lost.quality, c.quality);
        EXPECT_EQ(lost.value.AsDouble(), 5) << "the value stays";
    }
    ASSERT_TRUE(s.WaitCycles(3));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(int{c.qualityReset});
        EXPECT_EQ(s.Read(handles[i]).quality, c.quality);
        if (c.line) {
            EXPECT_EQ(s.log().Count(c.line), 1u);
        }
        StoreFresh(s.tables(), i, 6);
        EXPECT_EQ(s.WaitForValue(handles[i], 6).quality, kGood);
    }
    ASSERT_TRUE(s.WaitCycles(3));
    const auto messages = s.log().Messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("Setting tag") != m.npos; }),
              3);
}

// Channel ids that differ from positions: a tag's channel is the one with its id.
TEST(CacheCycleTest, LinkLossFindsTheChannelById) {
    TestServer s("Process:");
    config::opcDeviceInfo first = ChannelConfig("A", 7);
    first.m_ucQualityReset = 2;
    config::opcDeviceInfo second = ChannelConfig("B", 0);
    second.m_ucQualityReset = 1;
    s.doc().Devices() = {first, second};
    // Channel id 1 is nobody's, though position 1 exists.
    s.doc().Elements() = {TagConfig(1, "OnB", 0, 1), TagConfig(2, "Orphan", 1, 1)};
    ASSERT_EQ(s.Init(), 0);
    const auto handles = s.AddItems({"OnB", "Orphan"});
    s.StartProcess();
    for (size_t i = 0; i < 2; ++i) {
        StoreFresh(s.tables(), i, 5);
        ASSERT_EQ(s.WaitForValue(handles[i], 5).quality, kGood);
        SetFaults(s.tables(), i, 10);
    }
    EXPECT_EQ(
        s.WaitFor(handles[0], [](const ItemState& item) { return item.quality != kGood; }).quality,
        0x40);
    ASSERT_TRUE(s.WaitCycles(3));
    EXPECT_EQ(s.Read(handles[1]).quality, kGood);
}

// --- the call's end --------------------------------------------------------------------------

TEST(CacheCycleTest, AnEmptyChannelTableEndsTheCallUnlessTheServerIsLocked) {
    TestServer s("Process:");
    config::opcTagInfo computed = TagConfig(1, "Computed", 1, 1);
    computed.m_ucFunction = 0;
    s.doc().Elements() = {computed};
    ASSERT_EQ(s.Init(), 0);
    const auto handles = s.AddItems({"bandwidth", "Computed"});
    s.server().serverCount = 1;

    s.StartProcess(10, false);
    EXPECT_TRUE(s.WaitProcessEnd());
    EXPECT_EQ(s.server().processRunning.load(), 0u);
    s.StopProcess();
    EXPECT_EQ(s.log().Count("E Process: exit, configuration error. No devices configured."), 1u);
    EXPECT_EQ(s.log().Count("D Process: cycle started."), 0u);

    s.StartProcess(10, true);
    ASSERT_TRUE(s.WaitCycles(2));
    EXPECT_EQ(
        s.WaitFor(handles[0], [](const ItemState& item) { return item.quality == kGood; }).quality,
        kGood);
    EXPECT_NE(s.Read(handles[1]).quality, kGood) << "no tag is published without channels";
}

TEST(CacheCycleTest, RunsWhileAClientHoldsTheServerWithChannelsOrTheServerIsLocked) {
    struct Case {
        const char* what;
        long clients;
        long factoryReferences;
        uint32_t lock;
        bool channels;
        bool runs;
    };
    const Case cases[] = {
        {"a client object", 1, 0, 0, true, true},
        {"a factory reference", 0, 1, 0, true, true},
        {"nobody", 0, 0, 0, true, false},
        {"a client but no channels", 1, 1, 0, false, false},
        {"locked without channels", 0, 0, 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer s("Process:");
        if (c.channels) s.doc().Devices() = {ChannelConfig("Boiler", 1)};
        ASSERT_EQ(s.Init(), 0);
        s.server().serverCount = c.clients;
        s.server().factoryReferences = c.factoryReferences;
        s.server().lockServer = c.lock;
        s.StartProcess(10, false);
        if (c.runs) {
            ASSERT_TRUE(s.WaitCycles(2));
            EXPECT_EQ(s.server().processRunning.load(), 1u);
            s.StopProcess();
        } else {
            EXPECT_TRUE(s.WaitProcessEnd());
            EXPECT_EQ(s.log().Count("D Process: cycle started."), 0u);
        }
        EXPECT_EQ(s.server().processRunning.load(), 0u);
        EXPECT_EQ(s.log().Count("T Process: started OK."), 1u);
    }
}

}  // namespace
