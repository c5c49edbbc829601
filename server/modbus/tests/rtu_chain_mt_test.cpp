// The RTU workers seen by an OPC client: a configuration loaded by core::Init with an RTU
// serial channel on a pty and an RTU-over-TCP channel behind a serial-to-Ethernet converter,
// each polling a libmodbus slave, the cache cycle, and an in-process client that reads the
// tags, writes them and watches the statistics items.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../core/tests/config_builders.h"
#include "../../core/tests/server_fixture.h"
#include "modbus/worker.h"
#include "modbus_testing/rtu_peers.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace {

using core_test::ItemState;
using core_test::TestServer;
using modbus_testing::RtuConverter;
using modbus_testing::RtuFault;
using modbus_testing::RtuFaultSlave;
using modbus_testing::RtuSlave;
using opc_test::Variant;

constexpr WORD kGood = 0xC0;
constexpr uint8_t kUnit = 1;
constexpr uint8_t kAbsentUnit = 2;  // the slaves answer unit 1 only: this one stays silent
constexpr uint8_t kSerialType = 'e';
constexpr uint8_t kConverterType = 'f';

// COM<n> leads to `path`, as the registry maps ports on POSIX.
void MapPort(uint8_t com, const std::string& path) {
    platform::reg::SetValue(platform::reg::Hive::CurrentUser, platform::kSerialPortsKey,
                            "COM" + std::to_string(com), platform::reg::Value::String(path));
}

config::opcDeviceInfo SerialChannel(const std::string& name, uint8_t id, uint8_t com) {
    config::opcDeviceInfo channel = core_test::ChannelConfig(name, id, kSerialType);
    channel.m_ucComPort = com;
    channel.m_wTimeout = 300;
    channel.m_wCyclePause = 20;  // keeps the poll loop from taking a whole core
    return channel;
}

config::opcDeviceInfo ConverterChannel(const std::string& name, uint8_t id, uint16_t port) {
    config::opcDeviceInfo channel =
        core_test::ChannelConfig(name, id, kConverterType, "127.0.0.1", port);
    channel.m_wTimeout = 300;
    return channel;
}

config::opcTagInfo HoldingTag(uint32_t id, const std::string& name, uint8_t channelId, uint8_t unit,
                              uint16_t reg) {
    config::opcTagInfo tag = core_test::TagConfig(id, name, channelId, unit, VT_I4);
    tag.m_ucFunction = 3;
    tag.m_dwRegister = reg;
    tag.m_dwWriteRegister = reg;
    tag.m_ucSize = 16;
    tag.m_ucAccess = config::kAccessReadWrite;
    return tag;
}

bool WaitUntil(const std::function<bool()>& done) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (testing_support::MsSince(start) > core_test::kWaitMs) return false;
        platform::SleepMs(10);
    }
    return true;
}

// A server made from its configuration, each channel's worker of its type letter on a thread of
// its own and the cache cycle on another; they run while serverCount is 1.
class RtuChain {
public:
    RtuChain() : s_("WriteData:", kvlog::kInfo) {}
    ~RtuChain() { Stop(); }
    RtuChain(const RtuChain&) = delete;
    RtuChain& operator=(const RtuChain&) = delete;

    TestServer& s() { return s_; }

    void Start() {
        ASSERT_EQ(s_.Init(), 0);
        core::Server& server = s_.server();
        server.serverCount = 1;
        results_.assign(server.tables.ChannelCount(), -1);
        for (size_t c = 0; c < server.tables.ChannelCount(); ++c) {
            core::ChannelRecord channel;
            ASSERT_EQ(server.tables.GetChannel(c, &channel), core::kOk);
            server.tables.UpdateChannel(c, [](core::ChannelRecord& r) { r.thread = 1; });
            workers_.emplace_back([this, &server, c, channel] {
                results_[c] =
                    modbus::RunWorker(&server, channel.m_ucType, channel.m_ucID, Timings(channel));
            });
        }
        s_.StartProcess(10, false);
    }

    // True when every worker ended normally.
    bool Stop() {
        if (stopped_) return true;
        stopped_ = true;
        s_.StopProcess();
        s_.server().serverCount = 0;
        for (std::thread& worker : workers_)
            worker.join();
        bool clean = true;
        for (const int result : results_)
            clean = clean && result == 0;
        return clean;
    }

private:
    // The kind's own waits, but no listing delay and no settling after a connect.
    static modbus::WorkerTimings Timings(const core::ChannelRecord& channel) {
        modbus::WorkerTimings timings = modbus::DefaultTimings(channel.m_ucType);
        timings.listingDelayMs = 0;
        timings.afterConnectMs = 0;
        return timings;
    }

    TestServer s_;
    std::vector<std::thread> workers_;
    std::vector<int> results_;  // each worker's own slot
    bool stopped_ = false;
};

std::function<bool(const ItemState&)> Above(double floor) {
    return [floor](const ItemState& item) { return item.value.AsDouble() > floor; };
}

class RtuChainTest : public ::testing::Test {
protected:
    static constexpr uint8_t kSerialCom = 51;
    static constexpr uint8_t kFaultCom = 52;
    static constexpr uint16_t kLevelRegister = 10;
    static constexpr uint16_t kSetpointRegister = 11;

    void SetUp() override {
        ASSERT_TRUE(burner_.Plugged());
        ASSERT_TRUE(converter_.Plugged());
        ASSERT_TRUE(faulty_.Plugged());
        MapPort(kSerialCom, burner_.path());
        MapPort(kFaultCom, faulty_.path());
        burner_.SetHolding(kLevelRegister, 1234);
        burner_.SetHolding(kSetpointRegister, 40);
        converter_.slave().SetHolding(kLevelRegister, 4321);
        converter_.slave().SetHolding(kSetpointRegister, 60);
        // Every answer of this line has a wrong CRC.
        faulty_.Script({{RtuFault::kBadCrc}});

        config::CKarvexOPCCfgDoc& doc = chain_.s().doc();
        doc.Devices() = {SerialChannel("Burner", 0, kSerialCom),
                         ConverterChannel("Boiler", 1, converter_.port()),
                         SerialChannel("Noisy", 2, kFaultCom)};
        doc.Elements() = {
            HoldingTag(1, "BurnerLevel", 0, kUnit, kLevelRegister),
            HoldingTag(2, "BurnerSetpoint", 0, kUnit, kSetpointRegister),
            HoldingTag(3, "BurnerAbsent", 0, kAbsentUnit, kLevelRegister),
            HoldingTag(4, "BoilerLevel", 1, kUnit, kLevelRegister),
            HoldingTag(5, "BoilerSetpoint", 1, kUnit, kSetpointRegister),
            HoldingTag(6, "BoilerAbsent", 1, kAbsentUnit, kLevelRegister),
            HoldingTag(7, "NoisyLevel", 2, kUnit, kLevelRegister),
        };
    }

    OPCHANDLE Item(const std::string& name) {
        const OPCHANDLE handle = chain_.s().AddItem(name);
        EXPECT_NE(handle, 0u) << name;
        return handle;
    }

    RtuSlave burner_{kUnit};
    RtuConverter converter_{kUnit};
    RtuFaultSlave faulty_;
    RtuChain chain_;
};

TEST_F(RtuChainTest, ClientReadsGoodValuesOfBothChannels) {
    chain_.Start();
    TestServer& s = chain_.s();
    const OPCHANDLE burner = Item("BurnerLevel"), boiler = Item("BoilerLevel");
    EXPECT_EQ(s.WaitForValue(burner, 1234).quality, kGood);
    EXPECT_EQ(s.WaitForValue(boiler, 4321).quality, kGood);

    // Changes on the slaves reach the client: the values are polled, not a first read kept.
    burner_.SetHolding(kLevelRegister, 1500);
    converter_.slave().SetHolding(kLevelRegister, 1600);
    EXPECT_EQ(s.WaitForValue(burner, 1500).value.AsDouble(), 1500);
    EXPECT_EQ(s.WaitForValue(boiler, 1600).value.AsDouble(), 1600);
    EXPECT_EQ(s.WaitForValue(Item("Stats/Burner(0)/Connection status"), 0).quality, kGood);
    EXPECT_EQ(s.WaitForValue(Item("Stats/Boiler(1)/Connection status"), 0).quality, kGood);
    EXPECT_TRUE(chain_.Stop());
}

TEST_F(RtuChainTest, ClientWritesReachTheSlaveOfEachChannel) {
    chain_.Start();
    TestServer& s = chain_.s();
    const OPCHANDLE burner = Item("BurnerSetpoint"), boiler = Item("BoilerSetpoint");
    ASSERT_EQ(s.WaitForValue(burner, 40).quality, kGood);
    ASSERT_EQ(s.WaitForValue(boiler, 60).quality, kGood);

    EXPECT_TRUE(SUCCEEDED(s.Write(burner, Variant::R8(45))));
    EXPECT_TRUE(SUCCEEDED(s.Write(boiler, Variant::R8(65))));
    EXPECT_TRUE(WaitUntil([&] { return burner_.Holding(kSetpointRegister) == 45; }))
        << burner_.Holding(kSetpointRegister);
    EXPECT_TRUE(WaitUntil([&] { return converter_.slave().Holding(kSetpointRegister) == 65; }))
        << converter_.slave().Holding(kSetpointRegister);
    // Read back from the devices, not the client's own value echoed.
    EXPECT_EQ(s.WaitForValue(burner, 45).quality, kGood);
    EXPECT_EQ(s.WaitForValue(boiler, 65).quality, kGood);
    EXPECT_TRUE(chain_.Stop());
}

// Each field device counts its own exchanges: the answering ones tx and rx, a unit nobody
// answers no-answers, a line whose answers are damaged CRC failures.
TEST_F(RtuChainTest, StatisticsItemsCountEachFieldDevicesExchanges) {
    chain_.Start();
    TestServer& s = chain_.s();
    struct Counter {
        const char* item;
        double floor;  // the count must pass it: several polls, not a single one
    };
    const Counter counters[] = {
        {"Stats/Burner(0)-1/tx count", 3},     {"Stats/Burner(0)-1/rx count", 3},
        {"Stats/Burner(0)-2/tx count", 3},     {"Stats/Burner(0)-2/noanswer count", 3},
        {"Stats/Boiler(1)-1/tx count", 3},     {"Stats/Boiler(1)-1/rx count", 3},
        {"Stats/Boiler(1)-2/tx count", 3},     {"Stats/Boiler(1)-2/noanswer count", 3},
        {"Stats/Noisy(2)-1/crcfail count", 3},
    };
    for (const Counter& counter : counters) {
        SCOPED_TRACE(counter.item);
        const ItemState state = s.WaitFor(Item(counter.item), Above(counter.floor));
        EXPECT_GT(state.value.AsDouble(), counter.floor);
    }
    // What failed never counts as answered, and what answered never as failed.
    const char* const zeros[] = {
        "Stats/Burner(0)-1/noanswer count", "Stats/Burner(0)-1/crcfail count",
        "Stats/Burner(0)-2/rx count",       "Stats/Boiler(1)-1/noanswer count",
        "Stats/Boiler(1)-2/rx count",       "Stats/Noisy(2)-1/rx count",
    };
    for (const char* zero : zeros)
        EXPECT_EQ(s.Read(Item(zero)).value.AsDouble(), 0) << zero;
    EXPECT_TRUE(chain_.Stop());
}

}  // namespace
