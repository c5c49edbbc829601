// Client writes: WriteTags driven directly on tables of the test's own, and once through a
// real in-process OPC client on a server made by Init from a configuration file.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "../../opc/tests/group_test_support.h"
#include "captured_log.h"
#include "server_fixture.h"
#include "config/scf_file.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "testing/support.h"

namespace {

using core::ConfigCorrection;
using core::TagRecord;
using core::WriteCommand;
using opc_test::Variant;
using Corrections = std::vector<ConfigCorrection>;
using Messages = std::vector<std::string>;

enum : uint8_t { kAdd = 1, kMul = 2 };
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

ConfigCorrection C(uint8_t operation, double p) {
    return ConfigCorrection{0, operation, p};
}

// How the tag under test stores its value, and the type it is published as.
struct Format {
    uint8_t size = 16;
    uint8_t dataType = 0;
    uint8_t writeFunction = 6;
    Corrections corrections;
    uint16_t vtType = VT_R8;
    uint8_t byteOrder = 0;
    uint32_t writeRegister = 40;
};

Variant Make(VARTYPE type, const std::function<void(VARIANT&)>& set) {
    Variant value;
    value.get()->vt = type;
    set(*value.get());
    return value;
}

Variant Decimal(ULONGLONG digits, BYTE scale, bool negative) {
    return Make(VT_DECIMAL, [&](VARIANT& v) {
        v.decVal.Lo64 = digits;
        v.decVal.Hi32 = 0;
        v.decVal.scale = scale;
        v.decVal.sign = negative ? DECIMAL_NEG : 0;
        v.vt = VT_DECIMAL;  // the decimal overlays the type's place
    });
}

class WriteTagsTest : public ::testing::Test {
protected:
    // Without a worker a slot stays taken; writes after the first wait only briefly for it.
    WriteTagsTest() : log_("WriteTags:"), server_(log_.handle()) {
        server_.pauses.writeSlotWait = 50;
    }

    // A channel whose worker runs.
    size_t AddChannel(uint8_t id) {
        core::ChannelRecord channel;
        channel.m_ucID = id;
        channel.m_strName = "Channel " + std::to_string(id);
        channel.thread = 1;
        server_.tables.AddChannel(channel);
        return server_.tables.ChannelCount() - 1;
    }
    size_t AddTag(const std::string& name, uint8_t device, const Format& format = {}) {
        TagRecord tag;
        tag.m_strName = name;
        tag.m_vtType = format.vtType;
        tag.m_ucDevice = device;
        tag.m_ucDeviceNo = 1;
        tag.m_dwWriteRegister = format.writeRegister;
        tag.m_ucByteOrder = format.byteOrder;
        tag.m_ucSize = format.size;
        tag.m_ucDataType = format.dataType;
        tag.m_ucWriteFunction = format.writeFunction;
        tag.m_aCorrections = format.corrections;
        server_.tables.AddTag(std::move(tag));
        server_.handles = core::ItemHandles(0, server_.tables.TagCount());
        return server_.tables.TagCount() - 1;
    }

    struct Outcome {
        int result = -1;
        std::vector<HRESULT> errors;
        HRESULT masterError = S_OK;
    };
    Outcome WriteHandles(const std::vector<uintptr_t>& handles, std::vector<Variant> values) {
        opc::daCallerRecord caller;
        caller.driverArgument = &server_;
        std::vector<opc::daTagRef> refs;
        std::vector<VARIANT> raw;
        for (size_t k = 0; k < handles.size(); ++k) {
            refs.push_back(opc::daTagRef{unsigned(k + 1), handles[k], 0});
            raw.push_back(*values[k].get());
        }
        Outcome outcome;
        outcome.errors.assign(handles.size(), E_UNEXPECTED);
        outcome.result = core::WriteTags(&caller, unsigned(handles.size()), refs.data(), raw.data(),
                                         outcome.errors.data(), &outcome.masterError, 0);
        return outcome;
    }
    Outcome Write(const std::vector<size_t>& tags, std::vector<Variant> values) {
        std::vector<uintptr_t> handles;
        for (size_t tag : tags)
            handles.push_back(server_.handles.Tag(tag));
        return WriteHandles(handles, std::move(values));
    }
    // What the channel's worker does once it has sent a write.
    void WorkerTakes(size_t channel) {
        ASSERT_EQ(server_.tables.SetCommandState(channel, core::kCommandIdle), core::kOk);
    }
    WriteCommand Slot(size_t channel) const {
        WriteCommand command;
        EXPECT_EQ(server_.tables.GetWrite(channel, &command), core::kOk);
        return command;
    }

    core_test::CapturedLog log_;
    core::Server server_;
};

TEST_F(WriteTagsTest, ValuesGoBackToRegisterFormIntoTheChannelsSlot) {
    const Format mulHalf{16, 0, 6, {C(kMul, 0.5)}};
    struct Case {
        const char* what;
        Format format;
        Variant value;
        uint8_t state;
        uint16_t value16;
        uint32_t value32;
    };
    const Case cases[] = {
        {"one multiplication reversed", mulHalf, Variant::R8(62.5), 2, 125, 0},
        {"two corrections unreversed",
         {16, 0, 6, {C(kMul, 0.5), C(kAdd, 5)}},
         Variant::R8(12),
         2,
         12,
         0},
        {"one addition reversed", {16, 0, 6, {C(kAdd, 5)}}, Variant::R8(12), 2, 7, 0},
        {"reversed multiplication rounds",
         {16, 0, 6, {C(kMul, 0.1)}},
         Variant::R8(20.3),
         2,
         203,
         0},
        {"reversed addition rounds", {16, 0, 6, {C(kAdd, 0.2)}}, Variant::R8(20.3), 2, 20, 0},
        {"32-bit unsigned rounds", {32, 1, 16, {C(kMul, 0.1)}}, Variant::R8(20.3), 5, 203, 203},
        {"32-bit signed rounds",
         {32, 2, 16, {C(kMul, 0.01)}},
         Variant::R8(-20.3),
         5,
         uint16_t(-2030),
         uint32_t(-2030)},
        {"32-bit float is not rounded",
         {32, 0, 16, {C(kMul, 0.1)}},
         Variant::R8(0.25),
         5,
         2,
         0x40200000},
        {"32-bit float, function 16", {32, 0, 16, {}}, Variant::R8(1.5), 5, 1, 0x3FC00000},
        {"32-bit float, function 6, order 3",
         {32, 0, 6, {}, VT_R4, 3},
         Variant::R8(1.5),
         3,
         1,
         0x3FC00000},
        {"32-bit signed, function 6", {32, 2, 6, {}}, Variant::R8(-1.0), 3, 0xFFFF, 0xFFFFFFFF},
        {"32-bit signed, order 1",
         {32, 2, 16, {}, VT_I4, 1},
         Variant::R4(-2.7f),
         5,
         0xFFFD,
         0xFFFFFFFD},
        {"16 bits by function 16", {16, 0, 16, {}}, Variant::R8(5), 2, 5, 0},
        {"highest register", {16, 0, 6, {}, VT_R8, 0, 65535}, Variant::R8(5), 2, 5, 0},
        {"highest 32-bit registers", {32, 1, 6, {}, VT_UI4, 0, 65534}, Variant::R8(5), 3, 5, 5},
        {"BOOL true", {}, Variant::Bool(true), 2, 1, 0},
        {"BOOL false", {}, Variant::Bool(false), 2, 0, 0},
        {"I4", {}, Variant::I4(-3), 2, 0xFFFD, 0},
        {"numeric text", {}, Variant::Text("42"), 2, 42, 0},
        {"text with blanks and a fraction", {}, Variant::Text(" 2.5\t"), 2, 3, 0},
        {"text with a sign and exponent", {}, Variant::Text("-1e2"), 2, 0xFF9C, 0},
        {"text with a plus", {}, Variant::Text("+7"), 2, 7, 0},
        {"I1", {}, Make(VT_I1, [](VARIANT& v) { v.cVal = -5; }), 2, 0xFFFB, 0},
        {"UI1", {}, Make(VT_UI1, [](VARIANT& v) { v.bVal = 200; }), 2, 200, 0},
        {"UI2",
         {16, 0, 6, {}, VT_UI2},
         Make(VT_UI2, [](VARIANT& v) { v.uiVal = 65535; }),
         2,
         65535,
         0},
        {"UI4",
         {32, 1, 16, {}},
         Make(VT_UI4, [](VARIANT& v) { v.ulVal = 0xFFFFFFFF; }),
         5,
         0xFFFF,
         0xFFFFFFFF},
        {"I8",
         {32, 2, 16, {}},
         Make(VT_I8, [](VARIANT& v) { v.llVal = -70000; }),
         5,
         (-70000) & 0xFFFF,
         uint32_t(-70000)},
        {"UI8", {}, Make(VT_UI8, [](VARIANT& v) { v.ullVal = 9; }), 2, 9, 0},
        {"INT", {}, Make(VT_INT, [](VARIANT& v) { v.intVal = -1; }), 2, 0xFFFF, 0},
        {"UINT", {}, Make(VT_UINT, [](VARIANT& v) { v.uintVal = 8; }), 2, 8, 0},
        {"CY", {}, Make(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 125000; }), 2, 13, 0},
        {"DECIMAL", {}, Decimal(125, 1, false), 2, 13, 0},
        {"negative DECIMAL", mulHalf, Decimal(65, 1, true), 2, 0xFFF3, 0},
    };
    uint8_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t channel = AddChannel(id);
        const size_t tag = AddTag(c.what, id++, c.format);
        const Outcome outcome = Write({tag}, {c.value});
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.errors, std::vector<HRESULT>{S_OK});
        EXPECT_EQ(Slot(channel), (WriteCommand{c.state, c.value16, c.value32, uint32_t(tag)}));
    }
}

TEST_F(WriteTagsTest, RefusedValuesSendNothingAndLeaveTheEarlierWrite) {
    double number = 5;
    struct Case {
        const char* what;
        Format format;
        Variant value;
        HRESULT error;
    };
    const Case cases[] = {
        {"empty", {}, Variant(), OPC_E_BADTYPE},
        {"text that is no number", {}, Variant::Text("abc"), OPC_E_BADTYPE},
        {"number with a tail", {}, Variant::Text("12abc"), OPC_E_BADTYPE},
        {"decimal comma", {}, Variant::Text("1,5"), OPC_E_BADTYPE},
        {"blank text", {}, Variant::Text("  "), OPC_E_BADTYPE},
        {"date", {}, Make(VT_DATE, [](VARIANT& v) { v.date = 45000; }), OPC_E_BADTYPE},
        {"reference",
         {},
         Make(VT_R8 | VT_BYREF, [&](VARIANT& v) { v.pdblVal = &number; }),
         OPC_E_BADTYPE},
        {"NaN", {}, Variant::R8(kNaN), OPC_E_RANGE},
        {"infinity", {}, Variant::R8(-kInfinity), OPC_E_RANGE},
        {"beyond 64 bits", {}, Variant::R8(1e19), OPC_E_RANGE},
        {"text beyond a double", {}, Variant::Text("1e999"), OPC_E_RANGE},
        {"division by zero", {16, 0, 6, {C(kMul, 0)}}, Variant::R8(1), OPC_E_RANGE},
        {"zero by zero", {16, 0, 6, {C(kMul, 0)}}, Variant::R8(0), OPC_E_RANGE},
        {"32 bits of an unknown data type", {32, 5, 16, {}}, Variant::R8(1), E_FAIL},
        {"32 bits by another write function", {32, 1, 5, {}}, Variant::R8(1), E_FAIL},
        {"16 bits by another write function", {16, 0, 5, {}}, Variant::R8(1), E_FAIL},
        {"no write function", {16, 0, 0, {}}, Variant::R8(1), E_FAIL},
        {"32 bits in byte order 2", {32, 1, 16, {}, VT_UI4, 2}, Variant::R8(1), E_FAIL},
        {"32 bits in byte order 2, function 6", {32, 0, 6, {}, VT_R4, 2}, Variant::R8(1), E_FAIL},
        {"32 bits in an unknown byte order", {32, 2, 16, {}, VT_I4, 7}, Variant::R8(1), E_FAIL},
        {"70000 to 16 bits", {16, 0, 6, {}, VT_I4}, Variant::I4(70000), OPC_E_RANGE},
        {"-1 to 16 bits unsigned", {16, 0, 6, {}, VT_UI2}, Variant::R8(-1), OPC_E_RANGE},
        {"10000 by x0.1 to 16 bits",
         {16, 0, 6, {C(kMul, 0.1)}, VT_UI2},
         Variant::R8(10000),
         OPC_E_RANGE},
        {"-1 to 32 bits unsigned", {32, 1, 6, {}}, Variant::R8(-1.0), OPC_E_RANGE},
        {"beyond a float", {32, 0, 16, {}, VT_R4}, Variant::R8(1e39), OPC_E_RANGE},
        {"register beyond 65535", {16, 0, 6, {}, VT_R8, 0, 65536}, Variant::R8(1), OPC_E_RANGE},
        {"register taken modulo 65536",
         {16, 0, 6, {}, VT_R8, 0, 65536 + 40},
         Variant::R8(1),
         OPC_E_RANGE},
        {"second register beyond 65535",
         {32, 1, 16, {}, VT_UI4, 0, 65535},
         Variant::R8(1),
         OPC_E_RANGE},
    };
    uint8_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t channel = AddChannel(id);
        const size_t earlier = AddTag("Earlier", id);
        const size_t tag = AddTag(c.what, id++, c.format);
        ASSERT_EQ(Write({earlier}, {Variant::R8(7)}).result, 1);
        const Outcome outcome = Write({tag}, {c.value});
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.errors, std::vector<HRESULT>{c.error});
        EXPECT_EQ(outcome.masterError, S_FALSE);
        EXPECT_EQ(Slot(channel), (WriteCommand{2, 7, 0, uint32_t(earlier)}));
        EXPECT_EQ(log_.Messages().back().rfind("E WriteTags: ", 0), 0u) << log_.Messages().back();
    }
}

// Each register takes what the read side can show of it again: its size, signed where the tag
// is published as a signed number, either sign where the type does not say. Values are
// rounded once the correction is undone.
TEST_F(WriteTagsTest, EachRegisterTakesTheRangeItsReadSideShows) {
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    struct Case {
        const char* what;
        Format format;
        double lowest;
        double highest;
        double below;
        double above;
    };
    const Case cases[] = {
        {"16 bits INT", {16, 0, 6, {}, VT_I2}, -32768, 32767, -32769, 32768},
        {"16 bits float", {16, 0, 6, {}, VT_R4}, -32768, 32767, -32769, 32768},
        {"16 bits rounded", {16, 0, 6, {}, VT_I2}, -32768.4, 32767.4, -32768.6, 32767.6},
        {"16 bits unsigned", {16, 0, 6, {}, VT_UI2}, 0, 65535, -1, 65536},
        {"16 bits as a 32-bit number", {16, 0, 6, {}, VT_I4}, 0, 65535, -1, 65536},
        {"16 bits as a boolean", {16, 0, 6, {}, VT_BOOL}, -32768, 65535, -32769, 65536},
        {"16 bits by x0.1", {16, 0, 6, {C(kMul, 0.1)}, VT_UI2}, 0, 6553.5, -0.1, 6553.6},
        {"8 bits unsigned", {8, 0, 6, {}, VT_UI1}, 0, 255, -1, 256},
        {"8 bits signed", {8, 0, 6, {}, VT_I1}, -128, 127, -129, 128},
        {"8 bits as a boolean", {8, 0, 6, {}, VT_BOOL}, -128, 255, -129, 256},
        {"1 bit", {1, 0, 6, {}, VT_BOOL}, 0, 1, -1, 2},
        {"32 bits UINT", {32, 1, 16, {}, VT_UI4}, 0, 4294967295.0, -1, 4294967296.0},
        {"32 bits INT",
         {32, 2, 16, {}, VT_I4},
         -2147483648.0,
         2147483647.0,
         -2147483649.0,
         2147483648.0},
        {"32 bits FLOAT",
         {32, 0, 16, {}, VT_R4},
         -kFloatMax,
         kFloatMax,
         -kFloatMax * 1.001,
         kFloatMax * 1.001},
    };
    uint8_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t channel = AddChannel(id);
        const size_t tag = AddTag(c.what, id++, c.format);
        for (const double value : {c.lowest, c.highest}) {
            EXPECT_EQ(Write({tag}, {Variant::R8(value)}).errors, std::vector<HRESULT>{S_OK})
                << value;
            WorkerTakes(channel);
        }
        for (const double value : {c.below, c.above}) {
            EXPECT_EQ(Write({tag}, {Variant::R8(value)}).errors, std::vector<HRESULT>{OPC_E_RANGE})
                << value;
            EXPECT_EQ(Slot(channel).commandState, core::kCommandIdle);
        }
    }
}

TEST_F(WriteTagsTest, LogsEachStepOfAWrite) {
    const size_t channel = AddChannel(3);
    const size_t half = AddTag("Boiler/Flow", 3, {16, 0, 6, {C(kMul, 0.5)}});
    const size_t shifted = AddTag("Boiler/Level", 3, {16, 0, 6, {C(kAdd, 5)}});
    const size_t wide = AddTag("Boiler/Total", 3, {32, 2, 6, {}});
    const size_t odd = AddTag("Boiler/Odd", 3, {32, 9, 16, {}});
    ASSERT_EQ(Write({half}, {Variant::R8(62.5)}).result, 1);
    EXPECT_EQ(log_.Messages(),
              (Messages{
                  "I WriteTags: tags count: 1",
                  "I WriteTags: write tag Boiler/Flow value to device",
                  "I WriteTags: value=62.500000",
                  "I WriteTags: tag Boiler/Flow uses corrections, performing reversal "
                  "correction(s).",
                  "I WriteTags: tag Boiler/Flow - MUL(rev. to DIV): 62.500000 -> 125.000000 "
                  "(0000003E -> 0000007D)",
                  "I WriteTags: Write Device no: 1",
                  "I WriteTags: Write Register no: 40",
                  "I WriteTags: Write Value: 125 (0x0000007D)",
              }));
    WorkerTakes(channel);
    ASSERT_EQ(Write({shifted}, {Variant::R8(12)}).result, 1);
    WorkerTakes(channel);
    ASSERT_EQ(Write({wide}, {Variant::R8(-1)}).result, 1);
    WorkerTakes(channel);
    ASSERT_EQ(Write({odd}, {Variant::R8(3)}).result, 0);
    for (const char* line : {
             "I WriteTags: tag Boiler/Level: - ADD(rev. to SUB): 0000000C -> 00000007",
             "I WriteTags: Write Value: -1 (0xFFFFFFFF)",
             "E WriteTags: Attempt to write value: -1 (0xFFFFFFFF), unknown datatype - 9",
         }) {
        EXPECT_EQ(log_.Count(line), 1u) << line;
    }

    core_test::CapturedLog correctLog("Correct:");
    server_.log = correctLog.handle();
    WorkerTakes(channel);
    ASSERT_EQ(Write({half}, {Variant::R8(1)}).result, 1);
    EXPECT_EQ(correctLog.Messages(), Messages{"D Correct: tag Boiler/Flow correction type: 2"});
}

TEST_F(WriteTagsTest, ATagWhoseDeviceIsNotConfiguredSendsNothing) {
    const size_t channel = AddChannel(1);
    const size_t tag = AddTag("Lost", 9);
    const Outcome outcome = Write({tag}, {Variant::R8(3)});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, std::vector<HRESULT>{E_FAIL});
    EXPECT_EQ(Slot(channel), WriteCommand{});
    EXPECT_EQ(log_.Count("E WriteTags: tag Lost - device 9 not found, value not sent"), 1u);
}

TEST_F(WriteTagsTest, ATagWhoseChannelHasNoRunningWorkerSendsNothing) {
    const size_t channel = AddChannel(1);
    server_.tables.UpdateChannel(channel, [](core::ChannelRecord& c) { c.thread = 0; });
    const size_t tag = AddTag("Idle", 1);
    const Outcome outcome = Write({tag}, {Variant::R8(3)});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, std::vector<HRESULT>{E_FAIL});
    EXPECT_EQ(Slot(channel), WriteCommand{});
    EXPECT_EQ(log_.Messages().back(),
              "E WriteTags: tag Idle - device 1 has no running thread, value not sent");
}

TEST_F(WriteTagsTest, AHandleOfNoTagSendsNothing) {
    const size_t channel = AddChannel(1);
    AddTag("Only", 1);
    const Outcome outcome = WriteHandles({core::kVersionHandle, core::kFirstTagHandle + 1},
                                         {Variant::R8(1), Variant::R8(2)});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, (std::vector<HRESULT>{E_FAIL, E_FAIL}));
    EXPECT_EQ(Slot(channel), WriteCommand{});
}

TEST_F(WriteTagsTest, ItemsForTwoChannelsAreBothSentWithTheirOwnTag) {
    const size_t a = AddChannel(4);
    const size_t b = AddChannel(6);
    const size_t onB = AddTag("OnB", 6);
    const size_t onA = AddTag("OnA", 4, {32, 2, 16, {}});
    const Outcome outcome = Write({onA, onB}, {Variant::R8(-2), Variant::R8(9)});
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(Slot(a), (WriteCommand{5, 0xFFFE, 0xFFFFFFFE, uint32_t(onA)}));
    EXPECT_EQ(Slot(b), (WriteCommand{2, 9, 0, uint32_t(onB)}));
}

TEST_F(WriteTagsTest, ASecondItemForTheSameChannelIsNotSent) {
    const size_t channel = AddChannel(2);
    const size_t first = AddTag("First", 2);
    const size_t second = AddTag("Second", 2);
    const Outcome outcome = Write({first, second}, {Variant::R8(1), Variant::R8(2)});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, (std::vector<HRESULT>{S_OK, E_FAIL}));
    EXPECT_EQ(outcome.masterError, S_FALSE);
    EXPECT_EQ(Slot(channel), (WriteCommand{2, 1, 0, uint32_t(first)}));
    EXPECT_EQ(log_.Messages().back(),
              "W WriteTags: tag Second - device 2 already has a write of this call, value not "
              "sent");
}

TEST_F(WriteTagsTest, AWriteTheWorkerHasNotTakenIsNeverReplaced) {
    const size_t channel = AddChannel(2);
    const size_t first = AddTag("First", 2);
    const size_t second = AddTag("Second", 2);
    ASSERT_EQ(Write({first}, {Variant::R8(1)}).result, 1);
    // No worker takes it: the next write waits, is refused, and the first stays.
    const Outcome refused = Write({second}, {Variant::R8(2)});
    EXPECT_EQ(refused.errors, std::vector<HRESULT>{E_FAIL});
    EXPECT_EQ(Slot(channel), (WriteCommand{2, 1, 0, uint32_t(first)}));
    EXPECT_EQ(log_.Messages().back(),
              "E WriteTags: tag Second - device 2 is still busy with an earlier write, value not "
              "sent");
    // A worker that takes the first meanwhile lets the next one through.
    server_.pauses.writeSlotWait = 10000;
    std::thread worker([&] {
        platform::SleepMs(100);
        WorkerTakes(channel);
    });
    const Outcome sent = Write({second}, {Variant::R8(2)});
    worker.join();
    EXPECT_EQ(sent.errors, std::vector<HRESULT>{S_OK});
    EXPECT_EQ(Slot(channel), (WriteCommand{2, 2, 0, uint32_t(second)}));
}

// A server made by Init from an active configuration, written by an OPC client: the write
// examples as a client makes them (IOPCSyncIO::Write of a VARIANT of the item's type), and what
// the client is told of writes that cannot be sent.
TEST(WriteTagsClientTest, ClientWritesLeaveTheRegisterFormInTheSlotOrAreRefused) {
    struct Case {
        const char* name;
        uint16_t type;
        Format format;
        Variant value;
        HRESULT result;
        WriteCommand slot;  // when sent
    };
    const Case cases[] = {
        {"Half",
         VT_UI2,
         {16, 0, 6, {C(kMul, 0.5)}},
         Variant::R8(62.5),
         OPC_S_CLAMP,
         {2, 125, 0, 0}},
        {"Two",
         VT_UI2,
         {16, 0, 6, {C(kMul, 0.5), C(kAdd, 5)}},
         Variant::R8(12),
         OPC_S_CLAMP,
         {2, 12, 0, 1}},
        {"Float", VT_R4, {32, 0, 16, {}}, Variant::R4(1.5f), OPC_S_CLAMP, {5, 1, 0x3FC00000, 2}},
        {"Signed",
         VT_R8,
         {32, 2, 6, {}},
         Variant::R8(-1.0),
         OPC_S_CLAMP,
         {3, 0xFFFF, 0xFFFFFFFF, 3}},
        {"Tenths",
         VT_R4,
         {16, 0, 6, {C(kMul, 0.1)}},
         Variant::R4(20.3f),
         OPC_S_CLAMP,
         {2, 203, 0xFFFFFFFF, 4}},
        {"Nan", VT_R4, {16, 0, 6, {}}, Variant::R4(std::nanf("")), OPC_E_RANGE, {}},
        {"Large", VT_R8, {16, 0, 6, {}}, Variant::R8(70000), OPC_E_RANGE, {}},
        {"Unsigned", VT_R8, {32, 1, 16, {}}, Variant::R8(-1), OPC_E_RANGE, {}},
        {"TooFar", VT_R8, {32, 1, 16, {}, VT_R8, 0, 65535}, Variant::R8(1), OPC_E_RANGE, {}},
        {"Function5", VT_R8, {16, 0, 5, {}}, Variant::R8(1), E_FAIL, {}},
        {"Order2", VT_R8, {32, 1, 16, {}, VT_R8, 2}, Variant::R8(1), E_FAIL, {}},
    };
    core_test::TestServer test("WriteTags:");
    test.doc().Devices() = {core_test::ChannelConfig("Boiler", 5)};
    for (const Case& c : cases) {
        config::opcTagInfo tag = core_test::TagConfig(
            static_cast<uint32_t>(test.doc().Elements().size() + 1), c.name, 5, 1, c.type);
        tag.m_ucSize = c.format.size;
        tag.m_ucDataType = c.format.dataType;
        tag.m_ucWriteFunction = c.format.writeFunction;
        tag.m_ucByteOrder = c.format.byteOrder;
        tag.m_dwWriteRegister = c.format.writeRegister;
        tag.m_ucAccess = config::kAccessReadWrite;
        for (const ConfigCorrection& k : c.format.corrections)
            tag.m_aCorrections.push_back({k.m_ucOperation, k.m_dwReserved, k.m_dParam});
        test.doc().Elements().push_back(tag);
    }
    ASSERT_EQ(test.Init(), 0);
    // As if the channel's worker ran.
    test.tables().UpdateChannel(0, [](core::ChannelRecord& c) { c.thread = 1; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const OPCHANDLE handle = test.AddItem(c.name);
        ASSERT_NE(handle, 0u);
        WriteCommand before;
        ASSERT_EQ(test.tables().GetWrite(0, &before), core::kOk);
        EXPECT_EQ(test.Write(handle, c.value), c.result);
        WriteCommand slot;
        ASSERT_EQ(test.tables().GetWrite(0, &slot), core::kOk);
        EXPECT_EQ(slot, c.result == OPC_S_CLAMP ? c.slot : before);
        // As the channel's worker once it has sent the write.
        ASSERT_EQ(test.tables().SetCommandState(0, core::kCommandIdle), core::kOk);
    }

    // Once the worker has ended, nothing is taken: the client is told so.
    test.tables().UpdateChannel(0, [](core::ChannelRecord& c) { c.thread = 0; });
    EXPECT_EQ(test.Write(test.AddItem("Half"), Variant::R8(2)), E_FAIL);
    WriteCommand slot;
    ASSERT_EQ(test.tables().GetWrite(0, &slot), core::kOk);
    EXPECT_EQ(slot.commandState, core::kCommandIdle);
    EXPECT_EQ(test.log().Messages().back(),
              "E WriteTags: tag Half - device 5 has no running thread, value not sent");
}

}  // namespace
