// Two Modbus-TCP workers of one server polling at once while a client thread posts writes to
// both channels and reads what they store: every write reaches its own channel's device only,
// and both channels keep polling.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../core/tests/captured_log.h"
#include "core/server.h"
#include "modbus/worker.h"
#include "modbus_testing/peers.h"
#include "worker_rig.h"

namespace modbus_test {
namespace {

using modbus_testing::FaultSlave;

constexpr uint8_t kChannels = 2;
constexpr int kWrites = 20;

constexpr uint16_t kWriteRegister = 0x40;

size_t WritesTo(const FaultSlave& slave, uint16_t reg) {
    size_t count = 0;
    for (const Bytes& frame : slave.Requests()) {
        count += frame[7] == 6 && frame[9] == reg ? 1 : 0;
    }
    return count;
}

TEST(TcpWorkerConcurrency, TwoChannelsPollAndTakeWritesAtOnce) {
    core_test::CapturedLog log("WriteData:");
    core::Server server(log.handle());
    FaultSlave slaves[kChannels];
    for (uint8_t c = 0; c < kChannels; ++c) {
        core::ChannelRecord channel;
        channel.m_ucID = static_cast<uint8_t>(c + 1);
        channel.m_strName = "Plc" + std::to_string(c + 1);
        channel.m_wPort = slaves[c].port();
        channel.m_wTimeout = 300;
        channel.thread = 1;
        server.tables.AddChannel(channel);
        core::TagRecord tag;
        tag.m_strName = "T" + std::to_string(c);
        tag.m_ucDevice = channel.m_ucID;
        tag.m_ucDeviceNo = 1;
        tag.m_ucFunction = 3;
        tag.m_ucSize = 16;
        tag.m_ucWriteFunction = 6;
        tag.m_dwRegister = 0;
        tag.m_dwWriteRegister = kWriteRegister + c;  // tells the channels' writes apart
        server.tables.AddTag(std::move(tag));
        size_t index = 0;
        server.tables.AttachFieldDevice(channel.m_ucID, 1, &index);
    }
    server.serverCount = 1;
    std::vector<std::thread> workers;
    for (uint8_t c = 0; c < kChannels; ++c) {
        workers.emplace_back([&server, c] {
            modbus::RunModbusTcpWorker(&server, static_cast<uint8_t>(c + 1), FastTimings());
        });
    }

    for (int i = 0; i < kWrites; ++i) {
        for (uint8_t c = 0; c < kChannels; ++c) {
            core::WriteCommand command;
            command.commandState = core::kCommandWrite16;
            command.value16 = static_cast<uint16_t>(i);
            command.tagIndex = c;
            server.tables.PostWrite(c, command);
            core::TagRecord tag;
            server.tables.GetTag(c, &tag);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (uint8_t c = 0; c < kChannels; ++c) {
        EXPECT_TRUE(WaitFor([&] {
            core::WriteCommand slot;
            server.tables.GetWrite(c, &slot);
            core::TagRecord tag;
            server.tables.GetTag(c, &tag);
            return slot.commandState == core::kCommandIdle && tag.state == core::kTagFresh;
        }));
    }
    server.serverCount = 0;
    for (std::thread& worker : workers)
        worker.join();

    // A pending write may be overwritten by the next one, but at least one went out per
    // channel, each to its own channel's tag.
    EXPECT_GE(WritesTo(slaves[0], kWriteRegister), 1u);
    EXPECT_EQ(WritesTo(slaves[0], kWriteRegister + 1), 0u);
    EXPECT_GE(WritesTo(slaves[1], kWriteRegister + 1), 1u);
    EXPECT_EQ(WritesTo(slaves[1], kWriteRegister), 0u);
    for (uint8_t c = 0; c < kChannels; ++c) {
        core::ChannelRecord channel;
        server.tables.GetChannel(c, &channel);
        EXPECT_EQ(channel.thread, 0u);
    }
}

}  // namespace
}  // namespace modbus_test
