// libmodbus answers from its tables over a line end the peer owns: the context only borrows
// the descriptor (modbus_set_socket) and is freed without modbus_close. The peer frames the
// requests itself, because libmodbus' own receive drops frames for other unit ids unseen.

#include <modbus.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "modbus_testing/rtu_peers.h"
#include "pty_line.h"

namespace modbus_testing {
namespace {

constexpr int kTableSize = 10240;
constexpr uint32_t kPollSliceMs = 50;

bool CrcHolds(const std::vector<uint8_t>& frame) {
    if (frame.size() < 4) return false;
    const size_t body = frame.size() - 2;
    return RtuCrc(frame.data(), body) == (frame[body] | frame[body + 1] << 8);
}

}  // namespace

uint16_t RtuCrc(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> WithRtuCrc(std::vector<uint8_t> bytes) {
    const uint16_t crc = RtuCrc(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

struct RtuSlave::State {
    State(int unit, const std::string& path) : unit(unit), line(path) {}

    void Serve();
    // Opens the peer's end once the line is there; true when it is open.
    bool Reopen();
    bool Addressed(const std::vector<uint8_t>& frame) const;
    void Answer(const std::vector<uint8_t>& frame);
    // Waits until the serving thread has opened the line more than `opened` times.
    bool WaitOpened(unsigned opened);
    bool Plug();

    const int unit;
    PtyLine line;
    LineEnd end;  // the serving thread's
    modbus_t* context = nullptr;
    mutable std::mutex mutex;  // the mapping, also while libmodbus answers from it
    modbus_mapping_t* mapping = nullptr;
    std::atomic<size_t> requests{0};
    std::atomic<unsigned> opens{0};
    std::atomic<bool> stopping{false};
    std::thread server;
};

bool RtuSlave::State::Reopen() {
    if (end.IsOpen()) return true;
    if (!line.Plugged() || !end.Open(line.peerPath())) return false;
    modbus_set_socket(context, end.fd());
    ++opens;
    return true;
}

bool RtuSlave::State::Addressed(const std::vector<uint8_t>& frame) const {
    if (!CrcHolds(frame)) return false;
    return frame[0] == 0 || unit == kAnyUnit || frame[0] == unit;
}

void RtuSlave::State::Answer(const std::vector<uint8_t>& frame) {
    std::lock_guard lock(mutex);
    ++requests;  // before the answer leaves, so a master that has it finds it counted
    modbus_set_slave(context, frame[0]);
    modbus_reply(context, frame.data(), static_cast<int>(frame.size()), mapping);
}

void RtuSlave::State::Serve() {
    std::vector<uint8_t> frame;
    while (!stopping) {
        if (!Reopen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (!end.ReadFrame(kPollSliceMs, kFrameGapMs, &frame)) {
            end.Close();  // unplugged: open the line again once it is back
            continue;
        }
        if (!frame.empty() && Addressed(frame)) Answer(frame);
    }
    end.Close();
}

bool RtuSlave::State::WaitOpened(unsigned opened) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLineWaitMs);
    while (opens <= opened) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "rtu slave: its end of the line did not open\n");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool RtuSlave::State::Plug() {
    const unsigned opened = opens;
    return line.Plug() && WaitOpened(opened);
}

RtuSlave::RtuSlave(int unit, const std::string& path)
    : state_(std::make_unique<State>(unit, path)) {
    state_->mapping = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
    // The device name is not used: the context never opens it, it only frames on a given line.
    state_->context = modbus_new_rtu(state_->line.peerPath().c_str(), 9600, 'N', 8, 1);
    if (state_->mapping == nullptr || state_->context == nullptr) {
        std::fprintf(stderr, "rtu slave: no libmodbus context or register tables\n");
        std::abort();
    }
    state_->server = std::thread([state = state_.get()] { state->Serve(); });
    state_->Plug();
}

RtuSlave::~RtuSlave() {
    state_->stopping = true;
    state_->server.join();
    state_->line.Unplug();
    modbus_free(state_->context);
    modbus_mapping_free(state_->mapping);
}

const std::string& RtuSlave::path() const {
    return state_->line.path();
}

bool RtuSlave::Plugged() const {
    return state_->line.Plugged();
}

void RtuSlave::SetHolding(uint16_t address, uint16_t value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_registers[address] = value;
}

uint16_t RtuSlave::Holding(uint16_t address) const {
    std::lock_guard lock(state_->mutex);
    return address < kTableSize ? state_->mapping->tab_registers[address] : 0;
}

void RtuSlave::SetInput(uint16_t address, uint16_t value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_input_registers[address] = value;
}

void RtuSlave::SetCoil(uint16_t address, bool value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_bits[address] = value ? 1 : 0;
}

bool RtuSlave::Coil(uint16_t address) const {
    std::lock_guard lock(state_->mutex);
    return address < kTableSize && state_->mapping->tab_bits[address] != 0;
}

void RtuSlave::SetDiscrete(uint16_t address, bool value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_input_bits[address] = value ? 1 : 0;
}

size_t RtuSlave::Requests() const {
    return state_->requests;
}

void RtuSlave::Unplug() {
    state_->line.Unplug();
}

bool RtuSlave::Replug() {
    return state_->Plug();
}

}  // namespace modbus_testing
