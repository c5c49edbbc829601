#include "modbus/planner.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../core/tests/captured_log.h"

namespace {

using core::ChannelRecord;
using core::FieldDevice;
using core::RequestSize;
using core::TagRecord;
using modbus::ReadRequest;
using Messages = std::vector<std::string>;

struct TagSpec {
    uint8_t address = 1;
    uint8_t function = 3;
    uint32_t reg = 0;
    uint8_t size = 16;
    uint8_t priority = 0;
};

TagRecord Tag(const TagSpec& spec, const std::string& name = "T") {
    TagRecord tag;
    tag.m_strName = name;
    tag.m_ucDevice = 1;
    tag.m_ucDeviceNo = spec.address;
    tag.m_ucFunction = spec.function;
    tag.m_dwRegister = spec.reg;
    tag.m_ucSize = spec.size;
    tag.m_ucPriority = spec.priority;
    return tag;
}

// What a request reads, and how many tags made it.
struct Shape {
    uint8_t address;
    uint8_t function;
    uint16_t start;
    uint16_t end;
    uint16_t count;
    uint8_t priority;
    uint8_t itemSize;
    size_t tags;

    bool operator==(const Shape&) const = default;
};

void PrintTo(const Shape& s, std::ostream* out) {
    *out << "{dev " << int{s.address} << " fn " << int{s.function} << " " << s.start << ".."
         << s.end << " n " << s.count << " prio " << int{s.priority} << " size " << int{s.itemSize}
         << " tags " << s.tags << "}";
}

std::vector<Shape> Shapes(const std::vector<ReadRequest>& requests) {
    std::vector<Shape> shapes;
    for (const ReadRequest& r : requests) {
        shapes.push_back({r.address, r.function, r.start, r.end, r.count, r.priority, r.itemSize,
                          r.tags.size()});
    }
    return shapes;
}

ChannelRecord Channel(std::vector<FieldDevice> devices = {}) {
    ChannelRecord channel;
    channel.m_strName = "Boiler";
    channel.m_strAddress = "10.0.0.5";
    channel.m_ucID = 1;
    channel.fieldDevices = std::move(devices);
    return channel;
}

// Field device 5 with a 20-byte limit for function 3 (DEVICE_REQUEST_MAXSIZE 1,5,3,20).
const std::vector<FieldDevice> kLimit20 = {{5, {{1, 3, 20}}}};

struct MergeCase {
    const char* name;
    std::vector<FieldDevice> devices;
    std::vector<TagSpec> tags;  // in the order given to AddRequest
    std::vector<Shape> requests;
};

void PrintTo(const MergeCase& c, std::ostream* out) {
    *out << c.name;
}

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, RequestsFollowTheMergeRules) {
    const MergeCase& c = GetParam();
    core_test::CapturedLog log("AddRequest:", kvlog::kDebug);
    const ChannelRecord channel = Channel(c.devices);
    std::vector<ReadRequest> requests;
    for (const TagSpec& spec : c.tags) {
        modbus::AddRequest(channel, &requests, Tag(spec), log.handle());
    }
    EXPECT_EQ(Shapes(requests), c.requests);
    for (const ReadRequest& r : requests) {
        EXPECT_EQ(r.skipCounter, 0u);
        for (const TagRecord& tag : r.tags) {
            EXPECT_GE(tag.m_dwRegister, r.start);
            EXPECT_LE(tag.m_dwRegister, r.end);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Planner, MergeTest,
    ::testing::Values(
        MergeCase{"NoTags", {}, {}, {}},
        MergeCase{"FunctionZeroIsNotPolled", {}, {{.function = 0, .reg = 5}}, {}},
        MergeCase{"Consecutive16Bit",
                  {},
                  {{.reg = 10}, {.reg = 11}, {.reg = 12}},
                  {{1, 3, 10, 12, 3, 0, 16, 3}}},
        MergeCase{"Alone32Bit", {}, {{.reg = 20, .size = 32}}, {{1, 3, 20, 21, 2, 0, 32, 1}}},
        MergeCase{"Two32BitTags",
                  {},
                  {{.reg = 0, .size = 32}, {.reg = 2, .size = 32}},
                  {{1, 3, 0, 3, 4, 0, 32, 2}}},
        MergeCase{"SecondWordOf32BitIsCovered",
                  {},
                  {{.reg = 20, .size = 32}, {.reg = 21}},
                  {{1, 3, 20, 21, 2, 0, 32, 1}}},
        MergeCase{"InsideRangeIsCovered",
                  {},
                  {{.reg = 10}, {.reg = 12}, {.reg = 11}},
                  {{1, 3, 10, 12, 3, 0, 16, 2}}},
        MergeCase{"Distance246BytesShares",
                  {},
                  {{.reg = 0}, {.reg = 123}},
                  {{1, 3, 0, 123, 124, 0, 16, 2}}},
        MergeCase{"Distance248BytesSplits",
                  {},
                  {{.reg = 0}, {.reg = 124}},
                  {{1, 3, 0, 0, 1, 0, 16, 1}, {1, 3, 124, 124, 1, 0, 16, 1}}},
        MergeCase{"CoilsAt1983Share",
                  {},
                  {{.function = 1, .reg = 0, .size = 1}, {.function = 1, .reg = 1983, .size = 1}},
                  {{1, 1, 0, 1983, 1984, 0, 1, 2}}},
        MergeCase{"CoilsAt1984Split",
                  {},
                  {{.function = 1, .reg = 0, .size = 1}, {.function = 1, .reg = 1984, .size = 1}},
                  {{1, 1, 0, 0, 1, 0, 1, 1}, {1, 1, 1984, 1984, 1, 0, 1, 1}}},
        // Both words of a 32-bit tag count: 125 registers would be 250 bytes.
        MergeCase{"Wide32BitTagCountsBothWords",
                  {},
                  {{.reg = 0, .size = 32}, {.reg = 122, .size = 32}, {.reg = 124, .size = 32}},
                  {{1, 3, 0, 123, 124, 0, 32, 2}, {1, 3, 124, 125, 2, 0, 32, 1}}},
        // A 32-bit tag on the last register of a request reads its second register as well.
        MergeCase{"ThirtyTwoBitOnLastRegisterExtends",
                  {},
                  {{.reg = 10}, {.reg = 11}, {.reg = 11, .size = 32}},
                  {{1, 3, 10, 12, 3, 0, 16, 3}}},
        MergeCase{"ThirtyTwoBitBeyondTheLimitGetsItsOwnRequest",
                  {},
                  {{.reg = 0}, {.reg = 123}, {.reg = 123, .size = 32}},
                  {{1, 3, 0, 123, 124, 0, 16, 2}, {1, 3, 123, 124, 2, 0, 32, 1}}},
        // 8-bit tags take one data byte each, but a request still reads whole registers.
        MergeCase{"EightBitRegistersSplitAt248Bytes",
                  {},
                  {{.reg = 0, .size = 8}, {.reg = 100, .size = 8}, {.reg = 200, .size = 8}},
                  {{1, 3, 0, 100, 101, 0, 8, 2}, {1, 3, 200, 200, 1, 0, 8, 1}}},
        // A byte of coils holds the tag's own coil only when the tag starts the request.
        MergeCase{"EightBitCoilsStartTheirRequests",
                  {},
                  {{.function = 1, .reg = 0, .size = 8},
                   {.function = 1, .reg = 1, .size = 8},
                   {.function = 1, .reg = 2, .size = 1},
                   {.function = 1, .reg = 3, .size = 8}},
                  {{1, 1, 0, 0, 1, 0, 8, 1}, {1, 1, 1, 2, 2, 0, 8, 2}, {1, 1, 3, 3, 1, 0, 8, 1}}},
        MergeCase{"SixteenBitCoilReadsBothBytes",
                  {},
                  {{.function = 2, .reg = 5, .size = 16}, {.function = 2, .reg = 9, .size = 1}},
                  {{1, 2, 5, 13, 9, 0, 16, 1}}},
        MergeCase{"DeviceLimitMergesUnder20Bytes",
                  kLimit20,
                  {{.address = 5, .reg = 0}, {.address = 5, .reg = 9}},
                  {{5, 3, 0, 9, 10, 0, 16, 2}}},
        MergeCase{"DeviceLimitSplitsAt20Bytes",
                  kLimit20,
                  {{.address = 5, .reg = 0}, {.address = 5, .reg = 10}},
                  {{5, 3, 0, 0, 1, 0, 16, 1}, {5, 3, 10, 10, 1, 0, 16, 1}}},
        MergeCase{
            "DeviceLimitIsPerFunction",
            kLimit20,
            {{.address = 5, .function = 4, .reg = 0}, {.address = 5, .function = 4, .reg = 10}},
            {{5, 4, 0, 10, 11, 0, 16, 2}}},
        MergeCase{"DeviceLimitIsPerAddress",
                  kLimit20,
                  {{.address = 6, .reg = 0}, {.address = 6, .reg = 10}},
                  {{6, 3, 0, 10, 11, 0, 16, 2}}},
        MergeCase{"LimitOfAnotherKindIgnored",
                  {{5, {{2, 3, 20}}}},
                  {{.address = 5, .reg = 0}, {.address = 5, .reg = 10}},
                  {{5, 3, 0, 10, 11, 0, 16, 2}}},
        MergeCase{"FirstMatchingLimitWins",
                  {{5, {{1, 3, 20}, {1, 3, 100}}}},
                  {{.address = 5, .reg = 0}, {.address = 5, .reg = 10}},
                  {{5, 3, 0, 0, 1, 0, 16, 1}, {5, 3, 10, 10, 1, 0, 16, 1}}},
        MergeCase{"PrioritiesNeverShare",
                  {},
                  {{.reg = 7, .priority = 0}, {.reg = 7, .priority = 2}},
                  {{1, 3, 7, 7, 1, 0, 16, 1}, {1, 3, 7, 7, 1, 2, 16, 1}}},
        MergeCase{"FieldDevicesNeverShare",
                  {},
                  {{.address = 1, .reg = 7}, {.address = 2, .reg = 8}},
                  {{1, 3, 7, 7, 1, 0, 16, 1}, {2, 3, 8, 8, 1, 0, 16, 1}}},
        MergeCase{"FunctionsNeverShare",
                  {},
                  {{.function = 3, .reg = 7}, {.function = 4, .reg = 8}},
                  {{1, 3, 7, 7, 1, 0, 16, 1}, {1, 4, 8, 8, 1, 0, 16, 1}}},
        // Both requests are candidates for register 100; the last one in the list takes it and
        // grows downwards.
        MergeCase{"LastCandidateWins",
                  {},
                  {{.reg = 0}, {.reg = 124}, {.reg = 100}},
                  {{1, 3, 0, 0, 1, 0, 16, 1}, {1, 3, 100, 124, 25, 0, 16, 2}}},
        MergeCase{"LastRegister", {}, {{.reg = 65535}}, {{1, 3, 65535, 65535, 1, 0, 16, 1}}},
        MergeCase{"BeyondRegisterSpaceSkipped",
                  {},
                  {{.reg = 65536}, {.reg = 70000}, {.reg = 0xFFFFFFFF}, {.reg = 65535, .size = 32}},
                  {}},
        // A size limit above what the protocol allows does not raise the count beyond it.
        MergeCase{"CoilCountStaysWithinTheProtocol",
                  {{1, {{1, 1, 9000}}}},
                  {{.function = 1, .reg = 0, .size = 1},
                   {.function = 1, .reg = 1999, .size = 1},
                   {.function = 1, .reg = 2000, .size = 1}},
                  {{1, 1, 0, 1999, 2000, 0, 1, 2}, {1, 1, 2000, 2000, 1, 0, 1, 1}}},
        MergeCase{
            "RegisterCountStaysWithinTheProtocol",
            {{1, {{1, 4, 300}}}},
            {{.function = 4, .reg = 0}, {.function = 4, .reg = 124}, {.function = 4, .reg = 125}},
            {{1, 4, 0, 124, 125, 0, 16, 2}, {1, 4, 125, 125, 1, 0, 16, 1}}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

// Tags of one size and function at spread registers, the way planning sees a channel.
struct SpreadCase {
    uint8_t function;
    uint8_t size;
};

void PrintTo(const SpreadCase& c, std::ostream* out) {
    *out << "function " << int{c.function} << " size " << int{c.size};
}

std::vector<SpreadCase> AllSpreadCases() {
    std::vector<SpreadCase> cases;
    for (uint8_t function : {1, 2, 3, 4}) {
        for (uint8_t size : {1, 8, 16, 32})
            cases.push_back({function, size});
    }
    return cases;
}

class SpreadTest : public ::testing::TestWithParam<SpreadCase> {};

bool ReadsBits(uint8_t function) {
    return function == 1 || function == 2;
}

// The data bytes an item takes from the answer, from its offset to the request's start on.
size_t BytesTaken(uint8_t size, size_t offset) {
    switch (size) {
        case 1:
            return offset / 8 + 1;
        case 8:
            return offset + 1;
        case 16:
            return 2 * offset + 2;
        default:
            return 2 * offset + 4;
    }
}

// Every request stays within the protocol's count and the default size limit, and every tag is
// read, with all its bytes, by a request that starts where the tag's bytes mean its own register.
TEST_P(SpreadTest, RequestsStayWithinLimitsAndCoverEveryTag) {
    const auto [function, size] = GetParam();
    core_test::CapturedLog log("WriteData:", kvlog::kInfo);
    core::Server server(log.handle());
    server.tables.AddChannel(Channel());
    const std::vector<uint32_t> registers = {0,   1,   7,   8,    9,    60,   100,  123,  124,
                                             200, 250, 251, 1000, 1990, 2000, 2100, 65500};
    for (uint32_t reg : registers) {
        server.tables.AddTag(Tag({.function = function, .reg = reg, .size = size}));
    }
    const modbus::Plan plan = modbus::PlanRequests(&server, 0, modbus::Listing::kTcp, 0);

    const bool bits = ReadsBits(function);
    for (const ReadRequest& r : plan.requests) {
        const size_t dataBytes = bits ? (r.count + 7u) / 8u : 2u * r.count;
        EXPECT_LE(r.count, bits ? 2000u : 125u) << r.start;
        EXPECT_LE(dataBytes, modbus::kDefaultMaxRequestSize) << r.start;
        EXPECT_EQ(r.end - r.start + 1, r.count) << r.start;
    }
    for (uint32_t reg : registers) {
        const auto serves = [&](const ReadRequest& r) {
            if (reg < r.start || reg > r.end) return false;
            const size_t offset = reg - r.start;
            const size_t dataBytes = bits ? (r.count + 7u) / 8u : 2u * r.count;
            // A byte of coils or inputs is the tag's own only from the start of the request.
            const bool ownBits = !bits || size == 1 || offset == 0;
            return ownBits && BytesTaken(size, offset) <= dataBytes;
        };
        EXPECT_TRUE(std::any_of(plan.requests.begin(), plan.requests.end(), serves)) << reg;
    }
}

INSTANTIATE_TEST_SUITE_P(Planner, SpreadTest, ::testing::ValuesIn(AllSpreadCases()),
                         [](const ::testing::TestParamInfo<SpreadCase>& info) {
                             return "Function" + std::to_string(info.param.function) + "Size" +
                                    std::to_string(info.param.size);
                         });

TEST(PlannerLog, EveryOutcomeLogsItsLine) {
    core_test::CapturedLog log("AddRequest:", kvlog::kDebug);
    const ChannelRecord channel = Channel(kLimit20);
    std::vector<ReadRequest> requests;
    const std::vector<TagRecord> tags = {
        Tag({.function = 0, .reg = 4}, "Off"),
        Tag({.address = 5, .reg = 10, .priority = 2}, "A"),
        Tag({.address = 5, .reg = 12, .priority = 2}, "B"),
        Tag({.address = 5, .reg = 11, .priority = 2}, "C"),
        Tag({.reg = 70000}, "Far"),
    };
    for (const TagRecord& tag : tags)
        modbus::AddRequest(channel, &requests, tag, log.handle());
    EXPECT_EQ(log.Messages(),
              (Messages{
                  "T AddRequest: Boiler skipping new tag, device 1, function 0, register 4",
                  "T AddRequest: Boiler parsing new tag, device 5, function 3, register 10",
                  "T AddRequest: Boiler tag A using max request size 20",
                  "T AddRequest: Boiler creating new request: device 5, function 3, start "
                  "register 10, priority 2",
                  "T AddRequest: Boiler parsing new tag, device 5, function 3, register 12",
                  "T AddRequest: Boiler tag B using max request size 20",
                  "T AddRequest: Boiler appending tag to request 0: req. device 5, req. function "
                  "3, req. start register 10, tag function 3, tag register 12, priority 2",
                  "T AddRequest: Boiler parsing new tag, device 5, function 3, register 11",
                  "T AddRequest: Boiler tag C using max request size 20",
                  "T AddRequest: Boiler skipping tag: device 5, function 3, register 11, "
                  "priority 2",
                  "E AddRequest: Boiler tag Far register 70000 out of range",
              }));
}

// A request of priority p is polled on every (p + 1)-th cycle, the first time on cycle p + 1.
struct GateCase {
    uint8_t priority;
    int cycles;
    std::vector<int> polled;
};

void PrintTo(const GateCase& c, std::ostream* out) {
    *out << "priority " << int{c.priority};
}

class GateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateTest, PollsOnEveryPPlusOneCycle) {
    const GateCase& c = GetParam();
    ReadRequest request;
    request.priority = c.priority;
    std::vector<int> polled;
    for (int cycle = 1; cycle <= c.cycles; ++cycle) {
        if (modbus::DueThisCycle(&request)) polled.push_back(cycle);
    }
    EXPECT_EQ(polled, c.polled);
}

INSTANTIATE_TEST_SUITE_P(Planner, GateTest,
                         ::testing::Values(GateCase{0, 4, {1, 2, 3, 4}},
                                           GateCase{1, 8, {2, 4, 6, 8}}, GateCase{2, 9, {3, 6, 9}},
                                           GateCase{255, 513, {256, 512}}),
                         [](const ::testing::TestParamInfo<GateCase>& info) {
                             return "Priority" + std::to_string(info.param.priority);
                         });

// A server whose tables hold two channels and tags of both, in no particular order.
class PlanRequestsTest : public ::testing::Test {
protected:
    PlanRequestsTest() : log_("WriteData:", kvlog::kDebug), server_(log_.handle()) {
        server_.tables.AddChannel(Channel());
        ChannelRecord other = Channel();
        other.m_strName = "Pump";
        other.m_ucID = 2;
        server_.tables.AddChannel(other);
        AddTag({.address = 2, .reg = 5, .priority = 0}, "P0", 1);
        AddTag({.address = 1, .function = 4, .reg = 1, .priority = 3}, "P1", 1);
        AddTag({.address = 1, .reg = 9, .priority = 1}, "P2", 1);
        AddTag({.address = 1, .reg = 40, .priority = 7}, "Other", 2);
        AddTag({.address = 1, .reg = 0xFFFFFFFF}, "Negative", 1);
        AddTag({.address = 1, .reg = 8, .priority = 1}, "P3", 1);
    }

    void AddTag(const TagSpec& spec, const std::string& name, uint8_t channelId) {
        TagRecord tag = Tag(spec, name);
        tag.m_ucDevice = channelId;
        server_.tables.AddTag(std::move(tag));
    }
    uint8_t HighestPriority(size_t channel) const {
        ChannelRecord record;
        EXPECT_EQ(server_.tables.GetChannel(channel, &record), core::kOk);
        return record.highestPriority;
    }

    core_test::CapturedLog log_;
    core::Server server_;
};

TEST_F(PlanRequestsTest, TakesSortsAndPlansTheChannelsTags) {
    const modbus::Plan plan = modbus::PlanRequests(&server_, 0, modbus::Listing::kTcp, 0);

    std::vector<size_t> order;
    for (const modbus::ChannelTag& tag : plan.tags) {
        order.push_back(tag.index);
        TagRecord table;
        ASSERT_EQ(server_.tables.GetTag(tag.index, &table), core::kOk);
        EXPECT_EQ(tag.record, table);
    }
    // Field device, then function, then register as a signed number (-1 first; it is out of
    // range and gets no request).
    EXPECT_EQ(order, (std::vector<size_t>{4, 5, 2, 1, 0}));
    EXPECT_EQ(Shapes(plan.requests), (std::vector<Shape>{{1, 3, 8, 9, 2, 1, 16, 2},
                                                         {1, 4, 1, 1, 1, 3, 16, 1},
                                                         {2, 3, 5, 5, 1, 0, 16, 1}}));
    EXPECT_EQ(HighestPriority(0), 3u);
    EXPECT_EQ(HighestPriority(1), 0u);
    EXPECT_EQ(log_.Count("D WriteData: Boiler adding tag P1, device id 1, device no 1, function "
                         "4, start reg 1, priority 3"),
              1u);
    for (const std::string& m : log_.Messages())
        EXPECT_EQ(m.find("Other"), std::string::npos);
}

TEST_F(PlanRequestsTest, HighestPriorityIsOnlyRaised) {
    server_.tables.UpdateChannel(1, [](ChannelRecord& c) { c.highestPriority = 9; });
    modbus::PlanRequests(&server_, 1, modbus::Listing::kTcp, 0);
    EXPECT_EQ(HighestPriority(1), 9u);
}

TEST_F(PlanRequestsTest, UnknownChannelPlansNothing) {
    const modbus::Plan plan = modbus::PlanRequests(&server_, 2, modbus::Listing::kTcp, 0);
    EXPECT_TRUE(plan.tags.empty());
    EXPECT_TRUE(plan.requests.empty());
    EXPECT_EQ(log_.Messages(), (Messages{"E WriteData: no channel at index 2"}));
}

struct ListingCase {
    modbus::Listing listing;
    Messages lines;
};

const char* ListingName(modbus::Listing listing) {
    return listing == modbus::Listing::kTcp ? "Tcp" : "Rtu";
}
void PrintTo(const ListingCase& c, std::ostream* out) {
    *out << ListingName(c.listing);
}

class ListingTest : public PlanRequestsTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingTest, ListsEveryRequestAfterPlanning) {
    modbus::PlanRequests(&server_, 0, GetParam().listing, 0);
    Messages info;
    for (const std::string& m : log_.Messages()) {
        if (m.rfind("I ", 0) == 0) info.push_back(m);
    }
    EXPECT_EQ(info, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Planner, ListingTest,
    ::testing::Values(
        ListingCase{modbus::Listing::kTcp,
                    {"I WriteData: Device Boiler (10.0.0.5) requests: ",
                     "I WriteData: Boiler request 0: device 01, function 03, start 0008, number "
                     "0002, priority 1, item size 16",
                     "I WriteData: Boiler request 1: device 01, function 04, start 0001, number "
                     "0001, priority 3, item size 16",
                     "I WriteData: Boiler request 2: device 02, function 03, start 0005, number "
                     "0001, priority 0, item size 16"}},
        ListingCase{modbus::Listing::kRtu,
                    {"I WriteData: Device Boiler (10.0.0.5) requests:",
                     "I WriteData: Boiler request 0: device 01, function 03, start 0008, number "
                     "0002, priority 1",
                     "I WriteData: Boiler request 1: device 01, function 04, start 0001, number "
                     "0001, priority 3",
                     "I WriteData: Boiler request 2: device 02, function 03, start 0005, number "
                     "0001, priority 0"}}),
    [](const ::testing::TestParamInfo<ListingCase>& info) {
        return std::string(ListingName(info.param.listing));
    });

TEST(PlanRequestsEmpty, ChannelWithoutTagsListsNoRequest) {
    core_test::CapturedLog log("WriteData:", kvlog::kDebug);
    core::Server server(log.handle());
    server.tables.AddChannel(Channel());
    const modbus::Plan plan = modbus::PlanRequests(&server, 0, modbus::Listing::kTcp, 0);
    EXPECT_TRUE(plan.requests.empty());
    EXPECT_EQ(log.Messages(), (Messages{"I WriteData: Device Boiler (10.0.0.5) requests: "}));
}

}  // namespace
