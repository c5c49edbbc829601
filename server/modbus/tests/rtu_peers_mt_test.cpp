// The RTU test peers against a real master: platform::SerialPort on the port's end of each
// line (mapped to a COM number as the server maps it), plain sockets for the converter. The
// peers serve on threads of their own while the test reads and changes them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus_testing/rtu_peers.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "testing/support.h"

namespace {

using modbus_testing::RtuConverter;
using modbus_testing::RtuFault;
using modbus_testing::RtuFaultSlave;
using modbus_testing::RtuSlave;
using modbus_testing::RtuStep;
using modbus_testing::WithRtuCrc;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr uint32_t kWaitMs = 5000;
// Long enough that no slave on a pty still answers after it; short enough to test silence.
constexpr uint32_t kSilenceMs = 400;
constexpr unsigned kCom = 41;

// The master's end of a peer's line, as COM41.
class Master {
public:
    explicit Master(const std::string& path) {
        platform::reg::SetValue(platform::reg::Hive::CurrentUser, platform::kSerialPortsKey,
                                "COM" + std::to_string(kCom), platform::reg::Value::String(path));
    }
    uint32_t Open() {
        uint32_t error = port.Open(kCom);
        return error != platform::kErrorSuccess ? error : port.Configure({9600});
    }
    // Sends the frame and reads the answer: kWaitMs for its first byte, then up to gapMs
    // between bytes.
    uint32_t Ask(const Bytes& frame, Bytes* answer, uint32_t firstMs = kWaitMs,
                 uint32_t gapMs = 100) {
        size_t count = 0;
        if (uint32_t error = port.Write(frame.data(), frame.size(), kWaitMs, &count)) return error;
        answer->assign(2048, 0);
        uint32_t error = port.Read(answer->data(), answer->size(), firstMs, gapMs, &count);
        answer->resize(count);
        return error;
    }
    Bytes Answer(const Bytes& frame, uint32_t firstMs = kWaitMs) {
        Bytes answer;
        Ask(frame, &answer, firstMs);
        return answer;
    }

    platform::SerialPort port;
};

Bytes Read(uint8_t unit, uint8_t function, uint16_t start, uint16_t count) {
    return WithRtuCrc(
        {unit, function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)});
}

TEST(RtuCrc, IsTheModbusCrcLowByteFirst) {
    // Read of 10 holding registers from 0 of unit 1: the frame every Modbus text shows.
    EXPECT_EQ(WithRtuCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(modbus_testing::RtuCrc(nullptr, 0), 0xFFFF);
}

struct SlaveCase {
    const char* name;
    Bytes request;
    Bytes answer;  // without CRC
};

TEST(RtuSlaveTest, MasterReadsWhatTheTestSetAndTheTestSeesWhatTheMasterWrote) {
    RtuSlave slave;
    ASSERT_TRUE(slave.Plugged());
    slave.SetHolding(0, 0x1234);
    slave.SetHolding(10239, 0xBEEF);
    slave.SetInput(5, 77);
    slave.SetCoil(3, true);
    slave.SetDiscrete(9, true);
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);

    const SlaveCase cases[] = {
        {"holding", Read(1, 3, 0, 2), {1, 3, 4, 0x12, 0x34, 0, 0}},
        {"last holding, unit 247", Read(247, 3, 10239, 1), {247, 3, 2, 0xBE, 0xEF}},
        {"input", Read(2, 4, 5, 1), {2, 4, 2, 0, 77}},
        {"coils", Read(1, 1, 2, 2), {1, 1, 1, 0b10}},
        {"discrete inputs", Read(1, 2, 9, 1), {1, 2, 1, 1}},
        {"beyond the tables", Read(1, 3, 10240, 1), {1, 0x83, 2}},
        {"write register", WithRtuCrc({3, 6, 0, 100, 0xAB, 0xCD}), {3, 6, 0, 100, 0xAB, 0xCD}},
        {"write registers",
         WithRtuCrc({3, 16, 0x27, 0x10, 0, 2, 4, 1, 2, 3, 4}),
         {3, 16, 0x27, 0x10, 0, 2}},
        {"write coil", WithRtuCrc({3, 5, 0, 7, 0xFF, 0}), {3, 5, 0, 7, 0xFF, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(master.Answer(c.request), WithRtuCrc(c.answer));
    }
    EXPECT_EQ(slave.Holding(100), 0xABCD);
    EXPECT_EQ(slave.Holding(10000), 0x0102);
    EXPECT_EQ(slave.Holding(10001), 0x0304);
    EXPECT_TRUE(slave.Coil(7));
    EXPECT_EQ(slave.Requests(), std::size(cases));
}

TEST(RtuSlaveTest, ChosenUnitIgnoresOtherUnitsAndBadCrcsAndTakesBroadcasts) {
    RtuSlave slave(5);
    ASSERT_TRUE(slave.Plugged());
    slave.SetHolding(1, 11);
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    Bytes corrupt = Read(5, 3, 1, 1);
    corrupt.back() ^= 1;
    for (const Bytes& silent : {Read(6, 3, 1, 1), corrupt, WithRtuCrc({0, 6, 0, 1, 0, 22})}) {
        Bytes answer;
        EXPECT_EQ(master.Ask(silent, &answer, kSilenceMs), platform::kErrorTimeout);
        EXPECT_EQ(answer, Bytes{});
    }
    EXPECT_EQ(slave.Holding(1), 22) << "the broadcast write was taken";
    EXPECT_EQ(master.Answer(Read(5, 3, 1, 1)), WithRtuCrc({5, 3, 2, 0, 22}));
    EXPECT_EQ(slave.Requests(), 2u);
}

TEST(RtuSlaveTest, UnplugTakesThePortAwayAndReplugBringsTheSlaveBackOnTheSamePath) {
    testing_support::TempDir folder;
    const std::string path = folder.File("com1");  // where a COM port is mapped to
    RtuSlave slave(modbus_testing::kAnyUnit, path);
    ASSERT_TRUE(slave.Plugged());
    ASSERT_EQ(slave.path(), path);
    slave.SetHolding(0, 5);
    Master master(path);
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    ASSERT_EQ(master.Answer(Read(1, 3, 0, 1)), WithRtuCrc({1, 3, 2, 0, 5}));

    slave.Unplug();
    EXPECT_FALSE(slave.Plugged());
    Bytes answer;
    EXPECT_EQ(master.Ask(Read(1, 3, 0, 1), &answer), platform::kErrorDeviceNotConnected);
    master.port.Close();
    EXPECT_EQ(master.Open(), platform::kErrorFileNotFound);

    slave.SetHolding(0, 6);  // the tables outlive the line
    ASSERT_TRUE(slave.Replug());
    EXPECT_EQ(slave.path(), path);
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    EXPECT_EQ(master.Answer(Read(1, 3, 0, 1)), WithRtuCrc({1, 3, 2, 0, 6}));
    // Closing the port leaves the line as it is, as closing a COM port does.
    master.port.Close();
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    EXPECT_EQ(master.Answer(Read(1, 3, 0, 1)), WithRtuCrc({1, 3, 2, 0, 6}));
    EXPECT_EQ(slave.Requests(), 3u);
}

// Everything that arrives until the peer has been quiet for quietMs (or has closed).
Bytes ReceiveAll(platform::Socket& socket, uint32_t firstMs, uint32_t quietMs = 200) {
    Bytes all;
    uint8_t chunk[300];
    uint32_t wait = firstMs;
    for (;;) {
        size_t received = 0;
        if (socket.Receive(chunk, sizeof(chunk), wait, &received) != 0 || received == 0) break;
        all.insert(all.end(), chunk, chunk + received);
        wait = quietMs;
    }
    return all;
}

Bytes AskOverTcp(platform::Socket& socket, const Bytes& frame) {
    size_t sent = 0;
    EXPECT_EQ(socket.Send(frame.data(), frame.size(), kWaitMs, &sent), 0);
    return ReceiveAll(socket, kWaitMs);
}

TEST(RtuConverterTest, BridgesTcpToTheSerialSlaveAndStopsAndStartsItsTcpSide) {
    RtuConverter converter;
    ASSERT_TRUE(converter.Plugged());
    const uint16_t port = converter.port();
    converter.slave().SetHolding(2, 0x0202);
    platform::Socket client;
    ASSERT_EQ(client.Connect("127.0.0.1", port, kWaitMs), 0);
    EXPECT_EQ(AskOverTcp(client, Read(9, 3, 2, 1)), WithRtuCrc({9, 3, 2, 2, 2}));
    EXPECT_EQ(AskOverTcp(client, WithRtuCrc({9, 6, 0, 3, 0, 33})), WithRtuCrc({9, 6, 0, 3, 0, 33}));
    EXPECT_EQ(converter.slave().Holding(3), 33);

    converter.Stop();
    size_t received = 1;
    uint8_t byte = 0;
    EXPECT_EQ(client.Receive(&byte, 1, kWaitMs, &received), 0);
    EXPECT_EQ(received, 0u) << "the connection was closed";
    platform::Socket refused;
    EXPECT_EQ(refused.Connect("127.0.0.1", port, kWaitMs), platform::kWsaEconnrefused);

    converter.Start();
    EXPECT_EQ(converter.port(), port);
    ASSERT_EQ(client.Connect("127.0.0.1", port, kWaitMs), 0);
    EXPECT_EQ(AskOverTcp(client, Read(9, 3, 3, 1)), WithRtuCrc({9, 3, 2, 0, 33}));
    EXPECT_EQ(converter.Connections(), 2u);
    EXPECT_EQ(converter.slave().Requests(), 3u);
}

struct FaultCase {
    const char* name;
    RtuStep step;
    Bytes answer;  // to the read of holding registers 16 and 17 of unit 9
};

TEST(RtuFaultSlaveTest, EachFaultChangesTheAnswerAsScripted) {
    const Bytes correct = WithRtuCrc({9, 3, 4, 0, 0, 0, 0});
    Bytes badCrc = correct;
    badCrc.back() ^= 0x5A;
    const FaultCase cases[] = {
        {"answer", {RtuFault::kAnswer}, correct},
        {"bad crc", {RtuFault::kBadCrc}, badCrc},
        {"wrong unit", {RtuFault::kWrongUnit}, WithRtuCrc({10, 3, 4, 0, 0, 0, 0})},
        {"wrong function", {RtuFault::kWrongFunction}, WithRtuCrc({9, 4, 4, 0, 0, 0, 0})},
        {"wrong byte count", {RtuFault::kWrongByteCount}, WithRtuCrc({9, 3, 6, 0, 0, 0, 0, 0, 0})},
        {"exception 2", {RtuFault::kException, 2}, WithRtuCrc({9, 0x83, 2})},
        {"exception 4", {RtuFault::kException, 4}, WithRtuCrc({9, 0x83, 4})},
        {"late", {RtuFault::kLate, 0, milliseconds(100)}, correct},
        {"bursts", {RtuFault::kBursts, 0, milliseconds(20)}, correct},
        {"silent", {RtuFault::kSilent}, {}},
    };
    RtuFaultSlave slave;
    ASSERT_TRUE(slave.Plugged());
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        slave.Script({c.step});
        EXPECT_EQ(master.Answer(Read(9, 3, 16, 2), c.answer.empty() ? kSilenceMs : kWaitMs),
                  c.answer);
    }
    EXPECT_EQ(slave.Requests(), std::vector<Bytes>(std::size(cases), Read(9, 3, 16, 2)));
}

TEST(RtuFaultSlaveTest, WritesAreEchoedAndTheScriptFollowsTheRequests) {
    RtuFaultSlave slave;
    ASSERT_TRUE(slave.Plugged());
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    slave.Script({{RtuFault::kSilent}, {RtuFault::kException, 4}});
    const Bytes write = WithRtuCrc({3, 6, 0, 10, 0, 99});
    EXPECT_EQ(master.Answer(write, kSilenceMs), Bytes{});
    EXPECT_EQ(master.Answer(write), WithRtuCrc({3, 0x86, 4}));
    EXPECT_EQ(master.Answer(write), WithRtuCrc({3, 0x86, 4})) << "the last step repeats";
    slave.Script({});
    EXPECT_EQ(master.Answer(write), write);
    const Bytes pair = WithRtuCrc({3, 16, 0x27, 0x10, 0, 2, 4, 1, 2, 3, 4});
    EXPECT_EQ(master.Answer(pair), WithRtuCrc({3, 16, 0x27, 0x10, 0, 2}));
    const auto times = slave.RequestTimes();
    ASSERT_EQ(times.size(), 5u);
    EXPECT_LE(times[0], times[1]);
    EXPECT_GE(times[1] - times[0], milliseconds(kSilenceMs - 50)) << "sent after the silence";
    EXPECT_EQ(slave.Requests()[4], pair);
}

// Bursts keep their order and their pauses: one frame to a reader whose gap is longer than the
// pause, two to one whose gap is shorter. The gaps here are generous; the 30 ms that ends an
// RTU frame is the workers' own test.
TEST(RtuFaultSlaveTest, BurstsCloserThanTheFrameGapAreOneFrameAndWiderOnesSplitIt) {
    RtuFaultSlave slave;
    ASSERT_TRUE(slave.Plugged());
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    const Bytes request = Read(1, 3, 0, 10);
    Bytes whole = {1, 3, 20};
    whole.resize(23, 0);
    whole = WithRtuCrc(whole);

    slave.Script({{RtuFault::kBursts, 0, milliseconds(20), 3}});
    Bytes answer;
    ASSERT_EQ(master.Ask(request, &answer, kWaitMs, 300), platform::kErrorSuccess);
    EXPECT_EQ(answer, whole);

    slave.Script({{RtuFault::kBursts, 0, milliseconds(600), 2}});
    ASSERT_EQ(master.Ask(request, &answer, kWaitMs, 30), platform::kErrorSuccess);
    EXPECT_EQ(answer, Bytes(whole.begin(), whole.begin() + whole.size() / 2));
    Bytes rest(64);
    size_t count = 0;
    ASSERT_EQ(master.port.Read(rest.data(), rest.size(), kWaitMs, 30, &count),
              platform::kErrorSuccess);
    rest.resize(count);
    EXPECT_EQ(rest, Bytes(whole.begin() + whole.size() / 2, whole.end()));
}

TEST(RtuFaultSlaveTest, OversizedAnswerCarriesItsCrcAtTheEnd) {
    RtuFaultSlave slave;
    ASSERT_TRUE(slave.Plugged());
    Master master(slave.path());
    ASSERT_EQ(master.Open(), platform::kErrorSuccess);
    slave.Script({{RtuFault::kOversized, 0, milliseconds(0), 3, 1100}});
    const Bytes answer = master.Answer(Read(1, 3, 0, 2));
    ASSERT_EQ(answer.size(), 1100u);
    Bytes body(answer.begin(), answer.end() - 2);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 3), (Bytes{1, 3, 4}));
    EXPECT_EQ(WithRtuCrc(body), answer);
}

}  // namespace
