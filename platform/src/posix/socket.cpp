#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/clock.h"
#include "platform/errors.h"

namespace platform {
namespace {

struct ErrnoToWsa {
    int errnoValue;
    int wsaCode;
};

// The Windows Sockets code a Windows program would see for the same failure.
constexpr ErrnoToWsa kErrnoToWsa[] = {
    {EINTR, kWsaEintr},
    {EBADF, kWsaEbadf},
    {EACCES, kWsaEacces},
    {EPERM, kWsaEacces},
    {EFAULT, kWsaEfault},
    {EINVAL, kWsaEinval},
    {EMFILE, kWsaEmfile},
    {ENFILE, kWsaEmfile},
    {EWOULDBLOCK, kWsaEwouldblock},
    {EINPROGRESS, kWsaEinprogress},
    {EALREADY, kWsaEalready},
    {ENOTSOCK, kWsaEnotsock},
    {EMSGSIZE, kWsaEmsgsize},
    {EADDRINUSE, kWsaEaddrinuse},
    {EADDRNOTAVAIL, kWsaEaddrnotavail},
    {ENETDOWN, kWsaEnetdown},
    {ENETUNREACH, kWsaEnetunreach},
    {ENETRESET, kWsaEnetreset},
    {ECONNABORTED, kWsaEconnaborted},
    {ECONNRESET, kWsaEconnreset},
    {EPIPE, kWsaEconnreset},
    {ENOBUFS, kWsaEnobufs},
    {ENOMEM, kWsaEnobufs},
    {EISCONN, kWsaEisconn},
    {ENOTCONN, kWsaEnotconn},
    {ESHUTDOWN, kWsaEshutdown},
    {ETIMEDOUT, kWsaEtimedout},
    {ECONNREFUSED, kWsaEconnrefused},
    {EHOSTDOWN, kWsaEhostdown},
    {EHOSTUNREACH, kWsaEhostunreach},
};

int WsaFromErrno(int errnoValue) {
    for (const auto& entry : kErrnoToWsa) {
        if (entry.errnoValue == errnoValue) return entry.wsaCode;
    }
    return kWsaEinval;
}

int LastSocketError() {
    return WsaFromErrno(errno);
}

int WsaFromResolver(int eaiCode) {
    switch (eaiCode) {
        case EAI_NONAME:
        case EAI_NODATA:
            return kWsaHostNotFound;
        case EAI_AGAIN:
            return kWsaTryAgain;
        case EAI_FAIL:
            return kWsaNoRecovery;
        case EAI_MEMORY:
            return kWsaEnobufs;
        case EAI_SYSTEM:
            return LastSocketError();
        default:
            return kWsaNoRecovery;
    }
}

// An IPv4 TCP address for host ("" = any) and port.
int Resolve(const std::string& host, uint16_t port, sockaddr_in* address) {
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (host.empty()) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0) return WsaFromResolver(result);
    *address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address->sin_port = htons(port);
    freeaddrinfo(found);
    return 0;
}

int NewSocket(intptr_t* handle) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return LastSocketError();
    *handle = fd;
    return 0;
}

int Fd(intptr_t handle) {
    return static_cast<int>(handle);
}

// Waits for the events within timeoutMs, restarting after signals; kWsaEtimedout on expiry.
int WaitFor(intptr_t handle, short events, uint32_t timeoutMs) {
    if (handle < 0) return kWsaEnotsock;
    const uint64_t deadline = TickCount64() + timeoutMs;
    for (;;) {
        uint64_t now = TickCount64();
        int remaining =
            static_cast<int>(std::min<uint64_t>(deadline > now ? deadline - now : 0, 0x7FFFFFFF));
        pollfd entry{Fd(handle), events, 0};
        int ready = poll(&entry, 1, remaining);
        if (ready > 0) return 0;
        if (ready == 0) return kWsaEtimedout;
        if (errno != EINTR) return LastSocketError();
    }
}

int SocketOption(intptr_t handle, int level, int name, int value) {
    if (handle < 0) return kWsaEnotsock;
    if (setsockopt(Fd(handle), level, name, &value, sizeof(value)) != 0) return LastSocketError();
    return 0;
}

// The error a non-blocking connect ended with.
int PendingError(intptr_t handle) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(Fd(handle), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return LastSocketError();
    }
    return error == 0 ? 0 : WsaFromErrno(error);
}

void CloseSocket(intptr_t* handle) {
    if (*handle < 0) return;
    close(Fd(*handle));
    *handle = -1;
}

}  // namespace

int StartupSockets() {
    return 0;
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
    sockaddr_in address{};
    if (int error = Resolve(host, port, &address); error != 0) return error;
    if (int error = NewSocket(&handle_); error != 0) return error;
    int error = 0;
    if (connect(Fd(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = errno == EINPROGRESS ? WaitFor(handle_, POLLOUT, timeoutMs) : LastSocketError();
        if (error == 0) error = PendingError(handle_);
    }
    if (error != 0) Close();
    return error;
}

int Socket::SetNoDelay(bool on) {
    return SocketOption(handle_, IPPROTO_TCP, TCP_NODELAY, on);
}

int Socket::SetKeepAlive(uint32_t idleMs, uint32_t intervalMs) {
    auto seconds = [](uint32_t ms) {
        return static_cast<int>(std::max<uint32_t>(1, (ms + 999) / 1000));
    };
    if (int error = SocketOption(handle_, SOL_SOCKET, SO_KEEPALIVE, 1); error != 0) return error;
    if (int error = SocketOption(handle_, IPPROTO_TCP, TCP_KEEPIDLE, seconds(idleMs)); error != 0) {
        return error;
    }
    return SocketOption(handle_, IPPROTO_TCP, TCP_KEEPINTVL, seconds(intervalMs));
}

int Socket::WaitWritable(uint32_t timeoutMs) {
    return WaitFor(handle_, POLLOUT, timeoutMs);
}

int Socket::WaitReadable(uint32_t timeoutMs) {
    return WaitFor(handle_, POLLIN, timeoutMs);
}

// Both try the call first and wait only when it would block: a poll before every call would
// double the system calls of every request and answer.
int Socket::Send(const void* data, size_t length, uint32_t timeoutMs, size_t* sent) {
    *sent = 0;
    if (handle_ < 0) return kWsaEnotsock;
    const uint64_t deadline = TickCount64() + timeoutMs;
    const auto* bytes = static_cast<const char*>(data);
    while (*sent < length) {
        // MSG_NOSIGNAL: a peer that went away is an error code, not a SIGPIPE.
        ssize_t done =
            send(Fd(handle_), bytes + *sent, length - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (done >= 0) {
            *sent += static_cast<size_t>(done);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return LastSocketError();
        const uint64_t now = TickCount64();
        const int error =
            WaitFor(handle_, POLLOUT, static_cast<uint32_t>(deadline > now ? deadline - now : 0));
        if (error != 0) return error;
    }
    return 0;
}

int Socket::Receive(void* buffer, size_t capacity, uint32_t timeoutMs, size_t* received) {
    *received = 0;
    if (handle_ < 0) return kWsaEnotsock;
    bool waited = false;
    for (;;) {
        ssize_t done = recv(Fd(handle_), buffer, capacity, waited ? 0 : MSG_DONTWAIT);
        if (done >= 0) {
            *received = static_cast<size_t>(done);
            return 0;
        }
        if (errno == EINTR) continue;
        if (waited || (errno != EAGAIN && errno != EWOULDBLOCK)) return LastSocketError();
        if (int error = WaitFor(handle_, POLLIN, timeoutMs); error != 0) return error;
        waited = true;
    }
}

size_t Socket::Drain() {
    if (handle_ < 0) return 0;
    size_t discarded = 0;
    char scrap[512];
    for (;;) {
        ssize_t done = recv(Fd(handle_), scrap, sizeof(scrap), MSG_DONTWAIT);
        if (done > 0) {
            discarded += static_cast<size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            return discarded;  // nothing more, closed, or failed: the next Receive reports it
        }
    }
}

int Socket::ShutdownSend() {
    if (handle_ < 0) return kWsaEnotsock;
    return shutdown(Fd(handle_), SHUT_WR) == 0 ? 0 : LastSocketError();
}

void Socket::Close() {
    CloseSocket(&handle_);
}

void Socket::Abort() {
    if (handle_ < 0) return;
    linger immediate{1, 0};
    setsockopt(Fd(handle_), SOL_SOCKET, SO_LINGER, &immediate, sizeof(immediate));
    Close();
}

std::string Socket::PeerAddress() const {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (handle_ < 0 ||
        getpeername(Fd(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) ? text : "";
}

Listener::~Listener() {
    Close();
}

int Listener::Listen(const std::string& address, uint16_t port) {
    Close();
    sockaddr_in local{};
    if (int error = Resolve(address, port, &local); error != 0) return error;
    if (int error = NewSocket(&handle_); error != 0) return error;
    // Lets a restarted server bind again while old connections sit in TIME_WAIT.
    int error = SocketOption(handle_, SOL_SOCKET, SO_REUSEADDR, 1);
    if (error == 0 &&
        bind(Fd(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error = LastSocketError();
    }
    if (error == 0 && listen(Fd(handle_), SOMAXCONN) != 0) error = LastSocketError();
    if (error != 0) Close();
    return error;
}

uint16_t Listener::Port() const {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (handle_ < 0 ||
        getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int Listener::Accept(uint32_t timeoutMs, Socket* accepted) {
    accepted->Close();
    if (int error = WaitFor(handle_, POLLIN, timeoutMs); error != 0) return error;
    int fd = accept4(Fd(handle_), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return LastSocketError();
    *accepted = Socket(fd);
    return 0;
}

void Listener::Close() {
    CloseSocket(&handle_);
}

}  // namespace platform
