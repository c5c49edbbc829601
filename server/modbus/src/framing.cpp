#include "modbus/framing.h"

namespace modbus {
namespace {

void PutWord(std::vector<uint8_t>* bytes, uint16_t word) {
    bytes->push_back(static_cast<uint8_t>(word >> 8));
    bytes->push_back(static_cast<uint8_t>(word & 0xFF));
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::vector<uint8_t> ReadPdu(uint8_t unit, uint8_t function, uint16_t start, uint16_t count) {
    std::vector<uint8_t> pdu{unit, function};
    PutWord(&pdu, start);
    PutWord(&pdu, count);
    return pdu;
}

std::vector<uint8_t> WriteSinglePdu(uint8_t unit, uint8_t function, uint16_t reg, uint16_t value) {
    return ReadPdu(unit, function, reg, value);  // the same layout
}

std::vector<uint8_t> WriteOneRegisterPdu(uint8_t unit, uint8_t function, uint16_t reg,
                                         uint16_t value) {
    std::vector<uint8_t> pdu = ReadPdu(unit, function, reg, 1);
    pdu.push_back(2);
    PutWord(&pdu, value);
    return pdu;
}

std::vector<uint8_t> WriteDoublePdu(uint8_t unit, uint8_t function, uint16_t reg,
                                    const uint8_t value[4]) {
    std::vector<uint8_t> pdu = ReadPdu(unit, function, reg, 2);
    pdu.push_back(4);
    pdu.insert(pdu.end(), value, value + 4);
    return pdu;
}

std::vector<uint8_t> Frame(Framing framing, uint16_t transaction, const std::vector<uint8_t>& pdu) {
    std::vector<uint8_t> frame;
    if (framing == Framing::kTcp) {
        PutWord(&frame, transaction);
        PutWord(&frame, 0);
        PutWord(&frame, static_cast<uint16_t>(pdu.size()));
        frame.insert(frame.end(), pdu.begin(), pdu.end());
        return frame;
    }
    frame = pdu;
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool CrcMatches(const uint8_t* frame, size_t size) {
    if (size < 3) return false;
    const uint16_t received = static_cast<uint16_t>(frame[size - 1] << 8 | frame[size - 2]);
    return Crc16(frame, size - 2) == received;
}

const char* ExceptionText(uint8_t code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "slave device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "slave device busy";
        case 7:
            return "negative acknowledge";
        case 8:
            return "memory parity error";
        case 11:
            return "(modbus/tcp) device failed to respond";
        default:
            return "unknown error";
    }
}

// Every frame of every poll is dumped for the log: a table, not a formatted print per byte.
std::string HexDump(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(size * 3, ' ');
    for (size_t i = 0; i < size; ++i) {
        text[3 * i] = kDigits[data[i] >> 4];
        text[3 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace modbus
