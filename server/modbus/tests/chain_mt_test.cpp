// The whole chain on real peers: a configuration loaded by core::Init, Modbus-TCP workers
// polling libmodbus (or a scripted slave) over loopback sockets, the cache cycle, and an
// in-process OPC client that reads and writes the items.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../core/tests/config_builders.h"
#include "../../core/tests/server_fixture.h"
#include "modbus/worker.h"
#include "modbus_testing/peers.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace {

using core_test::ChannelConfig;
using core_test::ItemState;
using core_test::TagConfig;
using core_test::TestServer;
using opc_test::Variant;

constexpr WORD kGood = 0xC0;
constexpr uint8_t kUnit = 1;
constexpr uint16_t kCyclePauseMs = 20;  // keeps the poll loop from taking a whole core

modbus::WorkerTimings ShortTimings() {
    modbus::WorkerTimings timings;
    timings.listingDelayMs = 0;
    timings.connectRetryMs = 200;
    timings.lossPauseMs = 50;
    timings.drainFirstMs = 20;
    timings.drainAfterMs = 5;
    return timings;
}

config::opcDeviceInfo TcpChannel(const std::string& name, uint8_t id, uint16_t port) {
    config::opcDeviceInfo channel = ChannelConfig(name, id, 100, "127.0.0.1", port);
    channel.m_wTimeout = 250;
    channel.m_wCyclePause = kCyclePauseMs;
    return channel;
}

config::opcTagInfo PolledTag(uint32_t id, const std::string& name, uint8_t channelId,
                             uint8_t function, uint32_t reg, uint8_t size, uint16_t type) {
    config::opcTagInfo tag = TagConfig(id, name, channelId, kUnit, type);
    tag.m_ucFunction = function;
    tag.m_dwRegister = reg;
    tag.m_dwWriteRegister = reg;
    tag.m_ucSize = size;
    return tag;
}

bool IsTrue(const ItemState& item) {
    return item.value.vt() == VT_BOOL && (*item.value).boolVal == VARIANT_TRUE;
}
bool IsFalse(const ItemState& item) {
    return item.value.vt() == VT_BOOL && (*item.value).boolVal == VARIANT_FALSE;
}

// A server made from its configuration, its channels' workers on threads of their own and the
// cache cycle on another; the workers and the cycle run while serverCount is 1.
class Chain {
public:
    explicit Chain(int logLevel = kvlog::kInfo) : s_("WriteData:", logLevel) {}
    ~Chain() { Stop(); }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    TestServer& s() { return s_; }

    void Start(const modbus::WorkerTimings& timings = ShortTimings()) {
        ASSERT_EQ(s_.Init(), 0);
        core::Server& server = s_.server();
        server.serverCount = 1;
        results_.assign(server.tables.ChannelCount(), -1);
        for (size_t c = 0; c < server.tables.ChannelCount(); ++c) {
            core::ChannelRecord channel;
            ASSERT_EQ(server.tables.GetChannel(c, &channel), core::kOk);
            server.tables.UpdateChannel(c, [](core::ChannelRecord& r) { r.thread = 1; });
            workers_.emplace_back([this, &server, c, id = channel.m_ucID, timings] {
                results_[c] = modbus::RunModbusTcpWorker(&server, id, timings);
            });
        }
        s_.StartProcess(10, false);
    }

    // Ends the cycle, then the workers through their run condition; true when every worker
    // cleared its thread field in time and ended normally.
    bool Stop() {
        if (stopped_) return true;
        stopped_ = true;
        s_.StopProcess();
        s_.server().serverCount = 0;
        bool clean = true;
        for (size_t c = 0; c < s_.tables().ChannelCount(); ++c) {
            clean = WaitUntil([&] { return Channel(c).thread == 0; }) && clean;
        }
        for (std::thread& worker : workers_)
            worker.join();
        for (const int result : results_)
            clean = clean && result == 0;
        return clean;
    }

    core::ChannelRecord Channel(size_t index) {
        core::ChannelRecord channel;
        s_.server().tables.GetChannel(index, &channel);
        return channel;
    }

    // Log lines of the workers that hold every one of the texts.
    size_t LogLines(const std::vector<std::string>& texts) const {
        size_t count = 0;
        for (const std::string& line : s_.log().Messages()) {
            bool all = true;
            for (const std::string& text : texts)
                all = all && line.find(text) != std::string::npos;
            count += all ? 1 : 0;
        }
        return count;
    }

    static bool WaitUntil(const std::function<bool()>& done,
                          unsigned timeoutMs = core_test::kWaitMs) {
        const auto start = std::chrono::steady_clock::now();
        while (!done()) {
            if (testing_support::MsSince(start) > timeoutMs) return false;
            platform::SleepMs(10);
        }
        return true;
    }

private:
    TestServer s_;
    std::vector<std::thread> workers_;
    std::vector<int> results_;  // each worker's own slot
    bool stopped_ = false;
};

// One channel on a libmodbus slave with a 16-bit register scaled by 0.5 (writable), a 16-bit
// register with an offset, a float in two registers (writable with function 16) and a coil.
class ChainTest : public ::testing::Test {
protected:
    static constexpr uint16_t kLevelRegister = 0;
    static constexpr uint16_t kOffsetRegister = 1;
    static constexpr uint16_t kFlowRegister = 2;  // and 3
    static constexpr uint16_t kPumpCoil = 5;
    static constexpr const char* kStats = "Stats/Plc(0)-1";

    void SetUp() override {
        slave_.SetHolding(kLevelRegister, 250);
        slave_.SetHolding(kOffsetRegister, 7);
        SetFlow(12.5f);
        slave_.SetCoil(kPumpCoil, true);

        config::CKarvexOPCCfgDoc& doc = chain_.s().doc();
        doc.Devices() = {TcpChannel("Plc", 0, slave_.port())};
        config::opcTagInfo level = PolledTag(1, "Level", 0, 3, kLevelRegister, 16, VT_R4);
        level.m_aCorrections = {{2, 1, 0.5}};
        level.m_ucAccess = config::kAccessReadWrite;
        config::opcTagInfo offset = PolledTag(2, "Offset", 0, 3, kOffsetRegister, 16, VT_I4);
        offset.m_aCorrections = {{1, 1, 1000}};
        config::opcTagInfo flow = PolledTag(3, "Flow", 0, 3, kFlowRegister, 32, VT_R4);
        flow.m_ucByteOrder = 0;
        flow.m_ucWriteFunction = 16;
        flow.m_ucAccess = config::kAccessReadWrite;
        config::opcTagInfo pump = PolledTag(4, "Pump", 0, 1, kPumpCoil, 1, VT_BOOL);
        doc.Elements() = {level, offset, flow, pump};
    }

    void SetFlow(float value) {
        const uint32_t bits = std::bit_cast<uint32_t>(value);
        slave_.SetHolding(kFlowRegister, static_cast<uint16_t>(bits >> 16));
        slave_.SetHolding(kFlowRegister + 1, static_cast<uint16_t>(bits));
    }

    OPCHANDLE Item(const std::string& name) {
        const OPCHANDLE handle = chain_.s().AddItem(name);
        EXPECT_NE(handle, 0u) << name;
        return handle;
    }
    OPCHANDLE Stat(const std::string& suffix) { return Item(std::string(kStats) + suffix); }
    ItemState WaitForValue(OPCHANDLE handle, double value) {
        return chain_.s().WaitForValue(handle, value, kGood);
    }
    double Number(OPCHANDLE handle) { return chain_.s().Read(handle).value.AsDouble(); }

    modbus_testing::LibmodbusSlave slave_;
    Chain chain_;
};

TEST_F(ChainTest, ClientSeesTheSlavesValuesAndCounters) {
    chain_.Start();
    TestServer& s = chain_.s();
    const OPCHANDLE level = Item("Level"), offset = Item("Offset"), flow = Item("Flow"),
                    pump = Item("Pump");
    const OPCHANDLE tx = Stat("/tx count"), rx = Stat("/rx count"), link = Stat("/connection");
    const OPCHANDLE status = Item("Stats/Plc(0)/Connection status");

    EXPECT_EQ(WaitForValue(level, 125).quality, kGood);
    EXPECT_EQ(WaitForValue(offset, 1007).quality, kGood);
    EXPECT_EQ(WaitForValue(flow, 12.5).quality, kGood);
    const ItemState on = s.WaitFor(
        pump, [](const ItemState& item) { return item.quality == kGood && IsTrue(item); });
    EXPECT_TRUE(IsTrue(on));
    EXPECT_EQ(on.quality, kGood);

    slave_.SetHolding(kLevelRegister, 300);
    slave_.SetCoil(kPumpCoil, false);
    EXPECT_EQ(WaitForValue(level, 150).value.AsDouble(), 150);
    EXPECT_TRUE(IsFalse(s.WaitFor(pump, IsFalse)));

    EXPECT_TRUE(IsTrue(s.WaitFor(link, IsTrue)));
    EXPECT_EQ(s.WaitForValue(status, 0).value.AsDouble(), 0);
    const double txBefore = Number(tx), rxBefore = Number(rx);
    EXPECT_GT(txBefore, 0);
    EXPECT_GT(rxBefore, 0);
    const auto grown = [](double before) {
        return [before](const ItemState& item) { return item.value.AsDouble() > before + 2; };
    };
    EXPECT_GT(s.WaitFor(tx, grown(txBefore)).value.AsDouble(), txBefore + 2);
    EXPECT_GT(s.WaitFor(rx, grown(rxBefore)).value.AsDouble(), rxBefore + 2);
    EXPECT_TRUE(chain_.Stop());
}

TEST_F(ChainTest, PollingResumesByItselfWhenTheSlaveComesBack) {
    chain_.Start();
    TestServer& s = chain_.s();
    const OPCHANDLE level = Item("Level");
    const OPCHANDLE status = Item("Stats/Plc(0)/Connection status");
    ASSERT_EQ(WaitForValue(level, 125).quality, kGood);

    const OPCHANDLE link = Stat("/connection");
    slave_.Stop();
    EXPECT_EQ(s.WaitForValue(status, platform::kWsaEconnrefused).value.AsDouble(),
              platform::kWsaEconnrefused);
    // Failed connects count as failed polls: the tags take the channel's link-loss quality
    // (bad for quality-reset 0) and keep their last value; the field device shows lost.
    const ItemState lost =
        s.WaitFor(level, [](const ItemState& item) { return item.quality == 0x00; });
    EXPECT_EQ(lost.quality, 0x00);
    EXPECT_EQ(lost.value.AsDouble(), 125);
    EXPECT_TRUE(IsFalse(s.WaitFor(link, IsFalse)));
    slave_.SetHolding(kLevelRegister, 90);
    slave_.Start();
    EXPECT_EQ(WaitForValue(level, 45).quality, kGood);
    EXPECT_EQ(s.WaitForValue(status, 0).value.AsDouble(), 0);
    EXPECT_TRUE(IsTrue(s.WaitFor(link, IsTrue)));
    EXPECT_GE(chain_.LogLines({"restarting thread due to possible connection loss"}), 1u);
    EXPECT_TRUE(chain_.Stop());
}

TEST_F(ChainTest, ClientWritesReachTheSlave) {
    chain_.Start();
    TestServer& s = chain_.s();
    const OPCHANDLE level = Item("Level"), flow = Item("Flow");
    const OPCHANDLE command = Stat("/Command status");
    ASSERT_EQ(WaitForValue(level, 125).quality, kGood);
    ASSERT_EQ(WaitForValue(flow, 12.5).quality, kGood);
    const auto shows = [](double value) {
        return [value](const ItemState& item) { return item.value.AsDouble() == value; };
    };
    const double nothingToShow = 255;  // -1 in the low 8 bits

    // The scale of 0.5 is reversed: the register gets twice the value written.
    EXPECT_TRUE(SUCCEEDED(s.Write(level, Variant::R8(60))));
    EXPECT_TRUE(Chain::WaitUntil([&] { return slave_.Holding(kLevelRegister) == 120; }))
        << slave_.Holding(kLevelRegister);
    EXPECT_EQ(s.WaitFor(command, shows(0)).value.AsDouble(), 0);
    EXPECT_EQ(WaitForValue(level, 60).quality, kGood);
    EXPECT_EQ(s.WaitFor(command, shows(nothingToShow)).value.AsDouble(), nothingToShow);

    EXPECT_TRUE(SUCCEEDED(s.Write(flow, Variant::R8(21.5))));
    const uint32_t bits = std::bit_cast<uint32_t>(21.5f);
    EXPECT_TRUE(Chain::WaitUntil([&] {
        return slave_.Holding(kFlowRegister) == (bits >> 16) &&
               slave_.Holding(kFlowRegister + 1) == (bits & 0xFFFF);
    })) << std::hex
        << slave_.Holding(kFlowRegister) << " " << slave_.Holding(kFlowRegister + 1);
    EXPECT_EQ(s.WaitFor(command, shows(0)).value.AsDouble(), 0);
    EXPECT_EQ(WaitForValue(flow, 21.5).quality, kGood);
    EXPECT_TRUE(chain_.Stop());
}

// The quality a channel gives its tags once their reads fail m_ucFailThreshold times in a row.
TEST(ChainLinkLoss, TagsTakeTheChannelsQualityAndRecover) {
    struct Case {
        uint8_t qualityReset;
        WORD quality;
    };
    const Case cases[] = {{0, 0x00}, {1, 0x40}, {2, 0x18}, {10, kGood}};
    modbus_testing::FaultSlave slave;  // answers every read with zeros until scripted otherwise
    Chain chain;
    std::vector<std::string> tags;
    for (uint8_t c = 0; c < std::size(cases); ++c) {
        config::opcDeviceInfo channel = TcpChannel("Line" + std::to_string(c), c, slave.port());
        channel.m_ucQualityReset = cases[c].qualityReset;
        channel.m_ucFailThreshold = 3;
        chain.s().doc().Devices().push_back(channel);
        tags.push_back("Tag" + std::to_string(c));
        config::opcTagInfo tag = PolledTag(c + 1u, tags.back(), c, 3, 0, 16, VT_I4);
        tag.m_aCorrections = {{1, 1, 5}};  // a fresh zero reads 5
        chain.s().doc().Elements().push_back(tag);
    }
    chain.Start();
    TestServer& s = chain.s();
    const auto handles = s.AddItems(tags);
    std::vector<OPCHANDLE> links, noAnswers;
    for (uint8_t c = 0; c < std::size(cases); ++c) {
        const std::string stats =
            "Stats/Line" + std::to_string(c) + "(" + std::to_string(c) + ")-1";
        links.push_back(s.AddItem(stats + "/connection"));
        noAnswers.push_back(s.AddItem(stats + "/noanswer count"));
    }
    for (size_t c = 0; c < std::size(cases); ++c) {
        ASSERT_EQ(s.WaitForValue(handles[c], 5).quality, kGood);
        ASSERT_TRUE(IsTrue(s.WaitFor(links[c], IsTrue)));
    }

    slave.Script({{modbus_testing::Fault::kSilent}});
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(int{cases[c].qualityReset});
        EXPECT_TRUE(IsFalse(s.WaitFor(links[c], IsFalse)));
        // A published count beyond the threshold means a cache cycle has seen the tag fail
        // often enough.
        EXPECT_GE(s.WaitFor(noAnswers[c],
                            [](const ItemState& item) { return item.value.AsDouble() >= 5; })
                      .value.AsDouble(),
                  5);
        const ItemState lost = s.WaitFor(
            handles[c], [&](const ItemState& item) { return item.quality == cases[c].quality; });
        EXPECT_EQ(lost.quality, cases[c].quality);
        EXPECT_EQ(lost.value.AsDouble(), 5) << "the last value stays";
    }

    slave.Script({{modbus_testing::Fault::kAnswer}});
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(int{cases[c].qualityReset});
        EXPECT_EQ(s.WaitForValue(handles[c], 5).quality, kGood);
        EXPECT_TRUE(IsTrue(s.WaitFor(links[c], IsTrue)));
    }
    EXPECT_TRUE(chain.Stop());
}

// How a device drops off: it stops answering, closes every connection it is offered, or
// leaves the network (its connections closed, its port refusing).
enum class Drop { kSilent, kClose, kRefuse };

struct LossCase {
    const char* name;
    Drop drop;
    uint8_t threshold;
    uint8_t disconnect;  // m_ucDisconnect
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const LossCase& c, std::ostream* out) {
    *out << c.name;
}

class ChainLossTime : public ::testing::TestWithParam<LossCase> {};

// The client sees every tag of a device that dropped off with the comm-failure quality within
// the channel's own settings (threshold x response timeout, plus a cache cycle), with the
// channel's workers on their real waits: the 10 s connect retry must not hold it back.
TEST_P(ChainLossTime, TheClientSeesTheLossWithinTheChannelsSettings) {
    constexpr uint32_t kRequests = 8;
    constexpr WORD kCommFailure = 0x18;
    constexpr uint32_t kCacheCycleMs = 10;  // Chain::Start's
    const LossCase& loss = GetParam();
    modbus_testing::FaultSlave silent;
    modbus_testing::LibmodbusSlave leaving;
    Chain chain;
    config::opcDeviceInfo channel =
        TcpChannel("Plc", 0, loss.drop == Drop::kRefuse ? leaving.port() : silent.port());
    channel.m_ucFailThreshold = loss.threshold;
    channel.m_ucQualityReset = 2;
    channel.m_ucDisconnect = loss.disconnect;
    chain.s().doc().Devices() = {channel};
    std::vector<std::string> names;
    for (uint32_t r = 0; r < kRequests; ++r) {
        names.push_back("Tag" + std::to_string(r));
        config::opcTagInfo tag = PolledTag(r + 1, names.back(), 0, 3, r * 500, 16, VT_I4);
        tag.m_aCorrections = {{1, 1, 5}};  // a fresh zero reads 5
        chain.s().doc().Elements().push_back(tag);
    }
    modbus::WorkerTimings timings;
    timings.listingDelayMs = 0;
    chain.Start(timings);
    TestServer& s = chain.s();
    const auto tags = s.AddItems(names);
    const OPCHANDLE link = s.AddItem("Stats/Plc(0)-1/connection");
    for (const OPCHANDLE tag : tags)
        ASSERT_EQ(s.WaitForValue(tag, 5).quality, kGood);
    ASSERT_TRUE(IsTrue(s.WaitFor(link, IsTrue)));

    const auto dropped = std::chrono::steady_clock::now();
    switch (loss.drop) {
        case Drop::kSilent:
            silent.Script({{modbus_testing::Fault::kSilent}});
            break;
        case Drop::kClose:
            silent.Script({{modbus_testing::Fault::kClose}});
            break;
        case Drop::kRefuse:
            leaving.Stop();
            break;
    }
    for (const OPCHANDLE tag : tags) {
        const ItemState lost =
            s.WaitFor(tag, [](const ItemState& item) { return item.quality == kCommFailure; });
        EXPECT_EQ(lost.quality, kCommFailure);
        EXPECT_EQ(lost.value.AsDouble(), 5) << "the last value stays";
    }
    const int64_t elapsed = testing_support::MsSince(dropped);
    // The statistics are written first; a cache cycle may publish them one cycle later.
    EXPECT_TRUE(IsFalse(s.WaitFor(link, IsFalse, 1000)));
    EXPECT_LE(elapsed, loss.threshold * channel.m_wTimeout + kCacheCycleMs + 2000);
    EXPECT_TRUE(chain.Stop());
}

INSTANTIATE_TEST_SUITE_P(Drops, ChainLossTime,
                         ::testing::Values(LossCase{"Silent1", Drop::kSilent, 1, 0},
                                           LossCase{"Silent2", Drop::kSilent, 2, 0},
                                           LossCase{"Silent3", Drop::kSilent, 3, 0},
                                           LossCase{"Close2", Drop::kClose, 2, 0},
                                           LossCase{"Refuse2", Drop::kRefuse, 2, 0},
                                           LossCase{"RefuseDisconnecting3", Drop::kRefuse, 3, 1}),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return info.param.name;
                         });

// A device that refuses the connection: its status item shows the socket error and the worker
// tries again every 10 s.
TEST(ChainRefused, ConnectionStatusShowsTheErrorAndRetriesEveryTenSeconds) {
    uint16_t deadPort = 0;
    {
        modbus_testing::LibmodbusSlave gone;
        deadPort = gone.port();
    }
    Chain chain;
    chain.s().doc().Devices() = {TcpChannel("Far", 0, deadPort)};
    chain.s().doc().Elements() = {PolledTag(1, "Far", 0, 3, 0, 16, VT_I4)};
    modbus::WorkerTimings timings;
    timings.listingDelayMs = 0;
    chain.Start(timings);
    TestServer& s = chain.s();
    const OPCHANDLE status = s.AddItem("Stats/Far(0)/Connection status");

    const std::vector<std::string> line = {"E WriteData: Far connecting to device Far (127.0.0.1)",
                                           "ERROR 10061"};
    ASSERT_TRUE(Chain::WaitUntil([&] { return chain.LogLines(line) >= 1; }));
    const auto first = std::chrono::steady_clock::now();
    EXPECT_EQ(s.WaitForValue(status, platform::kWsaEconnrefused).value.AsDouble(),
              platform::kWsaEconnrefused);
    ASSERT_TRUE(Chain::WaitUntil([&] { return chain.LogLines(line) >= 2; }, 30000));
    const int64_t apart = testing_support::MsSince(first);
    EXPECT_GE(apart, 8000);
    EXPECT_LE(apart, 30000);
    EXPECT_TRUE(chain.Stop());
}

}  // namespace
