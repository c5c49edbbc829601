#include "write_commands.h"

#include <algorithm>
#include <array>
#include <optional>

#include "modbus/framing.h"
#include "platform/clock.h"

namespace modbus {
namespace {

constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadCoils = 1;
constexpr uint8_t kWriteSingle = 6;
constexpr uint8_t kWriteMultiple = 16;
constexpr uint16_t kEmergencyCount = 120;
constexpr uint16_t kModeRegister = 0x30;
constexpr uint8_t kLongRetryBudget = 5;  // after a step of a two-step 32-bit write

// Values of the mode register after which the controller's holding registers, or its coils,
// are read back at once.
constexpr std::array<uint16_t, 15> kModesReadingRegisters = {
    0x02, 0x05, 0x0D, 0x20, 0x21, 0x24, 0x25, 0x26, 0x29, 0x2A, 0x2B, 0x2E, 0x2F, 0x30, 0x33};
constexpr std::array<uint16_t, 17> kModesReadingCoils = {0x22, 0x23, 0x27, 0x28, 0x2C, 0x2D,
                                                         0x31, 0x32, 0x3C, 0x3D, 0x3E, 0x3F,
                                                         0x40, 0x41, 0x42, 0x43, 0x44};

template <size_t N>
bool Contains(const std::array<uint16_t, N>& values, uint16_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

// Function of the emergency read after a single-register write; 0 for none.
uint8_t EmergencyFunction(uint16_t reg, uint16_t value) {
    if (reg != kModeRegister || Contains(kModesReadingRegisters, value)) return kReadHolding;
    return Contains(kModesReadingCoils, value) ? kReadCoils : 0;
}

uint16_t Swapped(uint16_t word) {
    return static_cast<uint16_t>(word << 8 | word >> 8);
}

// The words of registers R and R + 1 that the read decoding of the byte order turns back into
// `value`; nothing for an order without such a layout.
std::optional<std::array<uint16_t, 2>> RegisterWords(uint32_t value, uint8_t byteOrder) {
    const uint16_t high = static_cast<uint16_t>(value >> 16);
    const uint16_t low = static_cast<uint16_t>(value);
    switch (byteOrder) {
        case 0:  // 1234
            return std::array<uint16_t, 2>{high, low};
        case 1:  // 4321: the least significant byte comes first
            return std::array<uint16_t, 2>{Swapped(low), Swapped(high)};
        case 3:  // 3412: the first register holds the low word
            return std::array<uint16_t, 2>{low, high};
        default:
            return std::nullopt;
    }
}

// Whether the tag's write function can carry the command: a 32-bit value in one request takes
// function 16, one register either function.
bool WriteFunctionServes(uint8_t function, uint8_t commandState) {
    if (commandState == core::kCommandWrite32) return function == kWriteMultiple;
    return function == kWriteSingle || function == kWriteMultiple;
}

// The request's numbers without its tag list, which the answer steps do not need.
ReadRequest Untagged(const ReadRequest& request) {
    ReadRequest copy;
    copy.address = request.address;
    copy.function = request.function;
    copy.start = request.start;
    copy.end = request.end;
    copy.count = request.count;
    copy.itemSize = request.itemSize;
    copy.priority = request.priority;
    return copy;
}

void SetRead(const ReadRequest& request, Turn* turn) {
    turn->read = Untagged(request);
    turn->pdu = ReadPdu(request.address, request.function, request.start, request.count);
    turn->sent.unit = request.address;
    turn->sent.function = request.function;
    turn->sent.start = request.start;
    turn->sent.count = request.count;
    turn->sent.write = false;
    turn->requestCount = request.count;
}

}  // namespace

WriteCommands::WriteCommands(const AnswerLog& log, const Profile& profile,
                             const core::ChannelRecord& channel, size_t channelIndex)
    : log_(log),
      framing_(profile.framing),
      line_(profile.line),
      channel_(channel),
      channelIndex_(channelIndex),
      rules_(profile.rules),
      retries_(profile.rules.retryBudget) {}

Turn WriteCommands::Begin(core::Server* server, const ReadRequest* request, TimeSync* sync,
                          std::time_t now) {
    Turn turn;
    if (request != nullptr) turn.read = Untagged(*request);
    core::WriteCommand slot;
    server->tables.GetWrite(channelIndex_, &slot);
    turn.commandState = slot.commandState;
    switch (slot.commandState) {
        case core::kCommandWrite16:
        case core::kCommandWrite32HighWord:
        case core::kCommandWrite32LowWord:
        case core::kCommandWrite32:
            if (!BuildWrite(server, slot, &turn)) turn.kind = TurnKind::kSkip;
            return turn;
        case core::kCommandTimeSync:
            if (!rules_.timeSynchronisation) break;
            turn.kind = TurnKind::kTimeSync;
            turn.pdu = sync->Pdu(now);
            turn.sent.unit = sync->PendingAddress();
            turn.sent.function = turn.pdu[1];
            turn.sent.write = true;
            return turn;
        default:
            break;
    }
    // An emergency read refreshes read tags, which a channel without requests has none of.
    if (request == nullptr) {
        turn.kind = TurnKind::kSkip;
        return turn;
    }
    if (rules_.emergencyReads && BuildEmergencyRead(&turn)) return turn;
    SetRead(*request, &turn);
    return turn;
}

bool WriteCommands::BuildWrite(core::Server* server, const core::WriteCommand& slot, Turn* turn) {
    const char* name = log_.channel.c_str();
    const char* address = channel_.m_strAddress.c_str();
    core::TagRecord tag;
    if (server->tables.GetTag(slot.tagIndex, &tag) != core::kOk ||
        tag.m_ucDevice != channel_.m_ucID) {
        server->tables.SetCommandState(channelIndex_, core::kCommandIdle);
        kvlog::Error(log_.log, "WriteData: %s error writing tag %s to device %s (%s)", name,
                     tag.m_strName.c_str(), name, address);
        return false;
    }
    turn->kind = TurnKind::kWrite;
    turn->sent.unit = tag.m_ucDeviceNo;
    turn->sent.function = tag.m_ucWriteFunction;
    turn->sent.start = static_cast<uint16_t>(tag.m_dwWriteRegister);
    turn->sent.write = true;
    const SentFrame& sent = turn->sent;

    if (!WriteFunctionServes(tag.m_ucWriteFunction, slot.commandState)) {
        kvlog::Error(log_.log,
                     "WriteData: %s refusing to write tag %s: write function %u cannot serve "
                     "command state %u",
                     name, tag.m_strName.c_str(), unsigned{tag.m_ucWriteFunction},
                     unsigned{slot.commandState});
        Abort(server, *turn, nullptr, 2);
        return false;
    }
    if (slot.commandState == core::kCommandWrite16) {
        BuildOneRegister(slot.value16, turn);
        RaiseAfterWrite(turn);
        return true;
    }
    const std::optional<std::array<uint16_t, 2>> words =
        RegisterWords(slot.value32, tag.m_ucByteOrder);
    if (!words) {
        kvlog::Error(log_.log,
                     "WriteData: %s refusing to write tag %s: byte order %u of a 32-bit value "
                     "has no register layout",
                     name, tag.m_strName.c_str(), unsigned{tag.m_ucByteOrder});
        Abort(server, *turn, nullptr, 2);
        return false;
    }
    if (slot.commandState == core::kCommandWrite32HighWord) {
        BuildOneRegister((*words)[0], turn);
        return true;
    }
    if (slot.commandState == core::kCommandWrite32LowWord) {
        turn->sent.start = static_cast<uint16_t>(sent.start + 1);
        BuildOneRegister((*words)[1], turn);
        return true;
    }
    const uint8_t value[4] = {
        static_cast<uint8_t>((*words)[0] >> 8), static_cast<uint8_t>((*words)[0]),
        static_cast<uint8_t>((*words)[1] >> 8), static_cast<uint8_t>((*words)[1])};
    turn->pdu = WriteDoublePdu(sent.unit, sent.function, sent.start, value);
    kvlog::Info(log_.log,
                "WriteData: %s send data: device 0x%02X, function %02X, start address 0x%04X, "
                "value 0x%08X",
                name, unsigned{sent.unit}, unsigned{sent.function}, unsigned{sent.start},
                slot.value32);
    if (rules_.restartAfterWrite32) {
        Line({.kind = LinkLineKind::kRaised, .unit = sent.unit});
        turn->restartCycle = true;
    }
    RaiseAfterWrite(turn);
    return true;
}

void WriteCommands::RaiseAfterWrite(Turn* turn) const {
    if (!rules_.raisedMode) return;
    Line({.kind = LinkLineKind::kRaised, .unit = turn->sent.unit});
    turn->restartCycle = true;
    turn->raise = true;
}

void WriteCommands::BuildOneRegister(uint16_t value, Turn* turn) const {
    const SentFrame& sent = turn->sent;
    turn->pdu = sent.function == kWriteSingle
                    ? WriteSinglePdu(sent.unit, sent.function, sent.start, value)
                    : WriteOneRegisterPdu(sent.unit, sent.function, sent.start, value);
    kvlog::Info(log_.log,
                "WriteData: %s send data: device %02X, function %02X, address %04X, value %04X",
                log_.channel.c_str(), unsigned{sent.unit}, unsigned{sent.function},
                unsigned{sent.start}, unsigned{value});
}

bool WriteCommands::BuildEmergencyRead(Turn* turn) {
    if (!previous_.singleWrite) return false;
    const uint8_t function = EmergencyFunction(previous_.reg, previous_.value);
    if (function == 0) return false;
    ReadRequest emergency;
    emergency.address = previous_.unit;
    emergency.function = function;
    emergency.start = 0;
    emergency.end = kEmergencyCount - 1;
    emergency.count = kEmergencyCount;
    emergency.itemSize = function == kReadCoils ? 1 : 16;
    SetRead(emergency, turn);
    turn->kind = TurnKind::kEmergencyRead;
    const char* name = log_.channel.c_str();
    kvlog::Notice(log_.log,
                  "WriteData: %s previous request data: device %02X, function %02X, address "
                  "%04X, number %04X, packet length %u, performing emergency request",
                  name, unsigned{previous_.unit}, unsigned{kWriteSingle}, unsigned{previous_.reg},
                  1u, static_cast<unsigned>(previous_.length));
    const size_t length = Frame(framing_, 0, turn->pdu).size();
    kvlog::Notice(log_.log,
                  "WriteData: %s request emergency data: device %02X, function %02X, start %04X, "
                  "number %04X, packet length %u",
                  name, unsigned{emergency.address}, unsigned{function}, 0u,
                  unsigned{kEmergencyCount}, static_cast<unsigned>(length));
    return true;
}

void WriteCommands::Sent(const Turn& turn, size_t frameLength) {
    previous_ = PreviousFrame{};
    if (turn.kind != TurnKind::kWrite || turn.sent.function != kWriteSingle) return;
    previous_.singleWrite = true;
    previous_.unit = turn.sent.unit;
    previous_.reg = turn.sent.start;
    previous_.value = static_cast<uint16_t>(turn.pdu[4] << 8 | turn.pdu[5]);
    previous_.length = frameLength;
}

void WriteCommands::SetStatus(core::Server* server, const Turn& turn, int32_t status) {
    const size_t block = server->tables.GetModbusDeviceID(channel_.m_ucID, turn.sent.unit);
    lastStatusTick_ = platform::TickCount64();
    server->tables.UpdateStatistics(
        channelIndex_, block, [status](core::StatisticsBlock& b) { b.commandStatus = status; });
}

void WriteCommands::Abort(core::Server* server, const Turn& turn, const char* what,
                          int32_t status) {
    if (what != nullptr) {
        Line({.kind = LinkLineKind::kAborted, .unit = turn.sent.unit, .text = what});
    }
    if (turn.kind == TurnKind::kTimeSync) {
        // A client write that came in during the clock's turn is still to be carried out.
        server->tables.UpdateChannel(channelIndex_, [](core::ChannelRecord& channel) {
            if (channel.commandState == core::kCommandTimeSync) {
                channel.commandState = core::kCommandIdle;
            }
        });
    } else {
        server->tables.SetCommandState(channelIndex_, core::kCommandIdle);
    }
    retries_ = rules_.retryBudget;
    if (turn.kind == TurnKind::kWrite) SetStatus(server, turn, status);
}

void WriteCommands::Retry(core::Server* server, const Turn& turn, TimeSync* sync, std::time_t now) {
    if (retries_ > 0) {
        --retries_;
        Line({.kind = LinkLineKind::kRetriesLeft, .unit = turn.sent.unit, .value = retries_});
        if (turn.kind == TurnKind::kWrite) SetStatus(server, turn, 1);
        return;
    }
    if (turn.kind == TurnKind::kTimeSync) {
        sync->Done(now);
        kvlog::Warning(log_.log, "WriteData: %s, Modbus device %u time synchronization FAILED!",
                       log_.channel.c_str(), unsigned{turn.sent.unit});
        Abort(server, turn, nullptr, 0);
        return;
    }
    Abort(server, turn, "TX failed", 2);
}

bool WriteCommands::Pending(core::Server* server, const TimeSync& sync, Turn* turn) const {
    core::WriteCommand slot;
    server->tables.GetWrite(channelIndex_, &slot);
    turn->commandState = slot.commandState;
    switch (slot.commandState) {
        case core::kCommandWrite16:
        case core::kCommandWrite32HighWord:
        case core::kCommandWrite32LowWord:
        case core::kCommandWrite32: {
            core::TagRecord tag;
            // A tag of another channel is dropped, with its line, by the next turn.
            if (server->tables.GetTag(slot.tagIndex, &tag) != core::kOk ||
                tag.m_ucDevice != channel_.m_ucID) {
                return false;
            }
            turn->kind = TurnKind::kWrite;
            turn->sent.unit = tag.m_ucDeviceNo;
            return true;
        }
        case core::kCommandTimeSync:
            if (!rules_.timeSynchronisation || !sync.Owns()) return false;
            turn->kind = TurnKind::kTimeSync;
            turn->sent.unit = sync.PendingAddress();
            return true;
        default:
            return false;
    }
}

void WriteCommands::Unsent(core::Server* server, TimeSync* sync, std::time_t now) {
    Turn turn;
    if (Pending(server, *sync, &turn)) Retry(server, turn, sync, now);
}

void WriteCommands::Abandon(core::Server* server, const TimeSync& sync) {
    Turn turn;
    if (!Pending(server, sync, &turn)) return;
    if (turn.kind == TurnKind::kWrite) {
        Abort(server, turn, "TX failed", 2);
    } else {
        server->tables.SetCommandState(channelIndex_, core::kCommandIdle);
    }
}

bool WriteCommands::Finish(core::Server* server, const Turn& turn, TurnOutcome outcome,
                           uint8_t code, TimeSync* sync, std::time_t now) {
    if (outcome == TurnOutcome::kNoAnswer) {
        Retry(server, turn, sync, now);
        return false;
    }
    if (turn.kind == TurnKind::kTimeSync) {
        // An error answer leaves the entry due, so the next cycle tries again.
        if (outcome == TurnOutcome::kConfirmed) sync->Done(now);
        Abort(server, turn, nullptr, 0);
        return outcome != TurnOutcome::kConfirmed;
    }
    if (outcome == TurnOutcome::kConfirmed) {
        Confirm(server, turn);
        return false;
    }
    if (outcome == TurnOutcome::kException && code >= 1 && code <= 3) {
        Abort(server, turn, "TX failed", 2);
        return false;
    }
    if (outcome == TurnOutcome::kException && code == 4) {
        Abort(server, turn, "execution failed", 4);
        return true;
    }
    Retry(server, turn, sync, now);
    return true;
}

void WriteCommands::Confirm(core::Server* server, const Turn& turn) {
    const unsigned unit = turn.sent.unit;
    switch (turn.commandState) {
        case core::kCommandWrite32HighWord:
            Line({.kind = LinkLineKind::kStepOk, .unit = unit});
            server->tables.SetCommandState(channelIndex_, core::kCommandWrite32LowWord);
            retries_ = kLongRetryBudget;
            SetStatus(server, turn, 8);
            return;
        case core::kCommandWrite32LowWord:
            Line({.kind = LinkLineKind::kCommandOk, .unit = unit});
            server->tables.SetCommandState(channelIndex_, core::kCommandIdle);
            retries_ = kLongRetryBudget;
            SetStatus(server, turn, 5);
            return;
        default:
            server->tables.SetCommandState(channelIndex_, core::kCommandIdle);
            retries_ = rules_.retryBudget;
            SetStatus(server, turn, 0);
    }
}

}  // namespace modbus
