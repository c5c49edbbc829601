// The Modbus-TCP worker against real peers on loopback: the frames a scripted slave records,
// the statistics and log lines of every kind of answer, writes, clock setting, reconnects.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "modbus_testing/peers.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "worker_rig.h"

namespace modbus_test {
namespace {

using modbus_testing::Fault;
using modbus_testing::FaultSlave;
using modbus_testing::FaultStep;
using modbus_testing::LibmodbusSlave;

// The request frames after the transaction id, which the tests do not predict.
Bytes Body(const Bytes& frame) {
    return Bytes(frame.begin() + 2, frame.end());
}

Bytes ReadBody(uint8_t unit, uint8_t function, uint16_t start, uint16_t count) {
    return {0,
            0,
            0,
            6,
            unit,
            function,
            uint8_t(start >> 8),
            uint8_t(start),
            uint8_t(count >> 8),
            uint8_t(count)};
}

size_t CountFrames(const FaultSlave& slave, const Bytes& body) {
    size_t count = 0;
    for (const Bytes& frame : slave.Requests())
        count += Body(frame) == body ? 1 : 0;
    return count;
}

bool WaitForRequests(const FaultSlave& slave, size_t count) {
    return WaitFor([&] { return slave.Requests().size() >= count; });
}

TEST(TcpWorker, ReadCycleFramesCountUpTheTransactionAndSkipUnit255) {
    FaultSlave slave;
    WorkerRig rig(slave.port());
    for (const uint32_t reg : {10u, 11u, 12u})
        rig.AddTag({.reg = reg});
    rig.AddTag({.unit = 255, .reg = 0});
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 3));
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics(255).noAnswerCount >= 2; }));
    // Read while the worker runs: a worker that ends shows its channel as lost.
    const uint32_t connected = rig.Statistics(1).connected;
    ASSERT_TRUE(rig.Stop());

    const std::vector<Bytes> frames = slave.Requests();
    EXPECT_EQ(frames[0], (Bytes{0, 0, 0, 0, 0, 6, 1, 3, 0, 10, 0, 3}));
    // The unit 255 request takes a transaction id without reaching the wire.
    EXPECT_EQ(frames[1], (Bytes{0, 2, 0, 0, 0, 6, 1, 3, 0, 10, 0, 3}));
    for (const Bytes& frame : frames)
        EXPECT_EQ(frame[6], 1) << "unit 255 went out";
    const core::StatisticsBlock block = rig.Statistics(1);
    EXPECT_GE(block.txCount, frames.size());
    EXPECT_GE(block.rxCount, 2u);
    EXPECT_EQ(connected, 1u);
    EXPECT_EQ(rig.Statistics(255).txCount, 0u);
    EXPECT_GE(rig.log().Count("N WriteData: Plc1 Device 255, skipping transmission "), 2u);
    EXPECT_GE(rig.log().Count("N WriteData: Plc1 Device 255, skipping reception"), 2u);
    EXPECT_EQ(rig.LogCount("WriteData: finished normally, device id 1"), 1u);
    EXPECT_EQ(rig.Channel().connectionStatus, 0);
}

TEST(TcpWorker, TheTransactionIdWrapsAfter65536Requests) {
    FaultSlave slave;
    WorkerRig rig(slave.port());
    rig.AddTag({.reg = 10});
    rig.Start();
    // Copying every recorded frame is not cheap: look a few times a second.
    std::vector<Bytes> frames;
    ASSERT_TRUE(WaitFor(
        [&] {
            platform::SleepMs(200);
            frames = slave.Requests();
            return frames.size() > 65536;
        },
        std::chrono::minutes(3)));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(Bytes(frames[65535].begin(), frames[65535].begin() + 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(frames[65536], frames[0]);
}

struct FaultCase {
    const char* name;
    FaultStep step;
    uint32_t core::StatisticsBlock::*counter;
    const char* line;
    bool drains;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class TcpWorkerFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TcpWorkerFaults, OneFaultyAnswerMovesItsCounterOnly) {
    const FaultCase& fault = GetParam();
    static std::atomic<int> beeps;
    beeps = 0;
    platform::SetBeepHook([](uint32_t frequency, uint32_t duration) {
        beeps += frequency == 1000 && duration == 10 ? 1 : 100;
    });
    FaultSlave slave;
    slave.Script({fault.step, FaultStep{}});
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag({.reg = 4});
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 3));
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(tag).state == core::kTagFresh; }));
    // Read while the worker runs: a worker that ends shows its channel as lost.
    const core::StatisticsBlock block = rig.Statistics();
    ASSERT_TRUE(rig.Stop());
    platform::SetBeepHook(nullptr);

    EXPECT_EQ(block.*fault.counter, 1u);
    const uint32_t faults = block.crcFailCount + block.noAnswerCount + block.exceptionCount;
    EXPECT_EQ(faults, 1u);
    EXPECT_EQ(block.connected, 1u);
    EXPECT_EQ(block.consecutiveFaults, 0u);
    EXPECT_EQ(rig.LogCount(fault.line), 1u);
    EXPECT_EQ(rig.LogCount("Exception occured, waiting for data remnants"), fault.drains ? 1u : 0u);
    EXPECT_EQ(beeps, fault.step.fault == Fault::kException ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TcpWorkerFaults,
    ::testing::Values(
        FaultCase{"Short",
                  {Fault::kShort},
                  &core::StatisticsBlock::crcFailCount,
                  "WriteData: Plc1 response was too short - 5 chars",
                  true},
        FaultCase{"Exception",
                  {Fault::kException, 2},
                  &core::StatisticsBlock::exceptionCount,
                  "WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1, function no 3: error "
                  "(0x80) returned, illegal data address, code=2, start reg=4, num reg=1",
                  true},
        FaultCase{"Transaction",
                  {Fault::kWrongTransaction},
                  &core::StatisticsBlock::noAnswerCount,
                  "packets transaction ID mismatch",
                  true},
        FaultCase{"Unit",
                  {Fault::kWrongUnit},
                  &core::StatisticsBlock::noAnswerCount,
                  "packets mismatch: requested device 1, answered device 2",
                  true},
        FaultCase{"Function",
                  {Fault::kWrongFunction},
                  &core::StatisticsBlock::noAnswerCount,
                  "packets mismatch: requested function 3, answered function 4",
                  true},
        FaultCase{"ByteCount",
                  {Fault::kWrongByteCount},
                  &core::StatisticsBlock::noAnswerCount,
                  "data bytes count expected 2, data bytes count in answer 4",
                  true},
        FaultCase{"Silent",
                  {Fault::kSilent},
                  &core::StatisticsBlock::noAnswerCount,
                  "WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1, function 3 - NO "
                  "ANSWER",
                  false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST(TcpWorker, ThreeSilentAnswersDropTheConnectionFlagAndAGoodOneRaisesIt) {
    FaultSlave slave;
    slave.Script({{Fault::kSilent}});
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag({.reg = 0});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().consecutiveFaults >= 3; }));
    EXPECT_EQ(rig.Statistics().connected, 0u);
    // The third fault is counted after the second has marked the tag.
    EXPECT_EQ(rig.Tag(tag).state, core::kTagNoFreshValue);
    EXPECT_GE(rig.Tag(tag).faultCount, 2);

    slave.Script({});
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().connected == 1; }));
    EXPECT_EQ(rig.Statistics().consecutiveFaults, 0u);
    EXPECT_EQ(rig.Tag(tag).state, core::kTagFresh);
    EXPECT_EQ(rig.Tag(tag).faultCount, 0);
    ASSERT_TRUE(rig.Stop());
}

// Behind a gateway, one field device that is off must not make a live one look lost: silence
// counts per field device. Unit 1 is polled every sixth cycle only, so that unit 2's silent turns
// come in a row between its polls.
TEST(TcpWorker, ASilentDeviceBehindAGatewayLeavesTheOthersGood) {
    LibmodbusSlave gateway;
    gateway.SilenceUnit(2);
    WorkerRig rig(gateway.port());
    rig.channel().m_ucFailThreshold = 2;
    const size_t alive = rig.AddTag({.unit = 1, .reg = 0, .priority = 5});
    rig.AddTag({.unit = 1, .reg = 500, .priority = 5});
    rig.AddTag({.unit = 2, .reg = 0});
    rig.AddTag({.unit = 2, .reg = 500});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(alive).state == core::kTagFresh; }));
    const uint32_t silentBefore = rig.Statistics(2).noAnswerCount;
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics(2).noAnswerCount >= silentBefore + 2; }));
    const core::TagRecord tag = rig.Tag(alive);
    const core::StatisticsBlock live = rig.Statistics(1);
    const core::StatisticsBlock off = rig.Statistics(2);
    ASSERT_TRUE(rig.Stop());

    EXPECT_EQ(tag.state, core::kTagFresh);
    EXPECT_EQ(tag.faultCount, 0);
    EXPECT_EQ(live.connected, 1u);
    EXPECT_EQ(live.consecutiveFaults, 0u);
    EXPECT_EQ(off.connected, 0u);
    EXPECT_GE(off.consecutiveFaults, 2u);
}

// A request that makes the device drop the connection must not starve those behind it.
TEST(TcpWorker, CloseDuringAWaitReconnectsAndGoesOnWithTheNextRequest) {
    FaultSlave slave;
    slave.Script({{Fault::kClose}, {}});
    WorkerRig rig(slave.port());
    rig.AddTag({.reg = 0});
    rig.AddTag({.reg = 500});
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 3));
    ASSERT_TRUE(rig.Stop());

    const std::vector<Bytes> frames = slave.Requests();
    EXPECT_EQ(Body(frames[0]), ReadBody(1, 3, 0, 1));
    EXPECT_EQ(Body(frames[1]), ReadBody(1, 3, 500, 1));
    EXPECT_EQ(Body(frames[2]), ReadBody(1, 3, 0, 1));
    EXPECT_EQ(slave.Connections(), 2u);
    EXPECT_EQ(rig.LogCount("WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1, function 3 "
                           "- NO ANSWER"),
              1u);
    EXPECT_EQ(rig.LogCount("WriteData: Plc1 unexpected close of connection at remote end"), 1u);
    EXPECT_EQ(rig.LogCount("WriteData: Plc1 restarting thread due to possible connection loss "
                           "to device Plc1 (127.0.0.1)"),
              1u);
}

TEST(TcpWorker, DisconnectModeConnectsAfreshForEveryCycle) {
    FaultSlave slave;
    WorkerRig rig(slave.port());
    rig.channel().m_ucDisconnect = 1;
    rig.AddTag({.reg = 0});
    rig.AddTag({.reg = 500});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] {
        return rig.LogCount("WriteData: Plc1 disconnecting from device Plc1 (127.0.0.1)") >= 3;
    }));
    ASSERT_TRUE(rig.Stop());
    // Two requests per connection; the worker may have connected once more before it ended.
    const size_t frames = slave.Requests().size();
    EXPECT_GE(frames, 6u);
    EXPECT_GE(slave.Connections(), frames / 2);
    EXPECT_LE(slave.Connections(), frames / 2 + 1);
}

TEST(TcpWorker, RefusedConnectionShowsTheSocketErrorAndRetries) {
    uint16_t port = 0;
    {
        platform::Listener listener;
        ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
        port = listener.Port();
    }
    WorkerRig rig(port);
    rig.AddTag({.reg = 0});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] {
        return rig.LogCount(
                   "WriteData: Plc1 connecting to device Plc1 (127.0.0.1)... ERROR "
                   "10061") >= 2;
    }));
    EXPECT_EQ(rig.Channel().connectionStatus, 10061);
    ASSERT_TRUE(rig.Stop());
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

class TcpWorkerLinkLoss : public ::testing::TestWithParam<LossCase> {};

// Every tag of the channel reaches the fault threshold, the one its quality turns at, within the
// channel's own settings: threshold x response timeout, never the 10 s connect retry and never a
// fault per request turn.
TEST_P(TcpWorkerLinkLoss, EveryTagReachesTheThresholdWithinTheChannelsTimeouts) {
    constexpr size_t kRequests = 8;
    const LossCase& loss = GetParam();
    FaultSlave silent;
    LibmodbusSlave leaving;
    WorkerRig rig(loss.drop == Drop::kRefuse ? leaving.port() : silent.port());
    rig.channel().m_ucFailThreshold = loss.threshold;
    rig.channel().m_ucDisconnect = loss.disconnect;
    std::vector<size_t> tags;
    for (uint32_t r = 0; r < kRequests; ++r)
        tags.push_back(rig.AddTag({.reg = r * 500}));
    modbus::WorkerTimings timings = FastTimings();
    timings.connectRetryMs = modbus::WorkerTimings{}.connectRetryMs;
    rig.Start(timings);
    const auto all = [&](const std::function<bool(const core::TagRecord&)>& holds) {
        for (const size_t tag : tags) {
            if (!holds(rig.Tag(tag))) return false;
        }
        return true;
    };
    ASSERT_TRUE(
        WaitFor([&] { return all([](const auto& t) { return t.state == core::kTagFresh; }); }));

    const size_t before = silent.Requests().size();
    const auto dropped = std::chrono::steady_clock::now();
    switch (loss.drop) {
        case Drop::kSilent:
            silent.Script({{Fault::kSilent}});
            break;
        case Drop::kClose:
            silent.Script({{Fault::kClose}});
            break;
        case Drop::kRefuse:
            leaving.Stop();
            break;
    }
    // The state a stored value left stays for the cache cycle, which publishes it first.
    const bool shown =
        WaitFor([&] { return all([&](const auto& t) { return t.faultCount >= loss.threshold; }); });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - dropped);
    const core::StatisticsBlock block = rig.Statistics();
    const size_t sent = silent.Requests().size() - before;
    ASSERT_TRUE(shown);
    ASSERT_TRUE(rig.Stop());

    const auto bound = std::chrono::milliseconds(loss.threshold * rig.channel().m_wTimeout + 2000);
    EXPECT_LE(elapsed, bound);
    EXPECT_EQ(block.connected, 0u) << "the lost connection shows no later than the tags";
    EXPECT_GE(block.consecutiveFaults, loss.threshold);
    if (loss.drop == Drop::kSilent) {
        // The threshold's silent turns; perhaps one answered as the script changed, and the
        // next one or two begun meanwhile (a fast slave and a slow machine).
        EXPECT_LE(sent, loss.threshold + 3u);
    } else if (loss.disconnect == 0) {
        EXPECT_GE(block.noAnswerCount, kRequests) << "a broken exchange fails every request";
    }
}

INSTANTIATE_TEST_SUITE_P(Drops, TcpWorkerLinkLoss,
                         ::testing::Values(LossCase{"Silent1", Drop::kSilent, 1, 0},
                                           LossCase{"Silent2", Drop::kSilent, 2, 0},
                                           LossCase{"Silent3", Drop::kSilent, 3, 0},
                                           LossCase{"Close1", Drop::kClose, 1, 0},
                                           LossCase{"Close3", Drop::kClose, 3, 0},
                                           LossCase{"Refuse2", Drop::kRefuse, 2, 0},
                                           LossCase{"Refuse3", Drop::kRefuse, 3, 0},
                                           LossCase{"SilentDisconnecting", Drop::kSilent, 3, 1},
                                           LossCase{"RefuseDisconnecting", Drop::kRefuse, 3, 1}),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return info.param.name;
                         });

TEST(TcpWorker, PolledValuesReachTheTagTable) {
    LibmodbusSlave slave;
    slave.SetHolding(10, 0x1234);
    slave.SetHolding(20, 0x0102);
    slave.SetHolding(21, 0x0304);
    slave.SetCoil(3, true);
    WorkerRig rig(slave.port());
    const size_t word = rig.AddTag({.reg = 10});
    const size_t dword = rig.AddTag({.reg = 20, .size = 32, .byteOrder = 3});
    const size_t coil = rig.AddTag({.function = 1, .reg = 3, .size = 1});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] {
        return rig.Tag(word).state == core::kTagFresh && rig.Tag(dword).state == core::kTagFresh &&
               rig.Tag(coil).state == core::kTagFresh;
    }));
    EXPECT_EQ(rig.Tag(word).rawValue, 0x1234);
    EXPECT_EQ(rig.Tag(dword).rawValue, 0x03040102);
    EXPECT_EQ(rig.Tag(coil).rawValue, 1);

    slave.SetHolding(10, 0x00FF);
    ASSERT_TRUE(WaitFor([&] { return rig.Tag(word).rawValue == 0x00FF; }));
    ASSERT_TRUE(rig.Stop());
}

// 8-bit tags of registers each take one data byte of their request, the byte at their distance
// from its start, and a request never asks for more registers than the protocol allows; an 8-bit
// tag of coils (the configurator's default for coils) takes the byte of coils from its own coil.
TEST(TcpWorker, EightBitTagsOfRegistersAndCoilsGetTheirValues) {
    LibmodbusSlave slave;
    slave.SetHolding(0, 0xA1B2);
    slave.SetHolding(50, 0xC3D4);  // byte 100 of a request from register 0
    slave.SetHolding(200, 0xE5F6);
    for (const uint16_t coil : {7, 9, 10, 11})
        slave.SetCoil(coil, true);
    WorkerRig rig(slave.port());
    const size_t at0 = rig.AddTag({.reg = 0, .size = 8});
    const size_t at100 = rig.AddTag({.reg = 100, .size = 8});
    const size_t at200 = rig.AddTag({.reg = 200, .size = 8});
    const size_t coil7 = rig.AddTag({.function = 1, .reg = 7, .size = 8});
    const size_t coil9 = rig.AddTag({.function = 1, .reg = 9, .size = 8});
    const size_t coil10 = rig.AddTag({.function = 1, .reg = 10, .size = 1});
    rig.Start();
    const std::vector<size_t> tags = {at0, at100, at200, coil7, coil9, coil10};
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(tags.begin(), tags.end(),
                           [&](size_t tag) { return rig.Tag(tag).state == core::kTagFresh; });
    }));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Tag(at0).rawValue, 0xA1);
    EXPECT_EQ(rig.Tag(at100).rawValue, 0xC3);
    EXPECT_EQ(rig.Tag(at200).rawValue, 0xE5);
    EXPECT_EQ(rig.Tag(coil7).rawValue, 1);     // coil 7 alone
    EXPECT_EQ(rig.Tag(coil9).rawValue, 0x03);  // coils 9 and 10, read for the 1-bit tag
    EXPECT_EQ(rig.Tag(coil10).rawValue, 1);
    EXPECT_EQ(rig.LogCount("packets mismatch"), 0u);
    EXPECT_EQ(rig.LogCount("exception"), 0u);
}

// Writes posted before the worker starts are carried out in its first turn.
struct WriteCase {
    const char* name;
    uint8_t state;
    TagSpec tag;
    uint16_t value16;
    uint32_t value32;
    std::vector<FaultStep> script;  // silence at the end: no stored read resets the status
    std::vector<Bytes> frames;      // the first frames, without their transaction ids
    int32_t commandStatus;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

class TcpWorkerWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TcpWorkerWrites, FramesAndCommandStatus) {
    const WriteCase& write = GetParam();
    FaultSlave slave;
    slave.Script(write.script);
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag(write.tag);
    rig.PostWrite(write.state, tag, write.value16, write.value32);
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, write.frames.size()));
    ASSERT_TRUE(WaitFor([&] { return rig.Channel().commandState == core::kCommandIdle; }));
    const std::vector<Bytes> frames = slave.Requests();
    EXPECT_EQ(rig.Statistics(write.tag.unit).commandStatus, write.commandStatus);
    ASSERT_TRUE(rig.Stop());

    for (size_t i = 0; i < write.frames.size(); ++i) {
        EXPECT_EQ(Body(frames[i]), write.frames[i]) << "frame " << i;
    }
}

const TagSpec kHolding{.reg = 5};
const TagSpec kModeRegister{.reg = 0x30};
const TagSpec kLong{.reg = 20, .size = 32};
const TagSpec kLongOneRequest{.reg = 20, .size = 32, .writeFunction = 16};
const TagSpec kLongSwapped{.reg = 20, .size = 32, .writeFunction = 16, .byteOrder = 3};
const TagSpec kHoldingByFunction16{.reg = 5, .writeFunction = 16};
const FaultStep kSilent{Fault::kSilent};

INSTANTIATE_TEST_SUITE_P(
    Commands, TcpWorkerWrites,
    ::testing::Values(
        WriteCase{
            "Single",
            core::kCommandWrite16,
            kHolding,
            0x1234,
            0,
            {{}, kSilent},
            {{0, 0, 0, 6, 1, 6, 0, 5, 0x12, 0x34}, ReadBody(1, 3, 0, 120), ReadBody(1, 3, 5, 1)},
            0},
        WriteCase{"ModeReadingCoils",
                  core::kCommandWrite16,
                  kModeRegister,
                  0x22,
                  0,
                  {{}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 0x30, 0, 0x22}, ReadBody(1, 1, 0, 120)},
                  0},
        WriteCase{"ModeWithoutEmergencyRead",
                  core::kCommandWrite16,
                  kModeRegister,
                  0x10,
                  0,
                  {{}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 0x30, 0, 0x10}, ReadBody(1, 3, 0x30, 1)},
                  0},
        WriteCase{"TwoSteps",
                  core::kCommandWrite32HighWord,
                  kLong,
                  0,
                  0x12345678,
                  {{}, {}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 20, 0x12, 0x34}, {0, 0, 0, 6, 1, 6, 0, 21, 0x56, 0x78}},
                  5},
        WriteCase{"OneRequest",
                  core::kCommandWrite32,
                  kLongOneRequest,
                  0,
                  0x12345678,
                  {{}, kSilent},
                  {{0, 0, 0, 11, 1, 16, 0, 20, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}},
                  0},
        WriteCase{"OneRequestLowWordFirst",
                  core::kCommandWrite32,
                  kLongSwapped,
                  0,
                  0x12345678,
                  {{}, kSilent},
                  {{0, 0, 0, 11, 1, 16, 0, 20, 0, 2, 4, 0x56, 0x78, 0x12, 0x34}},
                  0},
        WriteCase{"IllegalAddress",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kException, 2}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, ReadBody(1, 3, 0, 120)},
                  2},
        WriteCase{"ExecutionFailed",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kException, 4}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, ReadBody(1, 3, 0, 120)},
                  4},
        WriteCase{"OneRegisterByFunction16",
                  core::kCommandWrite16,
                  kHoldingByFunction16,
                  0x1234,
                  0,
                  {{}, kSilent},
                  // No emergency read after a function 16 write: the displaced read follows.
                  {{0, 0, 0, 9, 1, 16, 0, 5, 0, 1, 2, 0x12, 0x34}, ReadBody(1, 3, 5, 1)},
                  0},
        // An answer that is not the write's own confirms nothing: a retry is used.
        WriteCase{"WrongTransactionRetried",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kWrongTransaction}, {}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}},
                  0},
        WriteCase{"WrongUnitRetried",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kWrongUnit}, {}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}},
                  0},
        WriteCase{"WrongFunctionRetried",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kWrongFunction}, {}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}},
                  0},
        WriteCase{"ShortAnswerRetried",
                  core::kCommandWrite16,
                  kHolding,
                  7,
                  0,
                  {{Fault::kShort}, {}, kSilent},
                  {{0, 0, 0, 6, 1, 6, 0, 5, 0, 7}, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}},
                  0}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

struct RoundTripCase {
    const char* name;
    uint8_t size;
    uint8_t writeFunction;
    uint8_t byteOrder;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const RoundTripCase& c, std::ostream* out) {
    *out << c.name;
}

class TcpWorkerRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// What a client writes is what the worker's own read decoding gives back from the device.
TEST_P(TcpWorkerRoundTrip, TheValueWrittenIsTheValueReadBack) {
    const RoundTripCase& c = GetParam();
    LibmodbusSlave slave;
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag(
        {.reg = 20, .size = c.size, .writeFunction = c.writeFunction, .byteOrder = c.byteOrder});
    const bool wide = c.size == 32;
    const uint32_t value = wide ? 0x12345678u : 0x1234u;
    const uint8_t state = !wide                  ? core::kCommandWrite16
                          : c.writeFunction == 6 ? core::kCommandWrite32HighWord
                                                 : core::kCommandWrite32;
    rig.PostWrite(state, tag, static_cast<uint16_t>(value), value);
    rig.Start();
    const bool readBack = WaitFor([&] {
        return rig.Tag(tag).rawValue == static_cast<int32_t>(value) &&
               rig.Channel().commandState == core::kCommandIdle;
    });
    const int32_t status = rig.Statistics().commandStatus;
    ASSERT_TRUE(rig.Stop());
    EXPECT_TRUE(readBack) << std::hex << "read back 0x" << rig.Tag(tag).rawValue << ", registers 0x"
                          << slave.Holding(20) << " 0x" << slave.Holding(21);
    EXPECT_NE(status, 2) << "the write was aborted";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, TcpWorkerRoundTrip,
                         ::testing::Values(RoundTripCase{"Word16", 16, 16, 0},
                                           RoundTripCase{"Order0Function6", 32, 6, 0},
                                           RoundTripCase{"Order1Function6", 32, 6, 1},
                                           RoundTripCase{"Order3Function6", 32, 6, 3},
                                           RoundTripCase{"Order0Function16", 32, 16, 0},
                                           RoundTripCase{"Order1Function16", 32, 16, 1},
                                           RoundTripCase{"Order3Function16", 32, 16, 3}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return info.param.name;
                         });

TEST(TcpWorker, NeverAnsweredWriteIsSentFourTimes) {
    FaultSlave slave;
    slave.Script({kSilent});
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag(kHolding);
    rig.PostWrite(core::kCommandWrite16, tag, 7);
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 7));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(CountFrames(slave, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}), 4u);
    EXPECT_EQ(rig.LogCount("Modbus device 1 command TX failed, retries left: "), 3u);
    EXPECT_EQ(rig.LogCount("WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1 command TX "
                           "failed, aborting TX"),
              1u);
    EXPECT_EQ(rig.Statistics().commandStatus, 2);
}

TEST(TcpWorker, AnUnansweredRequestCostsTheResponseTimeoutAndThePacketPause) {
    using std::chrono::milliseconds;
    constexpr uint16_t kTimeoutMs = 250;
    for (const uint16_t pause : {0, 150}) {
        FaultSlave slave;
        slave.Script({kSilent});
        WorkerRig rig(slave.port());
        rig.channel().m_wTimeout = kTimeoutMs;
        rig.channel().m_wPacketPause = pause;
        rig.AddTag({.reg = 0});
        rig.Start();
        ASSERT_TRUE(WaitForRequests(slave, 3));
        ASSERT_TRUE(rig.Stop());
        const auto times = slave.RequestTimes();
        for (size_t i = 1; i < 3; ++i) {
            const auto gap = times[i] - times[i - 1];
            // Waits never end early; a busy machine may only make them longer.
            EXPECT_GE(gap, milliseconds(kTimeoutMs + pause - 20)) << "pause " << pause;
            EXPECT_LE(gap, milliseconds(kTimeoutMs + pause + 3000)) << "pause " << pause;
        }
    }
}

// The lines about the traffic word for word, since each link words its own.
TEST(TcpWorker, TrafficLinesNameTheDeviceByChannelAndAddress) {
    FaultSlave slave;
    slave.Script({{}, {Fault::kException, 2}, kSilent, {}});
    WorkerRig rig(slave.port());
    rig.AddTag({.reg = 4});
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 5));
    ASSERT_TRUE(rig.Stop());

    const std::string device = "WriteData: Plc1 device Plc1 (127.0.0.1), Modbus device 1, ";
    const std::string failure = "WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1, ";
    const struct {
        std::string line;
        size_t count;
    } expected[] = {
        {"N " + device + "packet sent: 00 00 00 00 00 06 01 03 00 04 00 01 ", 1},
        {"N " + device + "packet received (len=11): 00 00 00 00 00 05 01 03 02 00 00 ", 1},
        {"N " + device + "packet sent: 00 01 00 00 00 06 01 03 00 04 00 01 ", 1},
        {"N " + device + "packet received (len=9): 00 01 00 00 00 03 01 83 02 ", 1},
        {"E " + failure + "function no 3: ERROR", 1},
        {"E " + failure +
             "function no 3: error (0x80) returned, illegal data address, code=2, start reg=4, "
             "num reg=1",
         1},
        {"W WriteData: Plc1 Exception occured, waiting for data remnants", 1},
        // After the exception, and for the silent third request.
        {"W WriteData: Plc1 waiting answer: select - no TCP response received", 2},
        {"W " + failure + "function 3 - NO ANSWER", 1},
        {"N " + device + "packet sent: 00 02 00 00 00 06 01 03 00 04 00 01 ", 1},
        {"N " + device + "packet received (len=11): 00 03 00 00 00 05 01 03 02 00 00 ", 1},
    };
    for (const auto& [line, count] : expected)
        EXPECT_EQ(rig.log().Count(line), count) << line;
    for (const char* line : {"T WriteData: Plc1 tx complete",
                             "T WriteData: Plc1 rx queue waiting finished, queued 1 bytes."}) {
        EXPECT_GE(rig.log().Count(line), 4u) << line;
    }
}

TEST(TcpWorker, WritesThatCannotGoOutAreDropped) {
    struct Case {
        uint8_t state;
        TagSpec tag;
        const char* line;
        int32_t status;
    };
    const Case cases[] = {
        {core::kCommandWrite16,
         {.function = 0, .reg = 5, .channel = 2},
         "WriteData: Plc1 error writing tag T1 to device Plc1 (127.0.0.1)",
         0},
        {core::kCommandWrite32,
         {.function = 0, .reg = 20, .size = 32, .writeFunction = 16, .byteOrder = 2},
         "E WriteData: Plc1 refusing to write tag T1: byte order 2 of a 32-bit value",
         2},
        {core::kCommandWrite32HighWord,
         {.function = 0, .reg = 20, .size = 32, .writeFunction = 6, .byteOrder = 2},
         "E WriteData: Plc1 refusing to write tag T1: byte order 2 of a 32-bit value",
         2},
        {core::kCommandWrite16,
         {.function = 0, .reg = 5, .writeFunction = 5},
         "E WriteData: Plc1 refusing to write tag T1: write function 5",
         2},
        {core::kCommandWrite32,
         {.function = 0, .reg = 20, .size = 32, .writeFunction = 6},
         "E WriteData: Plc1 refusing to write tag T1: write function 6",
         2},
    };
    for (const Case& c : cases) {
        FaultSlave slave;
        slave.Script({kSilent});  // no stored read resets the command status
        WorkerRig rig(slave.port());
        rig.AddTag({.reg = 0});
        const size_t tag = rig.AddTag(c.tag);
        rig.PostWrite(c.state, tag, 7, 7);
        rig.Start();
        ASSERT_TRUE(WaitForRequests(slave, 2));
        ASSERT_TRUE(rig.Stop());
        for (const Bytes& frame : slave.Requests())
            EXPECT_EQ(Body(frame), ReadBody(1, 3, 0, 1));
        EXPECT_EQ(rig.LogCount(c.line), 1u) << c.line;
        EXPECT_EQ(rig.Channel().commandState, core::kCommandIdle);
        if (c.status != 0) {
            EXPECT_EQ(rig.Statistics().commandStatus, c.status);
        }
    }
}

// A failed write's status must not vanish at the next stored read: clients sample it.
TEST(TcpWorker, AnAbortedWritesStatusStaysReadableForASecond) {
    using std::chrono::milliseconds;
    FaultSlave slave;
    slave.Script({{Fault::kException, 2}, {}});
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag(kHolding);
    rig.PostWrite(core::kCommandWrite16, tag, 7);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().commandStatus == 2; }));
    const auto shown = std::chrono::steady_clock::now();
    const uint32_t answered = rig.Statistics().rxCount;
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().commandStatus != 2; }));
    const auto held = std::chrono::steady_clock::now() - shown;
    const core::StatisticsBlock block = rig.Statistics();
    ASSERT_TRUE(rig.Stop());
    // Measured from when the test saw it, which may be a little after it was set.
    EXPECT_GE(held, milliseconds(800));
    EXPECT_EQ(block.commandStatus, -1);
    EXPECT_GT(block.rxCount, answered + 1) << "reads went on meanwhile";
}

// A late exception answer to an earlier read is not the write's refusal: the write is retried,
// not aborted, and its own answer confirms it.
TEST(TcpWorker, ALateExceptionOfAReadNeitherAbortsNorConfirmsTheWrite) {
    FaultSlave slave;
    slave.Script({{Fault::kLateException, 2, std::chrono::milliseconds(450)}, {}});
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag(kHolding);
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 1));
    rig.PostWrite(core::kCommandWrite16, tag, 7);
    const Bytes write = {0, 0, 0, 6, 1, 6, 0, 5, 0, 7};
    ASSERT_TRUE(WaitFor([&] { return CountFrames(slave, write) >= 2; }));
    ASSERT_TRUE(WaitFor([&] { return rig.Statistics().commandStatus == 0; }));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.LogCount("aborting TX"), 0u);
    EXPECT_GE(rig.LogCount("packets transaction ID mismatch"), 1u);
}

// A client that wrote and left: the worker that ends does not leave the write for the next one,
// which may come hours later.
TEST(TcpWorker, AWritePendingWhenTheWorkerEndsIsAborted) {
    FaultSlave slave;
    slave.Script({kSilent});
    WorkerRig rig(slave.port());
    rig.channel().m_wTimeout = 1000;
    const size_t tag = rig.AddTag(kHolding);
    rig.Start();
    ASSERT_TRUE(WaitForRequests(slave, 1));
    rig.PostWrite(core::kCommandWrite16, tag, 7);
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Channel().commandState, core::kCommandIdle);
    EXPECT_EQ(rig.Statistics().commandStatus, 2);
    EXPECT_EQ(CountFrames(slave, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}), 0u);
    EXPECT_EQ(rig.LogCount("Modbus device 1 command TX failed, aborting TX"), 1u);
}

// A channel of write-only tags plans no read, yet its writes and clock settings go out.
TEST(TcpWorker, AChannelWithoutReadsServesWritesAndClockSettings) {
    LibmodbusSlave slave;
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag({.function = 0, .reg = 5});
    rig.server().tables.AddTimeSync({.channelId = kChannelId, .address = 1, .periodMinutes = 60});
    rig.Start();
    // The clock turn ends once its answer is in: a write posted before would be replaced.
    ASSERT_TRUE(WaitFor([&] {
        return slave.Holding(10000) != 0 && rig.Channel().commandState == core::kCommandIdle;
    }));
    rig.PostWrite(core::kCommandWrite16, tag, 0x1234);
    ASSERT_TRUE(WaitFor([&] { return rig.Channel().commandState == core::kCommandIdle; }));
    const int32_t status = rig.Statistics().commandStatus;
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(slave.Holding(5), 0x1234);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slave.Requests(), 2u) << "a write with no displaced read, and no emergency read";
}

// A write for a device that cannot be reached uses its retries on the failed connects and is
// aborted, so it is never sent when the device comes back; a clock setting gives up the same way.
TEST(TcpWorker, FailedConnectsUseUpAPendingCommandsRetries) {
    struct Case {
        uint8_t state;
        const char* line;
        int32_t status;  // 0: none expected
    };
    const Case cases[] = {
        {core::kCommandWrite16,
         "W WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1 command TX failed, aborting "
         "TX",
         2},
        {core::kCommandTimeSync, "W WriteData: Plc1, Modbus device 1 time synchronization FAILED!",
         0},
    };
    for (const Case& c : cases) {
        LibmodbusSlave slave;
        slave.Stop();
        WorkerRig rig(slave.port());
        rig.AddTag({.reg = 0});
        const size_t tag = rig.AddTag(kHolding);
        if (c.state == core::kCommandTimeSync) {
            rig.server().tables.AddTimeSync(
                {.channelId = kChannelId, .address = 1, .periodMinutes = 60});
        }
        rig.PostWrite(c.state, tag, 0x1234);
        rig.Start();
        ASSERT_TRUE(WaitFor([&] { return rig.LogCount(c.line) == 1; })) << c.line;
        EXPECT_EQ(rig.Channel().commandState, core::kCommandIdle);
        EXPECT_EQ(rig.LogCount("Modbus device 1 command TX failed, retries left: "), 3u);
        if (c.status != 0) {
            EXPECT_EQ(rig.Statistics().commandStatus, c.status);
        }
        slave.Start();
        ASSERT_TRUE(WaitFor([&] { return slave.Requests() >= 3; }));
        ASSERT_TRUE(rig.Stop());
        EXPECT_EQ(slave.Holding(5), 0) << "a stale write went out";
        EXPECT_EQ(slave.Holding(10000), 0) << "a clock setting that had given up went out";
    }
}

// A zone 3 hours east of UTC without daylight saving, for the clock-setting tests.
class EastZone {
public:
    EastZone() {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", "<+03>-3", 1);
        tzset();
    }
    ~EastZone() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(TcpWorker, ClockSettingWritesLocalStandardTime) {
    EastZone zone;
    LibmodbusSlave slave;
    WorkerRig rig(slave.port());
    rig.AddTag({.unit = 5, .reg = 0});
    rig.server().tables.AddTimeSync({.channelId = kChannelId, .address = 5, .periodMinutes = 60});
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return slave.Holding(10000) != 0; }));
    ASSERT_TRUE(rig.Stop());
    const int64_t written = int64_t{slave.Holding(10000)} << 16 | slave.Holding(10001);
    EXPECT_NEAR(static_cast<double>(written), static_cast<double>(std::time(nullptr) + 10800), 5);
    EXPECT_EQ(rig.LogCount("WriteData: found time synch params: channel id 1, device no 5, "
                           "delay 60"),
              1u);
}

TEST(TcpWorker, AWritePendingWhenTheClockFallsDueReachesTheDevice) {
    LibmodbusSlave slave;
    WorkerRig rig(slave.port());
    const size_t tag = rig.AddTag({.unit = 5, .reg = 3});
    rig.server().tables.AddTimeSync({.channelId = kChannelId, .address = 5, .periodMinutes = 60});
    rig.PostWrite(core::kCommandWrite16, tag, 0x0BAD);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return slave.Holding(10000) != 0; }));
    EXPECT_TRUE(WaitFor([&] { return slave.Holding(3) == 0x0BAD; }));
    EXPECT_TRUE(rig.Stop());
}

struct ClockCase {
    const char* name;
    uint16_t period;
    std::vector<FaultStep> script;
    size_t cycles;  // read frames to wait for
    size_t writes;  // clock frames expected by then; 0 = one per cycle
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const ClockCase& c, std::ostream* out) {
    *out << c.name;
}

class TcpWorkerClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(TcpWorkerClock, ClockFramesPerCycle) {
    const ClockCase& clock = GetParam();
    FaultSlave slave;
    slave.Script(clock.script);
    WorkerRig rig(slave.port());
    rig.AddTag({.reg = 0});
    rig.server().tables.AddTimeSync(
        {.channelId = kChannelId, .address = 1, .periodMinutes = clock.period});
    rig.Start();
    const Bytes read = ReadBody(1, 3, 0, 1);
    ASSERT_TRUE(WaitFor([&] { return CountFrames(slave, read) >= clock.cycles; }));
    ASSERT_TRUE(rig.Stop());
    size_t writes = 0;
    for (const Bytes& frame : slave.Requests()) {
        if (frame.size() == 17 && frame[7] == 16 && frame[8] == 0x27 && frame[9] == 0x10) ++writes;
    }
    const size_t reads = CountFrames(slave, read);
    if (clock.writes == 0) {
        EXPECT_GE(writes + 1, reads);  // one per cycle; the last cycle may have ended early
    } else {
        EXPECT_EQ(writes, clock.writes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Periods, TcpWorkerClock,
    ::testing::Values(ClockCase{"OncePerPeriod", 60, {}, 4, 1},
                      ClockCase{"EveryCycle", 0, {}, 4, 0},
                      // One try and three retries, then left alone for the period; the reads
                      // after them are answered.
                      ClockCase{
                          "FailingDevice", 60, {kSilent, kSilent, kSilent, kSilent, {}}, 4, 4}),
    [](const ::testing::TestParamInfo<ClockCase>& info) { return info.param.name; });

// One broken exchange is one failed poll of every request: with threshold 3 the tags must not
// show the link-loss quality while the worker waits to connect again.
TEST(TcpWorker, OneBrokenExchangeIsOneFaultNotTheThreshold) {
    FaultSlave slave;
    slave.Script({{}, {}, {Fault::kClose}, {}});
    WorkerRig rig(slave.port());
    rig.channel().m_ucFailThreshold = 3;
    const size_t first = rig.AddTag({.reg = 0});
    const size_t second = rig.AddTag({.reg = 500});
    modbus::WorkerTimings timings = FastTimings();
    timings.lossPauseMs = 3000;  // the window in which the fault counts are looked at
    rig.Start(timings);
    ASSERT_TRUE(WaitFor([&] {
        return rig.LogCount("WriteData: Plc1 unexpected close of connection at remote end") == 1;
    }));
    platform::SleepMs(500);
    const int32_t faults[] = {rig.Tag(first).faultCount, rig.Tag(second).faultCount};
    const uint8_t broken = rig.Tag(first).state;
    const core::StatisticsBlock block = rig.Statistics();
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(faults[0], 1);
    EXPECT_EQ(faults[1], 1);
    // The broken turn's request got no answer; the other one only lost its link.
    EXPECT_EQ(broken, core::kTagNoFreshValue);
    EXPECT_EQ(block.noAnswerCount, 2u);
    EXPECT_EQ(block.consecutiveFaults, 1u);
}

// A broken connection is no answer to the write it carried: a retry is used, and the write is
// sent again on the new connection.
TEST(TcpWorker, AWriteWhoseConnectionBreaksUsesARetry) {
    FaultSlave slave;
    slave.Script({{Fault::kClose}, {}, {}, kSilent});
    WorkerRig rig(slave.port());
    rig.AddTag({.reg = 0});
    const size_t tag = rig.AddTag(kHolding);
    rig.PostWrite(core::kCommandWrite16, tag, 7);
    rig.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.Channel().commandState == core::kCommandIdle; }));
    const int32_t status = rig.Statistics().commandStatus;
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(CountFrames(slave, {0, 0, 0, 6, 1, 6, 0, 5, 0, 7}), 2u);
    EXPECT_EQ(rig.LogCount("WriteData: Plc1 Device Plc1 (127.0.0.1), Modbus device 1 command TX "
                           "failed, retries left: 2"),
              1u);
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace modbus_test
