// libmodbus serves each connection over a socket that platform::Socket owns: the context only
// borrows the descriptor (modbus_set_socket) and is freed without modbus_close.

#include <modbus.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "connection_server.h"
#include "modbus_testing/peers.h"

namespace modbus_testing {
namespace {

constexpr int kTableSize = 10240;
// Bounds libmodbus' own waits for the rest of a frame that has begun to arrive.
constexpr uint32_t kFrameRestUs = 500000;

}  // namespace

struct LibmodbusSlave::State {
    State()
        : server([this](platform::Socket& client, const std::atomic<bool>& stopping) {
              Serve(client, stopping);
          }) {}

    void Serve(platform::Socket& client, const std::atomic<bool>& stopping);

    mutable std::mutex mutex;  // the mapping, also while libmodbus answers from it
    modbus_mapping_t* mapping = nullptr;
    std::atomic<size_t> requests{0};
    std::atomic<int> silentUnit{-1};
    ConnectionServer server;
};

void LibmodbusSlave::State::Serve(platform::Socket& client, const std::atomic<bool>& stopping) {
    // The address is not used: the context never connects, it only frames on a given socket.
    modbus_t* context = modbus_new_tcp("127.0.0.1", server.port());
    if (context == nullptr) {
        std::fprintf(stderr, "libmodbus slave: no context\n");
        return;
    }
    modbus_set_socket(context, static_cast<int>(client.Handle()));
    modbus_set_indication_timeout(context, 0, kFrameRestUs);
    modbus_set_byte_timeout(context, 0, kFrameRestUs);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stopping) {
        int ready = client.WaitReadable(kPollSliceMs);
        if (ready == platform::kWsaEtimedout) continue;
        if (ready != 0) break;
        int length = modbus_receive(context, query);
        if (length < 0) break;  // closed by the peer, or a frame libmodbus cannot take
        if (length == 0) continue;
        if (query[modbus_get_header_length(context) - 1] == silentUnit) continue;
        std::lock_guard lock(mutex);
        ++requests;  // before the answer leaves, so a master that has it finds it counted
        modbus_reply(context, query, length, mapping);
    }
    modbus_free(context);
}

LibmodbusSlave::LibmodbusSlave() : state_(std::make_unique<State>()) {
    state_->mapping = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
    if (state_->mapping == nullptr) {
        std::fprintf(stderr, "libmodbus slave: no register tables\n");
        std::abort();
    }
    state_->server.Start(0);
}

LibmodbusSlave::~LibmodbusSlave() {
    state_->server.Stop();
    modbus_mapping_free(state_->mapping);
}

uint16_t LibmodbusSlave::port() const {
    return state_->server.port();
}

void LibmodbusSlave::SetHolding(uint16_t address, uint16_t value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_registers[address] = value;
}

uint16_t LibmodbusSlave::Holding(uint16_t address) const {
    std::lock_guard lock(state_->mutex);
    return address < kTableSize ? state_->mapping->tab_registers[address] : 0;
}

void LibmodbusSlave::SetInput(uint16_t address, uint16_t value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_input_registers[address] = value;
}

void LibmodbusSlave::SetCoil(uint16_t address, bool value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_bits[address] = value ? 1 : 0;
}

bool LibmodbusSlave::Coil(uint16_t address) const {
    std::lock_guard lock(state_->mutex);
    return address < kTableSize && state_->mapping->tab_bits[address] != 0;
}

void LibmodbusSlave::SetDiscrete(uint16_t address, bool value) {
    std::lock_guard lock(state_->mutex);
    if (address < kTableSize) state_->mapping->tab_input_bits[address] = value ? 1 : 0;
}

size_t LibmodbusSlave::Requests() const {
    return state_->requests;
}

void LibmodbusSlave::SilenceUnit(uint8_t unit) {
    state_->silentUnit = unit;
}

void LibmodbusSlave::Stop() {
    state_->server.Stop();
}

void LibmodbusSlave::Start() {
    state_->server.Start(state_->server.port());
}

}  // namespace modbus_testing
