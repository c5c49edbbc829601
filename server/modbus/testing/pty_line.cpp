// POSIX calls in a test peer: the peers run on Linux only, beside socat.

#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace modbus_testing {
namespace {

std::string NewFolder() {
    static std::atomic<unsigned> made{0};
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("karvex-rtu-" + std::to_string(getpid()) + "-" + std::to_string(made++));
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder.string();
}

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// Waits up to timeoutMs for the events; their revents, 0 on timeout, -1 on error.
int WaitFor(int fd, short events, uint32_t timeoutMs) {
    pollfd entry{fd, events, 0};
    for (;;) {
        int ready = poll(&entry, 1, static_cast<int>(timeoutMs));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

PtyLine::PtyLine(const std::string& portPath)
    : folder_(NewFolder()),
      path_(portPath.empty() ? folder_ + "/port" : portPath),
      peerPath_(folder_ + "/peer") {}

PtyLine::~PtyLine() {
    Unplug();
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
}

bool PtyLine::Plug() {
    Unplug();
    const std::vector<std::string> arguments = {"-lf", "/dev/null", "pty,raw,echo=0,link=" + path_,
                                                "pty,raw,echo=0,link=" + peerPath_};
    if (socat_.Start("/usr/bin/socat", arguments) != 0) {
        std::fprintf(stderr, "rtu peer: cannot start /usr/bin/socat\n");
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLineWaitMs);
    while (!(Exists(path_) && Exists(peerPath_))) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "rtu peer: socat made no pty pair in %u ms\n", kLineWaitMs);
            Unplug();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    plugged_ = true;
    return true;
}

void PtyLine::Unplug() {
    socat_.Kill();
    int ignored = 0;
    socat_.Wait(kLineWaitMs, &ignored);
    // Killed, socat leaves its links behind, pointing nowhere.
    std::error_code error;
    std::filesystem::remove(path_, error);
    std::filesystem::remove(peerPath_, error);
    plugged_ = false;
}

bool LineEnd::Open(const std::string& path) {
    Close();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios line{};
    if (tcgetattr(fd, &line) == 0) {
        cfmakeraw(&line);
        line.c_cc[VMIN] = 0;
        line.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &line);
    }
    fd_ = fd;
    return true;
}

void LineEnd::Close() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

bool LineEnd::ReadQueued(std::vector<uint8_t>* bytes) {
    uint8_t chunk[512];
    for (;;) {
        ssize_t done = read(fd_, chunk, sizeof chunk);
        if (done > 0) {
            bytes->insert(bytes->end(), chunk, chunk + done);
            continue;
        }
        if (done < 0 && errno == EINTR) continue;
        // A raw line with nothing queued reads 0 bytes, non-blocking or not.
        return done == 0 || errno == EAGAIN;
    }
}

bool LineEnd::ReadFrame(uint32_t firstMs, uint32_t gapMs, std::vector<uint8_t>* frame,
                        std::chrono::steady_clock::time_point* lastByteAt) {
    frame->clear();
    uint32_t waitMs = firstMs;
    for (;;) {
        int events = WaitFor(fd_, POLLIN, waitMs);
        if (events == 0) return true;
        if (events < 0 || !ReadQueued(frame)) return false;
        if (events & (POLLHUP | POLLERR)) return false;  // its pty has gone with socat
        if (lastByteAt) *lastByteAt = std::chrono::steady_clock::now();
        waitMs = gapMs;
    }
}

bool LineEnd::Write(const uint8_t* data, size_t length) {
    size_t written = 0;
    while (written < length) {
        int events = WaitFor(fd_, POLLOUT, kLineWaitMs);
        if (events <= 0 || (events & (POLLHUP | POLLERR))) return false;
        ssize_t done = write(fd_, data + written, length - written);
        if (done < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (done < 0) return false;
        written += static_cast<size_t>(done);
    }
    return true;
}

void LineEnd::DiscardInput() {
    if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
}

}  // namespace modbus_testing
