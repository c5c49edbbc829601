#pragma once
// The pluggable link of the polling engine: a transport together with its framing. The engine
// (worker.cpp) drives every link the same way; the Modbus-TCP backend is a TCP socket with the
// Modbus-TCP header. The RTU workers plug in as further backends (a serial port, or a TCP
// socket carrying RTU frames) and change only what EngineRules lists and, for a serial port,
// the wording of the lines about the traffic (LogLine).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/server.h"
#include "log/kvlog.h"
#include "modbus/answer.h"
#include "modbus/framing.h"
#include "modbus/planner.h"
#include "modbus/worker.h"

namespace modbus {

enum class ReceiveStatus {
    kData,     // bytes arrived
    kTimeout,  // nothing within the response timeout
    kClosed,   // the peer closed the connection
    kLost,     // the transport failed
};

// The engine's lines about a link's traffic, each naming the far end.
enum class LinkLineKind {
    kSkippedSend,     // NOTICE: a read of the broadcast address is not sent...
    kSkippedReceive,  // NOTICE: ...nor awaited
    kSent,            // NOTICE, with the frame's dump
    kTxComplete,      // TRACE
    kSendIncomplete,  // ERROR
    kNoResponse,      // WARNING: nothing arrived within the response timeout
    kArrived,         // TRACE: the answer has started to arrive
    kReceived,        // NOTICE, with the answer's dump
    kNoAnswer,        // WARNING
    kErrorAnswer,     // ERROR
    kException,       // ERROR, with the exception's text
    kDrain,           // WARNING: the rest of a faulty answer is awaited
};

struct LinkLine {
    LinkLineKind kind;
    unsigned unit = 0;
    unsigned function = 0;           // without the exception bit
    const uint8_t* bytes = nullptr;  // the frame or the answer
    size_t size = 0;                 // of `bytes`; for kSendIncomplete, the bytes that went out
    uint8_t code = 0;                // of an exception
    uint16_t start = 0;              // of the request
    uint16_t count = 0;
};

// The dump of a NOTICE line, empty when the log leaves such lines out: building it costs more
// than the rest of a turn's filtered lines.
std::string NoticeDump(kvlog::Handle log, const uint8_t* bytes, size_t size);

class Link {
public:
    virtual ~Link() = default;

    virtual Framing framing() const = 0;
    // 0, or the platform error code that the connection status shows.
    virtual int Open(uint32_t timeoutMs) = 0;
    virtual void Close() = 0;
    // The system's number of the transport, for log lines.
    virtual intptr_t Handle() const = 0;

    // Sends the frame once if the transport takes it within the timeout: 0, with *sent counting
    // the bytes that went out (fewer when the transport failed midway); else the platform error
    // of the wait for send readiness, and nothing went out.
    virtual int Send(const std::vector<uint8_t>& frame, uint32_t timeoutMs, size_t* sent) = 0;
    // Waits at most timeoutMs for the answer to start.
    virtual ReceiveStatus WaitAnswer(uint32_t timeoutMs) = 0;
    // One read of what has arrived, at most `capacity` bytes; no reassembly of partial answers.
    virtual ReceiveStatus Read(uint8_t* buffer, size_t capacity, size_t* received) = 0;

    // Writes the line in the wording of Modbus-TCP, which names the device by channel name and
    // address; a link whose lines name something else (a serial port) overrides only this.
    virtual void LogLine(const AnswerLog& log, const LinkLine& line) const;
};

// Where the workers differ, besides their links. The Modbus-TCP values are the defaults; the
// RTU serial worker uses: retry budget 5, write states 2 and 5 raising the field device's
// priority, no emergency reads, no reconnect (port opened once); RTU over TCP: connect retry
// 5000 ms, 2000 ms after a connection loss, only command state 2, no time synchronisation.
struct EngineRules {
    uint8_t retryBudget = 3;
    bool emergencyReads = true;
    bool timeSynchronisation = true;
};

std::unique_ptr<Link> MakeTcpLink(const std::string& address, uint16_t port);

using LinkFactory = std::function<std::unique_ptr<Link>(const core::ChannelRecord& channel)>;

// The polling engine on the link that `makeLink` gives for the channel: start, planning,
// connect, cycles, reconnects and the end. 0 after a normal end, 1 without a sockets library.
int RunEngine(core::Server* server, uint8_t channelId, const WorkerTimings& timings,
              const EngineRules& rules, Listing listing, const LinkFactory& makeLink);

}  // namespace modbus
