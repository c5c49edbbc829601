// The test peers against real clients: a libmodbus master for the libmodbus slave, raw sockets
// for the fault slave. Both peers serve on threads of their own while the test reads and
// changes them.

#include <gtest/gtest.h>
#include <modbus.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/framing.h"
#include "modbus_testing/peers.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "testing/support.h"

namespace {

using modbus_testing::Fault;
using modbus_testing::FaultSlave;
using modbus_testing::FaultStep;
using modbus_testing::LibmodbusSlave;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWaitMs = 5000;

// A libmodbus master connected to the slave's port, closed at destruction.
class Master {
public:
    explicit Master(uint16_t port, int unit = 1) : context_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(context_, unit);
        modbus_set_response_timeout(context_, kWaitMs / 1000, 0);
    }
    ~Master() {
        modbus_close(context_);
        modbus_free(context_);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool Connect() { return modbus_connect(context_) == 0; }
    modbus_t* operator->() const { return context_; }
    operator modbus_t*() const { return context_; }

private:
    modbus_t* context_;
};

TEST(LibmodbusSlaveTest, MasterReadsWhatTheTestSetAndTheTestSeesWhatTheMasterWrote) {
    LibmodbusSlave slave;
    ASSERT_NE(slave.port(), 0);
    slave.SetHolding(0, 0x1234);
    slave.SetHolding(10239, 0xBEEF);
    slave.SetInput(5, 77);
    slave.SetCoil(3, true);
    slave.SetDiscrete(9, true);

    Master master(slave.port());
    ASSERT_TRUE(master.Connect());
    uint16_t words[2] = {};
    ASSERT_EQ(modbus_read_registers(master, 0, 2, words), 2);
    EXPECT_EQ(words[0], 0x1234);
    EXPECT_EQ(words[1], 0);
    ASSERT_EQ(modbus_read_registers(master, 10239, 1, words), 1);
    EXPECT_EQ(words[0], 0xBEEF);
    ASSERT_EQ(modbus_read_input_registers(master, 5, 1, words), 1);
    EXPECT_EQ(words[0], 77);
    uint8_t bits[2] = {};
    ASSERT_EQ(modbus_read_bits(master, 2, 2, bits), 2);
    EXPECT_EQ(bits[0], 0);
    EXPECT_EQ(bits[1], 1);
    ASSERT_EQ(modbus_read_input_bits(master, 9, 1, bits), 1);
    EXPECT_EQ(bits[0], 1);

    ASSERT_EQ(modbus_write_register(master, 100, 0xABCD), 1);
    EXPECT_EQ(slave.Holding(100), 0xABCD);
    const uint16_t pair[2] = {0x0102, 0x0304};
    ASSERT_EQ(modbus_write_registers(master, 10000, 2, pair), 2);
    EXPECT_EQ(slave.Holding(10000), 0x0102);
    EXPECT_EQ(slave.Holding(10001), 0x0304);
    ASSERT_EQ(modbus_write_bit(master, 7, 1), 1);
    EXPECT_TRUE(slave.Coil(7));
    EXPECT_EQ(slave.Requests(), 8u);
}

TEST(LibmodbusSlaveTest, AnswersEveryUnitIdAndRefusesAddressesBeyondItsTables) {
    LibmodbusSlave slave;
    slave.SetHolding(4, 44);
    for (int unit : {1, 2, 64, 247}) {
        Master master(slave.port(), unit);
        ASSERT_TRUE(master.Connect());
        uint16_t word = 0;
        EXPECT_EQ(modbus_read_registers(master, 4, 1, &word), 1) << "unit " << unit;
        EXPECT_EQ(word, 44) << "unit " << unit;
    }
    Master master(slave.port());
    ASSERT_TRUE(master.Connect());
    uint16_t word = 0;
    EXPECT_EQ(modbus_read_registers(master, 10240, 1, &word), -1);
    EXPECT_EQ(errno, EMBXILADD);
}

TEST(LibmodbusSlaveTest, ServesSeveralMastersAtOnce) {
    LibmodbusSlave slave;
    slave.SetHolding(1, 11);
    Master first(slave.port());
    Master second(slave.port());
    ASSERT_TRUE(first.Connect());
    ASSERT_TRUE(second.Connect());
    uint16_t word = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(modbus_read_registers(second, 1, 1, &word), 1);
        ASSERT_EQ(modbus_read_registers(first, 1, 1, &word), 1);
    }
    EXPECT_EQ(word, 11);
    EXPECT_EQ(slave.Requests(), 6u);
}

TEST(LibmodbusSlaveTest, StopClosesConnectionsAndStartServesAgainOnTheSamePort) {
    LibmodbusSlave slave;
    const uint16_t port = slave.port();
    slave.SetHolding(0, 5);
    Master master(port);
    ASSERT_TRUE(master.Connect());
    uint16_t word = 0;
    ASSERT_EQ(modbus_read_registers(master, 0, 1, &word), 1);

    slave.Stop();
    EXPECT_EQ(modbus_read_registers(master, 0, 1, &word), -1);
    platform::Socket probe;
    EXPECT_EQ(probe.Connect("127.0.0.1", port, kWaitMs), platform::kWsaEconnrefused);

    slave.SetHolding(0, 6);  // the tables outlive a stop
    slave.Start();
    EXPECT_EQ(slave.port(), port);
    modbus_close(master);
    ASSERT_TRUE(master.Connect());
    ASSERT_EQ(modbus_read_registers(master, 0, 1, &word), 1);
    EXPECT_EQ(word, 6);
}

// Modbus-TCP frames as the engine sends them.
Bytes ReadFrame(uint16_t transaction, uint8_t unit, uint8_t function, uint16_t start,
                uint16_t count) {
    return modbus::Frame(modbus::Framing::kTcp, transaction,
                         modbus::ReadPdu(unit, function, start, count));
}

Bytes WriteFrame(uint16_t transaction, uint8_t unit, uint8_t function, uint16_t reg,
                 uint16_t value) {
    return modbus::Frame(modbus::Framing::kTcp, transaction,
                         modbus::WriteSinglePdu(unit, function, reg, value));
}

void Send(platform::Socket& socket, const Bytes& frame) {
    size_t sent = 0;
    ASSERT_EQ(socket.Send(frame.data(), frame.size(), kWaitMs, &sent), 0);
    ASSERT_EQ(sent, frame.size());
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

struct CorrectCase {
    const char* name;
    Bytes request;
    Bytes answer;
};

TEST(FaultSlaveTest, AnswersCorrectlyWithoutAScript) {
    const CorrectCase cases[] = {
        {"coils, 10 -> 2 bytes", ReadFrame(1, 3, 1, 0, 10), {0, 1, 0, 0, 0, 5, 3, 1, 2, 0, 0}},
        {"discrete inputs, 8 -> 1 byte", ReadFrame(2, 3, 2, 0, 8), {0, 2, 0, 0, 0, 4, 3, 2, 1, 0}},
        {"holding, 2 -> 4 bytes",
         ReadFrame(0x1234, 9, 3, 16, 2),
         {0x12, 0x34, 0, 0, 0, 7, 9, 3, 4, 0, 0, 0, 0}},
        {"input, 1 -> 2 bytes", ReadFrame(4, 1, 4, 0, 1), {0, 4, 0, 0, 0, 5, 1, 4, 2, 0, 0}},
        {"holding, count 0 refused", ReadFrame(5, 1, 3, 0, 0), {0, 5, 0, 0, 0, 3, 1, 0x83, 3}},
        {"write single register echoed",
         WriteFrame(6, 2, 6, 0x10, 0xABCD),
         {0, 6, 0, 0, 0, 6, 2, 6, 0, 0x10, 0xAB, 0xCD}},
        {"write single coil echoed",
         WriteFrame(7, 2, 5, 1, 0xFF00),
         {0, 7, 0, 0, 0, 6, 2, 5, 0, 1, 0xFF, 0}},
        {"write registers echoed without the data",
         modbus::Frame(modbus::Framing::kTcp, 8,
                       modbus::WriteDoublePdu(2, 16, 10000, Bytes{1, 2, 3, 4}.data())),
         {0, 8, 0, 0, 0, 6, 2, 16, 0x27, 0x10, 0, 2}},
        {"unknown function refused", WriteFrame(9, 2, 7, 0, 0), {0, 9, 0, 0, 0, 3, 2, 0x87, 1}},
    };
    FaultSlave slave;
    platform::Socket client;
    ASSERT_EQ(client.Connect("127.0.0.1", slave.port(), kWaitMs), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Send(client, c.request);
        EXPECT_EQ(ReceiveAll(client, kWaitMs), c.answer);
    }
    EXPECT_EQ(slave.Requests().size(), std::size(cases));
    EXPECT_EQ(slave.Connections(), 1u);
}

struct FaultCase {
    const char* name;
    FaultStep step;
    Bytes answer;  // to the read of holding registers 16 and 17 of unit 9, transaction 0x1234
    bool closes = false;
};

TEST(FaultSlaveTest, EachFaultChangesTheAnswerAsScripted) {
    const Bytes correct = {0x12, 0x34, 0, 0, 0, 7, 9, 3, 4, 0, 0, 0, 0};
    const FaultCase cases[] = {
        {"answer", {Fault::kAnswer}, correct},
        {"short", {Fault::kShort}, {0x12, 0x34, 0, 0, 0}},
        {"exception", {Fault::kException, 2}, {0x12, 0x34, 0, 0, 0, 3, 9, 0x83, 2}},
        {"wrong transaction",
         {Fault::kWrongTransaction},
         {0x12, 0x35, 0, 0, 0, 7, 9, 3, 4, 0, 0, 0, 0}},
        {"wrong unit", {Fault::kWrongUnit}, {0x12, 0x34, 0, 0, 0, 7, 10, 3, 4, 0, 0, 0, 0}},
        {"wrong function", {Fault::kWrongFunction}, {0x12, 0x34, 0, 0, 0, 7, 9, 4, 4, 0, 0, 0, 0}},
        {"wrong byte count",
         {Fault::kWrongByteCount},
         {0x12, 0x34, 0, 0, 0, 9, 9, 3, 6, 0, 0, 0, 0, 0, 0}},
        {"late", {Fault::kLate, 0, std::chrono::milliseconds(100)}, correct},
        {"silent", {Fault::kSilent}, {}},
        {"close", {Fault::kClose}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultSlave slave;
        slave.Script({c.step});
        platform::Socket client;
        ASSERT_EQ(client.Connect("127.0.0.1", slave.port(), kWaitMs), 0);
        const Bytes request = ReadFrame(0x1234, 9, 3, 16, 2);
        Send(client, request);
        // A silent slave is heard out for a second; every other answer comes well within it.
        EXPECT_EQ(ReceiveAll(client, c.answer.empty() ? 1000 : kWaitMs), c.answer);
        EXPECT_EQ(slave.Requests(), std::vector<Bytes>{request});
        size_t received = 1;
        uint8_t byte = 0;
        int result = client.Receive(&byte, 1, c.closes ? kWaitMs : 0, &received);
        if (c.closes) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(received, 0u) << "the slave closed the connection";
        } else {
            EXPECT_EQ(result, platform::kWsaEtimedout) << "the connection stays open";
        }
    }
}

TEST(FaultSlaveTest, LateAnswerWaitsForItsDelay) {
    FaultSlave slave;
    slave.Script({{Fault::kLate, 0, std::chrono::milliseconds(600)}});
    platform::Socket client;
    ASSERT_EQ(client.Connect("127.0.0.1", slave.port(), kWaitMs), 0);
    const auto start = std::chrono::steady_clock::now();
    Send(client, ReadFrame(1, 1, 3, 0, 1));
    EXPECT_EQ(client.WaitReadable(150), platform::kWsaEtimedout);
    EXPECT_EQ(client.WaitReadable(kWaitMs), 0);
    EXPECT_GE(testing_support::MsSince(start), 590);
}

TEST(FaultSlaveTest, StepsFollowTheRequestsAcrossConnectionsAndTheLastRepeats) {
    FaultSlave slave;
    slave.Script({{Fault::kAnswer}, {Fault::kClose}, {Fault::kException, 4}});
    platform::Socket client;
    ASSERT_EQ(client.Connect("127.0.0.1", slave.port(), kWaitMs), 0);
    Send(client, ReadFrame(1, 1, 4, 0, 1));
    EXPECT_EQ(ReceiveAll(client, kWaitMs), (Bytes{0, 1, 0, 0, 0, 5, 1, 4, 2, 0, 0}));
    Send(client, ReadFrame(2, 1, 4, 0, 1));
    EXPECT_EQ(ReceiveAll(client, kWaitMs), Bytes{}) << "closed";

    ASSERT_EQ(client.Connect("127.0.0.1", slave.port(), kWaitMs), 0);
    for (uint16_t transaction : {3, 4}) {
        Send(client, ReadFrame(transaction, 1, 4, 0, 1));
        EXPECT_EQ(ReceiveAll(client, kWaitMs),
                  (Bytes{0, static_cast<uint8_t>(transaction), 0, 0, 0, 3, 1, 0x84, 4}));
    }
    // Two frames in one segment are two requests.
    Bytes both = ReadFrame(5, 1, 3, 0, 1);
    Bytes second = ReadFrame(6, 1, 3, 0, 1);
    both.insert(both.end(), second.begin(), second.end());
    slave.Script({});
    Send(client, both);
    EXPECT_EQ(ReceiveAll(client, kWaitMs),
              (Bytes{0, 5, 0, 0, 0, 5, 1, 3, 2, 0, 0, 0, 6, 0, 0, 0, 5, 1, 3, 2, 0, 0}));

    const auto requests = slave.Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[1], ReadFrame(2, 1, 4, 0, 1));
    EXPECT_EQ(requests[5], second);
    EXPECT_EQ(slave.Connections(), 2u);
}

}  // namespace
