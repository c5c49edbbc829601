// The serial backend: one COM port with the channel's line settings, RTU frames ended by a gap.

#include <algorithm>
#include <cstdio>

#include "link.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/system.h"

namespace modbus {
namespace {

constexpr uint32_t kWriteWaitMs = 20;
constexpr uint32_t kFrameGapMs = 30;
constexpr size_t kReceiveBuffer = 1024;
constexpr uint32_t kBitsPerCharacter = 11;  // start, 8 data, parity or stop, stop

// The stop-bits code of the configured count: 1 -> 0 (one), 2 -> 2 (two), else 0.
uint8_t StopBitsCode(uint8_t configured) {
    return configured == 2 ? 2 : 0;
}

}  // namespace

platform::SerialSettings SerialLineSettings(const core::ChannelRecord& channel) {
    platform::SerialSettings settings;
    settings.baudRate = channel.m_dwBaudRate;
    settings.dataBits = 8;
    // Mark and space parity are not set up: such a line runs without parity.
    switch (channel.m_ucParity) {
        case 1:
            settings.parity = platform::Parity::Odd;
            break;
        case 2:
            settings.parity = platform::Parity::Even;
            break;
        default:
            settings.parity = platform::Parity::None;
    }
    settings.stopBits =
        StopBitsCode(channel.m_ucStopBits) == 2 ? platform::StopBits::Two : platform::StopBits::One;
    return settings;
}

namespace {

class SerialLink final : public Link {
public:
    SerialLink(const core::ChannelRecord& channel, const AnswerLog& log)
        : channel_(channel), log_(log), path_("\\\\.\\COM" + std::to_string(channel.m_ucComPort)) {}

    int Open(uint32_t) override {
        if (const uint32_t error = port_.Open(channel_.m_ucComPort); error != 0) {
            std::printf("Can't open %s\n", path_.c_str());
            return static_cast<int>(error);
        }
        if (const uint32_t error = port_.Configure(SerialLineSettings(channel_)); error != 0) {
            kvlog::Error(log_.log, "RS232Init: Error setting comm state for device %s",
                         path_.c_str());
            port_.Close();
            return static_cast<int>(error);
        }
        kvlog::Info(log_.log,
                    "WriteData: %s open serial port COM%u, baud %u, stopbits %u, parity %u, "
                    "delays %u",
                    log_.channel.c_str(), unsigned{channel_.m_ucComPort}, channel_.m_dwBaudRate,
                    unsigned{StopBitsCode(channel_.m_ucStopBits)}, unsigned{channel_.m_ucParity},
                    unsigned{channel_.m_wTimeout});
        return 0;
    }

    void Close() override { port_.Close(); }
    intptr_t Handle() const override { return 0; }

    int DiscardPending() override {
        kvlog::Trace(log_.log, "WriteData: %s purging TX/RX buffers", log_.channel.c_str());
        return static_cast<int>(port_.Purge());
    }

    // Waits 20 ms for the frame to leave, then as long as the frame takes on the line (with a
    // second's margin) rather than without limit: a line that takes nothing is a failure.
    int Send(const std::vector<uint8_t>& frame, uint32_t, size_t* sent) override {
        const uint64_t began = platform::TickCount64();
        const uint32_t lineMs = static_cast<uint32_t>(frame.size() * kBitsPerCharacter * 1000 /
                                                      std::max<uint32_t>(channel_.m_dwBaudRate, 1));
        const uint32_t error =
            port_.Write(frame.data(), frame.size(), kWriteWaitMs + 2 * lineMs + 1000, sent);
        const bool inTime = platform::TickCount64() - began <= kWriteWaitMs;
        const char* signal = inTime ? "WAIT_OBJECT_0" : "WAIT_TIMEOUT";
        const unsigned unit = frame.empty() ? 0u : frame[0];
        if (error == 0) {
            kvlog::Debug(log_.log,
                         "WriteData: write device %u, signal=%s, packet transmission finished",
                         unit, signal);
            return 0;
        }
        kvlog::Debug(log_.log,
                     "WriteData: write device %u, signal=%s, packet transmission failed, error %u",
                     unit, signal, error);
        // A device that is gone fails the turn's receive as well, which reopens the port.
        return *sent == 0 && error != platform::kErrorTimeout ? static_cast<int>(error) : 0;
    }

    // More than the buffer holds is beeped at and left for the next transmit's purge: the frame
    // is judged on what was read.
    ReceiveStatus Receive(uint8_t* buffer, size_t capacity, uint32_t firstByteTimeoutMs,
                          size_t* received) override {
        kvlog::Debug(log_.log, "WriteData: %s port COM%u rx queue waiting started",
                     log_.channel.c_str(), unsigned{channel_.m_ucComPort});
        const size_t room = std::min(capacity, kReceiveBuffer);
        const uint32_t error = port_.Read(buffer, room, firstByteTimeoutMs, kFrameGapMs, received);
        if (error == platform::kErrorTimeout) return ReceiveStatus::kTimeout;
        if (error != 0) {
            kvlog::Debug(log_.log,
                         "WriteData: %s port COM%u ReadFile status: %u, bytes to read: %u, "
                         "ERROR: %u",
                         log_.channel.c_str(), unsigned{channel_.m_ucComPort}, 0u,
                         static_cast<unsigned>(room), error);
            return ReceiveStatus::kLost;
        }
        if (*received >= room) {
            platform::Beep(1000, 10);
            *received = room - 1;
        }
        return *received == 0 ? ReceiveStatus::kTimeout : ReceiveStatus::kData;
    }

private:
    core::ChannelRecord channel_;
    AnswerLog log_;
    std::string path_;
    platform::SerialPort port_;
};

}  // namespace

std::unique_ptr<Link> MakeSerialLink(const core::ChannelRecord& channel, const AnswerLog& log) {
    return std::make_unique<SerialLink>(channel, log);
}

}  // namespace modbus
