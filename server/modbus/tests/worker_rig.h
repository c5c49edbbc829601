#pragma once
// One Modbus channel (Modbus-TCP unless the rig says otherwise) with its tags in a server of the
// test's own, its worker on a thread with short waits, and the worker's log captured. The worker
// runs while serverCount is 1.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../core/tests/captured_log.h"
#include "core/server.h"
#include "modbus/worker.h"

namespace modbus_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kChannelId = 1;

inline modbus::WorkerTimings FastTimings() {
    modbus::WorkerTimings timings;
    timings.listingDelayMs = 0;
    timings.connectRetryMs = 200;
    timings.lossPauseMs = 100;
    timings.drainFirstMs = 20;
    timings.drainAfterMs = 5;
    return timings;
}

// Polls `done` every millisecond for at most `limit`; generous limits keep a busy machine from
// failing the tests.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct TagSpec {
    uint8_t unit = 1;
    uint8_t function = 3;
    uint32_t reg = 0;
    uint8_t size = 16;
    uint8_t priority = 0;
    uint8_t writeFunction = 6;
    uint8_t byteOrder = 0;
    uint8_t channel = kChannelId;
};

class WorkerRig {
public:
    explicit WorkerRig(uint16_t port, uint8_t channelId = kChannelId, uint8_t type = 'd')
        : channelId_(channelId), type_(type) {
        channel_.m_ucType = type;
        channel_.m_ucID = channelId;
        channel_.m_strName = "Plc" + std::to_string(channelId);
        channel_.m_wPort = port;
        channel_.m_wTimeout = 300;
    }
    ~WorkerRig() { Stop(); }
    WorkerRig(const WorkerRig&) = delete;
    WorkerRig& operator=(const WorkerRig&) = delete;

    core::ChannelRecord& channel() { return channel_; }
    core::Server& server() { return server_; }
    const core_test::CapturedLog& log() const { return log_; }

    // Tags go in before Start; returns the tag's index in the tag table.
    size_t AddTag(const TagSpec& spec) {
        core::TagRecord tag;
        tag.m_strName = "T" + std::to_string(server_.tables.TagCount());
        tag.m_ucDevice = spec.channel;
        tag.m_ucDeviceNo = spec.unit;
        tag.m_ucFunction = spec.function;
        tag.m_dwRegister = spec.reg;
        tag.m_ucSize = spec.size;
        tag.m_ucPriority = spec.priority;
        tag.m_ucWriteFunction = spec.writeFunction;
        tag.m_dwWriteRegister = spec.reg;
        tag.m_ucByteOrder = spec.byteOrder;
        const size_t index = server_.tables.TagCount();
        server_.tables.AddTag(std::move(tag));
        pendingUnits_.push_back(spec.unit);
        return index;
    }

    void AddChannelToTables() {
        if (added_) return;
        added_ = true;
        channel_.thread = 1;
        server_.tables.AddChannel(channel_);
        for (const uint8_t unit : pendingUnits_) {
            size_t index = 0;
            server_.tables.AttachFieldDevice(channelId_, unit, &index);
        }
        server_.tables.FindChannel(channelId_, &channelIndex_);
    }

    void Start(const modbus::WorkerTimings& timings = FastTimings()) {
        StartWith([this, timings](core::Server* server, uint8_t channelId) {
            return modbus::RunWorker(server, type_, channelId, timings);
        });
    }

    // The worker is `run` (an engine of the test's own making).
    void StartWith(std::function<int(core::Server*, uint8_t)> run) {
        AddChannelToTables();
        server_.serverCount = 1;
        worker_ =
            std::thread([this, run = std::move(run)] { result_ = run(&server_, channelId_); });
    }

    // Ends the worker through its run condition; true when it cleared its thread field.
    bool Stop() {
        if (!worker_.joinable()) return true;
        server_.serverCount = 0;
        const bool cleared = WaitFor([this] { return Channel().thread == 0; });
        worker_.join();
        return cleared && result_ == 0;
    }

    void PostWrite(uint8_t state, size_t tagIndex, uint16_t value16, uint32_t value32 = 0) {
        AddChannelToTables();
        core::WriteCommand command;
        command.commandState = state;
        command.value16 = value16;
        command.value32 = value32;
        command.tagIndex = static_cast<uint32_t>(tagIndex);
        server_.tables.PostWrite(channelIndex_, command);
    }

    core::ChannelRecord Channel() const {
        core::ChannelRecord channel;
        server_.tables.GetChannel(channelIndex_, &channel);
        return channel;
    }
    core::StatisticsBlock Statistics(uint8_t unit = 1) const {
        core::StatisticsBlock block;
        server_.tables.GetStatistics(channelIndex_,
                                     server_.tables.GetModbusDeviceID(channelId_, unit), &block);
        return block;
    }
    core::TagRecord Tag(size_t index) const {
        core::TagRecord tag;
        server_.tables.GetTag(index, &tag);
        return tag;
    }
    // Log lines holding `text`.
    size_t LogCount(const std::string& text) const {
        size_t count = 0;
        for (const std::string& message : log_.Messages()) {
            if (message.find(text) != std::string::npos) ++count;
        }
        return count;
    }

private:
    core_test::CapturedLog log_{"WriteData:"};
    core::Server server_{log_.handle()};
    core::ChannelRecord channel_;
    uint8_t channelId_;
    uint8_t type_;
    size_t channelIndex_ = 0;
    bool added_ = false;
    std::vector<uint8_t> pendingUnits_;
    std::thread worker_;
    int result_ = -1;
};

}  // namespace modbus_test
