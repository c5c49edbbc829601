// A serial-to-Ethernet converter of the tests' own rather than a socat bridge: socat without
// fork ends with its first connection (and a probe for its port would use that up), with fork
// every connection gets a pty of its own, so no single serial line could stay behind it.

#include <poll.h>

#include <mutex>

#include "connection_server.h"
#include "modbus_testing/rtu_peers.h"
#include "pty_line.h"

namespace modbus_testing {

struct RtuConverter::State {
    explicit State(int unit)
        : slave(unit), server([this](platform::Socket& client, const std::atomic<bool>& stopping) {
              Bridge(client, stopping);
          }) {}

    void Bridge(platform::Socket& client, const std::atomic<bool>& stopping);
    // Passes what one side has to the other; false when either is gone.
    bool FromClient(platform::Socket& client);
    bool FromLine(platform::Socket& client, short events);

    RtuSlave slave;
    std::mutex lineMutex;  // connections take turns on the one line
    LineEnd line;
    ConnectionServer server;
};

bool RtuConverter::State::FromClient(platform::Socket& client) {
    uint8_t chunk[512];
    size_t received = 0;
    if (client.Receive(chunk, sizeof chunk, 0, &received) != 0 || received == 0) return false;
    std::lock_guard lock(lineMutex);
    return line.Write(chunk, received);
}

bool RtuConverter::State::FromLine(platform::Socket& client, short events) {
    if (events & (POLLHUP | POLLERR)) return false;
    std::vector<uint8_t> bytes;
    {
        std::lock_guard lock(lineMutex);
        if (!line.ReadQueued(&bytes)) return false;
    }
    size_t sent = 0;
    return bytes.empty() || client.Send(bytes.data(), bytes.size(), kLineWaitMs, &sent) == 0;
}

void RtuConverter::State::Bridge(platform::Socket& client, const std::atomic<bool>& stopping) {
    {
        std::lock_guard lock(lineMutex);
        line.DiscardInput();
    }
    while (!stopping) {
        pollfd ends[2] = {{static_cast<int>(client.Handle()), POLLIN, 0}, {line.fd(), POLLIN, 0}};
        int ready = poll(ends, 2, static_cast<int>(kPollSliceMs));
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;
        if (ends[0].revents && !FromClient(client)) return;
        if (ends[1].revents && !FromLine(client, ends[1].revents)) return;
    }
}

RtuConverter::RtuConverter(int unit, uint16_t port) : state_(std::make_unique<State>(unit)) {
    if (!state_->slave.Plugged() || !state_->line.Open(state_->slave.path())) return;
    state_->server.Start(port);
}

RtuConverter::~RtuConverter() {
    state_->server.Stop();
}

uint16_t RtuConverter::port() const {
    return state_->server.port();
}

bool RtuConverter::Plugged() const {
    return state_->slave.Plugged() && state_->line.IsOpen() && port() != 0;
}

RtuSlave& RtuConverter::slave() {
    return state_->slave;
}

size_t RtuConverter::Connections() const {
    return state_->server.Connections();
}

void RtuConverter::Stop() {
    state_->server.Stop();
}

void RtuConverter::Start() {
    state_->server.Start(state_->server.port());
}

}  // namespace modbus_testing
