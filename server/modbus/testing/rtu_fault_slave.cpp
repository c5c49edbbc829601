// Answers are built from the request alone: reads return zeros, writes their echo, so a test
// only has to script what should go wrong.

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "modbus_testing/rtu_peers.h"
#include "pty_line.h"

namespace modbus_testing {
namespace {

constexpr uint32_t kPollSliceMs = 50;
constexpr size_t kRequestSize = 8;  // unit id, function, address, count or value, CRC
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalDataValue = 3;

std::vector<uint8_t> ExceptionBody(const std::vector<uint8_t>& request, uint8_t code) {
    return {request[0], static_cast<uint8_t>(request[1] | 0x80), code};
}

// The data bytes a read of `count` items takes, 0 when a slave would refuse the count.
size_t ReadDataSize(uint8_t function, uint16_t count) {
    const bool bits = function <= 2;
    const uint16_t most = bits ? 2000 : 125;
    if (count == 0 || count > most) return 0;
    return bits ? (count + 7u) / 8u : 2u * count;
}

// The correct answer without its CRC.
std::vector<uint8_t> CorrectBody(const std::vector<uint8_t>& request) {
    if (request.size() < kRequestSize) return ExceptionBody(request, kIllegalDataValue);
    const uint8_t function = request[1];
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4: {
            const size_t data = ReadDataSize(function, uint16_t(request[4] << 8 | request[5]));
            if (data == 0) return ExceptionBody(request, kIllegalDataValue);
            std::vector<uint8_t> body = {request[0], function, static_cast<uint8_t>(data)};
            body.resize(body.size() + data, 0);
            return body;
        }
        case 5:
        case 6:
        case 15:
        case 16:
            return {request.begin(), request.begin() + 6};
        default:
            return ExceptionBody(request, kIllegalFunction);
    }
}

bool IsReadAnswer(const std::vector<uint8_t>& body) {
    return body.size() >= 3 && body[1] >= 1 && body[1] <= 4;
}

// What the step makes of the correct answer, CRC included; empty = no answer.
std::vector<uint8_t> ScriptedAnswer(const RtuStep& step, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> body = CorrectBody(request);
    switch (step.fault) {
        case RtuFault::kAnswer:
        case RtuFault::kLate:
        case RtuFault::kBursts:
            break;
        case RtuFault::kBadCrc: {
            std::vector<uint8_t> answer = WithRtuCrc(body);
            answer.back() ^= 0x5A;
            return answer;
        }
        case RtuFault::kWrongUnit:
            ++body[0];
            break;
        case RtuFault::kWrongFunction:
            ++body[1];
            break;
        case RtuFault::kWrongByteCount:
            // Writes carry no byte count: their echo stays correct.
            if (IsReadAnswer(body)) {
                body[2] = static_cast<uint8_t>(body[2] + 2);
                body.resize(body.size() + 2, 0);
            }
            break;
        case RtuFault::kException:
            body = ExceptionBody(request, step.code);
            break;
        case RtuFault::kSilent:
            return {};
        case RtuFault::kOversized:
            body.resize(std::max(step.size, body.size() + 2) - 2, 0);
            break;
    }
    return WithRtuCrc(body);
}

}  // namespace

struct RtuFaultSlave::State {
    void Serve();
    RtuStep Take(const std::vector<uint8_t>& request, std::chrono::steady_clock::time_point at);
    // Sleeps up to `pause` in slices; false when the peer stops meanwhile.
    bool Pause(std::chrono::milliseconds pause);
    void Answer(const std::vector<uint8_t>& request, std::chrono::steady_clock::time_point at);

    PtyLine line;
    LineEnd end;               // the serving thread's
    mutable std::mutex mutex;  // the script and the records
    std::vector<RtuStep> script;
    size_t nextStep = 0;
    std::vector<std::vector<uint8_t>> requests;
    std::vector<std::chrono::steady_clock::time_point> requestTimes;
    std::atomic<bool> opened{false};
    std::atomic<bool> stopping{false};
    std::thread server;
};

RtuStep RtuFaultSlave::State::Take(const std::vector<uint8_t>& request,
                                   std::chrono::steady_clock::time_point at) {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    requestTimes.push_back(at);
    if (script.empty()) return RtuStep{};
    const RtuStep& step = script[std::min(nextStep, script.size() - 1)];
    ++nextStep;
    return step;
}

bool RtuFaultSlave::State::Pause(std::chrono::milliseconds pause) {
    const auto due = std::chrono::steady_clock::now() + pause;
    while (!stopping && std::chrono::steady_clock::now() < due) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            due - std::chrono::steady_clock::now(), std::chrono::milliseconds(5)));
    }
    return !stopping;
}

void RtuFaultSlave::State::Answer(const std::vector<uint8_t>& request,
                                  std::chrono::steady_clock::time_point at) {
    const RtuStep step = Take(request, at);
    if (step.fault == RtuFault::kLate && !Pause(step.delay)) return;
    const std::vector<uint8_t> answer = ScriptedAnswer(step, request);
    const size_t parts =
        step.fault == RtuFault::kBursts ? std::clamp<size_t>(step.parts, 1, answer.size()) : 1;
    // Bursts as even as the length allows, the last one taking the rest.
    const size_t part = answer.size() / std::max<size_t>(parts, 1);
    size_t sent = 0;
    for (size_t k = 0; k < parts && sent < answer.size(); ++k) {
        if (k > 0 && !Pause(step.delay)) return;
        const size_t length = k + 1 == parts ? answer.size() - sent : part;
        if (!end.Write(answer.data() + sent, length)) return;
        sent += length;
    }
}

void RtuFaultSlave::State::Serve() {
    std::vector<uint8_t> frame;
    std::chrono::steady_clock::time_point at;
    while (!stopping) {
        if (!end.IsOpen() && !(line.Plugged() && end.Open(line.peerPath()))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        opened = true;
        if (!end.ReadFrame(kPollSliceMs, kFrameGapMs, &frame, &at)) {
            end.Close();
            continue;
        }
        if (frame.size() >= 4) Answer(frame, at);
    }
    end.Close();
}

RtuFaultSlave::RtuFaultSlave() : state_(std::make_unique<State>()) {
    if (!state_->line.Plug()) return;
    state_->server = std::thread([state = state_.get()] { state->Serve(); });
    // A frame sent before the peer holds its end would be answered late.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLineWaitMs);
    while (!state_->opened && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

RtuFaultSlave::~RtuFaultSlave() {
    state_->stopping = true;
    if (state_->server.joinable()) state_->server.join();
}

const std::string& RtuFaultSlave::path() const {
    return state_->line.path();
}

bool RtuFaultSlave::Plugged() const {
    return state_->line.Plugged() && state_->opened;
}

void RtuFaultSlave::Script(std::vector<RtuStep> steps) {
    std::lock_guard lock(state_->mutex);
    state_->script = std::move(steps);
    state_->nextStep = 0;
}

std::vector<std::vector<uint8_t>> RtuFaultSlave::Requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<std::chrono::steady_clock::time_point> RtuFaultSlave::RequestTimes() const {
    std::lock_guard lock(state_->mutex);
    return state_->requestTimes;
}

}  // namespace modbus_testing
