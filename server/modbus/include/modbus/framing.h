#pragma once
// Modbus frames of both framings: the Modbus-TCP header in front of the PDU, or the RTU CRC
// (CRC-16/MODBUS, low byte first) behind it; the exception texts; frame dumps for the log.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modbus {

enum class Framing { kTcp, kRtu };

constexpr size_t kTcpHeaderSize = 7;  // transaction id, protocol id, length, unit id
constexpr size_t kMaxAnswerSize = 261;

uint16_t Crc16(const uint8_t* data, size_t size);

// Read request PDU: unit id, function, start (2), count (2).
std::vector<uint8_t> ReadPdu(uint8_t unit, uint8_t function, uint16_t start, uint16_t count);
// Single-register write PDU: unit id, function, register (2), value (2).
std::vector<uint8_t> WriteSinglePdu(uint8_t unit, uint8_t function, uint16_t reg, uint16_t value);
// One-register write PDU of function 16: unit id, function, register (2), quantity 1, byte
// count 2, value (2).
std::vector<uint8_t> WriteOneRegisterPdu(uint8_t unit, uint8_t function, uint16_t reg,
                                         uint16_t value);
// Two-register write PDU (function 16): unit id, function, register (2), quantity 2, byte
// count 4, the four value bytes in the order given.
std::vector<uint8_t> WriteDoublePdu(uint8_t unit, uint8_t function, uint16_t reg,
                                    const uint8_t value[4]);

// The PDU as a frame of the framing: Modbus-TCP puts the header (transaction id, protocol 0,
// length) in front, RTU appends the CRC.
std::vector<uint8_t> Frame(Framing framing, uint16_t transaction, const std::vector<uint8_t>& pdu);

// True when the last two bytes are the CRC of the others (low byte first); false below 3 bytes.
bool CrcMatches(const uint8_t* frame, size_t size);

// "illegal function" ... for codes 1-8 and 11; "unknown error" for any other.
const char* ExceptionText(uint8_t code);

// Every byte as two upper-case hexadecimal digits and a blank.
std::string HexDump(const uint8_t* data, size_t size);

}  // namespace modbus
