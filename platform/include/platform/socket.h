#pragma once
// TCP sockets for the device workers and the remote exchange. Every failure is a Windows
// Sockets code (platform/errors.h) on both targets; every wait is bounded by a timeout.
// Host and address texts are Windows-1251: dotted IPv4 or a name.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Process-wide start of the sockets library (WSAStartup 2.2; on POSIX nothing can fail).
// Safe to call from any thread any number of times; Connect and Listen call it themselves.
int StartupSockets();

class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;

    // Resolves host (IPv4) and connects within timeoutMs; an open socket is closed first.
    int Connect(const std::string& host, uint16_t port, uint32_t timeoutMs);
    bool IsOpen() const { return handle_ != kInvalid; }
    // The system's number of the socket, for log lines; -1 when closed.
    intptr_t Handle() const { return handle_; }

    int SetNoDelay(bool on);
    // Turns TCP keep-alive on: first probe after idleMs without traffic, then every intervalMs
    // (whole seconds where the system counts in seconds).
    int SetKeepAlive(uint32_t idleMs, uint32_t intervalMs);

    // kWsaEtimedout when the socket did not become ready in time.
    int WaitWritable(uint32_t timeoutMs);
    int WaitReadable(uint32_t timeoutMs);

    // Sends all bytes, waiting at most timeoutMs in total for room; *sent counts what went out.
    int Send(const void* data, size_t length, uint32_t timeoutMs, size_t* sent);
    // Waits at most timeoutMs for data, then takes what has arrived, up to capacity, without
    // waiting for more. *received is 0 with result 0 when the peer closed the connection.
    int Receive(void* buffer, size_t capacity, uint32_t timeoutMs, size_t* received);
    // Discards whatever has arrived without waiting; returns the number of bytes discarded.
    size_t Drain();

    int ShutdownSend();
    void Close();
    // Closes with a reset instead of an orderly close: the peer sees kWsaEconnreset.
    void Abort();

    // Dotted address of the connected peer; empty when unknown.
    std::string PeerAddress() const;

private:
    friend class Listener;
    static constexpr intptr_t kInvalid = -1;
    explicit Socket(intptr_t handle) : handle_(handle) {}
    intptr_t handle_ = kInvalid;
};

class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds address ("" or "0.0.0.0" for every interface) and port (0 picks a free one) and
    // listens with the largest backlog the system allows.
    int Listen(const std::string& address, uint16_t port);
    bool IsOpen() const { return handle_ != Socket::kInvalid; }
    // The bound port, 0 when closed.
    uint16_t Port() const;
    // Waits at most timeoutMs for a connection; kWsaEtimedout when none came.
    int Accept(uint32_t timeoutMs, Socket* accepted);
    void Close();

private:
    intptr_t handle_ = Socket::kInvalid;
};

}  // namespace platform
