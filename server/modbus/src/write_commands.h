#pragma once
// The channel's command state machine as a worker sees it at the top of each request turn: a
// pending client write or clock setting replaces the turn's read, an emergency read may follow
// a single-register write, and the outcome of the turn moves the state, the retry budget and
// the command status of the written field device.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "core/server.h"
#include "link.h"
#include "modbus/answer.h"
#include "modbus/planner.h"
#include "time_sync.h"

namespace modbus {

enum class TurnKind { kRead, kEmergencyRead, kWrite, kTimeSync, kSkip };

// What one request turn sends and how its answer is judged.
struct Turn {
    TurnKind kind = TurnKind::kRead;
    std::vector<uint8_t> pdu;
    SentFrame sent;
    uint16_t requestCount = 0;
    ReadRequest read;  // the read of the turn (the emergency read's own when there is one)
    uint8_t commandState = core::kCommandIdle;
    bool restartCycle = false;  // a one-request 32-bit write polls the device afresh
    bool raise = false;         // only the written field device is polled until the cycle ends
};

enum class TurnOutcome { kConfirmed, kNoAnswer, kException, kShort };

class WriteCommands {
public:
    WriteCommands(const AnswerLog& log, const Profile& profile, const core::ChannelRecord& channel,
                  size_t channelIndex);

    // Builds the turn of `request`, which passed the priority gate; without a request (a channel
    // that polls nothing) only a pending command makes a turn, else the turn is kSkip.
    Turn Begin(core::Server* server, const ReadRequest* request, TimeSync* sync, std::time_t now);
    // The frame that went out in this turn, for the emergency read of the next.
    void Sent(const Turn& turn, size_t frameLength);
    // The outcome of a write or clock-setting turn; true when the link is to be drained.
    bool Finish(core::Server* server, const Turn& turn, TurnOutcome outcome, uint8_t code,
                TimeSync* sync, std::time_t now);
    // A failed connect kept the pending command from going out: it uses a retry as an
    // unanswered turn does, so a device that is gone never gets a command hours late.
    void Unsent(core::Server* server, TimeSync* sync, std::time_t now);
    // The worker ends with a command it has not carried out: the write is aborted, for the client
    // that made it is gone and the next worker may come hours later.
    void Abandon(core::Server* server, const TimeSync& sync);
    // The tick count at which a write last set a command status (0 before the first).
    uint64_t lastStatusTick() const { return lastStatusTick_; }

private:
    struct PreviousFrame {
        bool singleWrite = false;  // a function 6 write
        uint8_t unit = 0;
        uint16_t reg = 0;
        uint16_t value = 0;
        size_t length = 0;
    };

    bool BuildWrite(core::Server* server, const core::WriteCommand& slot, Turn* turn);
    // The frame that writes `value` to the turn's register by the tag's write function.
    void BuildOneRegister(uint16_t value, Turn* turn) const;
    bool BuildEmergencyRead(Turn* turn);
    void RaiseAfterWrite(Turn* turn) const;
    void Confirm(core::Server* server, const Turn& turn);
    void SetStatus(core::Server* server, const Turn& turn, int32_t status);
    // The turn the slot's pending command would make; false when none is this worker's.
    bool Pending(core::Server* server, const TimeSync& sync, Turn* turn) const;
    void Abort(core::Server* server, const Turn& turn, const char* what, int32_t status);
    void Retry(core::Server* server, const Turn& turn, TimeSync* sync, std::time_t now);

    void Line(const LinkLine& line) const { line_(log_, line); }

    AnswerLog log_;
    Framing framing_;
    LineWriter line_;
    core::ChannelRecord channel_;
    size_t channelIndex_;
    EngineRules rules_;
    uint8_t retries_;
    PreviousFrame previous_;
    uint64_t lastStatusTick_ = 0;
};

}  // namespace modbus
