#pragma once
// The accepting half both test peers share: a listener on 127.0.0.1 and one thread per
// accepted connection, every wait bounded so that Stop ends all of them within a poll slice.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/socket.h"

namespace modbus_testing {

// How long a peer thread waits at most before it looks at the stop flag again.
constexpr uint32_t kPollSliceMs = 50;

class ConnectionServer {
public:
    // Serves one connection until the peer leaves, the handler gives up or `stopping` is set;
    // the connection closes when the handler returns.
    using Serve = std::function<void(platform::Socket& client, const std::atomic<bool>& stopping)>;

    explicit ConnectionServer(Serve serve) : serve_(std::move(serve)) {}
    ~ConnectionServer() { Stop(); }
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    // Listens on `port` (0 picks a free one, kept for later Starts); a socket error code or 0.
    int Start(uint16_t port);
    // Closes the listener and every connection; returns when all threads have ended.
    void Stop();
    uint16_t port() const { return port_; }
    size_t Connections() const { return connections_; }

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void JoinFinished(bool all);

    Serve serve_;
    platform::Listener listener_;
    std::atomic<uint16_t> port_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    std::thread acceptor_;
    std::list<Connection> served_;  // the acceptor's only
};

}  // namespace modbus_testing
