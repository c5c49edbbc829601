#pragma once
// Serial ports by COM number, for the Modbus-RTU worker: raw 8-bit lines, writes and reads
// with bounded waits, and a read that ends a frame at the first gap between bytes.
// Operations return Win32 error codes (platform/errors.h).

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : uint8_t { One = 1, Two = 2 };

struct SerialSettings {
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;  // 5 to 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

// Per-user registry key whose values "COM<n>" name the device of port n on POSIX.
inline constexpr char kSerialPortsKey[] = "Software\\KB Karvex\\KarvexOPCCfg\\Settings\\Ports";

// The device behind COM n: "\\.\COM<n>" on Windows; on POSIX the registry value "COM<n>"
// under kSerialPortsKey, else /dev/ttyS<n-1>. Empty for port 0.
std::string SerialDevicePath(unsigned comNumber);

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens COM n for exclusive use; kErrorFileNotFound when there is no such port,
    // kErrorAccessDenied when another handle has it open.
    uint32_t Open(unsigned comNumber);
    bool IsOpen() const;
    // Sets the line (binary, no flow control, DTR and RTS off) and empties both buffers.
    // kErrorInvalidParameter for settings the port cannot take.
    uint32_t Configure(const SerialSettings& settings);
    // The line settings now in effect.
    uint32_t Settings(SerialSettings* settings) const;

    // Writes all bytes within timeoutMs; kErrorTimeout with *written short when time ran out.
    // Write, Read and Purge give kErrorDeviceNotConnected once the device behind an open port
    // is gone (an adapter pulled out); Close and Open it again when it is back.
    uint32_t Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written);
    // Waits at most firstByteTimeoutMs for a byte, then keeps reading until no byte arrives
    // for gapMs or the buffer is full. kErrorTimeout when nothing arrived.
    uint32_t Read(void* buffer, size_t capacity, uint32_t firstByteTimeoutMs, uint32_t gapMs,
                  size_t* received);
    // Discards what is waiting to be sent or read.
    uint32_t Purge();
    void Close();

private:
    intptr_t handle_ = -1;
};

}  // namespace platform
