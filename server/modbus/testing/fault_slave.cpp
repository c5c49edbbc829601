// Answers are built from the request alone: reads return zeros, writes their echo, so a test
// only has to script what should go wrong.

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "connection_server.h"
#include "modbus_testing/peers.h"

namespace modbus_testing {
namespace {

constexpr size_t kHeaderSize = 7;  // transaction id, protocol id, length, unit id
constexpr size_t kLengthOffset = 4;
constexpr size_t kUnitOffset = 6;
constexpr size_t kFunctionOffset = 7;
constexpr size_t kByteCountOffset = 8;  // of a read answer
constexpr size_t kCountOffset = 10;     // of a read request
constexpr size_t kRequestPduSize = 6;   // unit id, function, address, count or value
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalDataValue = 3;

uint16_t Word(const std::vector<uint8_t>& frame, size_t offset) {
    return static_cast<uint16_t>(frame[offset] << 8 | frame[offset + 1]);
}

// The header's length field counts the unit id and everything after it.
void FixLength(std::vector<uint8_t>* answer) {
    size_t length = answer->size() - (kHeaderSize - 1);
    (*answer)[kLengthOffset] = static_cast<uint8_t>(length >> 8);
    (*answer)[kLengthOffset + 1] = static_cast<uint8_t>(length);
}

std::vector<uint8_t> ExceptionAnswer(const std::vector<uint8_t>& request, uint8_t code) {
    std::vector<uint8_t> answer(request.begin(), request.begin() + kHeaderSize);
    answer.push_back(static_cast<uint8_t>(request[kFunctionOffset] | 0x80));
    answer.push_back(code);
    FixLength(&answer);
    return answer;
}

// The data bytes a read of `count` items takes, 0 when a slave would refuse the count.
size_t ReadDataSize(uint8_t function, uint16_t count) {
    const bool bits = function <= 2;
    const uint16_t most = bits ? 2000 : 125;
    if (count == 0 || count > most) return 0;
    return bits ? (count + 7u) / 8u : 2u * count;
}

std::vector<uint8_t> CorrectAnswer(const std::vector<uint8_t>& request) {
    if (request.size() < kHeaderSize + kRequestPduSize - 1) {
        return ExceptionAnswer(request, kIllegalDataValue);
    }
    const uint8_t function = request[kFunctionOffset];
    std::vector<uint8_t> answer(request.begin(), request.begin() + kFunctionOffset + 1);
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4: {
            size_t data = ReadDataSize(function, Word(request, kCountOffset));
            if (data == 0) return ExceptionAnswer(request, kIllegalDataValue);
            answer.push_back(static_cast<uint8_t>(data));
            answer.resize(answer.size() + data, 0);
            break;
        }
        case 5:
        case 6:
        case 15:
        case 16:
            answer.assign(request.begin(), request.begin() + kHeaderSize - 1 + kRequestPduSize);
            break;
        default:
            return ExceptionAnswer(request, kIllegalFunction);
    }
    FixLength(&answer);
    return answer;
}

bool IsRead(const std::vector<uint8_t>& answer) {
    return answer.size() > kByteCountOffset && answer[kFunctionOffset] >= 1 &&
           answer[kFunctionOffset] <= 4;
}

// What the step makes of the correct answer; empty = no answer.
std::vector<uint8_t> ScriptedAnswer(const FaultStep& step, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> answer = CorrectAnswer(request);
    switch (step.fault) {
        case Fault::kAnswer:
        case Fault::kLate:
            break;
        case Fault::kShort:
            answer.resize(std::min<size_t>(answer.size(), 5));
            break;
        case Fault::kException:
        case Fault::kLateException:
            answer = ExceptionAnswer(request, step.code);
            break;
        case Fault::kWrongTransaction:
            answer[1] = static_cast<uint8_t>(answer[1] + 1);
            if (answer[1] == 0) answer[0] = static_cast<uint8_t>(answer[0] + 1);
            break;
        case Fault::kWrongUnit:
            ++answer[kUnitOffset];
            break;
        case Fault::kWrongFunction:
            ++answer[kFunctionOffset];
            break;
        case Fault::kWrongByteCount:
            // Writes carry no byte count: their echo stays correct.
            if (IsRead(answer)) {
                answer[kByteCountOffset] = static_cast<uint8_t>(answer[kByteCountOffset] + 2);
                answer.resize(answer.size() + 2, 0);
                FixLength(&answer);
            }
            break;
        case Fault::kSilent:
        case Fault::kClose:
            answer.clear();
            break;
    }
    return answer;
}

}  // namespace

struct FaultSlave::State {
    State()
        : server([this](platform::Socket& client, const std::atomic<bool>& stopping) {
              Serve(client, stopping);
          }) {}

    void Serve(platform::Socket& client, const std::atomic<bool>& stopping);
    // Records the request and takes its step.
    FaultStep Take(const std::vector<uint8_t>& request);
    // Handles one whole request; false when the connection is to close.
    bool Answer(platform::Socket& client, const std::atomic<bool>& stopping,
                const std::vector<uint8_t>& request);

    mutable std::mutex mutex;  // the script and the records
    std::vector<FaultStep> script;
    size_t nextStep = 0;
    std::vector<std::vector<uint8_t>> requests;
    std::vector<std::chrono::steady_clock::time_point> requestTimes;
    ConnectionServer server;
};

FaultStep FaultSlave::State::Take(const std::vector<uint8_t>& request) {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    requestTimes.push_back(std::chrono::steady_clock::now());
    if (script.empty()) return FaultStep{};
    const FaultStep& step = script[std::min(nextStep, script.size() - 1)];
    ++nextStep;
    return step;
}

bool FaultSlave::State::Answer(platform::Socket& client, const std::atomic<bool>& stopping,
                               const std::vector<uint8_t>& request) {
    const FaultStep step = Take(request);
    if (step.fault == Fault::kClose) return false;
    if (step.fault == Fault::kLate || step.fault == Fault::kLateException) {
        const auto due = std::chrono::steady_clock::now() + step.delay;
        while (!stopping && std::chrono::steady_clock::now() < due) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (stopping) return false;
    }
    const std::vector<uint8_t> answer = ScriptedAnswer(step, request);
    if (answer.empty()) return true;
    size_t sent = 0;
    return client.Send(answer.data(), answer.size(), 1000, &sent) == 0;
}

void FaultSlave::State::Serve(platform::Socket& client, const std::atomic<bool>& stopping) {
    std::vector<uint8_t> pending;
    uint8_t chunk[512];
    while (!stopping) {
        size_t received = 0;
        int error = client.Receive(chunk, sizeof(chunk), kPollSliceMs, &received);
        if (error == platform::kWsaEtimedout) continue;
        if (error != 0 || received == 0) return;
        pending.insert(pending.end(), chunk, chunk + received);
        while (pending.size() >= kHeaderSize) {
            const size_t length = Word(pending, kLengthOffset);
            // Nothing a Modbus-TCP master sends looks like this: stop reading garbage.
            if (length < 2 || length > 254) return;
            const size_t whole = kHeaderSize - 1 + length;
            if (pending.size() < whole) break;
            std::vector<uint8_t> request(pending.begin(), pending.begin() + whole);
            pending.erase(pending.begin(), pending.begin() + whole);
            if (!Answer(client, stopping, request)) return;
        }
    }
}

FaultSlave::FaultSlave() : state_(std::make_unique<State>()) {
    state_->server.Start(0);
}

FaultSlave::~FaultSlave() {
    state_->server.Stop();
}

uint16_t FaultSlave::port() const {
    return state_->server.port();
}

void FaultSlave::Script(std::vector<FaultStep> steps) {
    std::lock_guard lock(state_->mutex);
    state_->script = std::move(steps);
    state_->nextStep = 0;
}

std::vector<std::vector<uint8_t>> FaultSlave::Requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<std::chrono::steady_clock::time_point> FaultSlave::RequestTimes() const {
    std::lock_guard lock(state_->mutex);
    return state_->requestTimes;
}

size_t FaultSlave::Connections() const {
    return state_->server.Connections();
}

}  // namespace modbus_testing
