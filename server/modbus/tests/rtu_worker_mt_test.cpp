// The RTU serial worker on a pty against a libmodbus slave and a scripted one, and the RTU-over-
// TCP worker against the same slave behind a serial-to-Ethernet converter: polled values,
// writes, the raised mode, frames ended by a gap, a port that goes away and comes back, clocks.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus_testing/rtu_peers.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/system.h"
#include "worker_rig.h"

namespace modbus_test {
namespace {

using modbus_testing::RtuConverter;
using modbus_testing::RtuFault;
using modbus_testing::RtuFaultSlave;
using modbus_testing::RtuSlave;
using modbus_testing::RtuStep;
using modbus_testing::WithRtuCrc;
using std::chrono::milliseconds;

constexpr uint8_t kCom = 41;

// COM41 leads to `path`, as the registry maps ports on POSIX.
void MapPort(const std::string& path) {
    platform::reg::SetValue(platform::reg::Hive::CurrentUser, platform::kSerialPortsKey,
                            "COM" + std::to_string(kCom), platform::reg::Value::String(path));
}

// A rig of the RTU serial worker on COM41.
struct SerialRig : WorkerRig {
    explicit SerialRig(const std::string& path) : WorkerRig(0, kChannelId, 'e') {
        MapPort(path);
        channel().m_ucComPort = kCom;
        channel().m_wTimeout = 300;
    }
};

// A rig of the RTU-over-TCP worker on the converter.
struct ConverterRig : WorkerRig {
    explicit ConverterRig(const RtuConverter& converter)
        : WorkerRig(converter.port(), kChannelId, 'f') {
        channel().m_wTimeout = 300;
    }
};

Bytes Read(uint8_t unit, uint8_t function, uint16_t start, uint16_t count) {
    return WithRtuCrc(
        {unit, function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)});
}

bool IsWrite(const Bytes& frame) {
    return frame.size() >= 2 && (frame[1] == 6 || frame[1] == 16);
}

TEST(RtuSerialWorker, PolledValuesReachTheTagsAndEveryExchangeCounts) {
    RtuSlave slave;
    ASSERT_TRUE(slave.Plugged());
    slave.SetHolding(100, 0x002A);
    slave.SetHolding(101, 0x0100);
    slave.SetCoil(7, true);
    SerialRig rig(slave.path());
    const size_t first = rig.AddTag({.reg = 100});
    const size_t second = rig.AddTag({.reg = 101});
    const size_t coil = rig.AddTag({.function = 1, .reg = 7, .size = 1});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().rxCount >= 4; }));
    EXPECT_EQ(rig.Tag(first).rawValue, 0x2A);
    EXPECT_EQ(rig.Tag(second).rawValue, 0x100);
    EXPECT_EQ(rig.Tag(coil).rawValue, 1);
    EXPECT_EQ(rig.Tag(first).state, core::kTagFresh);
    EXPECT_EQ(rig.Channel().connectionStatus, 0);
    // Read while the worker runs: a worker that ends shows its channel as lost.
    const core::StatisticsBlock block = rig.Statistics();
    EXPECT_TRUE(rig.Stop());
    EXPECT_GE(block.txCount, block.rxCount);
    EXPECT_EQ(block.crcFailCount, 0u);
    EXPECT_EQ(block.connected, 1u);
    EXPECT_GE(rig.LogCount("I WriteData: Plc1 open serial port COM41, baud 9600, stopbits 0, "
                           "parity 0, delays 300"),
              1u);
    EXPECT_EQ(rig.LogCount("I WriteData: Plc1 port COM41 finished normally, device id 1"), 1u);
}

TEST(RtuSerialWorker, AWriteReachesTheSlave) {
    RtuSlave slave;
    SerialRig rig(slave.path());
    const size_t tag = rig.AddTag({.reg = 30});
    rig.PostWrite(core::kCommandWrite16, tag, 0xBEEF);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return slave.Holding(30) == 0xBEEF; }));
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).rawValue == 0xBEEF; }));
    EXPECT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Channel().commandState, core::kCommandIdle);
}

// After a write to field device 3 the rest of the cycle polls field device 3 alone, every
// request of it whatever its priority; the next cycle is the plan again.
TEST(RtuSerialWorker, AWriteRaisesTheWrittenDeviceForTheRestOfTheCycle) {
    RtuFaultSlave slave;
    SerialRig rig(slave.path());
    rig.AddTag({.unit = 1, .function = 3, .reg = 0});
    rig.AddTag({.unit = 1, .function = 4, .reg = 500});
    const size_t written = rig.AddTag({.unit = 3, .function = 3, .reg = 0});
    rig.AddTag({.unit = 3, .function = 4, .reg = 0, .priority = 3});
    rig.PostWrite(core::kCommandWrite16, written, 5);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return slave.Requests().size() >= 7; }));
    EXPECT_TRUE(rig.Stop());
    const std::vector<Bytes> frames = slave.Requests();
    ASSERT_TRUE(IsWrite(frames[0]));
    EXPECT_EQ(frames[0][0], 3);
    const std::vector<Bytes> next(frames.begin() + 1, frames.begin() + 7);
    EXPECT_EQ(next, (std::vector<Bytes>{Read(3, 3, 0, 1), Read(3, 4, 0, 1), Read(1, 3, 0, 1),
                                        Read(1, 4, 500, 1), Read(3, 3, 0, 1), Read(1, 3, 0, 1)}));
    EXPECT_EQ(rig.LogCount("I WriteData: Plc1 raising device 3 requests priority"), 1u);
    EXPECT_EQ(rig.LogCount("I WriteData: Plc1 port COM41 restoring device 3 requests priority"),
              1u);
}

struct GapCase {
    const char* name;
    RtuStep step;
    uint32_t crcFailures;
};

class RtuSerialGaps : public ::testing::TestWithParam<GapCase> {};

// Bursts 20 ms apart are one frame; a 40 ms gap ends the frame, and the rest of the answer is
// discarded by the next transmit rather than taken for the next answer.
TEST_P(RtuSerialGaps, AGapOf30MsEndsTheFrame) {
    const GapCase& c = GetParam();
    RtuFaultSlave slave;
    slave.Script({c.step, RtuStep{}});
    SerialRig rig(slave.path());
    const size_t tag = rig.AddTag({.reg = 10, .size = 32});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().rxCount >= 3; }));
    const core::StatisticsBlock block = rig.Statistics();
    EXPECT_EQ(rig.Tag(tag).state, core::kTagFresh);
    EXPECT_TRUE(rig.Stop());
    EXPECT_EQ(block.crcFailCount, c.crcFailures);
    EXPECT_EQ(block.noAnswerCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, RtuSerialGaps,
    ::testing::Values(
        GapCase{"ThreeBursts20MsApart", {.fault = RtuFault::kBursts, .delay = milliseconds(20)}, 0},
        GapCase{"TwoParts40MsApart",
                {.fault = RtuFault::kBursts, .delay = milliseconds(40), .parts = 2},
                1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RtuSerialWorker, AnOversizedAnswerIsBeepedAtAndJudgedOnTheBufferItFilled) {
    RtuFaultSlave slave;
    slave.Script({{.fault = RtuFault::kOversized, .size = 1100}, RtuStep{}});
    SerialRig rig(slave.path());
    rig.AddTag({.reg = 10});
    std::atomic<int> beeps{0};
    platform::SetBeepHook([&](uint32_t, uint32_t) { ++beeps; });
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().rxCount >= 2; }));
    EXPECT_TRUE(rig.Stop());
    platform::SetBeepHook(nullptr);
    EXPECT_GE(beeps.load(), 1);
    // 1023 of the 1100 bytes: the CRC at the end was never read.
    EXPECT_EQ(rig.Statistics().crcFailCount, 1u);
    EXPECT_GE(rig.LogCount("N WriteData: Plc1 port COM41, Modbus device 1, packet received "
                           "(len=1023)"),
              1u);
}

// A pulled adapter is not the end of the channel: its tags show the loss, the port is opened
// again every retry, and the values come back when the adapter does.
TEST(RtuSerialWorker, APortThatGoesAwayIsOpenedAgainWhenItIsBack) {
    RtuSlave slave;
    slave.SetHolding(5, 77);
    SerialRig rig(slave.path());
    const size_t tag = rig.AddTag({.reg = 5});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).state == core::kTagFresh; }));
    slave.Unplug();
    ASSERT_TRUE(WaitFor([&] { return rig.Channel().connectionStatus > 0; }));
    EXPECT_TRUE(WaitFor([&] { return rig.Statistics().connected == 0; }));
    EXPECT_GE(rig.Tag(tag).faultCount, int32_t{rig.channel().m_ucFailThreshold});
    EXPECT_TRUE(WaitFor([&] {
        return rig.LogCount("E WriteData: Plc1 cannot open serial port COM41, exit.") >= 2;
    }));
    slave.SetHolding(5, 78);
    ASSERT_TRUE(slave.Replug());
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).rawValue == 78; }));
    EXPECT_EQ(rig.Channel().connectionStatus, 0);
    EXPECT_EQ(rig.Tag(tag).state, core::kTagFresh);
    EXPECT_EQ(rig.Statistics().connected, 1u);
    EXPECT_TRUE(rig.Stop());
}

TEST(RtuSerialWorker, ABaudRateThePortCannotTakeIsAPortThatCannotBeOpened) {
    RtuSlave slave;
    SerialRig rig(slave.path());
    rig.channel().m_dwBaudRate = 12345;
    const size_t tag = rig.AddTag({.reg = 5});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] {
        return rig.LogCount("E WriteData: Plc1 cannot open serial port COM41, exit.") >= 2;
    }));
    EXPECT_EQ(rig.Channel().connectionStatus, int32_t{platform::kErrorInvalidParameter});
    EXPECT_GE(rig.Tag(tag).faultCount, int32_t{rig.channel().m_ucFailThreshold});
    EXPECT_TRUE(rig.Stop());
    EXPECT_EQ(slave.Requests(), 0u);
}

struct ForcingCase {
    const char* name;
    uint8_t qualityReset;
    uint8_t state;
};

class RtuSerialForcing : public ::testing::TestWithParam<ForcingCase> {};

// A port that cannot be opened at start shows the platform error; the tags' states are forced
// to a failed poll unless the channel says 10.
TEST_P(RtuSerialForcing, QualityResetDecidesTheStatesAtStart) {
    const ForcingCase& c = GetParam();
    SerialRig rig("/nonexistent/karvex-no-port");
    rig.channel().m_ucQualityReset = c.qualityReset;
    const size_t tag = rig.AddTag({.reg = 5});
    rig.server().tables.UpdateTag(tag, [](core::TagRecord& t) { t.state = core::kTagFresh; });
    rig.Start();
    ASSERT_TRUE(WaitFor(
        [&] { return rig.Channel().connectionStatus == int32_t{platform::kErrorFileNotFound}; }));
    EXPECT_EQ(rig.Tag(tag).state, c.state);
    EXPECT_TRUE(rig.Stop());
}

INSTANTIATE_TEST_SUITE_P(Codes, RtuSerialForcing,
                         ::testing::Values(ForcingCase{"Bad", 0, core::kTagNoFreshValue},
                                           ForcingCase{"NoForcing", 10, core::kTagFresh}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RtuSerialWorker, AWritePendingWhenTheClockFallsDueReachesTheDevice) {
    RtuSlave slave;
    SerialRig rig(slave.path());
    const size_t tag = rig.AddTag({.reg = 3});
    rig.server().tables.AddTimeSync({.channelId = kChannelId, .address = 1, .periodMinutes = 60});
    rig.PostWrite(core::kCommandWrite16, tag, 0x0BAD);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return slave.Holding(10000) != 0; }));
    EXPECT_TRUE(WaitFor([&] { return slave.Holding(3) == 0x0BAD; }));
    EXPECT_TRUE(rig.Stop());
}

TEST(RtuOverTcpWorker, PollsAndA32BitWriteReachesTheSlave) {
    RtuConverter converter;
    ASSERT_TRUE(converter.Plugged());
    converter.slave().SetHolding(40, 0x4242);
    ConverterRig rig(converter);
    const size_t polled = rig.AddTag({.reg = 40});
    const size_t wide = rig.AddTag({.reg = 20, .size = 32});
    rig.PostWrite(core::kCommandWrite32HighWord, wide, 0, 0x12345678);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().commandStatus == 5; }));
    EXPECT_EQ(converter.slave().Holding(20), 0x1234);
    EXPECT_EQ(converter.slave().Holding(21), 0x5678);
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(polled).rawValue == 0x4242; }));
    ASSERT_TRUE(WaitFor([&] { return uint32_t(rig.Tag(wide).rawValue) == 0x12345678u; }));
    EXPECT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Statistics().crcFailCount, 0u);
}

TEST(RtuOverTcpWorker, AConverterThatStopsIsConnectedAgain) {
    RtuConverter converter;
    converter.slave().SetHolding(5, 1);
    ConverterRig rig(converter);
    const size_t tag = rig.AddTag({.reg = 5});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).rawValue == 1; }));
    converter.Stop();
    ASSERT_TRUE(WaitFor([&] { return rig.Channel().connectionStatus > 0; }));
    converter.slave().SetHolding(5, 2);
    converter.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).rawValue == 2; }));
    EXPECT_EQ(rig.Channel().connectionStatus, 0);
    EXPECT_TRUE(rig.Stop());
}

// The clock is set on a serial line and never over TCP, both channels having an entry.
TEST(RtuWorkers, TheClockIsSetOnTheSerialLineOnly) {
    RtuSlave line;
    SerialRig serial(line.path());
    serial.AddTag({.reg = 0});
    serial.server().tables.AddTimeSync(
        {.channelId = kChannelId, .address = 1, .periodMinutes = 60});
    RtuConverter converter;
    ConverterRig overTcp(converter);
    overTcp.AddTag({.reg = 0});
    overTcp.server().tables.AddTimeSync(
        {.channelId = kChannelId, .address = 1, .periodMinutes = 60});
    const std::time_t before = std::time(nullptr);
    serial.Start();
    overTcp.Start();
    ASSERT_TRUE(WaitFor([&] { return line.Holding(10000) != 0; }));
    ASSERT_TRUE(WaitFor([&] { return overTcp.Statistics().rxCount >= 5; }));
    EXPECT_TRUE(serial.Stop());
    EXPECT_TRUE(overTcp.Stop());
    const uint32_t clock = uint32_t(line.Holding(10000)) << 16 | line.Holding(10001);
    // Local standard time: UTC within a day either way.
    EXPECT_LT(std::abs(int64_t(clock) - int64_t(before)), 86400);
    EXPECT_EQ(converter.slave().Holding(10000), 0);
    EXPECT_EQ(converter.slave().Holding(10001), 0);
}

}  // namespace
}  // namespace modbus_test
