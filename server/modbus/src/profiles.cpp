// The three Modbus worker kinds side by side: each is the one polling engine with its link,
// framing, listing, rules, waits and wording.

#include "link.h"

namespace modbus {
namespace {

std::unique_ptr<Link> TcpLinkOf(const core::ChannelRecord& channel, const AnswerLog&) {
    return MakeTcpLink(channel.m_strAddress, channel.m_wPort);
}

WorkerTimings ModbusTcpTimings() {
    return WorkerTimings{};
}

WorkerTimings RtuSerialTimings() {
    WorkerTimings timings;
    timings.connectRetryMs = 10000;  // a port that is gone is tried again this often
    // A port that opens but then fails must not be opened again in a tight loop.
    timings.lossPauseMs = timings.connectRetryMs;
    return timings;
}

WorkerTimings RtuOverTcpTimings() {
    WorkerTimings timings;
    timings.connectRetryMs = 5000;
    timings.lossPauseMs = 2000;
    timings.afterConnectMs = 1000;
    timings.afterRequestMs = 25;
    return timings;
}

const Profile kModbusTcp{
    .type = 'd',
    .framing = Framing::kTcp,
    .listing = Listing::kTcp,
    .rules = {},
    .timings = ModbusTcpTimings(),
    .line = ModbusTcpLine,
    .portLines = false,
    .makeLink = TcpLinkOf,
};

const Profile kRtuSerial{
    .type = 'e',
    .framing = Framing::kRtu,
    .listing = Listing::kRtu,
    .rules = {.retryBudget = 5,
              .emergencyReads = false,
              .timeSynchronisation = true,
              .restartAfterWrite32 = false,
              .raisedMode = true,
              // 256 bytes at 9600 baud are on the line for 270 ms: no other channel waits.
              .sharedSendLock = false,
              .drainReadsRemnants = false,
              .pauseAfterBroadcast = false,
              .cyclePause = true,
              .disconnectAfterCycle = false,
              .forceQuality = true,
              .receiveCapacity = 1024},
    .timings = RtuSerialTimings(),
    .line = RtuSerialLine,
    .portLines = true,
    .makeLink = MakeSerialLink,
};

const Profile kRtuOverTcp{
    .type = 'f',
    .framing = Framing::kRtu,
    .listing = Listing::kRtu,
    .rules = {.retryBudget = 3,
              .emergencyReads = false,
              .timeSynchronisation = false,
              .restartAfterWrite32 = false,
              .raisedMode = false,
              .sharedSendLock = true,
              .drainReadsRemnants = true,
              .pauseAfterBroadcast = false,
              .cyclePause = false,
              .disconnectAfterCycle = false,
              .forceQuality = true,
              .receiveCapacity = kMaxAnswerSize},
    .timings = RtuOverTcpTimings(),
    .line = RtuOverTcpLine,
    .portLines = false,
    .makeLink = TcpLinkOf,
};

}  // namespace

const Profile* ProfileOf(uint8_t type) {
    switch (type) {
        case 'd':
            return &kModbusTcp;
        case 'e':
            return &kRtuSerial;
        case 'f':
            return &kRtuOverTcp;
        default:
            return nullptr;
    }
}

WorkerTimings DefaultTimings(uint8_t type) {
    const Profile* profile = ProfileOf(type);
    return profile != nullptr ? profile->timings : WorkerTimings{};
}

int RunWorker(core::Server* server, uint8_t type, uint8_t channelId, const WorkerTimings& timings) {
    const Profile* known = ProfileOf(type);
    if (known == nullptr) return 0;
    Profile profile = *known;
    profile.timings = timings;
    return RunEngine(server, channelId, profile);
}

int RunModbusTcpWorker(core::Server* server, uint8_t channelId, const WorkerTimings& timings) {
    return RunWorker(server, 'd', channelId, timings);
}

void ModbusTcpWorker(core::Server* server, uint8_t channelId) {
    RunEngine(server, channelId, kModbusTcp);
}

void RtuSerialWorker(core::Server* server, uint8_t channelId) {
    RunEngine(server, channelId, kRtuSerial);
}

void RtuOverTcpWorker(core::Server* server, uint8_t channelId) {
    RunEngine(server, channelId, kRtuOverTcp);
}

}  // namespace modbus
