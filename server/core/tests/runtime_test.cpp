#include "core/runtime.h"

#include <gtest/gtest.h>

#include "captured_log.h"

namespace {

using core::AttachResult;
using core::ChannelRecord;
using core::GroupEntry;
using core::GroupList;
using core::kInvalidArg;
using core::kOk;
using core::RuntimeTables;

ChannelRecord Channel(const std::string& name, uint8_t id, std::vector<uint8_t> addresses = {}) {
    ChannelRecord channel;
    channel.m_strName = name;
    channel.m_ucID = id;
    for (uint8_t address : addresses)
        channel.fieldDevices.push_back({address, {}});
    return channel;
}

std::vector<uint16_t> Registers(const GroupList& list) {
    std::vector<uint16_t> registers;
    for (const GroupEntry& entry : list)
        registers.push_back(entry.reg);
    return registers;
}

TEST(AddItem, InsertsBetweenTheFirstNeighboursAroundItsRegisterElseAppends) {
    struct Case {
        std::vector<uint16_t> before;
        uint16_t reg;
        std::vector<uint16_t> after;
    };
    const Case cases[] = {
        {{}, 7, {7}},
        {{10}, 5, {10, 5}},
        {{10, 20}, 15, {10, 15, 20}},
        {{10, 20}, 25, {10, 20, 25}},
        {{10, 20}, 5, {10, 20, 5}},
        {{10, 20}, 10, {10, 20, 10}},  // strictly between, so an equal register appends
        {{10, 20}, 20, {10, 20, 20}},
        {{30, 10, 20}, 15, {30, 10, 15, 20}},
        {{10, 20, 10, 20}, 15, {10, 15, 20, 10, 20}},  // the first pair wins
        {{20, 10}, 15, {20, 10, 15}},                  // a falling pair is no gap
    };
    for (const Case& c : cases) {
        GroupList list;
        for (uint16_t reg : c.before)
            list.push_back(GroupEntry{1, 0, 0, reg});
        core::AddItem(&list, GroupEntry{1, 42, 9, c.reg});
        EXPECT_EQ(Registers(list), c.after) << "adding " << c.reg;
        const auto added = std::find_if(list.begin(), list.end(),
                                        [](const GroupEntry& e) { return e.tagIndex == 9; });
        ASSERT_NE(added, list.end());
        EXPECT_EQ(*added, (GroupEntry{1, 42, 9, c.reg}));
    }
}

TEST(RuntimeTables, IndexesAtOrBeyondTheCountAreRefused) {
    RuntimeTables tables;
    ChannelRecord channel;
    core::TagRecord tag;
    core::StatisticsBlock block;
    core::TimeSyncEntry sync;
    core::WriteCommand write;
    const auto touch = [](auto&) {};

    EXPECT_EQ(tables.GetChannel(0, &channel), kInvalidArg);
    EXPECT_EQ(tables.UpdateChannel(0, touch), kInvalidArg);
    EXPECT_EQ(tables.GetTag(0, &tag), kInvalidArg);
    EXPECT_EQ(tables.UpdateTag(0, touch), kInvalidArg);
    EXPECT_EQ(tables.GetStatistics(0, 0, &block), kInvalidArg);
    EXPECT_EQ(tables.UpdateStatistics(0, 0, touch), kInvalidArg);
    EXPECT_EQ(tables.GetTimeSync(0, &sync), kInvalidArg);
    EXPECT_EQ(tables.UpdateTimeSync(0, touch), kInvalidArg);
    EXPECT_EQ(tables.PostWrite(0, write), kInvalidArg);
    EXPECT_EQ(tables.GetWrite(0, &write), kInvalidArg);
    EXPECT_EQ(tables.SetCommandState(0, core::kCommandWrite16), kInvalidArg);

    tables.AddChannel(Channel("A", 1));
    tables.AddTag(core::TagRecord{});
    tables.AddTimeSync(core::TimeSyncEntry{});
    EXPECT_EQ(tables.GetChannel(0, &channel), kOk);
    EXPECT_EQ(tables.GetChannel(1, &channel), kInvalidArg);
    EXPECT_EQ(tables.GetTag(0, &tag), kOk);
    EXPECT_EQ(tables.GetTag(1, &tag), kInvalidArg);
    EXPECT_EQ(tables.GetTimeSync(0, &sync), kOk);
    EXPECT_EQ(tables.GetTimeSync(1, &sync), kInvalidArg);
    EXPECT_EQ(tables.GetStatistics(0, core::kMaxFieldDevices - 1, &block), kOk);
    EXPECT_EQ(tables.GetStatistics(0, core::kMaxFieldDevices, &block), kInvalidArg);
    EXPECT_EQ(tables.GetStatistics(1, 0, &block), kInvalidArg);
    EXPECT_EQ(tables.PostWrite(1, write), kInvalidArg);
    EXPECT_EQ(kInvalidArg, static_cast<int32_t>(0x80070057u));
}

TEST(RuntimeTables, ReadersGetCopiesAndWritersChangeTheStoredRecord) {
    RuntimeTables tables;
    tables.AddChannel(Channel("A", 1));
    tables.AddTag(core::TagRecord{});

    core::TagRecord copy;
    ASSERT_EQ(tables.GetTag(0, &copy), kOk);
    EXPECT_EQ(copy.state, core::kTagNoFreshValue);
    copy.rawValue = 99;
    ASSERT_EQ(tables.GetTag(0, &copy), kOk);
    EXPECT_EQ(copy.rawValue, 0);

    ASSERT_EQ(tables.UpdateTag(0,
                               [](core::TagRecord& t) {
                                   t.rawValue = 5;
                                   t.state = core::kTagFresh;
                               }),
              kOk);
    ASSERT_EQ(tables.GetTag(0, &copy), kOk);
    EXPECT_EQ(copy.rawValue, 5);
    EXPECT_EQ(copy.state, core::kTagFresh);

    ASSERT_EQ(tables.UpdateStatistics(0, 3, [](core::StatisticsBlock& b) { ++b.txCount; }), kOk);
    core::StatisticsBlock block;
    ASSERT_EQ(tables.GetStatistics(0, 3, &block), kOk);
    EXPECT_EQ(block.txCount, 1u);
    ASSERT_EQ(tables.GetStatistics(0, 2, &block), kOk);
    EXPECT_EQ(block, core::StatisticsBlock{});

    ASSERT_EQ(tables.UpdateChannel(0, [](ChannelRecord& c) { c.connectionStatus = 10061; }), kOk);
    ChannelRecord channel;
    ASSERT_EQ(tables.GetChannel(0, &channel), kOk);
    EXPECT_EQ(channel.connectionStatus, 10061);
}

// A later write on another channel never redirects a pending one to its own tag.
TEST(RuntimeTables, WriteSlotsAndTheirTagIndexesArePerChannel) {
    RuntimeTables tables;
    tables.AddChannel(Channel("A", 1));
    tables.AddChannel(Channel("B", 2));

    core::WriteCommand write;
    ASSERT_EQ(tables.GetWrite(0, &write), kOk);
    EXPECT_EQ(write, (core::WriteCommand{core::kCommandIdle, 0, 0, 0}));

    const core::WriteCommand first{core::kCommandWrite16, 0x1234, 0, 7};
    const core::WriteCommand second{core::kCommandWrite32, 0, 0xDEADBEEF, 9};
    ASSERT_EQ(tables.PostWrite(0, first), kOk);
    ASSERT_EQ(tables.PostWrite(1, second), kOk);
    ASSERT_EQ(tables.GetWrite(0, &write), kOk);
    EXPECT_EQ(write, first);
    ASSERT_EQ(tables.GetWrite(1, &write), kOk);
    EXPECT_EQ(write, second);

    ASSERT_EQ(tables.SetCommandState(1, core::kCommandIdle), kOk);
    ChannelRecord channel;
    ASSERT_EQ(tables.GetChannel(1, &channel), kOk);
    EXPECT_EQ(channel.commandState, core::kCommandIdle);
    EXPECT_EQ(channel.writeValue32, 0xDEADBEEFu);

    // A single-register write leaves the 32-bit value alone.
    ASSERT_EQ(tables.PostWrite(1, core::WriteCommand{core::kCommandWrite16, 5, 0, 4}), kOk);
    ASSERT_EQ(tables.GetWrite(1, &write), kOk);
    EXPECT_EQ(write, (core::WriteCommand{core::kCommandWrite16, 5, 0xDEADBEEF, 4}));
}

// Ids and positions differ on purpose: channel id 7 sits at position 0, id 3 at position 1.
TEST(RuntimeTables, LookupsGoByChannelIdNotByPosition) {
    core_test::CapturedLog log("GetModbusDeviceID:");
    RuntimeTables tables(log.handle());
    tables.AddChannel(Channel("Seven", 7, {4, 9}));
    tables.AddChannel(Channel("Three", 3, {11, 12, 13}));
    tables.AddChannel(Channel("Three again", 3, {99}));

    size_t index = 99;
    ASSERT_TRUE(tables.FindChannel(3, &index));
    EXPECT_EQ(index, 1u);
    ASSERT_TRUE(tables.FindChannel(7, &index));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(tables.FindChannel(1, &index));

    struct Case {
        uint8_t channelId, address;
        size_t position;
    };
    const Case cases[] = {
        {7, 4, 0},   {7, 9, 1}, {3, 13, 2}, {3, 12, 1}, {3, 4, 0},  // an address of another channel
        {3, 99, 0},  // the first channel with the id decides
        {7, 200, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tables.GetModbusDeviceID(c.channelId, c.address), c.position)
            << unsigned{c.channelId} << "/" << unsigned{c.address};
    }
    EXPECT_TRUE(log.Messages().empty()) << "an unknown address is silent";

    EXPECT_EQ(tables.GetModbusDeviceID(5, 4), 0u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                  "E GetModbusDeviceID: can't find Modbus device for device 5"});
}

TEST(RuntimeTables, FieldDevicesAttachOncePerAddressAndAtMostSixtyFourPerChannel) {
    RuntimeTables tables;
    tables.AddChannel(Channel("Seven", 7));
    tables.AddChannel(Channel("Zero", 0));
    size_t index = 99;
    EXPECT_EQ(tables.AttachFieldDevice(0, 5, &index), AttachResult::kAdded);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(tables.AttachFieldDevice(0, 2, &index), AttachResult::kAdded);
    EXPECT_EQ(tables.AttachFieldDevice(0, 5, &index), AttachResult::kAlreadyThere);
    EXPECT_EQ(tables.AttachFieldDevice(1, 5, &index), AttachResult::kNoChannel);
    for (uint8_t address = 100; address < 162; ++address) {
        ASSERT_EQ(tables.AttachFieldDevice(0, address, &index), AttachResult::kAdded);
    }
    EXPECT_EQ(tables.AttachFieldDevice(0, 200, &index), AttachResult::kChannelFull);
    EXPECT_EQ(tables.AttachFieldDevice(0, 161, &index), AttachResult::kAlreadyThere);

    ChannelRecord channel;
    ASSERT_EQ(tables.GetChannel(1, &channel), kOk);
    ASSERT_EQ(channel.fieldDevices.size(), core::kMaxFieldDevices);
    EXPECT_EQ(channel.fieldDevices[0].address, 5);
    EXPECT_EQ(channel.fieldDevices[1].address, 2);
    EXPECT_EQ(channel.fieldDevices[63].address, 161);
    ASSERT_EQ(tables.GetChannel(0, &channel), kOk);
    EXPECT_TRUE(channel.fieldDevices.empty());
}

TEST(RuntimeRecords, ChannelsTakeEveryConfiguredFieldAndRuntimeDefaults) {
    core::ConfigDevice device;
    device.m_strName = "Boiler";
    device.m_strAddress = "10.0.0.5";
    device.m_ucSlot = 2;
    device.m_wPort = 1502;
    device.m_ucID = 3;
    device.m_ucFailThreshold = 5;
    device.m_wCyclePause = 11;
    device.m_wTimeout = 700;
    device.m_ucType = 'e';
    device.m_ucComPort = 4;
    device.m_dwBaudRate = 19200;
    device.m_ucStopBits = 2;
    device.m_ucParity = 1;
    device.m_ucDisconnect = 1;
    device.m_wPacketPause = 13;
    device.m_ucQualityReset = 24;

    ChannelRecord expected;
    expected.m_ucType = 'e';
    expected.m_strAddress = "10.0.0.5";
    expected.m_strName = "Boiler";
    expected.m_wPort = 1502;
    expected.m_ucSlot = 2;
    expected.m_ucDisconnect = 1;
    expected.m_ucID = 3;
    expected.m_ucQualityReset = 24;
    expected.m_ucFailThreshold = 5;
    expected.m_wCyclePause = 11;
    expected.m_wPacketPause = 13;
    expected.m_wTimeout = 700;
    expected.m_ucStopBits = 2;
    expected.m_ucParity = 1;
    expected.m_dwBaudRate = 19200;
    expected.m_ucComPort = 4;
    const ChannelRecord channel = core::ChannelFromConfig(device);
    EXPECT_EQ(channel, expected);
    EXPECT_EQ(channel.connectionStatus, -1);
    EXPECT_EQ(channel.commandState, core::kCommandIdle);
    EXPECT_EQ(channel.thread, 0u);
    EXPECT_TRUE(channel.fieldDevices.empty());

    EXPECT_EQ(core::ChannelFromConfig(core::ConfigDevice{}), ChannelRecord{});
}

TEST(RuntimeRecords, TagsTakeEveryConfiguredFieldWithNoFreshValue) {
    core::ConfigTag tag;
    tag.m_dwID = 9;
    tag.m_vtType = 5;
    tag.m_strName = "A/B/T";
    tag.m_strComment = "c";
    tag.m_strShortName = "T";
    tag.m_ucReserved = 7;
    tag.m_ucDeviceNo = 3;
    tag.m_ucDevice = 1;
    tag.m_ucFunction = 4;
    tag.m_dwRegister = 70000;
    tag.m_ucSize = 32;
    tag.m_ucAccess = 1;
    tag.m_ucWriteFunction = 16;
    tag.m_dwWriteRegister = 70002;
    tag.m_ucGroupNo = 4;
    tag.m_ucPriority = 3;
    tag.m_ucDataType = 2;
    tag.m_ucByteOrder = 3;
    tag.m_dwIdentifier = 123456;
    tag.m_dwParentID = 77;
    tag.m_aCorrections = {{1, 2, 0.1}};

    const core::TagRecord record = core::TagFromConfig(core::ConfigTag(tag));
    EXPECT_EQ(record.m_dwID, 9u);
    EXPECT_EQ(record.m_vtType, 5);
    EXPECT_EQ(record.m_strName, "A/B/T");
    EXPECT_EQ(record.m_strComment, "c");
    EXPECT_EQ(record.m_strShortName, "T");
    EXPECT_EQ(record.m_ucReserved, 7);
    EXPECT_EQ(record.m_ucDeviceNo, 3);
    EXPECT_EQ(record.m_ucDevice, 1);
    EXPECT_EQ(record.m_ucFunction, 4);
    EXPECT_EQ(record.m_dwRegister, 70000u);
    EXPECT_EQ(record.m_ucSize, 32);
    EXPECT_EQ(record.m_ucAccess, 1);
    EXPECT_EQ(record.m_ucWriteFunction, 16);
    EXPECT_EQ(record.m_dwWriteRegister, 70002u);
    EXPECT_EQ(record.m_ucGroupNo, 4);
    EXPECT_EQ(record.m_ucPriority, 3);
    EXPECT_EQ(record.m_ucDataType, 2);
    EXPECT_EQ(record.m_ucByteOrder, 3);
    EXPECT_EQ(record.m_dwIdentifier, 123456u);
    EXPECT_EQ(record.m_aCorrections, tag.m_aCorrections);
    EXPECT_EQ(record.state, core::kTagNoFreshValue);
    EXPECT_EQ(record.rawValue, 0);
    EXPECT_EQ(record.faultCount, 0);
    EXPECT_EQ(record.flags, 0u);
}

TEST(RuntimeRecords, TypeTextsOfTheChannelLetters) {
    const std::pair<uint8_t, const char*> cases[] = {
        {'d', "Modbus-TCP"},
        {'e', "Modbus-RTU"},
        {'f', "Modbus-RTU over TCP"},
        {'g', "Remote TCP Client"},
        {'h', "Remote TCP CWT Device"},
        {'i', "Remote TCP Server"},
        {'c', "unknown"},
        {'j', "unknown"},
        {0, "unknown"},
    };
    for (const auto& [type, text] : cases)
        EXPECT_STREQ(core::ChannelTypeText(type), text);
}

}  // namespace
