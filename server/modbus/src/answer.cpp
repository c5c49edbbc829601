#include "modbus/answer.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

namespace modbus {
namespace {

// Where the fields of an answer sit in each framing.
struct Layout {
    size_t unit;
    size_t function;
    size_t byteCount;
    size_t data;
    size_t trailer;  // the RTU CRC
};

Layout LayoutOf(Framing framing) {
    if (framing == Framing::kTcp) return {6, 7, 8, 9, 0};
    return {0, 1, 2, 3, 2};
}

// A byte the answer does not hold reads as 0, so a short or lying answer is never read past.
uint8_t ByteAt(const uint8_t* answer, size_t size, size_t offset) {
    return offset < size ? answer[offset] : 0;
}

unsigned DataBytesReceived(Framing framing, size_t size) {
    const Layout layout = LayoutOf(framing);
    const size_t overhead = layout.data + layout.trailer;
    return size > overhead ? static_cast<unsigned>(size - overhead) : 0;
}

// Logged only: the CRC decides whether the answer is taken.
void CheckDataLength(const AnswerLog& log, const uint8_t* answer, size_t size) {
    const uint8_t declared = ByteAt(answer, size, 2);
    const unsigned received = DataBytesReceived(Framing::kRtu, size);
    if (size >= 5 && declared == received) return;
    kvlog::Error(log.log,
                 "WriteData: %s port COM%u packet data length size mismatch: full=%u, "
                 "declared=%u, received=%u",
                 log.channel.c_str(), log.comPort, static_cast<unsigned>(size), declared, received);
}

bool CheckCrc(const AnswerLog& log, const SentFrame& sent, const uint8_t* answer, size_t size) {
    if (CrcMatches(answer, size)) {
        kvlog::Trace(log.log, "WriteData: %s port COM%u, device %u function no %u: CRC check OK",
                     log.channel.c_str(), log.comPort, sent.unit, sent.function);
        return true;
    }
    kvlog::Error(log.log, "WriteData: %s port COM%u, device %u function no %u: CRC check FAILED",
                 log.channel.c_str(), log.comPort, sent.unit, sent.function);
    if (size >= 2) {
        const uint8_t low = answer[size - 2];
        const uint8_t high = answer[size - 1];
        kvlog::Trace(log.log,
                     "WriteData: %s port COM%u CRC from packet:%04X (%02X, %02X), CRC "
                     "calculated:%04X",
                     log.channel.c_str(), log.comPort, high << 8 | low, low, high,
                     Crc16(answer, size - 2));
    }
    return false;
}

// RTU frames over TCP: the classification reads as on Modbus-TCP, the CRC check as on a line.
// An exception frame with a wrong CRC is line noise, not the device's refusal: a write it
// answered is tried again instead of being aborted.
AnswerClass ExceptionOrCrcFailure(const AnswerLog& log, const SentFrame& sent,
                                  const uint8_t* answer, size_t size) {
    return CheckCrc(log, sent, answer, size) ? AnswerClass::kException : AnswerClass::kCrcFailed;
}

AnswerClass ClassifyRtuOverTcp(const AnswerLog& log, const SentFrame& sent, const uint8_t* answer,
                               size_t size) {
    const char* name = log.channel.c_str();
    if (size < 3) {
        kvlog::Error(log.log, "WriteData: %s response was too short - %d chars", name,
                     static_cast<int>(size));
        return AnswerClass::kShort;
    }
    if ((answer[1] & 0x80) != 0) {
        kvlog::Error(log.log, "WriteData: %s MODBUS exception response - type %d", name,
                     ExceptionCode(Framing::kRtu, answer, size));
        return ExceptionOrCrcFailure(log, sent, answer, size);
    }
    kvlog::Notice(log.log, "WriteData: %s received packet (len=%u) OK", name,
                  static_cast<unsigned>(size));
    return CheckCrc(log, sent, answer, size) ? AnswerClass::kGood : AnswerClass::kCrcFailed;
}

AnswerClass ClassifyRtu(const AnswerLog& log, const SentFrame& sent, const uint8_t* answer,
                        size_t size) {
    if (!log.portLines) return ClassifyRtuOverTcp(log, sent, answer, size);
    if ((ByteAt(answer, size, 1) & 0x80) != 0) {
        kvlog::Error(log.log, "WriteData: %s port COM%u MODBUS exception response - type %d",
                     log.channel.c_str(), log.comPort, ExceptionCode(Framing::kRtu, answer, size));
        return ExceptionOrCrcFailure(log, sent, answer, size);
    }
    kvlog::Notice(log.log, "WriteData: %s port COM%u received packet (len=%u) OK",
                  log.channel.c_str(), log.comPort, static_cast<unsigned>(size));
    if (!sent.write) CheckDataLength(log, answer, size);
    return CheckCrc(log, sent, answer, size) ? AnswerClass::kGood : AnswerClass::kCrcFailed;
}

// One line in the wording of the framing: RTU lines name the COM port after the channel.
template <typename... Args>
void Line(int level, Framing framing, const AnswerLog& log, const char* tcpFormat,
          const char* rtuFormat, Args... args) {
    if (framing == Framing::kTcp || !log.portLines) {
        kvlog::Write(level, log.log, nullptr, tcpFormat, log.channel.c_str(), args...);
    } else {
        kvlog::Write(level, log.log, nullptr, rtuFormat, log.channel.c_str(),
                     static_cast<unsigned>(log.comPort), args...);
    }
}

// Coils and discrete inputs are answered one bit each, registers in two bytes, whatever the size
// of the request's first tag.
bool ByteCountMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                      uint16_t requestCount, unsigned answered) {
    const unsigned bits = sent.function == 1 || sent.function == 2 ? 1 : 16;
    const unsigned expected = (bits * sent.count + 7) / 8;
    if (answered == expected) return true;
    const unsigned requested = sent.count;
    if (framing == Framing::kTcp || !log.portLines) {
        kvlog::Error(log.log,
                     "WriteData: %s packets mismatch: requested registers count %u, data bytes "
                     "count expected %u, data bytes count in answer %u",
                     log.channel.c_str(), requested, expected, answered);
        kvlog::Trace(log.log, "WriteData: %s packets mismatch: request len=%u", log.channel.c_str(),
                     static_cast<unsigned>(requestCount));
    } else {
        kvlog::Error(log.log,
                     "WriteData: %s port COM%u packets mismatch: requested registers count "
                     "%u(%u), data bytes count expected %u, data bytes count in answer %u",
                     log.channel.c_str(), static_cast<unsigned>(log.comPort), requested,
                     static_cast<unsigned>(requestCount), expected, answered);
    }
    return false;
}

// The data bytes of a read answer: what its byte count declares, but never more than arrived.
class AnswerData {
public:
    AnswerData(Framing framing, const uint8_t* answer, size_t size)
        : data_(answer + std::min(size, LayoutOf(framing).data)),
          size_(std::min<size_t>(ByteAt(answer, size, LayoutOf(framing).byteCount),
                                 DataBytesReceived(framing, size))) {}

    uint8_t operator[](size_t index) const { return index < size_ ? data_[index] : 0; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
};

// How many data bytes an item at register offset `offset` decodes from (none for a size that is
// not decoded).
size_t BytesTaken(const core::TagRecord& tag, size_t offset) {
    switch (tag.m_ucSize) {
        case 1:
            return offset / 8 + 1;
        case 8:
            return offset + 1;
        case 16:
            return 2 * offset + 2;
        case 32:
            return 2 * offset + 4;
        default:
            return 0;
    }
}

uint32_t Word32(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return static_cast<uint32_t>(b0) << 24 | static_cast<uint32_t>(b1) << 16 |
           static_cast<uint32_t>(b2) << 8 | b3;
}

uint32_t DecodeBit(Framing framing, const AnswerLog& log, const SentFrame& sent,
                   const AnswerData& data, const core::TagRecord& tag, size_t offset) {
    const unsigned bit = offset % 8;
    const unsigned mask = 1u << bit;
    const uint32_t value = (data[offset / 8] & mask) >> bit;
    kvlog::Debug(log.log,
                 "WriteData: %s saving data to tag %s, register addr %u, data 1 bit, %01X "
                 "(start %u, mask %u: idx %u)",
                 log.channel.c_str(), tag.m_strName.c_str(), tag.m_dwRegister, value,
                 unsigned{sent.start}, mask,
                 static_cast<unsigned>(offset / 8 + LayoutOf(framing).data));
    return value;
}

// Nothing for a byte order without a meaning; the raw value then stays as it was.
std::optional<uint32_t> DecodeWord32(const AnswerLog& log, const AnswerData& data,
                                     const core::TagRecord& tag, size_t offset) {
    const uint8_t b0 = data[2 * offset], b1 = data[2 * offset + 1];
    const uint8_t b2 = data[2 * offset + 2], b3 = data[2 * offset + 3];
    const char* order = nullptr;
    uint32_t value = Word32(b0, b1, b2, b3);
    if (tag.m_ucByteOrder == 0) {
        order = "1234";
    } else if (tag.m_ucByteOrder == 1) {
        order = "4321";
        value = Word32(b3, b2, b1, b0);
    } else if (tag.m_ucByteOrder == 3) {
        order = "3412";
        value = Word32(b2, b3, b0, b1);
    }
    if (order == nullptr) {
        kvlog::Warning(log.log,
                       "WriteData: %s skip saving data to tag due to unknown byte order, tag %s, "
                       "register addr %u, data 32 bit, %08X",
                       log.channel.c_str(), tag.m_strName.c_str(), tag.m_dwRegister, value);
        return std::nullopt;
    }
    kvlog::Debug(log.log,
                 "WriteData: %s saving data to tag %s, register addr %u, data 32 bit (%s), %08X",
                 log.channel.c_str(), tag.m_strName.c_str(), tag.m_dwRegister, order, value);
    return value;
}

// The tag's value from the data at register offset `offset`; nothing for an unknown size or
// byte order, whose raw value stays as it was.
std::optional<uint32_t> Decode(Framing framing, const AnswerLog& log, const SentFrame& sent,
                               const AnswerData& data, const core::TagRecord& tag, size_t offset) {
    const char* channel = log.channel.c_str();
    const char* name = tag.m_strName.c_str();
    switch (tag.m_ucSize) {
        case 1:
            return DecodeBit(framing, log, sent, data, tag, offset);
        case 8: {
            const uint32_t value = data[offset];  // 8-bit items address data bytes, not registers
            kvlog::Debug(log.log,
                         "WriteData: %s saving data to tag %s, register addr %u, data 8 bit, %02X",
                         channel, name, tag.m_dwRegister, value);
            return value;
        }
        case 16: {
            const uint32_t value = data[2 * offset] << 8 | data[2 * offset + 1];
            kvlog::Debug(log.log,
                         "WriteData: %s saving data to tag %s, register addr %u, data 16 bit, %04X",
                         channel, name, tag.m_dwRegister, value);
            return value;
        }
        case 32:
            return DecodeWord32(log, data, tag, offset);
        default:
            kvlog::Error(log.log,
                         "WriteData: %s skip saving data to tag %s due to unknown tag size %s",
                         channel, name, std::to_string(tag.m_ucSize).c_str());
            return std::nullopt;
    }
}

// Stores a fresh value, unless the table's record holds a value the group rule forced to 0
// that the cache cycle has not published yet; the private copy takes it either way.
void StoreFresh(const AnswerLog& log, std::optional<uint32_t> value, ChannelTag* tag,
                core::RuntimeTables* tables) {
    const auto freshen = [value](core::TagRecord& record) {
        if (value) record.rawValue = static_cast<int32_t>(*value);
        record.state = core::kTagFresh;
        record.faultCount = 0;
    };
    freshen(tag->record);
    bool forcedZero = false;
    tables->UpdateTag(tag->index, [&](core::TagRecord& record) {
        forcedZero = (record.flags & core::kTagForcedZero) != 0;
        if (!forcedZero) freshen(record);
    });
    if (forcedZero) {
        kvlog::Warning(log.log, "WriteData: %s skipping tag %s update.", log.channel.c_str(),
                       tag->record.m_strName.c_str());
    }
    kvlog::Debug(log.log, "WriteData: %s storing tag id %u, state %u", log.channel.c_str(),
                 static_cast<unsigned>(tag->index), static_cast<unsigned>(core::kTagFresh));
}

}  // namespace

AnswerClass Classify(Framing framing, const AnswerLog& log, const SentFrame& sent,
                     const uint8_t* answer, size_t size) {
    if (framing == Framing::kRtu) return ClassifyRtu(log, sent, answer, size);
    if (size < 9) return AnswerClass::kShort;
    return (answer[7] & 0x80) != 0 ? AnswerClass::kException : AnswerClass::kGood;
}

uint8_t ExceptionCode(Framing framing, const uint8_t* answer, size_t size) {
    // An exception answer holds its code where a read answer holds its byte count.
    return ByteAt(answer, size, LayoutOf(framing).byteCount);
}

namespace {

// Unit id, function (without the exception bit when `exception`) and, on Modbus-TCP, the
// transaction id of the answer against the frame sent; each mismatch is logged.
bool SentFrameMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                      const uint8_t* answer, size_t size, bool exception) {
    const Layout layout = LayoutOf(framing);
    bool matches = true;
    const unsigned unit = ByteAt(answer, size, layout.unit);
    if (unit != sent.unit) {
        Line(kvlog::kError, framing, log,
             "WriteData: %s packets mismatch: requested device %u, answered device %u",
             "WriteData: %s port COM%u packets mismatch: requested device %u, answered device %u",
             static_cast<unsigned>(sent.unit), unit);
        matches = false;
    }
    const unsigned function = ByteAt(answer, size, layout.function) & (exception ? 0x7Fu : 0xFFu);
    if (function != sent.function) {
        Line(kvlog::kError, framing, log,
             "WriteData: %s packets mismatch: requested function %u, answered function %u",
             "WriteData: %s port COM%u packets mismatch: requested function %u, answered "
             "function %u",
             static_cast<unsigned>(sent.function), function);
        matches = false;
    }
    if (framing == Framing::kTcp) {
        const unsigned transaction = ByteAt(answer, size, 0) << 8 | ByteAt(answer, size, 1);
        if (transaction != sent.transaction) {
            kvlog::Error(log.log,
                         "WriteData: %s packets transaction ID mismatch: request ID=%u, answer=%u",
                         log.channel.c_str(), sent.transaction, transaction);
            matches = false;
        }
    }
    return matches;
}

}  // namespace

bool AnswerMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                   uint16_t requestCount, const uint8_t* answer, size_t size) {
    const Layout layout = LayoutOf(framing);
    bool matches = SentFrameMatches(framing, log, sent, answer, size, false);
    if (!sent.write && !ByteCountMatches(framing, log, sent, requestCount,
                                         ByteAt(answer, size, layout.byteCount))) {
        matches = false;
    }
    if (matches) {
        Line(sent.write ? kvlog::kInfo : kvlog::kNotice, framing, log, "WriteData: %s answer OK.",
             "WriteData: %s port COM%u answer OK.");
    }
    return matches;
}

bool ExceptionMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                      const uint8_t* answer, size_t size) {
    return SentFrameMatches(framing, log, sent, answer, size, true);
}

void StoreReadAnswer(Framing framing, const AnswerLog& log, const SentFrame& sent,
                     const uint8_t* answer, size_t size, std::vector<ChannelTag>* tags,
                     core::RuntimeTables* tables) {
    kvlog::Debug(log.log, "WriteData: %s starting saving data to tags, number=%u",
                 log.channel.c_str(), static_cast<unsigned>(tags->size()));
    const uint32_t start = sent.start;
    const uint32_t end = start + sent.count;  // one past the last register
    if (framing == Framing::kRtu) {
        kvlog::Debug(log.log, "WriteData: %s start reg %u, end reg %u", log.channel.c_str(), start,
                     end - 1);
    }
    const AnswerData data(framing, answer, size);
    for (ChannelTag& tag : *tags) {
        const core::TagRecord& record = tag.record;
        if (record.m_ucDeviceNo != sent.unit || record.m_ucFunction != sent.function ||
            record.m_dwRegister < start || record.m_dwRegister >= end) {
            continue;
        }
        const size_t offset = record.m_dwRegister - start;
        // Another request of the tag reads all of it; a part of it would be a wrong value.
        if (BytesTaken(record, offset) > data.size()) {
            kvlog::Debug(log.log,
                         "WriteData: %s tag %s, register addr %u: not all its bytes in the "
                         "answer, left as it was",
                         log.channel.c_str(), record.m_strName.c_str(), record.m_dwRegister);
            continue;
        }
        const std::optional<uint32_t> value = Decode(framing, log, sent, data, record, offset);
        StoreFresh(log, value, &tag, tables);
    }
}

namespace {

bool Covers(const ReadRequest& request, const core::TagRecord& record) {
    return record.m_ucDeviceNo == request.address && record.m_ucFunction == request.function &&
           record.m_dwRegister >= request.start && record.m_dwRegister <= request.end;
}

// The tags a read request covers: its field device and function, registers from its start to its
// end, but none that `except` covers; `change` goes to the private copy and to the record in the
// tag table.
void ChangeRequestTags(const ReadRequest& request, std::vector<ChannelTag>* tags,
                       core::RuntimeTables* tables,
                       const std::function<void(core::TagRecord&)>& change,
                       const ReadRequest* except = nullptr) {
    for (ChannelTag& tag : *tags) {
        if (!Covers(request, tag.record)) continue;
        if (except != nullptr && Covers(*except, tag.record)) continue;
        change(tag.record);
        tables->UpdateTag(tag.index, change);
    }
}

}  // namespace

void MarkReadFailed(const ReadRequest& request, std::vector<ChannelTag>* tags,
                    core::RuntimeTables* tables) {
    ChangeRequestTags(request, tags, tables, [](core::TagRecord& record) {
        record.faultCount += 1;
        record.state = core::kTagNoFreshValue;
    });
}

void CountLinkFault(const ReadRequest& request, const ReadRequest* counted,
                    std::vector<ChannelTag>* tags, core::RuntimeTables* tables) {
    ChangeRequestTags(
        request, tags, tables, [](core::TagRecord& record) { record.faultCount += 1; }, counted);
}

void RaiseFaultCount(const ReadRequest& request, int32_t faults, std::vector<ChannelTag>* tags,
                     core::RuntimeTables* tables) {
    ChangeRequestTags(request, tags, tables, [faults](core::TagRecord& record) {
        record.faultCount = std::max(record.faultCount, faults);
    });
}

}  // namespace modbus
