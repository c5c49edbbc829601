#include "modbus/answer.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../core/tests/captured_log.h"

namespace modbus {

// Test names show the framing, not its bytes.
void PrintTo(Framing framing, std::ostream* out) {
    *out << (framing == Framing::kTcp ? "Tcp" : "Rtu");
}

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUnit = 1;
constexpr uint8_t kHolding = 3;
constexpr uint8_t kCoils = 1;

std::string FramingName(const ::testing::TestParamInfo<Framing>& info) {
    return info.param == Framing::kTcp ? "Tcp" : "Rtu";
}

// An answer PDU as the framing carries it: behind the Modbus-TCP header or in front of the CRC.
Bytes Answer(Framing framing, uint16_t transaction, const Bytes& pdu) {
    return Frame(framing, transaction, pdu);
}

Bytes ReadAnswerPdu(uint8_t unit, uint8_t function, const Bytes& data) {
    Bytes pdu(3 + data.size());
    pdu[0] = unit;
    pdu[1] = function;
    pdu[2] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), pdu.begin() + 3);
    return pdu;
}

SentFrame Read(uint8_t function, uint16_t start, uint16_t count, uint16_t transaction = 7) {
    SentFrame sent;
    sent.transaction = transaction;
    sent.unit = kUnit;
    sent.function = function;
    sent.start = start;
    sent.count = count;
    return sent;
}

// A channel "Boiler" on COM4 whose tags sit in a tag table and in the worker's private list.
class AnswerTest : public ::testing::TestWithParam<Framing> {
protected:
    Framing framing() const { return GetParam(); }
    const char* Port() const { return framing() == Framing::kRtu ? " port COM4" : ""; }

    // Every tag starts as a failed poll would leave it, so storing shows in state and count.
    size_t AddTag(const std::string& name, uint8_t function, uint32_t reg, uint8_t size,
                  uint8_t byteOrder = 0, uint8_t unit = kUnit) {
        core::TagRecord tag;
        tag.m_strName = name;
        tag.m_ucDeviceNo = unit;
        tag.m_ucFunction = function;
        tag.m_dwRegister = reg;
        tag.m_ucSize = size;
        tag.m_ucByteOrder = byteOrder;
        tag.rawValue = 0x5555;
        tag.faultCount = 4;
        tag.state = core::kTagNoFreshValue;
        const size_t index = tables_.TagCount();
        tags_.push_back({index, tag});
        tables_.AddTag(std::move(tag));
        return index;
    }

    core::TagRecord Table(size_t index) const {
        core::TagRecord tag;
        EXPECT_EQ(tables_.GetTag(index, &tag), core::kOk);
        return tag;
    }
    const core::TagRecord& Copy(size_t index) const { return tags_.at(index).record; }

    void Store(const SentFrame& sent, const Bytes& answer) {
        StoreReadAnswer(framing(), log_, sent, answer.data(), answer.size(), &tags_, &tables_);
    }
    bool Matches(const SentFrame& sent, const Bytes& answer) {
        return AnswerMatches(framing(), log_, sent, sent.count, answer.data(), answer.size());
    }
    size_t Logged(const std::string& message) const { return captured_.Count(message); }

    core_test::CapturedLog captured_{"WriteData:"};
    core::RuntimeTables tables_;
    std::vector<ChannelTag> tags_;
    AnswerLog log_{captured_.handle(), "Boiler", 4, "127.0.0.1"};
};

INSTANTIATE_TEST_SUITE_P(Framings, AnswerTest, ::testing::Values(Framing::kTcp, Framing::kRtu),
                         FramingName);

TEST_P(AnswerTest, SixteenBitRegistersAreStoredFresh) {
    const size_t at100 = AddTag("T100", kHolding, 100, 16);
    const size_t at101 = AddTag("T101", kHolding, 101, 16);
    const size_t beyond = AddTag("T102", kHolding, 102, 16);
    const size_t otherFunction = AddTag("I100", 4, 100, 16);
    const size_t otherUnit = AddTag("U100", kHolding, 100, 16, 0, 2);
    const SentFrame sent = Read(kHolding, 100, 2);
    const Bytes answer =
        Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A, 0x01, 0x00}));

    ASSERT_EQ(Classify(framing(), log_, sent, answer.data(), answer.size()), AnswerClass::kGood);
    ASSERT_TRUE(Matches(sent, answer));
    Store(sent, answer);

    for (const core::TagRecord& tag : {Table(at100), Copy(at100)}) {
        EXPECT_EQ(tag.rawValue, 0x002A);
        EXPECT_EQ(tag.state, core::kTagFresh);
        EXPECT_EQ(tag.faultCount, 0);
    }
    EXPECT_EQ(Table(at101).rawValue, 0x0100);
    EXPECT_EQ(Copy(at101).rawValue, 0x0100);
    for (size_t untouched : {beyond, otherFunction, otherUnit}) {
        EXPECT_EQ(Table(untouched).state, core::kTagNoFreshValue);
        EXPECT_EQ(Table(untouched).rawValue, 0x5555);
        EXPECT_EQ(Copy(untouched).state, core::kTagNoFreshValue);
    }
    EXPECT_EQ(Logged(std::string("N WriteData: Boiler") + Port() + " answer OK."), 1u);
    EXPECT_EQ(Logged("D WriteData: Boiler starting saving data to tags, number=5"), 1u);
    EXPECT_EQ(Logged("D WriteData: Boiler saving data to tag T101, register addr 101, data 16 bit, "
                     "0100"),
              1u);
    EXPECT_EQ(Logged("D WriteData: Boiler storing tag id 0, state 100"), 1u);
    EXPECT_EQ(Logged("D WriteData: Boiler start reg 100, end reg 101"),
              framing() == Framing::kRtu ? 1u : 0u);
}

TEST_P(AnswerTest, ThirtyTwoBitByteOrders) {
    const struct {
        uint8_t order;
        int32_t raw;
        const char* line;
    } cases[] = {
        {0, 0x002A0100,
         "D WriteData: Boiler saving data to tag L0, register addr 100, data 32 bit (1234), "
         "002A0100"},
        {1, 0x00012A00,
         "D WriteData: Boiler saving data to tag L1, register addr 100, data 32 bit (4321), "
         "00012A00"},
        {3, 0x0100002A,
         "D WriteData: Boiler saving data to tag L3, register addr 100, data 32 bit (3412), "
         "0100002A"},
        {2, 0x5555,
         "W WriteData: Boiler skip saving data to tag due to unknown byte order, tag L2, register "
         "addr 100, data 32 bit, 002A0100"},
    };
    for (const auto& c : cases)
        AddTag("L" + std::to_string(c.order), kHolding, 100, 32, c.order);
    const SentFrame sent = Read(kHolding, 100, 2);
    Store(sent, Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A, 0x01, 0x00})));

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(Table(i).rawValue, cases[i].raw);
        EXPECT_EQ(Copy(i).rawValue, cases[i].raw);
        EXPECT_EQ(Table(i).state, core::kTagFresh);
        EXPECT_EQ(Table(i).faultCount, 0);
        EXPECT_EQ(Logged(cases[i].line), 1u);
    }
}

TEST_P(AnswerTest, CoilsTakeTheirBitOfTheDataBytes) {
    const struct {
        uint32_t reg;
        int32_t value;
    } cases[] = {{10, 1}, {11, 0}, {12, 1}, {17, 0}, {18, 0}, {19, 0}, {20, 1}};
    for (const auto& c : cases)
        AddTag("C" + std::to_string(c.reg), kCoils, c.reg, 1);
    const SentFrame sent = Read(kCoils, 10, 11);
    const Bytes answer = Answer(framing(), 7, ReadAnswerPdu(kUnit, kCoils, {0x05, 0x04}));

    ASSERT_TRUE(Matches(sent, answer));
    Store(sent, answer);

    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(Table(i).rawValue, cases[i].value) << "coil " << cases[i].reg;
        EXPECT_EQ(Table(i).state, core::kTagFresh);
    }
    const std::string idx = framing() == Framing::kTcp ? "10" : "4";
    EXPECT_EQ(Logged("D WriteData: Boiler saving data to tag C20, register addr 20, data 1 bit, 1 "
                     "(start 10, mask 4: idx " +
                     idx + ")"),
              1u);
}

TEST_P(AnswerTest, EightBitTagTakesOneDataByte) {
    const size_t tag = AddTag("B101", kHolding, 101, 8);
    Store(Read(kHolding, 100, 2),
          Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A, 0x01, 0x00})));
    EXPECT_EQ(Table(tag).rawValue, 0x2A);
    EXPECT_EQ(Logged("D WriteData: Boiler saving data to tag B101, register addr 101, data 8 bit, "
                     "2A"),
              1u);
}

TEST_P(AnswerTest, UnknownTagSizeIsFreshButKeepsItsValue) {
    const size_t tag = AddTag("Odd", kHolding, 100, 24);
    Store(Read(kHolding, 100, 2),
          Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A, 0x01, 0x00})));
    EXPECT_EQ(Table(tag).rawValue, 0x5555);
    EXPECT_EQ(Table(tag).state, core::kTagFresh);
    EXPECT_EQ(Logged("E WriteData: Boiler skip saving data to tag Odd due to unknown tag size 24"),
              1u);
}

// A 32-bit tag at a request's last register has only half of its bytes in the answer (a request
// of another priority may end there): it keeps its value and state rather than take half a value
// or what follows the data (the RTU CRC). A whole-byte tag of coils is alike beyond the data.
TEST_P(AnswerTest, TagWithBytesBeyondTheDataIsLeftAsItWas) {
    const size_t last = AddTag("Last", kHolding, 101, 32);
    const size_t whole = AddTag("Whole", kHolding, 100, 32);
    const size_t coilByte = AddTag("CoilByte", kCoils, 11, 8);
    Store(Read(kHolding, 100, 2),
          Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A, 0x01, 0x02})));
    Store(Read(kCoils, 10, 3), Answer(framing(), 7, ReadAnswerPdu(kUnit, kCoils, {0x07})));
    for (size_t kept : {last, coilByte}) {
        EXPECT_EQ(Table(kept).rawValue, 0x5555);
        EXPECT_EQ(Table(kept).state, core::kTagNoFreshValue);
        EXPECT_EQ(Copy(kept).state, core::kTagNoFreshValue);
    }
    EXPECT_EQ(Table(whole).rawValue, 0x002A0102);
    EXPECT_EQ(Logged("D WriteData: Boiler tag Last, register addr 101: not all its bytes in the "
                     "answer, left as it was"),
              1u);
}

// A byte count that promises more than arrived: only the bytes received are read.
TEST_P(AnswerTest, LyingByteCountIsNotReadPast) {
    const size_t first = AddTag("First", kHolding, 100, 16);
    const size_t second = AddTag("Second", kHolding, 101, 16);
    Bytes pdu = ReadAnswerPdu(kUnit, kHolding, {0x12, 0x34});
    pdu[2] = 200;
    const Bytes answer = Answer(framing(), 7, pdu);
    // An exact-size copy on the heap, so that a read past it is caught by the address sanitizer.
    const std::vector<uint8_t> exact(answer.begin(), answer.end());
    Store(Read(kHolding, 100, 2), exact);
    EXPECT_EQ(Table(first).rawValue, 0x1234);
    EXPECT_EQ(Table(second).rawValue, 0x5555);
    EXPECT_EQ(Table(second).state, core::kTagNoFreshValue);
}

TEST_P(AnswerTest, ForcedZeroIsKeptInTheTableUntilPublished) {
    const size_t tag = AddTag("Grouped", kHolding, 100, 16);
    tables_.UpdateTag(tag, [](core::TagRecord& record) {
        record.rawValue = 0;
        record.flags = core::kTagForcedZero;
    });
    const SentFrame sent = Read(kHolding, 100, 1);
    Store(sent, Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A})));

    EXPECT_EQ(Table(tag).rawValue, 0);
    EXPECT_EQ(Table(tag).state, core::kTagNoFreshValue);
    EXPECT_EQ(Table(tag).faultCount, 4);
    EXPECT_EQ(Copy(tag).rawValue, 0x2A);
    EXPECT_EQ(Copy(tag).state, core::kTagFresh);
    EXPECT_EQ(Logged("W WriteData: Boiler skipping tag Grouped update."), 1u);

    // Published: the cache cycle clears the bit and keeps fields of its own, which storing leaves.
    tables_.UpdateTag(tag, [](core::TagRecord& record) {
        record.flags = core::kTagFloatIsFinal;
        record.floatValue = 2.5f;
    });
    Store(sent, Answer(framing(), 7, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2B})));
    EXPECT_EQ(Table(tag).rawValue, 0x2B);
    EXPECT_EQ(Table(tag).state, core::kTagFresh);
    EXPECT_EQ(Table(tag).flags, core::kTagFloatIsFinal);
    EXPECT_EQ(Table(tag).floatValue, 2.5f);
}

TEST_P(AnswerTest, MismatchesAreRejectedAndLogged) {
    const std::string port = Port();
    const bool tcp = framing() == Framing::kTcp;
    const struct {
        const char* name;
        Bytes pdu;
        uint16_t transaction;
        std::string line;
    } cases[] = {
        {"unit", ReadAnswerPdu(2, kHolding, Bytes(20)), 7,
         "E WriteData: Boiler" + port + " packets mismatch: requested device 1, answered device 2"},
        {"function", ReadAnswerPdu(kUnit, 4, Bytes(20)), 7,
         "E WriteData: Boiler" + port +
             " packets mismatch: requested function 3, answered function 4"},
        {"byte count", ReadAnswerPdu(kUnit, kHolding, Bytes(18)), 7,
         tcp ? "E WriteData: Boiler packets mismatch: requested registers count 10, data bytes "
               "count expected 20, data bytes count in answer 18"
             : "E WriteData: Boiler port COM4 packets mismatch: requested registers count 10(10), "
               "data bytes count expected 20, data bytes count in answer 18"},
    };
    const SentFrame sent = Read(kHolding, 0, 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes answer = Answer(framing(), c.transaction, c.pdu);
        EXPECT_FALSE(Matches(sent, answer));
        EXPECT_EQ(Logged(c.line), 1u);
    }
    EXPECT_EQ(Logged("T WriteData: Boiler packets mismatch: request len=10"), tcp ? 1u : 0u);
    EXPECT_EQ(Logged(std::string("N WriteData: Boiler") + Port() + " answer OK."), 0u);
}

// The function says how the answer counts its data: bits for coils and discrete inputs, two
// bytes per register.
TEST_P(AnswerTest, ByteCountFollowsTheFunction) {
    const struct {
        uint8_t function;
        uint16_t count;
        size_t bytes;
    } cases[] = {{kCoils, 1, 1}, {2, 9, 2}, {kCoils, 2000, 250}, {kHolding, 1, 2}, {4, 125, 250}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "function " << int{c.function} << " count " << c.count);
        const SentFrame sent = Read(c.function, 0, c.count);
        const Bytes good = Answer(framing(), 7, ReadAnswerPdu(kUnit, c.function, Bytes(c.bytes)));
        const Bytes longer =
            Answer(framing(), 7, ReadAnswerPdu(kUnit, c.function, Bytes(c.bytes + 1)));
        EXPECT_TRUE(Matches(sent, good));
        EXPECT_FALSE(Matches(sent, longer));
    }
}

// Modbus-TCP answers carry the transaction id of their request; RTU answers have none.
TEST_P(AnswerTest, TransactionIdIsCheckedOnTcpOnly) {
    const Bytes answer = Answer(framing(), 8, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x01}));
    const bool tcp = framing() == Framing::kTcp;
    EXPECT_EQ(Matches(Read(kHolding, 0, 1, 7), answer), !tcp);
    EXPECT_EQ(Logged("E WriteData: Boiler packets transaction ID mismatch: request ID=7, answer=8"),
              tcp ? 1u : 0u);
}

TEST_P(AnswerTest, WriteEchoMatchesWithoutByteCount) {
    SentFrame sent;
    sent.transaction = 3;
    sent.unit = kUnit;
    sent.function = 6;
    sent.start = 40;
    sent.write = true;
    const Bytes echo = Answer(framing(), 3, WriteSinglePdu(kUnit, 6, 40, 0x0102));
    EXPECT_TRUE(Matches(sent, echo));
    EXPECT_EQ(Logged(std::string("I WriteData: Boiler") + Port() + " answer OK."), 1u);
}

TEST_P(AnswerTest, MarkReadFailedRaisesTheFaultsOfTheRequestsTags) {
    const size_t low = AddTag("Low", kHolding, 20, 32);
    const size_t high = AddTag("High", kHolding, 21, 16);
    const size_t after = AddTag("After", kHolding, 22, 16);
    const size_t coil = AddTag("Coil", kCoils, 20, 1);
    tables_.UpdateTag(low, [](core::TagRecord& record) { record.faultCount = 9; });
    ReadRequest request;
    request.address = kUnit;
    request.function = kHolding;
    request.start = 20;
    request.end = 21;
    request.count = 2;

    MarkReadFailed(request, &tags_, &tables_);

    EXPECT_EQ(Table(low).faultCount, 10);  // the table's own count goes up
    EXPECT_EQ(Copy(low).faultCount, 5);
    EXPECT_EQ(Table(high).faultCount, 5);
    EXPECT_EQ(Table(high).state, core::kTagNoFreshValue);
    EXPECT_EQ(Table(high).rawValue, 0x5555);
    EXPECT_EQ(Table(after).faultCount, 4);
    EXPECT_EQ(Table(coil).faultCount, 4);
}

TEST_P(AnswerTest, RaiseFaultCountBringsTheRequestsTagsToTheThresholdAndKeepsTheirState) {
    const size_t low = AddTag("Low", kHolding, 20, 16);
    const size_t fresh = AddTag("Fresh", kHolding, 21, 16);
    const size_t after = AddTag("After", kHolding, 22, 16);
    tables_.UpdateTag(low, [](core::TagRecord& record) { record.faultCount = 9; });
    tables_.UpdateTag(fresh, [](core::TagRecord& record) {
        record.faultCount = 0;
        record.state = core::kTagFresh;
    });
    ReadRequest request;
    request.address = kUnit;
    request.function = kHolding;
    request.start = 20;
    request.end = 21;
    request.count = 2;

    RaiseFaultCount(request, 6, &tags_, &tables_);

    EXPECT_EQ(Table(low).faultCount, 9) << "a count beyond the threshold stays";
    EXPECT_EQ(Copy(low).faultCount, 6);
    EXPECT_EQ(Table(fresh).faultCount, 6);
    EXPECT_EQ(Table(fresh).state, core::kTagFresh) << "an unpublished value is still published";
    EXPECT_EQ(Table(fresh).rawValue, 0x5555);
    EXPECT_EQ(Table(after).faultCount, 4);
}

TEST(AnswerClassifyTest, TcpAnswersByLengthAndExceptionBit) {
    core_test::CapturedLog captured("WriteData:");
    const AnswerLog log{captured.handle(), "Boiler", 0, "127.0.0.1"};
    const SentFrame sent = Read(kHolding, 0, 1);
    const Bytes good = Frame(Framing::kTcp, 7, ReadAnswerPdu(kUnit, kHolding, {0x00}));
    for (size_t size = 1; size <= 8; ++size) {
        EXPECT_EQ(Classify(Framing::kTcp, log, sent, good.data(), size), AnswerClass::kShort);
    }
    EXPECT_EQ(Classify(Framing::kTcp, log, sent, good.data(), 9), AnswerClass::kGood);
    const Bytes exception = Frame(Framing::kTcp, 7, Bytes{kUnit, 0x83, 0x02});
    EXPECT_EQ(Classify(Framing::kTcp, log, sent, exception.data(), exception.size()),
              AnswerClass::kException);
    EXPECT_EQ(ExceptionCode(Framing::kTcp, exception.data(), exception.size()), 2);
    EXPECT_EQ(ExceptionCode(Framing::kTcp, exception.data(), 8), 0);
    EXPECT_TRUE(captured.Messages().empty());  // the worker logs Modbus-TCP answers
}

TEST(AnswerClassifyTest, RtuExceptionAndCrc) {
    core_test::CapturedLog captured("WriteData:");
    const AnswerLog log{captured.handle(), "Boiler", 4, "127.0.0.1"};
    const SentFrame sent = Read(kHolding, 0, 1);

    const Bytes exception = Frame(Framing::kRtu, 0, Bytes{kUnit, 0x83, 0x0A});
    EXPECT_EQ(Classify(Framing::kRtu, log, sent, exception.data(), exception.size()),
              AnswerClass::kException);
    EXPECT_EQ(ExceptionCode(Framing::kRtu, exception.data(), exception.size()), 10);
    EXPECT_EQ(captured.Count("E WriteData: Boiler port COM4 MODBUS exception response - type 10"),
              1u);
    const char* crcOk = "T WriteData: Boiler port COM4, device 1 function no 3: CRC check OK";
    EXPECT_EQ(captured.Count(crcOk), 1u);
    // An exception frame with a wrong CRC is noise, not the device's refusal.
    Bytes noise = exception;
    noise.back() ^= 0xFF;
    EXPECT_EQ(Classify(Framing::kRtu, log, sent, noise.data(), noise.size()),
              AnswerClass::kCrcFailed);

    Bytes answer = Frame(Framing::kRtu, 0, ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A}));
    EXPECT_EQ(Classify(Framing::kRtu, log, sent, answer.data(), answer.size()), AnswerClass::kGood);
    EXPECT_EQ(captured.Count("N WriteData: Boiler port COM4 received packet (len=7) OK"), 1u);
    EXPECT_EQ(captured.Count(crcOk), 2u);

    const uint16_t crc = Crc16(answer.data(), 5);
    answer[5] ^= 0xFF;
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "T WriteData: Boiler port COM4 CRC from packet:%04X (%02X, %02X), CRC "
                  "calculated:%04X",
                  answer[6] << 8 | answer[5], answer[5], answer[6], crc);
    EXPECT_EQ(Classify(Framing::kRtu, log, sent, answer.data(), answer.size()),
              AnswerClass::kCrcFailed);
    // The noisy exception above failed its check too.
    EXPECT_EQ(
        captured.Count("E WriteData: Boiler port COM4, device 1 function no 3: CRC check FAILED"),
        2u);
    EXPECT_EQ(captured.Count(expected), 1u);
}

// A data length that differs from the byte count is only logged; the CRC decides.
TEST(AnswerClassifyTest, RtuLengthMismatchAloneRejectsNothing) {
    core_test::CapturedLog captured("WriteData:");
    const AnswerLog log{captured.handle(), "Boiler", 4, "127.0.0.1"};
    Bytes pdu = ReadAnswerPdu(kUnit, kHolding, {0x00, 0x2A});
    pdu[2] = 4;
    const Bytes answer = Frame(Framing::kRtu, 0, pdu);
    EXPECT_EQ(Classify(Framing::kRtu, log, Read(kHolding, 0, 2), answer.data(), answer.size()),
              AnswerClass::kGood);
    EXPECT_EQ(captured.Count("E WriteData: Boiler port COM4 packet data length size mismatch: "
                             "full=7, declared=4, received=2"),
              1u);
}

}  // namespace
}  // namespace modbus
