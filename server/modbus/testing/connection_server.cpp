#include "connection_server.h"

#include <cstdio>

namespace modbus_testing {

int ConnectionServer::Start(uint16_t port) {
    Stop();
    if (int error = listener_.Listen("127.0.0.1", port); error != 0) {
        std::fprintf(stderr, "test peer: cannot listen on port %u, error %d\n", port, error);
        return error;
    }
    port_ = listener_.Port();
    stopping_ = false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return 0;
}

void ConnectionServer::Stop() {
    if (!acceptor_.joinable()) return;
    stopping_ = true;
    acceptor_.join();
    listener_.Close();
}

void ConnectionServer::AcceptLoop() {
    while (!stopping_) {
        platform::Socket client;
        if (listener_.Accept(kPollSliceMs, &client) == 0) {
            ++connections_;
            client.SetNoDelay(true);
            Connection& connection = served_.emplace_back();
            connection.thread =
                std::thread([this, &connection, socket = std::move(client)]() mutable {
                    serve_(socket, stopping_);
                    socket.Close();
                    connection.done = true;
                });
        }
        // A worker that reconnects every cycle would otherwise leave a thread per connection.
        JoinFinished(false);
    }
    JoinFinished(true);
}

void ConnectionServer::JoinFinished(bool all) {
    for (auto it = served_.begin(); it != served_.end();) {
        if (all || it->done) {
            it->thread.join();
            it = served_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace modbus_testing
