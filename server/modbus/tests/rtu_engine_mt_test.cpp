// The engine's RTU paths on a scripted in-memory link, where a pty adds nothing: the frames with
// their CRC, write retries and command statuses of the RTU serial worker and of RTU over TCP.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../src/link.h"
#include "modbus_testing/rtu_peers.h"
#include "worker_rig.h"

namespace modbus_test {
namespace {

using modbus_testing::WithRtuCrc;

// What the far end does with a frame: its answer, or nothing.
using Responder = std::function<std::optional<Bytes>(const Bytes& frame)>;

struct Wire {
    std::mutex lock;
    Responder respond;
    std::vector<Bytes> sent;
    std::deque<Bytes> answers;

    std::vector<Bytes> Sent() {
        std::lock_guard hold(lock);
        return sent;
    }
};

class ScriptedLink final : public modbus::Link {
public:
    explicit ScriptedLink(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {}
    int Open(uint32_t) override { return 0; }
    void Close() override {}
    intptr_t Handle() const override { return 0; }
    int Send(const std::vector<uint8_t>& frame, uint32_t, size_t* sent) override {
        std::optional<Bytes> answer = wire_->respond(frame);
        std::lock_guard hold(wire_->lock);
        wire_->sent.push_back(frame);
        if (answer) wire_->answers.push_back(*answer);
        *sent = frame.size();
        return 0;
    }
    modbus::ReceiveStatus Receive(uint8_t* buffer, size_t capacity, uint32_t,
                                  size_t* received) override {
        std::unique_lock hold(wire_->lock);
        if (wire_->answers.empty()) {
            hold.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            *received = 0;
            return modbus::ReceiveStatus::kTimeout;
        }
        const Bytes answer = wire_->answers.front();
        wire_->answers.pop_front();
        *received = std::min(capacity, answer.size());
        std::copy_n(answer.begin(), *received, buffer);
        return modbus::ReceiveStatus::kData;
    }

private:
    std::shared_ptr<Wire> wire_;
};

bool IsRead(const Bytes& frame) {
    return frame.size() == 8 && frame[1] >= 1 && frame[1] <= 4;
}

// Every register (or coil) read as zero, with the byte count of the request.
Bytes ReadAnswer(const Bytes& frame) {
    const unsigned count = frame[4] << 8 | frame[5];
    const unsigned bytes = frame[1] <= 2 ? (count + 7) / 8 : count * 2;
    Bytes answer{frame[0], frame[1], uint8_t(bytes)};
    answer.resize(3 + bytes, 0);
    return WithRtuCrc(answer);
}

Bytes Echo(const Bytes& frame) {
    return WithRtuCrc(Bytes(frame.begin(), frame.begin() + 6));
}

Bytes Exception(const Bytes& frame, uint8_t code) {
    return WithRtuCrc({frame[0], uint8_t(frame[1] | 0x80), code});
}

// The rig's channel of type `type` on a scripted link; `respond` answers each frame.
class ScriptedChannel {
public:
    ScriptedChannel(uint8_t type, Responder respond)
        : rig(0, kChannelId, type), wire_(std::make_shared<Wire>()) {
        wire_->respond = std::move(respond);
        rig.channel().m_ucComPort = 7;
    }
    void Start() {
        modbus::Profile profile = *modbus::ProfileOf(rig.channel().m_ucType);
        profile.timings = FastTimings();
        profile.makeLink = [wire = wire_](const core::ChannelRecord&, const modbus::AnswerLog&) {
            return std::make_unique<ScriptedLink>(wire);
        };
        rig.StartWith([profile](core::Server* server, uint8_t channelId) {
            return modbus::RunEngine(server, channelId, profile);
        });
    }
    std::vector<Bytes> Sent() { return wire_->Sent(); }
    std::vector<Bytes> Writes() {
        std::vector<Bytes> writes;
        for (const Bytes& frame : Sent()) {
            if (!IsRead(frame)) writes.push_back(frame);
        }
        return writes;
    }

    WorkerRig rig;

private:
    std::shared_ptr<Wire> wire_;
};

struct SilenceCase {
    const char* name;
    uint8_t type;
    size_t frames;  // one try and the retry budget
    const char* abortLine;
};

class RtuEngineSilence : public ::testing::TestWithParam<SilenceCase> {};

TEST_P(RtuEngineSilence, AnUnansweredWriteUsesUpTheRetriesThenAborts) {
    const SilenceCase& c = GetParam();
    ScriptedChannel channel(c.type, [](const Bytes& frame) -> std::optional<Bytes> {
        if (IsRead(frame)) return ReadAnswer(frame);
        return std::nullopt;
    });
    const size_t tag = channel.rig.AddTag({.unit = 1, .reg = 10});
    channel.rig.PostWrite(core::kCommandWrite16, tag, 0x1234);
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().commandStatus == 2; }));
    EXPECT_TRUE(channel.rig.Stop());
    const Bytes write = WithRtuCrc({1, 6, 0, 10, 0x12, 0x34});
    EXPECT_EQ(channel.Writes(), std::vector<Bytes>(c.frames, write));
    EXPECT_EQ(channel.rig.LogCount(c.abortLine), 1u);
    EXPECT_EQ(channel.rig.Channel().commandState, core::kCommandIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RtuEngineSilence,
    ::testing::Values(
        SilenceCase{"Serial", 'e', 6,
                    "W WriteData: Plc1 port COM7, Modbus device 1 command TX failed, aborting TX"},
        SilenceCase{"OverTcp", 'f', 4,
                    "W WriteData: Plc1 Device Plc1, Modbus device 1 command TX failed, aborting "
                    "TX"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ExceptionCase {
    const char* name;
    uint8_t type;
    uint8_t code;
    int32_t status;
};

class RtuEngineExceptions : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(RtuEngineExceptions, AnExceptionToAWriteAbortsItAtOnce) {
    const ExceptionCase& c = GetParam();
    ScriptedChannel channel(c.type, [&c](const Bytes& frame) -> std::optional<Bytes> {
        return IsRead(frame) ? ReadAnswer(frame) : Exception(frame, c.code);
    });
    const size_t tag = channel.rig.AddTag({.unit = 1, .reg = 10});
    channel.rig.PostWrite(core::kCommandWrite16, tag, 7);
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().commandStatus == c.status; }));
    // Reads go on after the write; none of them carries it again.
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().rxCount >= 3; }));
    EXPECT_TRUE(channel.rig.Stop());
    EXPECT_EQ(channel.Writes().size(), 1u);
    EXPECT_EQ(channel.rig.Statistics().exceptionCount, 1u);
}

INSTANTIATE_TEST_SUITE_P(Codes, RtuEngineExceptions,
                         ::testing::Values(ExceptionCase{"SerialIllegalAddress", 'e', 2, 2},
                                           ExceptionCase{"SerialDeviceFailure", 'e', 4, 4},
                                           ExceptionCase{"OverTcpIllegalAddress", 'f', 2, 2},
                                           ExceptionCase{"OverTcpDeviceFailure", 'f', 4, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

class RtuEngineKinds : public ::testing::TestWithParam<uint8_t> {};

TEST_P(RtuEngineKinds, A32BitWriteByFunction6IsTwoFramesWithStatus8Then5) {
    std::vector<int32_t> statusAtWrites;
    ScriptedChannel* self = nullptr;
    ScriptedChannel channel(GetParam(), [&](const Bytes& frame) -> std::optional<Bytes> {
        if (IsRead(frame)) return ReadAnswer(frame);
        statusAtWrites.push_back(self->rig.Statistics().commandStatus);
        return Echo(frame);
    });
    self = &channel;
    const size_t tag = channel.rig.AddTag({.unit = 1, .reg = 20, .size = 32});
    channel.rig.PostWrite(core::kCommandWrite32HighWord, tag, 0, 0x12345678);
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().commandStatus == 5; }));
    EXPECT_TRUE(channel.rig.Stop());
    EXPECT_EQ(channel.Writes(), (std::vector<Bytes>{WithRtuCrc({1, 6, 0, 20, 0x12, 0x34}),
                                                    WithRtuCrc({1, 6, 0, 21, 0x56, 0x78})}));
    ASSERT_EQ(statusAtWrites.size(), 2u);
    EXPECT_EQ(statusAtWrites[1], 8);
}

TEST_P(RtuEngineKinds, ACrcFailureCountsAndFailsTheReadsTags) {
    ScriptedChannel channel(GetParam(), [](const Bytes& frame) -> std::optional<Bytes> {
        Bytes answer = ReadAnswer(frame);
        answer.back() ^= 0xFF;
        return answer;
    });
    const size_t tag = channel.rig.AddTag({.unit = 1, .reg = 10});
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().crcFailCount >= 2; }));
    EXPECT_TRUE(channel.rig.Stop());
    const core::StatisticsBlock block = channel.rig.Statistics();
    EXPECT_EQ(block.rxCount, 0u);
    EXPECT_EQ(block.connected, 0u);
    EXPECT_EQ(channel.rig.Tag(tag).state, core::kTagNoFreshValue);
    EXPECT_GE(channel.rig.Tag(tag).faultCount, 2);
    EXPECT_GE(channel.rig.LogCount("E WriteData: Plc1 port COM7, device 1 function no 3: CRC check "
                                   "FAILED"),
              2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RtuEngineKinds, ::testing::Values('e', 'f'), [](const auto& info) {
    return std::string(info.param == 'e' ? "Serial" : "OverTcp");
});

TEST(RtuEngine, RtuOverTcpNamesItsChecksAsModbusTcpAndItsCrcByPort) {
    ScriptedChannel channel('f', [](const Bytes& frame) -> std::optional<Bytes> {
        Bytes answer = ReadAnswer(frame);
        answer[0] = 9;  // another unit
        return WithRtuCrc(Bytes(answer.begin(), answer.end() - 2));
    });
    channel.rig.AddTag({.unit = 1, .reg = 10});
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().noAnswerCount >= 1; }));
    EXPECT_TRUE(channel.rig.Stop());
    EXPECT_GE(channel.rig.LogCount("N WriteData: Plc1 received packet (len=7) OK"), 1u);
    EXPECT_GE(channel.rig.LogCount("T WriteData: Plc1 port COM7, device 1 function no 3: CRC check "
                                   "OK"),
              1u);
    EXPECT_GE(channel.rig.LogCount("E WriteData: Plc1 packets mismatch: requested device 1, "
                                   "answered device 9"),
              1u);
}

struct LineCase {
    uint8_t stopBits;
    uint8_t parity;
    platform::StopBits lineStopBits;
    platform::Parity lineParity;
};

TEST(RtuEngine, TheChannelsCodesGiveTheLineSettings) {
    const LineCase cases[] = {
        {1, 0, platform::StopBits::One, platform::Parity::None},
        {2, 2, platform::StopBits::Two, platform::Parity::Even},
        {1, 1, platform::StopBits::One, platform::Parity::Odd},
        {3, 3, platform::StopBits::One, platform::Parity::None},  // mark: none
        {0, 4, platform::StopBits::One, platform::Parity::None},  // space: none
    };
    for (const LineCase& c : cases) {
        core::ChannelRecord channel;
        channel.m_ucStopBits = c.stopBits;
        channel.m_ucParity = c.parity;
        channel.m_dwBaudRate = 19200;
        const platform::SerialSettings line = modbus::SerialLineSettings(channel);
        EXPECT_EQ(line.stopBits, c.lineStopBits) << int{c.stopBits};
        EXPECT_EQ(line.parity, c.lineParity) << int{c.parity};
        EXPECT_EQ(line.dataBits, 8);
        EXPECT_EQ(line.baudRate, 19200u);
    }
}

// An exception frame with a wrong CRC is line noise, not the device's refusal: it counts as a CRC
// failure and the write is tried again instead of being aborted.
TEST_P(RtuEngineKinds, AnExceptionWithABadCrcIsNoRefusal) {
    int writes = 0;
    ScriptedChannel channel(GetParam(), [&](const Bytes& frame) -> std::optional<Bytes> {
        if (IsRead(frame)) return ReadAnswer(frame);
        if (writes++ > 0) return Echo(frame);
        Bytes answer = Exception(frame, 2);
        answer.back() ^= 0xFF;
        return answer;
    });
    const size_t tag = channel.rig.AddTag({.unit = 1, .reg = 10});
    channel.rig.PostWrite(core::kCommandWrite16, tag, 7);
    channel.Start();
    ASSERT_TRUE(WaitFor([&] { return channel.rig.Statistics().rxCount >= 3; }));
    EXPECT_TRUE(channel.rig.Stop());
    const core::StatisticsBlock block = channel.rig.Statistics();
    EXPECT_EQ(block.crcFailCount, 1u);
    EXPECT_EQ(block.exceptionCount, 0u);
    EXPECT_EQ(block.commandStatus, 0);
    EXPECT_EQ(channel.Writes().size(), 2u);
}

struct OrderCase {
    const char* name;
    uint8_t order;
    Bytes value;
};

class RtuOverTcpOrders : public ::testing::TestWithParam<OrderCase> {};

// One function 16 frame carries the value in the byte order the read side decodes.
TEST_P(RtuOverTcpOrders, AOneRequest32BitWriteCarriesTheOrdersBytes) {
    const OrderCase& c = GetParam();
    ScriptedChannel channel('f', [](const Bytes& frame) -> std::optional<Bytes> {
        return IsRead(frame) ? ReadAnswer(frame) : Echo(frame);
    });
    const size_t tag = channel.rig.AddTag(
        {.unit = 1, .reg = 20, .size = 32, .writeFunction = 16, .byteOrder = c.order});
    channel.rig.PostWrite(core::kCommandWrite32, tag, 0, 0x12345678);
    channel.Start();
    ASSERT_TRUE(WaitFor([&] {
        return !channel.Writes().empty() &&
               channel.rig.Channel().commandState == core::kCommandIdle;
    }));
    EXPECT_TRUE(channel.rig.Stop());
    Bytes pdu{1, 16, 0, 20, 0, 2, 4};
    pdu.insert(pdu.end(), c.value.begin(), c.value.end());
    ASSERT_EQ(channel.Writes().size(), 1u);
    EXPECT_EQ(channel.Writes()[0], WithRtuCrc(pdu));
    EXPECT_EQ(channel.rig.Statistics().commandStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, RtuOverTcpOrders,
                         ::testing::Values(OrderCase{"O1234", 0, {0x12, 0x34, 0x56, 0x78}},
                                           OrderCase{"O4321", 1, {0x78, 0x56, 0x34, 0x12}},
                                           OrderCase{"O3412", 3, {0x56, 0x78, 0x12, 0x34}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A port that opens but fails every operation (a driver that errs on an open handle).
class FailingPort final : public modbus::Link {
public:
    explicit FailingPort(std::atomic<int>* opens) : opens_(opens) {}
    int Open(uint32_t) override {
        ++*opens_;
        return 0;
    }
    void Close() override {}
    intptr_t Handle() const override { return 0; }
    int Send(const std::vector<uint8_t>& frame, uint32_t, size_t* sent) override {
        *sent = frame.size();
        return 0;
    }
    modbus::ReceiveStatus Receive(uint8_t*, size_t, uint32_t, size_t* received) override {
        *received = 0;
        return modbus::ReceiveStatus::kLost;
    }

private:
    std::atomic<int>* opens_;
};

// With the serial worker's own waits, such a port is opened again once per retry period, not in
// a loop that spins and floods the log.
TEST(RtuEngine, APortThatFailsEveryReceiveIsNotOpenedAgainAtOnce) {
    std::atomic<int> opens{0};
    WorkerRig rig(0, kChannelId, 'e');
    rig.channel().m_ucComPort = 7;
    rig.AddTag({.unit = 1, .reg = 10});
    modbus::Profile profile = *modbus::ProfileOf('e');
    profile.timings.listingDelayMs = 0;
    profile.makeLink = [&opens](const core::ChannelRecord&, const modbus::AnswerLog&) {
        return std::make_unique<FailingPort>(&opens);
    };
    rig.StartWith([profile](core::Server* server, uint8_t channelId) {
        return modbus::RunEngine(server, channelId, profile);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(rig.Stop());
    EXPECT_LE(opens.load(), 2);
    EXPECT_GE(rig.LogCount("E WriteData: Plc1 port COM7 lost, opening it again"), 1u);
}

}  // namespace
}  // namespace modbus_test
