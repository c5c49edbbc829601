// Arbitrary answers through the checks and the storing of both framings (RTU on a line and over
// TCP): nothing is read past
// the answer, and only the tags that the sent frame covers change, as storing says they do.
// Input: sent frame (8 bytes), tag count, two bytes per tag, then the answer itself.

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "modbus/answer.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// A log without output at the most detailed level, so every line is still formatted; its
// settings go to a registry folder of the fuzzer's own.
class QuietLog {
public:
    QuietLog() {
        char pattern[] = "/tmp/karvex-answer-fuzz-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("KARVEX_REGISTRY_DIR", folder_.c_str(), 1);
        handle_ = kvlog::Open("AnswerFuzz", "", nullptr, 0, kvlog::kDebug);
    }
    ~QuietLog() {
        kvlog::Close(handle_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    kvlog::Handle handle() const { return handle_; }

private:
    std::string folder_;
    kvlog::Handle handle_ = nullptr;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    std::vector<uint8_t> Rest() const {
        return offset_ < size_ ? std::vector<uint8_t>(data_ + offset_, data_ + size_)
                               : std::vector<uint8_t>();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

constexpr uint8_t kTagSizes[] = {1, 8, 16, 32, 0, 24, 2, 64};

// Few units and functions, so that tags and answers often meet.
modbus::SentFrame SentFrom(Input* input) {
    modbus::SentFrame sent;
    const uint8_t flags = input->Byte();
    sent.write = (flags & 1) != 0;
    sent.unit = input->Byte() & 3;
    sent.function = input->Byte() & 7;
    sent.start = input->Word();
    sent.count = input->Byte();
    sent.transaction = input->Word();
    return sent;
}

std::vector<modbus::ChannelTag> TagsFrom(Input* input, const modbus::SentFrame& sent,
                                         core::RuntimeTables* tables) {
    std::vector<modbus::ChannelTag> tags;
    const size_t count = input->Byte() & 7;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t offset = input->Byte();
        const uint8_t traits = input->Byte();
        core::TagRecord tag;
        tag.m_strName = "T" + std::to_string(i);
        tag.m_ucDeviceNo = (traits & 0x80) != 0 ? sent.unit : static_cast<uint8_t>(sent.unit + 1);
        tag.m_ucFunction = (traits & 0x40) != 0 ? sent.function : 3;
        tag.m_dwRegister = sent.start + offset - 8u;  // below the start too, and wrapping
        tag.m_ucSize = kTagSizes[traits & 7];
        tag.m_ucByteOrder = (traits >> 3) & 3;
        tag.flags = (traits & 0x20) != 0 ? uint32_t{core::kTagForcedZero} : 0u;
        tag.rawValue = 0x5A5A5A5A;
        tag.faultCount = 7;
        tags.push_back({i, tag});
        tables->AddTag(std::move(tag));
    }
    return tags;
}

bool Covers(const modbus::SentFrame& sent, const core::TagRecord& tag) {
    return tag.m_ucDeviceNo == sent.unit && tag.m_ucFunction == sent.function &&
           tag.m_dwRegister >= sent.start && tag.m_dwRegister < uint32_t{sent.start} + sent.count;
}

void CheckValueFits(const core::TagRecord& tag) {
    const uint32_t value = static_cast<uint32_t>(tag.rawValue);
    if (tag.m_ucSize == 1) Check(value <= 1);
    if (tag.m_ucSize == 8) Check(value <= 0xFF);
    if (tag.m_ucSize == 16) Check(value <= 0xFFFF);
}

// The data bytes storing may read: what the byte count declares, but never more than arrived.
size_t DataSize(modbus::Framing framing, const std::vector<uint8_t>& answer) {
    const bool tcp = framing == modbus::Framing::kTcp;
    const size_t data = tcp ? 9 : 3;
    const size_t overhead = tcp ? 9 : 5;
    const size_t declared = answer.size() > data - 1 ? answer[data - 1] : 0;
    return std::min(declared, answer.size() > overhead ? answer.size() - overhead : 0);
}

// Whether all the bytes the tag decodes from are in the data (always for a size not decoded).
bool BytesInData(const core::TagRecord& tag, const modbus::SentFrame& sent, size_t dataSize) {
    const size_t offset = tag.m_dwRegister - sent.start;
    switch (tag.m_ucSize) {
        case 1:
            return offset / 8 < dataSize;
        case 8:
            return offset < dataSize;
        case 16:
            return 2 * offset + 2 <= dataSize;
        case 32:
            return 2 * offset + 4 <= dataSize;
        default:
            return true;
    }
}

void CheckStored(const modbus::SentFrame& sent, const std::vector<modbus::ChannelTag>& tags,
                 const core::RuntimeTables& tables, size_t dataSize) {
    for (const modbus::ChannelTag& tag : tags) {
        core::TagRecord table;
        Check(tables.GetTag(tag.index, &table) == core::kOk);
        const bool forced = (table.flags & core::kTagForcedZero) != 0;
        if (!Covers(sent, tag.record) || !BytesInData(tag.record, sent, dataSize)) {
            Check(tag.record.state == core::kTagNoFreshValue && tag.record.faultCount == 7);
            Check(table.state == core::kTagNoFreshValue && table.faultCount == 7);
            continue;
        }
        Check(tag.record.state == core::kTagFresh && tag.record.faultCount == 0);
        CheckValueFits(tag.record);
        if (forced) {
            Check(table.state == core::kTagNoFreshValue && table.rawValue == 0x5A5A5A5A);
        } else {
            Check(table.state == core::kTagFresh && table.rawValue == tag.record.rawValue);
        }
    }
}

void FuzzFraming(modbus::Framing framing, const modbus::AnswerLog& log,
                 const modbus::SentFrame& sent, Input input, const std::vector<uint8_t>& answer) {
    core::RuntimeTables tables;
    std::vector<modbus::ChannelTag> tags = TagsFrom(&input, sent, &tables);
    const std::vector<uint8_t>& bytes = answer;
    const uint8_t* data = bytes.empty() ? nullptr : bytes.data();

    const modbus::AnswerClass kind = modbus::Classify(framing, log, sent, data, bytes.size());
    if (framing == modbus::Framing::kTcp && bytes.size() < 9) {
        Check(kind == modbus::AnswerClass::kShort);
    }
    if (framing == modbus::Framing::kRtu && !log.portLines) {
        Check((kind == modbus::AnswerClass::kShort) == (bytes.size() < 3));
    }
    modbus::ExceptionCode(framing, data, bytes.size());
    modbus::AnswerMatches(framing, log, sent, sent.count, data, bytes.size());
    modbus::StoreReadAnswer(framing, log, sent, data, bytes.size(), &tags, &tables);
    CheckStored(sent, tags, tables, DataSize(framing, bytes));

    modbus::ReadRequest request;
    request.address = sent.unit;
    request.function = sent.function;
    request.start = sent.start;
    request.end = static_cast<uint16_t>(sent.start + sent.count);
    modbus::MarkReadFailed(request, &tags, &tables);
    for (const modbus::ChannelTag& tag : tags) {
        const bool inRequest = tag.record.m_ucDeviceNo == request.address &&
                               tag.record.m_ucFunction == request.function &&
                               tag.record.m_dwRegister >= request.start &&
                               tag.record.m_dwRegister <= request.end;
        if (inRequest) Check(tag.record.state == core::kTagNoFreshValue);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QuietLog quiet;
    const modbus::AnswerLog log{quiet.handle(), "Fuzz", 3, "127.0.0.1"};
    Input input(data, size);
    const modbus::SentFrame sent = SentFrom(&input);
    // The tags come next; each framing reads them from the same place.
    Input tagInput = input;
    const size_t tagCount = input.Byte() & 7;
    for (size_t i = 0; i < 2 * tagCount; ++i)
        input.Byte();
    // An exact-size copy, so that a read past the answer is caught by the address sanitizer.
    const std::vector<uint8_t> answer = input.Rest();
    FuzzFraming(modbus::Framing::kTcp, log, sent, tagInput, answer);
    FuzzFraming(modbus::Framing::kRtu, log, sent, tagInput, answer);
    // RTU frames over TCP: the converter's classification and wording.
    modbus::AnswerLog overTcp = log;
    overTcp.portLines = false;
    FuzzFraming(modbus::Framing::kRtu, overTcp, sent, tagInput, answer);
    return 0;
}
