#pragma once
// The serial line under the RTU peers: two ptys joined by socat, and the peer's end of it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"

namespace modbus_testing {

// How long a peer waits at most for socat, and for a line end to be opened again.
constexpr uint32_t kLineWaitMs = 5000;
// The pause that ends a frame the peer reads: a master writes its frame in one go.
constexpr uint32_t kFrameGapMs = 20;

class PtyLine {
public:
    // Unplugged; the peer's link in a folder of its own, the other at portPath or beside it.
    explicit PtyLine(const std::string& portPath = {});
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // The end for the party under test, and the peer's.
    const std::string& path() const { return path_; }
    const std::string& peerPath() const { return peerPath_; }
    // Starts socat and waits for both links; false, with a line on stderr, when they do not come.
    bool Plug();
    // Ends socat: both ptys vanish, and with them the links.
    void Unplug();
    bool Plugged() const { return plugged_; }

private:
    std::string folder_;
    std::string path_;
    std::string peerPath_;
    platform::ChildProcess socat_;
    std::atomic<bool> plugged_{false};
};

// One end of a line, raw and non-blocking; every wait is bounded.
class LineEnd {
public:
    LineEnd() = default;
    ~LineEnd() { Close(); }
    LineEnd(const LineEnd&) = delete;
    LineEnd& operator=(const LineEnd&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // One frame: waits up to firstMs for a byte, then reads until gapMs pass without one.
    // Empty after firstMs of silence; false when the line is gone.
    bool ReadFrame(uint32_t firstMs, uint32_t gapMs, std::vector<uint8_t>* frame,
                   std::chrono::steady_clock::time_point* lastByteAt = nullptr);
    // Whatever is queued now, without waiting; false on a read error (a line that has gone
    // shows as POLLHUP, and reads 0 bytes like an empty one).
    bool ReadQueued(std::vector<uint8_t>* bytes);
    bool Write(const uint8_t* data, size_t length);
    void DiscardInput();

private:
    int fd_ = -1;
};

}  // namespace modbus_testing
