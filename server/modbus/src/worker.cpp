// The polling engine that every device worker runs on its link: one outstanding request at a
// time, every wait bounded by the channel's response timeout, reconnects after a loss.

#include "modbus/worker.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <mutex>
#include <optional>
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
constexpr uint8_t kNoQualityForcing = 10;

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
           const Profile& profile)
        : server_(server),
          tables_(&server->tables),
          channelIndex_(channelIndex),
          channel_(channel),
          profile_(profile),
          timings_(profile.timings),
          rules_(profile.rules),
          framing_(profile.framing),
          log_{server->log, channel.m_strName, channel.m_ucComPort, channel.m_strAddress,
               profile.portLines},
          name_(log_.channel.c_str()),
          address_(channel_.m_strAddress.c_str()),
          sync_(server->log, channel.m_strName),
          commands_(log_, profile, channel, channelIndex),
          answer_(profile.rules.receiveCapacity, 0) {}

    int Run();

private:
    bool Running() const { return server_->ClientsPresent(); }
    bool SleepWhileRunning(uint32_t milliseconds) const;
    void ForceQuality();
    bool Polled(const ReadRequest& request);
    void LeaveRaisedMode();
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
    void LogLine(const LinkLine& line) const { profile_.line(log_, line); }
    unsigned AnswerUnit(size_t size) const {
        const size_t at = framing_ == Framing::kTcp ? kTcpHeaderSize - 1 : 0;
        return size > at ? answer_[at] : 0u;
    }

    core::Server* server_;
    core::RuntimeTables* tables_;
    size_t channelIndex_;
    core::ChannelRecord channel_;
    const Profile& profile_;
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
    // The field device whose requests alone are polled until the cycle ends, after a write.
    std::optional<uint8_t> raised_;
    std::vector<uint8_t> answer_;
};

bool Engine::SleepWhileRunning(uint32_t milliseconds) const {
    while (milliseconds > 0 && Running()) {
        const uint32_t slice = std::min(milliseconds, kSleepSliceMs);
        platform::SleepMs(slice);
        milliseconds -= slice;
    }
    return Running();
}

int Engine::Run() {
    link_ = profile_.makeLink(channel_, log_);
    LogLine({.kind = LinkLineKind::kStarted,
             .size = tables_->TagCount(),
             .start = channel_.m_wPacketPause,
             .count = channel_.m_wCyclePause,
             .value = channel_.m_ucID});
    if (rules_.timeSynchronisation) sync_.Collect(*tables_, channel_.m_ucID);
    plan_ = PlanRequests(server_, channelIndex_, profile_.listing, timings_.listingDelayMs);
    if (rules_.forceQuality) ForceQuality();

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
            if (step == Step::kGoOn && rules_.disconnectAfterCycle &&
                channel_.m_ucDisconnect == 1) {
                break;
            }
        }
        if (step == Step::kStopped) break;
        if (step == Step::kLost) {
            LogLine({.kind = LinkLineKind::kLost, .handle = link_->Handle()});
            link_->Close();
            SleepWhileRunning(timings_.lossPauseMs);
        }
    }
    link_->Close();
    commands_.Abandon(server_, sync_);
    // The line goes out before the thread field clears: whoever waits for that may close the log.
    LogLine({.kind = LinkLineKind::kFinished, .value = channel_.m_ucID});
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
        LogLine({.kind = LinkLineKind::kOpenFailed, .value = error});
        SetConnectionStatus(error);
        FailEveryRequest(nullptr);
        // The next try is seconds away: the device is gone now, not after that many retries.
        ShowLinkLoss(nullptr);
        commands_.Unsent(server_, &sync_, std::time(nullptr));
        if (!SleepWhileRunning(timings_.connectRetryMs)) return -1;
    }
    SetConnectionStatus(0);
    LogLine({.kind = LinkLineKind::kOpened, .handle = link_->Handle()});
    return SleepWhileRunning(timings_.afterConnectMs) ? 0 : -1;
}

// Until its first answer no tag of the channel shows an old value as good.
void Engine::ForceQuality() {
    if (channel_.m_ucQualityReset == kNoQualityForcing) return;
    static constexpr const char* kNames[] = {"OPC_QUALITY_BAD", "OPC_QUALITY_UNCERTAIN",
                                             "OPC_QUALITY_COMMFAILURE"};
    const uint8_t code = channel_.m_ucQualityReset;
    kvlog::Debug(log_.log, "WriteData: %s force all device tags to %s", name_,
                 code < 3 ? kNames[code] : "OPC_QUALITY_UNCERTAIN");
    for (ChannelTag& tag : plan_.tags) {
        tag.record.state = core::kTagNoFreshValue;
        tables_->UpdateTag(tag.index,
                           [](core::TagRecord& record) { record.state = core::kTagNoFreshValue; });
    }
}

// The priority gate, or in the raised mode the written field device's requests, every one.
bool Engine::Polled(const ReadRequest& request) {
    if (raised_) return request.address == *raised_;
    return DueThisCycle(const_cast<ReadRequest*>(&request));
}

void Engine::LeaveRaisedMode() {
    if (!raised_) return;
    LogLine({.kind = LinkLineKind::kRestored, .unit = *raised_});
    raised_.reset();
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
        if (!Polled(request)) {
            ++index;
            continue;
        }
        if (const Step step = Take(&request, &index); step != Step::kGoOn) {
            LeaveRaisedMode();
            return step;
        }
    }
    if (rules_.disconnectAfterCycle && channel_.m_ucDisconnect == 1) {
        kvlog::Info(log_.log, "WriteData: %s disconnecting from device %s (%s)", name_, name_,
                    address_);
        link_->Close();
    }
    if (rules_.cyclePause) CyclePause();
    LeaveRaisedMode();
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
    if (turn.raise) raised_ = turn.sent.unit;
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
    // Even a sleep of 0 gives up the core for the timer slack: dearer than a whole poll.
    if (timings_.afterRequestMs > 0) platform::SleepMs(timings_.afterRequestMs);
    if (turn.sent.unit != kBroadcastUnit || rules_.pauseAfterBroadcast) PacketPause();
    LogLine({.kind = LinkLineKind::kRequestDone,
             .count = static_cast<uint16_t>(server_->serverCount.load()),
             .value = server_->FactoryReferences()});
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
    if (link_->DiscardPending() != 0) return Step::kLost;
    Send(frame, *turn, block);
    commands_.Sent(*turn, frame.size());
    if (!Running()) return Step::kStopped;
    const Step step = Receive(turn, block);
    std::fill(answer_.begin(), answer_.end(), 0);
    if (step == Step::kGoOn && drain_) Drain();
    drain_ = false;
    return step;
}

void Engine::Send(const std::vector<uint8_t>& frame, const Turn& turn, size_t block) {
    std::unique_lock hold(SendLock(), std::defer_lock);
    if (rules_.sharedSendLock) hold.lock();
    if (turn.kind != TurnKind::kWrite && turn.kind != TurnKind::kTimeSync &&
        turn.sent.unit == kBroadcastUnit) {
        LogLine({.kind = LinkLineKind::kSkippedSend, .unit = kBroadcastUnit});
        return;
    }
    size_t sent = 0;
    if (const int error = link_->Send(frame, Timeout(), &sent); error != 0) {
        LogLine({.kind = LinkLineKind::kSendFailed, .value = error, .handle = link_->Handle()});
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
    size_t size = 0;
    const ReceiveStatus read = link_->Receive(answer_.data(), answer_.size(), Timeout(), &size);
    if (read == ReceiveStatus::kLost) return Step::kLost;
    if (read == ReceiveStatus::kTimeout) {
        LogLine({.kind = LinkLineKind::kNoResponse});
        Unanswered(*turn, block);
        Silent(block);
        return Step::kGoOn;
    }
    LogLine({.kind = LinkLineKind::kArrived});
    LogLine({.kind = LinkLineKind::kReceived,
             .unit = AnswerUnit(size),
             .bytes = answer_.data(),
             .size = size});
    if (read == ReceiveStatus::kClosed) {
        kvlog::Error(log_.log, "WriteData: %s unexpected close of connection at remote end", name_);
        return Step::kLost;
    }
    if (!Running()) return Step::kStopped;
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
    if (!rules_.drainReadsRemnants) return;  // the next transmit discards them
    size_t size = 0;
    const ReceiveStatus waited = link_->Receive(answer_.data(), answer_.size(), Timeout(), &size);
    platform::SleepMs(timings_.drainAfterMs);
    if (waited == ReceiveStatus::kData) {
        // What followed the first remnants while the drain settled goes with them.
        size_t more = 0;
        if (link_->Receive(answer_.data(), answer_.size(), 0, &more) == ReceiveStatus::kData) {
            size += more;
        }
        LogLine({.kind = LinkLineKind::kArrived});
        std::fill(answer_.begin(), answer_.end(), 0);
        kvlog::Warning(log_.log, "WriteData: %s data read, len=%u", name_,
                       static_cast<unsigned>(size));
    } else {
        LogLine({.kind = LinkLineKind::kNoResponse});
    }
    platform::SleepMs(timings_.drainAfterMs);
}

void Engine::PacketPause() const {
    if (channel_.m_wPacketPause == 0) return;
    LogLine({.kind = LinkLineKind::kPacketPause});
    SleepWhileRunning(channel_.m_wPacketPause);
    LogLine({.kind = LinkLineKind::kPacketPaused});
}

void Engine::CyclePause() const {
    if (channel_.m_wCyclePause == 0) return;
    LogLine({.kind = LinkLineKind::kCyclePause});
    SleepWhileRunning(channel_.m_wCyclePause);
    LogLine({.kind = LinkLineKind::kCyclePaused});
}

}  // namespace

int RunEngine(core::Server* server, uint8_t channelId, const Profile& profile) {
    size_t channelIndex = 0;
    core::ChannelRecord channel;
    if (!server->tables.FindChannel(channelId, &channelIndex) ||
        server->tables.GetChannel(channelIndex, &channel) != core::kOk) {
        kvlog::Error(server->log, "WriteData: no channel with device id %u", unsigned{channelId});
        core::ChannelThreadEnded(server, channelId);
        return 0;
    }
    Engine engine(server, channelIndex, channel, profile);
    return engine.Run();
}

}  // namespace modbus
