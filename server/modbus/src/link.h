#pragma once
// The pluggable link of the polling engine: a transport together with its framing. The engine
// (worker.cpp) drives every link the same way; what makes a worker kind (the link, its framing,
// the listing, the engine rules, the waits and the wording of its lines) is one Profile per type
// letter, all defined side by side in profiles.cpp.

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
#include "platform/serial.h"

namespace modbus {

enum class ReceiveStatus {
    kData,     // bytes arrived
    kTimeout,  // nothing within the first-byte timeout
    kClosed,   // the peer closed the connection
    kLost,     // the transport failed (a socket error, a serial device that is gone)
};

// The engine's lines whose wording differs between the worker kinds.
enum class LinkLineKind {
    kStarted,         // INFO: the worker started (value: channel id)
    kOpenFailed,      // ERROR: connect or port open failed (value: the platform error)
    kOpened,          // INFO: connected, or the port is open
    kLost,            // ERROR: the link broke while polling
    kSkippedSend,     // NOTICE: a read of the broadcast address is not sent...
    kSkippedReceive,  // NOTICE: ...nor awaited
    kSent,            // NOTICE, with the frame's dump
    kTxComplete,      // TRACE
    kSendFailed,      // ERROR: nothing went out (value: the platform error)
    kSendIncomplete,  // ERROR
    kNoResponse,      // WARNING: nothing arrived within the response timeout
    kArrived,         // TRACE: the answer has started to arrive
    kReceived,        // NOTICE, with the answer's dump
    kNoAnswer,        // WARNING
    kErrorAnswer,     // ERROR
    kException,       // ERROR, with the exception's text
    kDrain,           // WARNING: the rest of a faulty answer is awaited
    kPacketPause,     // before the packet pause
    kPacketPaused,    // after it
    kCyclePause,      // before the cycle pause
    kCyclePaused,     // after it
    kRetriesLeft,     // WARNING: a command failed, retried (value: retries left)
    kAborted,         // WARNING: a command is given up (text: "TX failed" or "execution failed")
    kStepOk,          // TRACE: the first word of a two-step write is confirmed
    kCommandOk,       // TRACE: the second word is
    kRaised,          // INFO: only the written field device is polled until the cycle ends
    kRestored,        // INFO: every request again
    kRequestDone,     // after every request and its pauses (value, count: the run condition)
    kFinished,        // INFO: the worker ends (value: channel id)
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
    long long value = 0;         // see the kinds
    const char* text = nullptr;  // see the kinds
    intptr_t handle = 0;         // the link's, for lines that name it
};

using LineWriter = void (*)(const AnswerLog& log, const LinkLine& line);

// The dump of a NOTICE line, empty when the log leaves such lines out: building it costs more
// than the rest of a turn's filtered lines.
std::string NoticeDump(kvlog::Handle log, const uint8_t* bytes, size_t size);

// The wordings of the three worker kinds.
void ModbusTcpLine(const AnswerLog& log, const LinkLine& line);
void RtuSerialLine(const AnswerLog& log, const LinkLine& line);
void RtuOverTcpLine(const AnswerLog& log, const LinkLine& line);

class Link {
public:
    virtual ~Link() = default;

    // 0, or the platform error code that the connection status shows.
    virtual int Open(uint32_t timeoutMs) = 0;
    virtual void Close() = 0;
    // The system's number of the transport, for log lines.
    virtual intptr_t Handle() const = 0;

    // What a transmit needs first: a serial line drops the rest of an earlier answer, so that
    // it is not taken for the answer of this frame. 0, or the platform error.
    virtual int DiscardPending() { return 0; }
    // Sends the frame once if the transport takes it within the timeout: 0, with *sent counting
    // the bytes that went out (fewer when the transport failed midway); else the platform error,
    // and nothing went out.
    virtual int Send(const std::vector<uint8_t>& frame, uint32_t timeoutMs, size_t* sent) = 0;
    // One answer of at most `capacity` bytes that starts within firstByteTimeoutMs: a socket
    // gives what one read returns (no reassembly), a serial line what arrives until the first
    // gap between bytes.
    virtual ReceiveStatus Receive(uint8_t* buffer, size_t capacity, uint32_t firstByteTimeoutMs,
                                  size_t* received) = 0;
};

// Where the workers differ in the engine's own steps, besides their links and wording.
struct EngineRules {
    uint8_t retryBudget = 3;
    bool emergencyReads = true;
    bool timeSynchronisation = true;
    // A one-request 32-bit write (state 5) polls the device afresh from the first request.
    bool restartAfterWrite32 = true;
    // After a one-step write (states 2 and 5) only the written field device is polled, every
    // request of it, until the cycle ends.
    bool raisedMode = false;
    // The transmits of every such worker go out one at a time.
    bool sharedSendLock = true;
    // After a faulty answer the link is read once for its remnants; else only the wait, and the
    // next transmit discards them.
    bool drainReadsRemnants = true;
    bool pauseAfterBroadcast = true;
    bool cyclePause = true;
    bool disconnectAfterCycle = true;
    // Every tag of the channel starts as a failed poll (unless m_ucQualityReset is 10).
    bool forceQuality = false;
    size_t receiveCapacity = kMaxAnswerSize;
};

using LinkMaker =
    std::function<std::unique_ptr<Link>(const core::ChannelRecord& channel, const AnswerLog& log)>;

// Everything that makes a worker kind.
struct Profile {
    uint8_t type;
    Framing framing;
    Listing listing;
    EngineRules rules;
    WorkerTimings timings;
    LineWriter line;
    bool portLines;  // the answer checks of RTU framing name the COM port
    LinkMaker makeLink;
};

// The profile of type letter 'd', 'e' or 'f'; nullptr for any other.
const Profile* ProfileOf(uint8_t type);

std::unique_ptr<Link> MakeTcpLink(const std::string& address, uint16_t port);
// The line of an RTU serial channel: 8 data bits, parity 1 odd and 2 even (mark, space and any
// other code none), two stop bits when two are configured, else one.
platform::SerialSettings SerialLineSettings(const core::ChannelRecord& channel);
// Opened with the channel's line settings; logs its own transmit lines to `log`.
std::unique_ptr<Link> MakeSerialLink(const core::ChannelRecord& channel, const AnswerLog& log);

// The polling engine of the profile: start, planning, connect, cycles, reconnects and the end.
// 0 after a normal end, 1 without a sockets library.
int RunEngine(core::Server* server, uint8_t channelId, const Profile& profile);

}  // namespace modbus
