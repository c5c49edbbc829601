#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace platform {
namespace {

SOCKET Raw(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

int LastSocketError() {
    return WSAGetLastError();
}

// An IPv4 TCP address for host ("" = any) and port.
int Resolve(const std::string& host, uint16_t port, sockaddr_in* address) {
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (host.empty()) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    std::u16string wide = Cp1251ToUtf16(host);
    ADDRINFOW* found = nullptr;
    int result = GetAddrInfoW(reinterpret_cast<PCWSTR>(wide.c_str()), nullptr, &hints, &found);
    if (result != 0) return result;
    *address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address->sin_port = htons(port);
    FreeAddrInfoW(found);
    return 0;
}

int SetNonBlocking(intptr_t handle) {
    u_long on = 1;
    return ioctlsocket(Raw(handle), FIONBIO, &on) == 0 ? 0 : LastSocketError();
}

void CloseSocket(intptr_t* handle) {
    if (*handle == -1) return;
    closesocket(Raw(*handle));
    *handle = -1;
}

int NewSocket(intptr_t* handle) {
    SOCKET raw = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (raw == INVALID_SOCKET) return LastSocketError();
    *handle = static_cast<intptr_t>(raw);
    int error = SetNonBlocking(*handle);
    if (error != 0) CloseSocket(handle);
    return error;
}

enum class Readiness { Read, Write };

// Waits within timeoutMs; a failed non-blocking connect shows in the exception set and counts
// as ready, so the caller fetches its error. kWsaEtimedout on expiry.
int WaitFor(intptr_t handle, Readiness readiness, uint32_t timeoutMs) {
    if (handle == -1) return kWsaEnotsock;
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(Raw(handle), &ready);
    FD_SET(Raw(handle), &failed);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    int count = select(0, readiness == Readiness::Read ? &ready : nullptr,
                       readiness == Readiness::Write ? &ready : nullptr, &failed, &limit);
    if (count > 0) return 0;
    return count == 0 ? kWsaEtimedout : LastSocketError();
}

int SocketOption(intptr_t handle, int level, int name, int value) {
    if (handle == -1) return kWsaEnotsock;
    if (setsockopt(Raw(handle), level, name, reinterpret_cast<const char*>(&value),
                   sizeof(value)) != 0) {
        return LastSocketError();
    }
    return 0;
}

int PendingError(intptr_t handle) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(Raw(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
        0) {
        return LastSocketError();
    }
    return error;
}

int ClampLength(size_t length) {
    return static_cast<int>(std::min<size_t>(length, INT_MAX));
}

}  // namespace

int StartupSockets() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    return result;
}

Socket::~Socket() {
    Close();
}

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kInvalid);
    }
    return *this;
}

int Socket::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs) {
    Close();
    if (int error = StartupSockets(); error != 0) return error;
    sockaddr_in address{};
    if (int error = Resolve(host, port, &address); error != 0) return error;
    if (int error = NewSocket(&handle_); error != 0) return error;
    int error = 0;
    if (connect(Raw(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = LastSocketError();
        if (error == WSAEWOULDBLOCK) error = WaitFor(handle_, Readiness::Write, timeoutMs);
        if (error == 0) error = PendingError(handle_);
    }
    if (error != 0) Close();
    return error;
}

int Socket::SetNoDelay(bool on) {
    return SocketOption(handle_, IPPROTO_TCP, TCP_NODELAY, on);
}

int Socket::SetKeepAlive(uint32_t idleMs, uint32_t intervalMs) {
    if (int error = SocketOption(handle_, SOL_SOCKET, SO_KEEPALIVE, 1); error != 0) return error;
    tcp_keepalive values{1, idleMs, intervalMs};
    DWORD returned = 0;
    if (WSAIoctl(Raw(handle_), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
        return LastSocketError();
    }
    return 0;
}

int Socket::WaitWritable(uint32_t timeoutMs) {
    return WaitFor(handle_, Readiness::Write, timeoutMs);
}

int Socket::WaitReadable(uint32_t timeoutMs) {
    return WaitFor(handle_, Readiness::Read, timeoutMs);
}

int Socket::Send(const void* data, size_t length, uint32_t timeoutMs, size_t* sent) {
    *sent = 0;
    const uint64_t deadline = TickCount64() + timeoutMs;
    const auto* bytes = static_cast<const char*>(data);
    while (*sent < length) {
        uint64_t now = TickCount64();
        int error = WaitFor(handle_, Readiness::Write,
                            static_cast<uint32_t>(deadline > now ? deadline - now : 0));
        if (error != 0) return error;
        int done = send(Raw(handle_), bytes + *sent, ClampLength(length - *sent), 0);
        if (done == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
            return LastSocketError();
        }
        *sent += static_cast<size_t>(done);
    }
    return 0;
}

int Socket::Receive(void* buffer, size_t capacity, uint32_t timeoutMs, size_t* received) {
    *received = 0;
    if (int error = WaitFor(handle_, Readiness::Read, timeoutMs); error != 0) return error;
    int done = recv(Raw(handle_), static_cast<char*>(buffer), ClampLength(capacity), 0);
    if (done == SOCKET_ERROR) return LastSocketError();
    *received = static_cast<size_t>(done);
    return 0;
}

size_t Socket::Drain() {
    if (handle_ == kInvalid) return 0;
    size_t discarded = 0;
    char scrap[512];
    for (;;) {
        // The socket is non-blocking: an empty queue ends the loop with WSAEWOULDBLOCK.
        int done = recv(Raw(handle_), scrap, sizeof(scrap), 0);
        if (done <= 0) return discarded;  // the next Receive reports a close or a failure
        discarded += static_cast<size_t>(done);
    }
}

int Socket::ShutdownSend() {
    if (handle_ == kInvalid) return kWsaEnotsock;
    return shutdown(Raw(handle_), SD_SEND) == 0 ? 0 : LastSocketError();
}

void Socket::Close() {
    CloseSocket(&handle_);
}

void Socket::Abort() {
    if (handle_ == kInvalid) return;
    linger immediate{1, 0};
    setsockopt(Raw(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&immediate),
               sizeof(immediate));
    Close();
}

std::string Socket::PeerAddress() const {
    sockaddr_in address{};
    int length = sizeof(address);
    if (handle_ == kInvalid ||
        getpeername(Raw(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    const auto& b = address.sin_addr.S_un.S_un_b;
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b.s_b1, b.s_b2, b.s_b3, b.s_b4);
    return text;
}

Listener::~Listener() {
    Close();
}

int Listener::Listen(const std::string& address, uint16_t port) {
    Close();
    if (int error = StartupSockets(); error != 0) return error;
    sockaddr_in local{};
    if (int error = Resolve(address, port, &local); error != 0) return error;
    if (int error = NewSocket(&handle_); error != 0) return error;
    // No other program may bind the same port beside us and take our connections.
    int error = SocketOption(handle_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    if (error == 0 &&
        bind(Raw(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error = LastSocketError();
    }
    if (error == 0 && listen(Raw(handle_), SOMAXCONN) != 0) error = LastSocketError();
    if (error != 0) Close();
    return error;
}

uint16_t Listener::Port() const {
    sockaddr_in local{};
    int length = sizeof(local);
    if (handle_ == Socket::kInvalid ||
        getsockname(Raw(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int Listener::Accept(uint32_t timeoutMs, Socket* accepted) {
    accepted->Close();
    if (int error = WaitFor(handle_, Readiness::Read, timeoutMs); error != 0) return error;
    SOCKET raw = accept(Raw(handle_), nullptr, nullptr);
    if (raw == INVALID_SOCKET) return LastSocketError();
    Socket connection(static_cast<intptr_t>(raw));
    if (int error = SetNonBlocking(connection.handle_); error != 0) return error;
    *accepted = std::move(connection);
    return 0;
}

void Listener::Close() {
    CloseSocket(&handle_);
}

}  // namespace platform
