#pragma once
// What a worker does with every answer, whatever its link: classify it, check that it answers
// the frame that was sent, and for a read store the decoded values of the channel's tags in the
// tag table; a read without a usable answer marks its tags failed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/runtime.h"
#include "log/kvlog.h"
#include "modbus/framing.h"
#include "modbus/planner.h"

namespace modbus {

// The frame of the turn being answered.
struct SentFrame {
    uint16_t transaction = 0;  // Modbus-TCP only
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t start = 0;  // start register of a read, register of a write
    uint16_t count = 0;  // register count of a read
    bool write = false;
};

// Who logs: the channel name first in every line; RTU lines also name the COM port, lines
// about TCP traffic the address.
struct AnswerLog {
    kvlog::Handle log = nullptr;
    std::string channel;
    uint8_t comPort = 0;
    std::string address;
    // RTU framing over a serial line; over TCP only the CRC lines name the port, the rest reads
    // as on Modbus-TCP.
    bool portLines = true;
};

enum class AnswerClass { kGood, kShort, kException, kCrcFailed };

// Modbus-TCP: 9 bytes or more without the exception bit are good, 1 to 8 bytes short. RTU: the
// exception bit, then the CRC (with the RTU log lines; over TCP, 1 or 2 bytes are short).
// Counters are the worker's.
AnswerClass Classify(Framing framing, const AnswerLog& log, const SentFrame& sent,
                     const uint8_t* answer, size_t size);
// The exception code of an exception answer (0 when the answer is too short to hold one).
uint8_t ExceptionCode(Framing framing, const uint8_t* answer, size_t size);

// The consistency checks of a good answer in their order: unit id, function, the transaction
// id (Modbus-TCP), and for a read the byte count of the sent count of bits (functions 1 and 2)
// or registers; each mismatch is logged. True when the answer matches.
bool AnswerMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                   uint16_t requestCount, const uint8_t* answer, size_t size);
// The same checks of an exception answer, whose function carries the exception bit and which has
// no byte count: an exception that belongs to another request (a late answer) is no refusal of
// this one.
bool ExceptionMatches(Framing framing, const AnswerLog& log, const SentFrame& sent,
                      const uint8_t* answer, size_t size);

// Decodes a matching read answer into every tag of the channel with the sent unit id and
// function and a register in the sent range, in the private copies and the tag table (a record
// whose value the group rule forced to 0 and that is not yet published is left alone). A tag
// whose bytes are not all in the answer's data is left as it was.
void StoreReadAnswer(Framing framing, const AnswerLog& log, const SentFrame& sent,
                     const uint8_t* answer, size_t size, std::vector<ChannelTag>* tags,
                     core::RuntimeTables* tables);

// A read without a usable answer: the request's tags (its field device and function, registers
// from its start to its end) get fault count + 1 and state 101, in the copies and the table.
void MarkReadFailed(const ReadRequest& request, std::vector<ChannelTag>* tags,
                    core::RuntimeTables* tables);

// A request that failed with the whole link (a broken or refused connection): its tags get fault
// count + 1 and keep their state, so that a value stored before the loss is still published.
// Tags that `counted` covers (the read the loss broke, marked failed already) are left out.
void CountLinkFault(const ReadRequest& request, const ReadRequest* counted,
                    std::vector<ChannelTag>* tags, core::RuntimeTables* tables);

// A lost link: the request's tags count at least `faults` faults. Their state stays, so that a
// value stored just before the loss is still published once before the link-loss quality.
void RaiseFaultCount(const ReadRequest& request, int32_t faults, std::vector<ChannelTag>* tags,
                     core::RuntimeTables* tables);

}  // namespace modbus
