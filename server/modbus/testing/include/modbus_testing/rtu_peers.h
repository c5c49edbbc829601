#pragma once
// Peers for the Modbus-RTU workers' tests, each on a serial line of its own: two ptys joined by
// socat, of which the peer holds one end and the party under test opens the other by its path
// (map it to a COM number: the registry value "COM<n>" of platform::kSerialPortsKey on POSIX,
// dosdevices/com<n> under Wine). A real RTU slave built on libmodbus, the same slave behind a
// serial-to-Ethernet converter, and a slave of the tests' own that answers as the test scripts
// it. Linux only; every wait is bounded and socat ends with the peer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace modbus_testing {

// CRC-16/MODBUS; an RTU frame carries it low byte first.
uint16_t RtuCrc(const uint8_t* data, size_t length);
// The bytes followed by their CRC, as they go on the line.
std::vector<uint8_t> WithRtuCrc(std::vector<uint8_t> bytes);

// A slave that answers every unit id but 0 (broadcast writes are taken, never answered).
inline constexpr int kAnyUnit = -1;

// A Modbus-RTU slave built on libmodbus: 10,240 coils, discrete inputs, holding and input
// registers. Like a slave on a real RS-485 line it stays silent on frames with a bad CRC and on
// frames for another unit id.
class RtuSlave {
public:
    // Serving once constructed, when Plugged(). The master's end appears at `path` (a link,
    // e.g. a Wine prefix's dosdevices/com1), or in a fresh temporary folder when it is empty.
    explicit RtuSlave(int unit = kAnyUnit, const std::string& path = {});
    ~RtuSlave();
    RtuSlave(const RtuSlave&) = delete;
    RtuSlave& operator=(const RtuSlave&) = delete;

    // The end of the line for the master; the same path across Unplug and Replug.
    const std::string& path() const;
    bool Plugged() const;

    void SetHolding(uint16_t address, uint16_t value);
    uint16_t Holding(uint16_t address) const;
    void SetInput(uint16_t address, uint16_t value);
    void SetCoil(uint16_t address, bool value);
    bool Coil(uint16_t address) const;
    void SetDiscrete(uint16_t address, bool value);

    // Requests answered (or, broadcast, taken) so far.
    size_t Requests() const;
    // socat ends, as when an adapter is pulled out: both ptys vanish and a port open on
    // path() reads and writes with an error.
    void Unplug();
    // A new pair behind the same path, the slave serving on it; false when none could be made.
    bool Replug();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The RtuSlave behind a serial-to-Ethernet converter: a TCP port on 127.0.0.1 (picked by the
// system) whose connections are bridged byte for byte to one serial line. The line stays open
// while the TCP side stops and starts; what the line sends while no client is connected is lost,
// and a new client starts with the line's pending input discarded.
class RtuConverter {
public:
    // Listening on `port` (0: one the system picks) once constructed, when Plugged().
    explicit RtuConverter(int unit = kAnyUnit, uint16_t port = 0);
    ~RtuConverter();
    RtuConverter(const RtuConverter&) = delete;
    RtuConverter& operator=(const RtuConverter&) = delete;

    uint16_t port() const;
    bool Plugged() const;
    RtuSlave& slave();
    // Accepted connections so far.
    size_t Connections() const;
    // Closes the listener and every connection; Start listens again on the same port.
    void Stop();
    void Start();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// What the scripted RTU slave does with one request.
enum class RtuFault {
    kAnswer,          // a correct answer: reads give zeros, writes their echo
    kBadCrc,          // a correct answer whose CRC is wrong
    kWrongUnit,       // unit id + 1
    kWrongFunction,   // function + 1
    kWrongByteCount,  // byte count + 2, with that many more data bytes
    kException,       // exception code `code`
    kSilent,          // no answer
    kLate,            // a correct answer after `delay`
    kBursts,          // a correct answer in `parts` bursts, `delay` apart
    kOversized,       // `size` bytes: a correct read answer padded with zeros, its CRC at the end
};

struct RtuStep {
    RtuFault fault = RtuFault::kAnswer;
    uint8_t code = 0;
    std::chrono::milliseconds delay{0};
    size_t parts = 3;
    size_t size = 1100;
};

// A scripted RTU slave: request k takes step k of the script (the last step repeats; an empty
// script answers correctly). It answers every frame of at least 4 bytes whatever its unit id
// and CRC, so that the tests see what the master sent, and records every request frame
// (CRC included) with the time its last byte arrived.
class RtuFaultSlave {
public:
    RtuFaultSlave();  // serving once constructed, when Plugged()
    ~RtuFaultSlave();
    RtuFaultSlave(const RtuFaultSlave&) = delete;
    RtuFaultSlave& operator=(const RtuFaultSlave&) = delete;

    const std::string& path() const;
    bool Plugged() const;
    // The next request takes the first step.
    void Script(std::vector<RtuStep> steps);
    std::vector<std::vector<uint8_t>> Requests() const;
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace modbus_testing
