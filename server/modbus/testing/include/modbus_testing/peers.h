#pragma once
// Peers for the polling engine's tests, on 127.0.0.1 at a port the system picks: a real
// Modbus-TCP slave (libmodbus) whose registers and coils tests read and change while it runs,
// and a slave of the tests' own that answers each request as the test scripts it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace modbus_testing {

// A Modbus-TCP slave built on libmodbus: 10,240 coils, discrete inputs, holding and input
// registers, any unit id, each client served on a thread of its own.
class LibmodbusSlave {
public:
    LibmodbusSlave();  // listening once constructed
    ~LibmodbusSlave();
    LibmodbusSlave(const LibmodbusSlave&) = delete;
    LibmodbusSlave& operator=(const LibmodbusSlave&) = delete;

    uint16_t port() const;

    void SetHolding(uint16_t address, uint16_t value);
    uint16_t Holding(uint16_t address) const;
    void SetInput(uint16_t address, uint16_t value);
    void SetCoil(uint16_t address, bool value);
    bool Coil(uint16_t address) const;
    void SetDiscrete(uint16_t address, bool value);

    // Requests answered so far.
    size_t Requests() const;
    // Requests to this unit id go unanswered, as behind a gateway whose device is off.
    void SilenceUnit(uint8_t unit);
    // Stops serving and closes every connection; Start serves again on the same port.
    void Stop();
    void Start();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// What the fault slave does with one request.
enum class Fault {
    kAnswer,            // a correct answer (registers read as 0, writes echoed)
    kShort,             // 5 bytes of a correct answer
    kException,         // exception code `code`
    kWrongTransaction,  // transaction id + 1
    kWrongUnit,         // unit id + 1
    kWrongFunction,     // function + 1
    kWrongByteCount,    // byte count + 2, with that many data bytes
    kLate,              // a correct answer after `delay`
    kLateException,     // exception code `code` after `delay`
    kSilent,            // no answer
    kClose,             // closes the connection without answering
};

struct FaultStep {
    Fault fault = Fault::kAnswer;
    uint8_t code = 0;
    std::chrono::milliseconds delay{0};
};

// A Modbus-TCP slave that answers request k by step k of its script (the last step repeats;
// an empty script answers correctly) and records every request it received.
class FaultSlave {
public:
    FaultSlave();
    ~FaultSlave();
    FaultSlave(const FaultSlave&) = delete;
    FaultSlave& operator=(const FaultSlave&) = delete;

    uint16_t port() const;
    // The next request takes the first step.
    void Script(std::vector<FaultStep> steps);
    // Every request frame received so far, whole (MBAP header included).
    std::vector<std::vector<uint8_t>> Requests() const;
    // When each of them had arrived whole.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // Accepted connections so far.
    size_t Connections() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace modbus_testing
