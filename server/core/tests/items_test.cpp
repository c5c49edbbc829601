// The items Init registers, seen by an OPC client: handles beyond the classic scheme, access
// rights, the branches of tag paths, long statistics names, and the largest configuration.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_fixture.h"

namespace {

using core::ItemHandles;
using core_test::ChannelConfig;
using core_test::TagConfig;
using core_test::TestServer;

TEST(ItemHandles, ClassicWhileTheSchemeHasRoomThenTagsThenStatistics) {
    struct Case {
        size_t statistics, tags;
        std::vector<std::pair<size_t, uintptr_t>> statisticsHandles, tagHandles;
        size_t slots;
    };
    const Case cases[] = {
        {15, 2, {{0, 100}, {14, 114}}, {{0, 512}, {1, 513}}, 1025},
        {412, 513, {{411, 511}}, {{512, 1024}}, 1025},
        {413, 513, {{412, 1025}}, {{512, 1024}}, 1026},
        {500, 600, {{411, 511}, {412, 1112}, {499, 1199}}, {{513, 1025}, {599, 1111}}, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.statistics) + " statistics, " + std::to_string(c.tags));
        const ItemHandles handles(c.statistics, c.tags);
        for (const auto& [n, handle] : c.statisticsHandles)
            EXPECT_EQ(handles.Statistics(n), handle);
        for (const auto& [i, handle] : c.tagHandles) {
            EXPECT_EQ(handles.Tag(i), handle);
            size_t index = 0;
            ASSERT_TRUE(handles.TagIndex(handle, &index));
            EXPECT_EQ(index, i);
        }
        EXPECT_EQ(handles.SlotCount(), c.slots);
        size_t index = 0;
        EXPECT_FALSE(handles.TagIndex(handles.Statistics(c.statistics - 1), &index));
        EXPECT_FALSE(handles.TagIndex(handles.Tag(c.tags - 1) + 1 + c.statistics, &index));
    }
}

// Property 5 ("Item Access Rights") of each item.
std::vector<long> AccessRights(IOPCServer* server, const std::vector<std::u16string>& names) {
    opc_test::ComPtr<IOPCItemProperties> properties;
    EXPECT_EQ(server->QueryInterface(IID_IOPCItemProperties, properties.outVoid()), S_OK);
    std::vector<long> rights;
    for (const std::u16string& name : names) {
        DWORD id = 5;
        opc_test::TaskArray<VARIANT> values;
        opc_test::TaskArray<HRESULT> errors;
        EXPECT_EQ(properties->GetItemProperties(
                      reinterpret_cast<LPWSTR>(const_cast<char16_t*>(name.c_str())), 1, &id,
                      values.out(), errors.out()),
                  S_OK);
        rights.push_back(values[0].lVal);
    }
    return rights;
}

TEST(Items, AccessCodesGiveRightsAndUnknownCodesReadOnly) {
    TestServer test("Init:");
    test.doc().Devices() = {ChannelConfig("Boiler", 3)};
    test.doc().Elements() = {TagConfig(1, "R", 3, 1), TagConfig(2, "RW", 3, 1),
                             TagConfig(3, "W", 3, 1), TagConfig(4, "Seven", 3, 1)};
    const uint8_t codes[] = {0, 1, 2, 7};
    for (size_t i = 0; i < 4; ++i)
        test.doc().Elements()[i].m_ucAccess = codes[i];
    ASSERT_EQ(test.Init(), 0);
    EXPECT_EQ(AccessRights(test.opcServer(), {u"R", u"RW", u"W", u"Seven"}),
              (std::vector<long>{OPC_READABLE, OPC_READABLE | OPC_WRITEABLE, OPC_WRITEABLE,
                                 OPC_READABLE}));
    EXPECT_EQ(AccessRights(test.opcServer(), {u"Server version", u"Stats/Boiler(3)-1/tx count"}),
              (std::vector<long>{OPC_READABLE, OPC_READABLE}));
}

std::vector<std::u16string> Browse(IOPCServer* server, const std::vector<std::u16string>& path,
                                   OPCBROWSETYPE type) {
    opc_test::ComPtr<IOPCBrowseServerAddressSpace> browse;
    EXPECT_EQ(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.outVoid()), S_OK);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, reinterpret_cast<LPCWSTR>(u"")), S_OK);
    for (const std::u16string& branch : path) {
        EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN,
                                               reinterpret_cast<LPCWSTR>(branch.c_str())),
                  S_OK);
    }
    opc_test::ComPtr<IEnumString> names;
    EXPECT_TRUE(SUCCEEDED(
        browse->BrowseOPCItemIDs(type, reinterpret_cast<LPCWSTR>(u""), VT_EMPTY, 0, names.out())));
    std::vector<std::u16string> result;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (names && names->Next(1, &name, &fetched) == S_OK) {
        result.push_back(reinterpret_cast<const char16_t*>(name));
        CoTaskMemFree(name);
    }
    return result;
}

TEST(Items, TagPathsAreBrowsedAsBranches) {
    TestServer test("Init:");
    test.doc().Devices() = {ChannelConfig("Boiler", 3)};
    test.doc().Elements() = {TagConfig(1, "A/B/T", 3, 1)};
    ASSERT_EQ(test.Init(), 0);
    EXPECT_EQ(Browse(test.opcServer(), {}, OPC_BRANCH),
              (std::vector<std::u16string>{u"Stats", u"A"}));
    EXPECT_EQ(Browse(test.opcServer(), {u"A"}, OPC_BRANCH), (std::vector<std::u16string>{u"B"}));
    EXPECT_EQ(Browse(test.opcServer(), {u"A", u"B"}, OPC_LEAF),
              (std::vector<std::u16string>{u"T"}));
}

// Browsing lists branches in registration order, which shows the field devices' order: the
// order in which the tags first use them.
TEST(Items, FieldDevicesGetStatisticsItemsInTheOrderTagsFirstUseThem) {
    TestServer test("Init:");
    test.doc().Devices() = {ChannelConfig("Line", 0)};
    test.doc().Elements() = {TagConfig(1, "A", 0, 5), TagConfig(2, "B", 0, 2),
                             TagConfig(3, "C", 0, 5)};
    ASSERT_EQ(test.Init(), 0);
    EXPECT_EQ(Browse(test.opcServer(), {u"Stats"}, OPC_BRANCH),
              (std::vector<std::u16string>{u"Line(0)-5", u"Line(0)-2", u"Line(0)"}));
    EXPECT_EQ(
        Browse(test.opcServer(), {u"Stats", u"Line(0)-5"}, OPC_LEAF),
        (std::vector<std::u16string>{u"tx count", u"rx count", u"crcfail count", u"noanswer count",
                                     u"exception count", u"connection", u"Command status"}));
}

TEST(Items, LongChannelNamesAreShortenedToNinetyNineCharacters) {
    TestServer test("Init:");
    const std::string longName(120, 'n');
    test.doc().Devices() = {ChannelConfig(longName, 200)};
    test.doc().Elements() = {TagConfig(1, "T", 200, 201)};
    ASSERT_EQ(test.Init(), 0);
    const std::string shortened = "Stats/" + longName.substr(0, 68) + "(200)";
    // The longest name reaches 99 characters; the channel's other names share its prefix.
    ASSERT_EQ((shortened + "-201/exception count").size(), 99u);
    const std::vector<OPCHANDLE> handles =
        test.AddItems({shortened + "-201/exception count", shortened + "-201/tx count",
                       shortened + "/Connection status"});
    for (OPCHANDLE handle : handles)
        EXPECT_NE(handle, 0u);
}

// The largest configuration: 64 channels of 64 field devices and 10,000 tags register, and
// the last of them publish what a worker leaves.
TEST(Items, TenThousandTagsOnSixtyFourChannelsOfSixtyFourDevicesArePublished) {
    TestServer test("Process:", kvlog::kInfo);
    for (uint8_t c = 0; c < 64; ++c)
        test.doc().Devices().push_back(ChannelConfig("Line" + std::to_string(c), c));
    for (uint32_t i = 0; i < 10000; ++i) {
        test.doc().Elements().push_back(TagConfig(i + 1, "T" + std::to_string(i),
                                                  static_cast<uint8_t>(i % 64),
                                                  static_cast<uint8_t>(1 + (i / 64) % 64)));
        test.doc().Elements().back().m_ucFunction = 3;
    }
    ASSERT_EQ(test.Init(), 0);
    EXPECT_EQ(test.server().handles.SlotCount(), 1025u + (10000 - 513) + (64 * 449 - 412));
    const std::vector<OPCHANDLE> handles = test.AddItems(
        {"T9999", "Stats/Line63(63)-64/tx count", "Stats/Line63(63)/Connection status"});
    for (OPCHANDLE handle : handles)
        ASSERT_NE(handle, 0u);
    test.tables().UpdateTag(9999, [](core::TagRecord& tag) {
        tag.rawValue = 77;
        tag.state = core::kTagFresh;
    });
    test.tables().UpdateStatistics(63, 63, [](core::StatisticsBlock& block) { block.txCount = 5; });
    test.tables().UpdateChannel(
        63, [](core::ChannelRecord& channel) { channel.connectionStatus = 10061; });
    test.StartProcess();
    EXPECT_EQ(test.WaitForValue(handles[0], 77).value.AsDouble(), 77);
    EXPECT_EQ(test.WaitForValue(handles[1], 5).value.AsDouble(), 5);
    EXPECT_EQ(test.WaitForValue(handles[2], 10061).value.AsDouble(), 10061);
}

// --- "send all updates" -----------------------------------------------------------------------

// A group of the test's own with a percent deadband and a recording IOPCDataCallback; client
// handles 1, 2, ... in the order of `names`.
struct WatchedGroup {
    opc_test::ComPtr<IOPCItemMgt> group;
    opc_test::ComPtr<opc_test::DataCallback> sink;
};

WatchedGroup Watch(IOPCServer* server, FLOAT deadband, const std::vector<std::string>& names) {
    WatchedGroup watched;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 50, 1, nullptr, &deadband, 0, &handle, &revised,
                               IID_IOPCItemMgt, watched.group.outUnknown()),
              S_OK);
    for (OPCHANDLE added : opc_test::AddItems(watched.group.get(), names))
        EXPECT_NE(added, 0u);
    watched.sink = opc_test::ComPtr<opc_test::DataCallback>(new opc_test::DataCallback);
    opc_test::ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(watched.group->QueryInterface(IID_IConnectionPointContainer, container.outVoid()),
              S_OK);
    opc_test::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.out()), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback*>(watched.sink.get()), &cookie), S_OK);
    return watched;
}

// The setting decides what a group with a 10 % deadband reports. "Level" is a configured tag
// (range 0 to 1, as every tag is published) scaled by 0.01, so 50 -> 55 stays inside the band
// and 50 -> 61 leaves it. "Marker" changes in the same cache cycle as "Level": the call that
// carries a marker shows what that evaluation made of every other item.
TEST(Items, SendAllUpdatesDecidesWhetherUnchangedValuesAndSmallChangesAreReported) {
    struct Case {
        const char* what;
        bool present;
        uint32_t value;
        bool everyUpdate;  // unchanged values again, and the deadband not applied
    };
    const Case cases[] = {
        {"absent: every update, as before", false, 0, true},
        {"1: every update", true, 1, true},
        {"0: changes only, deadband applied", true, 0, false},
    };
    constexpr OPCHANDLE kVersion = 1, kLevel = 2, kMarker = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer test("LoadConfig:");
        test.doc().Devices() = {ChannelConfig("Boiler", 1)};
        config::opcTagInfo level = TagConfig(1, "Level", 1, 1, VT_R8);
        level.m_aCorrections = {config::CorrectionInfo{2, 1, 0.01}};
        test.doc().Elements() = {level, TagConfig(2, "Marker", 1, 1)};
        if (c.present) test.SetSetting("send all updates", platform::reg::Value::Dword(c.value));
        ASSERT_EQ(test.Init(), 0);
        EXPECT_EQ(test.log().Count(c.present ? "I LoadConfig: setting b_sendallupdates=" +
                                                   std::to_string(c.value)
                                             : "W LoadConfig: cannot load parameter "
                                               "b_sendallupdates, setting b_sendallupdates=1"),
                  1u);
        WatchedGroup watched = Watch(test.opcServer(), 10, {"Server version", "Level", "Marker"});
        test.StartProcess();

        // One cache cycle takes both values; the call that carries the marker, a copy.
        auto store = [&](int32_t levelRaw, int32_t marker) {
            auto fresh = [](int32_t raw) {
                return [raw](core::TagRecord& tag) {
                    tag.rawValue = raw;
                    tag.state = core::kTagFresh;
                };
            };
            std::lock_guard hold(test.tables().CacheLock());
            test.tables().UpdateTag(0, fresh(levelRaw));
            test.tables().UpdateTag(1, fresh(marker));
        };
        auto callWithMarker = [&](double marker) {
            opc_test::CallbackCall found;
            const bool arrived =
                watched.sink->WaitFor([&](const opc_test::DataCallback::Calls& calls) {
                    for (const opc_test::CallbackCall& call : calls) {
                        const opc_test::ItemValue* item = call.Find(kMarker);
                        if (call.kind == opc_test::CallbackCall::DataChange && item &&
                            item->quality == 0xC0 && item->value.AsDouble() == marker) {
                            found = call;
                            return true;
                        }
                    }
                    return false;
                });
            EXPECT_TRUE(arrived) << "no data change with marker " << marker;
            return found;
        };

        store(50, 1);
        const opc_test::CallbackCall first = callWithMarker(1);
        ASSERT_NE(first.Find(kLevel), nullptr);
        EXPECT_DOUBLE_EQ(first.Find(kLevel)->value.AsDouble(), 0.5);

        store(55, 2);
        const opc_test::CallbackCall inside = callWithMarker(2);
        EXPECT_EQ(inside.Find(kVersion) != nullptr, c.everyUpdate) << "Server version again";
        EXPECT_EQ(inside.Find(kLevel) != nullptr, c.everyUpdate) << "50 -> 55";

        store(61, 3);
        const opc_test::CallbackCall outside = callWithMarker(3);
        ASSERT_NE(outside.Find(kLevel), nullptr) << "50 -> 61";
        EXPECT_DOUBLE_EQ(outside.Find(kLevel)->value.AsDouble(), 0.61);
        EXPECT_EQ(outside.Find(kVersion) != nullptr, c.everyUpdate);
        test.StopProcess();
    }
}

}  // namespace
