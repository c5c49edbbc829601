#include "modbus/framing.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace modbus {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(FramingTest, CrcHasTheModbusCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0x4B37);
    EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);
}

TEST(FramingTest, RtuReadFrameCarriesTheCrcLowByteFirst) {
    EXPECT_EQ(Frame(Framing::kRtu, 0x1234, ReadPdu(0x01, 0x03, 0x0000, 0x000A)),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
}

TEST(FramingTest, TcpFrameHasTransactionProtocolAndLength) {
    EXPECT_EQ(Frame(Framing::kTcp, 0xBEEF, ReadPdu(0x11, 0x04, 0x0102, 0x0304)),
              (Bytes{0xBE, 0xEF, 0x00, 0x00, 0x00, 0x06, 0x11, 0x04, 0x01, 0x02, 0x03, 0x04}));
    const uint8_t value[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    const Bytes frame = Frame(Framing::kTcp, 1, WriteDoublePdu(2, 16, 0x2710, value));
    ASSERT_EQ(frame.size(), 17u);
    EXPECT_EQ(frame[4], 0x00);
    EXPECT_EQ(frame[5], 11);  // unit id and the ten PDU bytes behind it
}

TEST(FramingTest, WritePdus) {
    EXPECT_EQ(WriteSinglePdu(0x05, 0x06, 0x0010, 0xABCD),
              (Bytes{0x05, 0x06, 0x00, 0x10, 0xAB, 0xCD}));
    const uint8_t value[4] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(WriteDoublePdu(0x05, 0x10, 0x2710, value),
              (Bytes{0x05, 0x10, 0x27, 0x10, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04}));
    const Bytes frame = Frame(Framing::kRtu, 0, WriteDoublePdu(0x05, 0x10, 0x2710, value));
    ASSERT_EQ(frame.size(), 13u);
    EXPECT_TRUE(CrcMatches(frame.data(), frame.size()));
}

TEST(FramingTest, CrcMatchesOnlyAnIntactFrameOfThreeBytesOrMore) {
    const Bytes good = Frame(Framing::kRtu, 0, Bytes{0x01, 0x03, 0x02, 0x00, 0x2A});
    EXPECT_TRUE(CrcMatches(good.data(), good.size()));

    Bytes damaged = good;
    damaged[3] ^= 0x01;
    EXPECT_FALSE(CrcMatches(damaged.data(), damaged.size()));

    Bytes swapped = good;
    std::swap(swapped[5], swapped[6]);
    EXPECT_FALSE(CrcMatches(swapped.data(), swapped.size()));

    const Bytes oneByte = Frame(Framing::kRtu, 0, Bytes{0x07});
    EXPECT_TRUE(CrcMatches(oneByte.data(), oneByte.size()));
    // Two bytes FF FF are the CRC of nothing, yet too short to be a frame.
    const Bytes crcOfNothing{0xFF, 0xFF};
    EXPECT_FALSE(CrcMatches(crcOfNothing.data(), crcOfNothing.size()));
    EXPECT_FALSE(CrcMatches(good.data(), 1));
    EXPECT_FALSE(CrcMatches(nullptr, 0));
}

TEST(FramingTest, ExceptionTexts) {
    const struct {
        uint8_t code;
        const char* text;
    } cases[] = {
        {1, "illegal function"},
        {2, "illegal data address"},
        {3, "illegal data value"},
        {4, "slave device failure"},
        {5, "acknowledge"},
        {6, "slave device busy"},
        {7, "negative acknowledge"},
        {8, "memory parity error"},
        {11, "(modbus/tcp) device failed to respond"},
        {0, "unknown error"},
        {9, "unknown error"},
        {10, "unknown error"},
        {12, "unknown error"},
        {255, "unknown error"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ExceptionText(c.code), c.text) << "code " << int{c.code};
    }
}

TEST(FramingTest, HexDumpPrintsUpperCaseDigitsAndABlankPerByte) {
    const Bytes bytes{0x00, 0x0A, 0xBC, 0xFF};
    EXPECT_EQ(HexDump(bytes.data(), bytes.size()), "00 0A BC FF ");
    EXPECT_EQ(HexDump(bytes.data(), 0), "");
}

}  // namespace
}  // namespace modbus
