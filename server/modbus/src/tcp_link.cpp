// The TCP backends: one TCP connection with TCP_NODELAY, carrying Modbus-TCP frames, or RTU
// frames to a serial-to-Ethernet converter.

#include <utility>

#include "link.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace modbus {
namespace {

class TcpLink final : public Link {
public:
    TcpLink(std::string address, uint16_t port) : address_(std::move(address)), port_(port) {}

    int Open(uint32_t timeoutMs) override {
        const int result = socket_.Connect(address_, port_, timeoutMs);
        if (result != 0) return result;
        return socket_.SetNoDelay(true);
    }

    void Close() override { socket_.Close(); }
    intptr_t Handle() const override { return socket_.Handle(); }

    // A frame nearly always goes out at the first try; only a refused one waits for send
    // readiness, which would otherwise cost a system call per request.
    int Send(const std::vector<uint8_t>& frame, uint32_t timeoutMs, size_t* sent) override {
        size_t first = 0;
        if (socket_.Send(frame.data(), frame.size(), 0, &first) == 0) {
            *sent = first;
            return 0;
        }
        if (first == 0) {
            if (const int error = socket_.WaitWritable(timeoutMs); error != 0) return error;
        }
        size_t rest = 0;
        socket_.Send(frame.data() + first, frame.size() - first, timeoutMs, &rest);
        *sent = first + rest;
        return 0;
    }

    ReceiveStatus Receive(uint8_t* buffer, size_t capacity, uint32_t firstByteTimeoutMs,
                          size_t* received) override {
        *received = 0;
        const int ready = socket_.WaitReadable(firstByteTimeoutMs);
        if (ready != 0) {
            return ready == platform::kWsaEtimedout ? ReceiveStatus::kTimeout
                                                    : ReceiveStatus::kLost;
        }
        const int result = socket_.Receive(buffer, capacity, 0, received);
        if (result == platform::kWsaEtimedout) return ReceiveStatus::kTimeout;
        if (result != 0) return ReceiveStatus::kLost;
        return *received == 0 ? ReceiveStatus::kClosed : ReceiveStatus::kData;
    }

private:
    std::string address_;
    uint16_t port_;
    platform::Socket socket_;
};

}  // namespace

std::unique_ptr<Link> MakeTcpLink(const std::string& address, uint16_t port) {
    return std::make_unique<TcpLink>(address, port);
}

}  // namespace modbus
