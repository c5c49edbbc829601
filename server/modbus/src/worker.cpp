// The polling engine that every device worker runs on its link: one outstanding request at a
// time, every wait bounded by the channel's response timeout, reconnects after a loss.

#include "modbus/worker.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <mutex>
#include <vector>

#include "core/main.h"
#include "link.h"
#include "modbus/answer.h"
#include "modbus/framing.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "time_sync.h"
#include "write_commands.h"

namespace modbus {
namespace {

constexpr uint8_t kBroadcastUnit = 255;  // never polled
constexpr uint32_t kMinConnectTimeoutMs = 1000;
constexpr uint32_t kSleepSliceMs = 100;
constexpr uint32_t kEmptyCycleMs = 10;
constexpr uint64_t kCommandStatusHoldMs = 1000;
constexpr uint8_t kExceptionBit = 0x80;

// Sends of all workers go out one at a time.
std::mutex& SendLock() {
    static std::mutex lock;
    return lock;
}

enum class Step { kGoOn, kLost, kStopped };

bool SameRequest(const ReadRequest& a, const ReadRequest& b) {
    return a.address == b.address && a.function == b.function && a.start == b.start &&
           a.count == b.count;
}

class Engine {
public:
    Engine(core::Server* server, size_t channelIndex, const core::ChannelRecord& channel,
           const WorkerTimings& timings, const EngineRules& rules, Framing framing)
        : server_(server),
          tables_(&server->tables),
          channelIndex_(channelIndex),
          channel_(channel),
          timings_(timings),
          rules_(rules),
          framing_(framing),
          log_{server->log, channel.m_strName, channel.m_ucComPort, channel.m_strAddress},
          name_(log_.channel.c_str()),
          address_(channel_.m_strAddress.c_str()),
          sync_(server->log, channel.m_strName),
          commands_(log_, framing, channel, channelIndex, rules) {}

    int Run(Listing listing, std::unique_ptr<Link> link);

private:
    bool Running() const { return server_->ClientsPresent(); }
    bool SleepWhileRunning(uint32_t milliseconds) const;
    void LostDuringTurn(const Turn& turn);
    void FailEveryRequest(const Turn* lost);
    void Silent(size_t block);
    void SilentEverywhere();
    void ShowLinkLoss(const size_t* block);
    size_t BlockOf(const ReadRequest& request) const {
        return tables_->GetModbusDeviceID(channel_.m_ucID, request.address);
    }
    uint32_t Timeout() const { return channel_.m_wTimeout; }
    // 0 connected, 1 without sockets library, -1 stopped.
    int Connect();
    Step Cycle();
    Step Take(const ReadRequest* request, size_t* index);
    Step Serve(Turn* turn);
    Step Receive(Turn* turn, size_t block);
    void Send(const std::vector<uint8_t>& frame, const Turn& turn, size_t block);
    void Judge(Turn* turn, size_t block, size_t size);
    void Unanswered(const Turn& turn, size_t block);
    void ErrorAnswer(const Turn& turn, size_t block, AnswerClass answer, uint8_t code);
    void Stored(const Turn& turn, size_t block, size_t size);
    void Mismatch(size_t block);
    void Foreign(const Turn& turn, size_t block);
    void Good(size_t block);
    void Drain();
    void PacketPause() const;
    void CyclePause() const;
    void Count(size_t block, const std::function<void(core::StatisticsBlock&)>& change) {
        tables_->UpdateStatistics(channelIndex_, block, change);
    }
    void SetConnectionStatus(int32_t status) {
        tables_->UpdateChannel(channelIndex_,
                               [status](core::ChannelRecord& c) { c.connectionStatus = status; });
    }
    int Handle() const { return static_cast<int>(link_->Handle()); }
    void LogLine(const LinkLine& line) const { link_->LogLine(log_, line); }
    unsigned AnswerUnit(size_t size) const {
        const size_t at = framing_ == Framing::kTcp ? kTcpHeaderSize - 1 : 0;
        return size > at ? answer_[at] : 0u;
    }

    core::Server* server_;
    core::RuntimeTables* tables_;
    size_t channelIndex_;
    core::ChannelRecord channel_;
    WorkerTimings timings_;
    EngineRules rules_;
    Framing framing_;
    AnswerLog log_;
    const char* name_;
    const char* address_;
    TimeSync sync_;
    WriteCommands commands_;
    Plan plan_;
    std::unique_ptr<Link> link_;
    uint16_t transaction_ = 0;
    size_t resume_ = 0;  // the request a lost connection's next cycle begins with
    // Per field device: its turns in a row that got no byte back. One device that is off behind
    // a gateway or on a shared line must not make the others look lost.
    std::array<uint32_t, core::kMaxFieldDevices> silentTurns_{};
    bool drain_ = false;
    std::array<uint8_t, kMaxAnswerSize> answer_{};
};

bool Engine::SleepWhileRunning(uint32_t milliseconds) const {
    while (milliseconds > 0 && Running()) {
        const uint32_t slice = std::min(milliseconds, kSleepSliceMs);
        platform::SleepMs(slice);
        milliseconds -= slice;
    }
    return Running();
}

int Engine::Run(Listing listing, std::unique_ptr<Link> link) {
    link_ = std::move(link);
    kvlog::Info(log_.log, "WriteData: %s started, device id %u, packet delay %u, cycle delay %u",
                name_, unsigned{channel_.m_ucID}, unsigned{channel_.m_wPacketPause},
                unsigned{channel_.m_wCyclePause});
    if (rules_.timeSynchronisation) sync_.Collect(*tables_, channel_.m_ucID);
    plan_ = PlanRequests(server_, channelIndex_, listing, timings_.listingDelayMs);

    int result = 0;
    while (Running()) {
        const int connected = Connect();
        if (connected != 0) {
            result = connected > 0 ? 1 : 0;
            break;
        }
        Step step = Step::kGoOn;
        while (step == Step::kGoOn) {
            step = Cycle();
            if (step == Step::kGoOn && channel_.m_ucDisconnect == 1) break;
        }
        if (step == Step::kStopped) break;
        if (step == Step::kLost) {
            kvlog::Error(log_.log,
                         "WriteData: %s restarting thread due to possible connection loss to "
                         "device %s (%s), socket=%d",
                         name_, name_, address_, Handle());
            link_->Close();
            platform::SleepMs(timings_.lossPauseMs);
        }
    }
    link_->Close();
    commands_.Abandon(server_, sync_);
    // The line goes out before the thread field clears: whoever waits for that may close the log.
    kvlog::Info(log_.log, "WriteData: finished normally, device id %u", unsigned{channel_.m_ucID});
    core::ChannelThreadEnded(server_, channel_.m_ucID);
    return result;
}

int Engine::Connect() {
    if (platform::StartupSockets() != 0) {
        kvlog::Error(log_.log, "WriteData: %s cannot initialize WinSock", name_);
        return 1;
    }
    // A peer that never completes the handshake must not hold the worker past its timeout.
    const uint32_t timeout = std::max<uint32_t>(Timeout(), kMinConnectTimeoutMs);
    while (true) {
        if (!Running()) return -1;
        const int error = link_->Open(timeout);
        if (error == 0) break;
        kvlog::Error(log_.log, "WriteData: %s connecting to device %s (%s)... ERROR %d", name_,
                     name_, address_, error);
        SetConnectionStatus(error);
        FailEveryRequest(nullptr);
        // The next try is 10 s away: the device is gone now, not after that many retries.
        ShowLinkLoss(nullptr);
        commands_.Unsent(server_, &sync_, std::time(nullptr));
        if (!SleepWhileRunning(timings_.connectRetryMs)) return -1;
    }
    SetConnectionStatus(0);
    kvlog::Info(log_.log, "WriteData: %s connecting to device %s (%s)... OK, socket=%d", name_,
                name_, address_, Handle());
    return 0;
}

Step Engine::Cycle() {
    if (!Running()) return Step::kStopped;
    size_t index = resume_;
    resume_ = 0;
    const bool fresh = index == 0;  // else the rest of a cycle a lost connection broke
    if (fresh && rules_.timeSynchronisation) {
        sync_.Check(tables_, channelIndex_, std::time(nullptr));
    }
    if (plan_.requests.empty()) {
        // Write-only tags plan no read: their commands take a turn of their own.
        size_t none = 0;
        if (const Step step = Take(nullptr, &none); step != Step::kGoOn) return step;
    }
    while (index < plan_.requests.size()) {
        if (!Running()) return Step::kStopped;
        ReadRequest& request = plan_.requests[index];
        if (!DueThisCycle(&request)) {
            ++index;
            continue;
        }
        if (const Step step = Take(&request, &index); step != Step::kGoOn) return step;
    }
    if (channel_.m_ucDisconnect == 1) {
        kvlog::Info(log_.log, "WriteData: %s disconnecting from device %s (%s)", name_, name_,
                    address_);
        link_->Close();
    }
    CyclePause();
    if (plan_.requests.empty()) platform::SleepMs(kEmptyCycleMs);
    return Step::kGoOn;
}

// One request turn; `index` moves on to the request of the next turn.
Step Engine::Take(const ReadRequest* request, size_t* index) {
    Turn turn = commands_.Begin(server_, request, &sync_, std::time(nullptr));
    if (turn.kind == TurnKind::kSkip) {
        ++*index;
        return Step::kGoOn;
    }
    const Step step = Serve(&turn);
    if (step == Step::kStopped) return step;
    ++transaction_;
    const bool displacedRead = turn.kind == TurnKind::kWrite || turn.kind == TurnKind::kTimeSync;
    if (turn.restartCycle) {
        *index = 0;
    } else if (!displacedRead) {
        ++*index;
    }
    if (step == Step::kLost) {
        LostDuringTurn(turn);
        // The new connection goes on where this one would have: a request that makes the device
        // drop the connection must not starve the requests behind it.
        if (request != nullptr) resume_ = *index;
        return step;
    }
    PacketPause();
    return Step::kGoOn;
}

Step Engine::Serve(Turn* turn) {
    turn->sent.transaction = transaction_;
    const std::vector<uint8_t> frame = Frame(framing_, transaction_, turn->pdu);
    if (turn->kind == TurnKind::kRead) {
        kvlog::Notice(log_.log,
                      "WriteData: %s request data: device %02X, function %02X, start %04X, "
                      "number %04X, packet length %u",
                      name_, unsigned{turn->sent.unit}, unsigned{turn->sent.function},
                      unsigned{turn->sent.start}, unsigned{turn->sent.count},
                      static_cast<unsigned>(frame.size()));
    }
    const size_t block = tables_->GetModbusDeviceID(channel_.m_ucID, turn->sent.unit);
    if (!Running()) return Step::kStopped;
    Send(frame, *turn, block);
    commands_.Sent(*turn, frame.size());
    if (!Running()) return Step::kStopped;
    const Step step = Receive(turn, block);
    answer_.fill(0);
    if (step == Step::kGoOn && drain_) Drain();
    drain_ = false;
    return step;
}

void Engine::Send(const std::vector<uint8_t>& frame, const Turn& turn, size_t block) {
    std::lock_guard hold(SendLock());
    if (turn.kind != TurnKind::kWrite && turn.kind != TurnKind::kTimeSync &&
        turn.sent.unit == kBroadcastUnit) {
        LogLine({.kind = LinkLineKind::kSkippedSend, .unit = kBroadcastUnit});
        return;
    }
    size_t sent = 0;
    if (const int error = link_->Send(frame, Timeout(), &sent); error != 0) {
        kvlog::Error(log_.log, "WriteData: %s waiting to send: select - error %d, socket=%d", name_,
                     error, Handle());
        return;
    }
    const unsigned unit = turn.sent.unit;
    LogLine(
        {.kind = LinkLineKind::kSent, .unit = unit, .bytes = frame.data(), .size = frame.size()});
    if (sent < frame.size()) {
        LogLine({.kind = LinkLineKind::kSendIncomplete,
                 .unit = unit,
                 .bytes = frame.data(),
                 .size = sent});
        return;
    }
    Count(block, [](core::StatisticsBlock& b) { ++b.txCount; });
    LogLine({.kind = LinkLineKind::kTxComplete, .unit = unit});
}

Step Engine::Receive(Turn* turn, size_t block) {
    const bool polled = turn->kind == TurnKind::kRead || turn->kind == TurnKind::kEmergencyRead;
    if (polled && turn->sent.unit == kBroadcastUnit) {
        LogLine({.kind = LinkLineKind::kSkippedReceive, .unit = kBroadcastUnit});
        Unanswered(*turn, block);
        return Step::kGoOn;
    }
    const ReceiveStatus waited = link_->WaitAnswer(Timeout());
    if (waited == ReceiveStatus::kLost) return Step::kLost;
    if (waited == ReceiveStatus::kTimeout) {
        LogLine({.kind = LinkLineKind::kNoResponse});
        Unanswered(*turn, block);
        Silent(block);
        return Step::kGoOn;
    }
    LogLine({.kind = LinkLineKind::kArrived});
    size_t size = 0;
    const ReceiveStatus read = link_->Read(answer_.data(), answer_.size(), &size);
    if (read == ReceiveStatus::kLost) return Step::kLost;
    LogLine({.kind = LinkLineKind::kReceived,
             .unit = AnswerUnit(size),
             .bytes = answer_.data(),
             .size = size});
    if (read == ReceiveStatus::kClosed) {
        kvlog::Error(log_.log, "WriteData: %s unexpected close of connection at remote end", name_);
        return Step::kLost;
    }
    if (!Running()) return Step::kStopped;
    if (read == ReceiveStatus::kTimeout) {
        Unanswered(*turn, block);
        Silent(block);
        return Step::kGoOn;
    }
    silentTurns_[block] = 0;
    Judge(turn, block, size);
    return Step::kGoOn;
}

void Engine::Judge(Turn* turn, size_t block, size_t size) {
    const AnswerClass answer = Classify(framing_, log_, turn->sent, answer_.data(), size);
    const bool tcp = framing_ == Framing::kTcp;  // RTU framing logs its own classification
    if (answer == AnswerClass::kShort) {
        if (tcp) {
            kvlog::Error(log_.log, "WriteData: %s response was too short - %d chars", name_,
                         static_cast<int>(size));
        }
        ErrorAnswer(*turn, block, answer, 0);
        return;
    }
    if (answer == AnswerClass::kException || answer == AnswerClass::kCrcFailed) {
        const uint8_t code = ExceptionCode(framing_, answer_.data(), size);
        if (tcp && answer == AnswerClass::kException) {
            kvlog::Error(log_.log, "WriteData: %s MODBUS exception response - type %d", name_,
                         int{code});
        }
        if (answer == AnswerClass::kException &&
            !ExceptionMatches(framing_, log_, turn->sent, answer_.data(), size)) {
            Foreign(*turn, block);
            return;
        }
        ErrorAnswer(*turn, block, answer, code);
        return;
    }
    if (tcp) {
        kvlog::Notice(log_.log, "WriteData: %s received packet (len=%u) OK", name_,
                      static_cast<unsigned>(size));
    }
    Count(block, [](core::StatisticsBlock& b) { ++b.rxCount; });
    const bool matches =
        AnswerMatches(framing_, log_, turn->sent, turn->requestCount, answer_.data(), size);
    if (!matches) {
        Foreign(*turn, block);
        return;
    }
    if (turn->sent.write) {
        commands_.Finish(server_, *turn, TurnOutcome::kConfirmed, 0, &sync_, std::time(nullptr));
        Good(block);
    } else {
        Stored(*turn, block, size);
    }
}

// An answer that belongs to another request (a late one) is no answer to this turn: it neither
// confirms nor refuses a write, whose own answer the drain may take with it.
void Engine::Foreign(const Turn& turn, size_t block) {
    Mismatch(block);
    if (turn.sent.write) {
        commands_.Finish(server_, turn, TurnOutcome::kNoAnswer, 0, &sync_, std::time(nullptr));
    }
}

void Engine::Stored(const Turn& turn, size_t block, size_t size) {
    // Every outcome of a write stays visible for a while, a failure as long as a success, then
    // the status shows nothing.
    if (platform::TickCount64() - commands_.lastStatusTick() >= kCommandStatusHoldMs) {
        Count(block, [](core::StatisticsBlock& b) { b.commandStatus = -1; });
    }
    StoreReadAnswer(framing_, log_, turn.sent, answer_.data(), size, &plan_.tags, tables_);
    Good(block);
}

void Engine::Good(size_t block) {
    Count(block, [](core::StatisticsBlock& b) {
        b.consecutiveFaults = 0;
        b.connected = 1;
    });
}

// A connection that broke during a turn is no answer to that turn (a write uses a retry) and a
// failed poll of every other request.
void Engine::LostDuringTurn(const Turn& turn) {
    Unanswered(turn, tables_->GetModbusDeviceID(channel_.m_ucID, turn.sent.unit));
    FailEveryRequest(&turn);
    SilentEverywhere();
}

// A connect that failed, or a connection that broke during the turn `lost`, is a failed poll of
// every request at once (after a break, a frame went out and got no answer). Each field device
// counts it as one fault in a row, so that one break does not stand for the threshold's faults;
// the broken turn has counted its own field device and read already.
void Engine::FailEveryRequest(const Turn* lost) {
    const bool unanswered = lost != nullptr;
    const bool lostRead =
        unanswered && (lost->kind == TurnKind::kRead || lost->kind == TurnKind::kEmergencyRead);
    const ReadRequest* counted = lostRead ? &lost->read : nullptr;
    std::vector<size_t> blocks;
    if (unanswered) blocks.push_back(tables_->GetModbusDeviceID(channel_.m_ucID, lost->sent.unit));
    for (const ReadRequest& request : plan_.requests) {
        CountLinkFault(request, counted, &plan_.tags, tables_);
        if (counted != nullptr && SameRequest(request, *counted)) continue;
        const size_t block = BlockOf(request);
        const bool first = std::find(blocks.begin(), blocks.end(), block) == blocks.end();
        if (first) blocks.push_back(block);
        Count(block, [unanswered, first](core::StatisticsBlock& b) {
            if (first) ++b.consecutiveFaults;
            if (unanswered) ++b.noAnswerCount;
        });
    }
}

// A field device that answers nothing for the channel's threshold of turns in a row is lost,
// whichever of its requests those turns served.
void Engine::Silent(size_t block) {
    const uint32_t threshold = std::max<uint32_t>(channel_.m_ucFailThreshold, 1);
    if (++silentTurns_[block] == threshold) ShowLinkLoss(&block);
}

// A broken connection silences every field device behind it.
void Engine::SilentEverywhere() {
    std::vector<size_t> blocks;
    for (const ReadRequest& request : plan_.requests) {
        const size_t block = BlockOf(request);
        if (std::find(blocks.begin(), blocks.end(), block) != blocks.end()) continue;
        blocks.push_back(block);
        Silent(block);
    }
}

// Every tag of the field device (of the channel, without one) reaches the threshold at once, so
// that the next cache cycle shows the link-loss quality: a device that is gone must not look good
// for a fault per request turn, or per connect retry. The lost connection shows with it, in the
// same cache cycle or the next.
void Engine::ShowLinkLoss(const size_t* block) {
    const uint32_t threshold = channel_.m_ucFailThreshold;
    for (const ReadRequest& request : plan_.requests) {
        const size_t of = BlockOf(request);
        if (block != nullptr && of != *block) continue;
        Count(of, [threshold](core::StatisticsBlock& b) {
            b.consecutiveFaults = std::max(b.consecutiveFaults, threshold);
            b.connected = 0;
        });
        RaiseFaultCount(request, static_cast<int32_t>(threshold), &plan_.tags, tables_);
    }
}

void Engine::Mismatch(size_t block) {
    Count(block, [](core::StatisticsBlock& b) {
        ++b.noAnswerCount;
        ++b.consecutiveFaults;
    });
    drain_ = true;
}

void Engine::Unanswered(const Turn& turn, size_t block) {
    LogLine(
        {.kind = LinkLineKind::kNoAnswer, .unit = turn.sent.unit, .function = turn.sent.function});
    const uint32_t threshold = channel_.m_ucFailThreshold;
    Count(block, [threshold](core::StatisticsBlock& b) {
        ++b.noAnswerCount;
        ++b.consecutiveFaults;
        if (b.consecutiveFaults >= threshold) b.connected = 0;
    });
    if (turn.sent.write) {
        commands_.Finish(server_, turn, TurnOutcome::kNoAnswer, 0, &sync_, std::time(nullptr));
    } else {
        MarkReadFailed(turn.read, &plan_.tags, tables_);
    }
}

void Engine::ErrorAnswer(const Turn& turn, size_t block, AnswerClass answer, uint8_t code) {
    LinkLine line{.kind = LinkLineKind::kErrorAnswer,
                  .unit = turn.sent.unit,
                  .function = turn.sent.function & ~kExceptionBit & 0xFFu,
                  .code = code,
                  .start = turn.read.start,
                  .count = turn.read.count};
    LogLine(line);
    const bool exception = answer == AnswerClass::kException;
    if (exception) {
        platform::Beep(1000, 10);
        line.kind = LinkLineKind::kException;
        LogLine(line);
    }
    const uint32_t threshold = channel_.m_ucFailThreshold;
    Count(block, [exception, threshold](core::StatisticsBlock& b) {
        ++b.consecutiveFaults;
        if (exception) {
            ++b.exceptionCount;
        } else {
            ++b.crcFailCount;
        }
        if (b.consecutiveFaults >= threshold) b.connected = 0;
    });
    if (turn.sent.write) {
        const TurnOutcome outcome = exception ? TurnOutcome::kException : TurnOutcome::kShort;
        if (commands_.Finish(server_, turn, outcome, code, &sync_, std::time(nullptr))) {
            drain_ = true;
        }
        return;
    }
    MarkReadFailed(turn.read, &plan_.tags, tables_);
    drain_ = true;
}

void Engine::Drain() {
    LogLine({.kind = LinkLineKind::kDrain});
    platform::SleepMs(timings_.drainFirstMs);
    const ReceiveStatus waited = link_->WaitAnswer(Timeout());
    platform::SleepMs(timings_.drainAfterMs);
    if (waited == ReceiveStatus::kData) {
        LogLine({.kind = LinkLineKind::kArrived});
        size_t size = 0;
        link_->Read(answer_.data(), answer_.size(), &size);
        answer_.fill(0);
        kvlog::Warning(log_.log, "WriteData: %s data read, len=%u", name_,
                       static_cast<unsigned>(size));
    } else {
        LogLine({.kind = LinkLineKind::kNoResponse});
    }
    platform::SleepMs(timings_.drainAfterMs);
}

void Engine::PacketPause() const {
    if (channel_.m_wPacketPause == 0) return;
    kvlog::Debug(log_.log, "WriteData: %s Starting packet pause...", name_);
    SleepWhileRunning(channel_.m_wPacketPause);
    kvlog::Debug(log_.log, "WriteData: %s Packet pause completed.", name_);
}

void Engine::CyclePause() const {
    if (channel_.m_wCyclePause == 0) return;
    kvlog::Trace(log_.log, "WriteData: %s Starting cycle pause...", name_);
    SleepWhileRunning(channel_.m_wCyclePause);
    kvlog::Trace(log_.log, "WriteData: %s Cycle pause completed.", name_);
}

}  // namespace

int RunEngine(core::Server* server, uint8_t channelId, const WorkerTimings& timings,
              const EngineRules& rules, Listing listing, const LinkFactory& makeLink) {
    size_t channelIndex = 0;
    core::ChannelRecord channel;
    if (!server->tables.FindChannel(channelId, &channelIndex) ||
        server->tables.GetChannel(channelIndex, &channel) != core::kOk) {
        kvlog::Error(server->log, "WriteData: no channel with device id %u", unsigned{channelId});
        core::ChannelThreadEnded(server, channelId);
        return 0;
    }
    std::unique_ptr<Link> link = makeLink(channel);
    Engine engine(server, channelIndex, channel, timings, rules, link->framing());
    return engine.Run(listing, std::move(link));
}

int RunModbusTcpWorker(core::Server* server, uint8_t channelId, const WorkerTimings& timings) {
    return RunEngine(server, channelId, timings, EngineRules{}, Listing::kTcp,
                     [](const core::ChannelRecord& channel) {
                         return MakeTcpLink(channel.m_strAddress, channel.m_wPort);
                     });
}

void ModbusTcpWorker(core::Server* server, uint8_t channelId) {
    RunModbusTcpWorker(server, channelId, WorkerTimings{});
}

}  // namespace modbus
