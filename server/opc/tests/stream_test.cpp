#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/dalog.h"
#include "../src/dastream.h"
#include "opc_test_support.h"
#include "opcconst.h"
#include "platform/codepage.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A VARIANT the test owns, every byte defined so that stored blocks compare exactly.
struct Value {
    VARIANT v;
    Value() { std::memset(&v, 0, sizeof v); }
    ~Value() { VariantClear(&v); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
};

BSTR Text(const char* utf8) {
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                             static_cast<UINT>(wide.size()));
}

// Stale bytes around the scalar, as a VARIANT reused on a stack has them.
void SetScalar(Value* value, VARTYPE vt, double number) {
    std::memset(&value->v, 0xAB, sizeof value->v);
    value->v.vt = vt;
    switch (vt) {
        case VT_I2:
            value->v.iVal = static_cast<SHORT>(number);
            break;
        case VT_I4:
            value->v.lVal = static_cast<LONG>(number);
            break;
        case VT_R4:
            value->v.fltVal = static_cast<FLOAT>(number);
            break;
        case VT_BOOL:
            value->v.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        default:
            value->v.dblVal = number;  // VT_R8, VT_DATE
    }
}

void SetR8Array(Value* value, LONG lowerBound, const std::vector<double>& numbers) {
    value->v.vt = VT_ARRAY | VT_R8;
    value->v.parray = SafeArrayCreateVector(VT_R8, lowerBound, static_cast<ULONG>(numbers.size()));
    std::memcpy(value->v.parray->pvData, numbers.data(), numbers.size() * sizeof(double));
}

// rows x columns of VT_I4, first index from 1, second from -2; cell (r, c) holds r * 10 + c.
void SetI4Matrix(Value* value, ULONG rows, ULONG columns) {
    SAFEARRAYBOUND bounds[2] = {{rows, 1}, {columns, -2}};
    value->v.vt = VT_ARRAY | VT_I4;
    value->v.parray = SafeArrayCreate(VT_I4, 2, bounds);
    for (LONG r = 1; r < 1 + static_cast<LONG>(rows); ++r) {
        for (LONG c = -2; c < -2 + static_cast<LONG>(columns); ++c) {
            LONG index[2] = {r, c};
            LONG cell = r * 10 + c;
            SafeArrayPutElement(value->v.parray, index, &cell);
        }
    }
}

void SetTextArray(Value* value, const std::vector<const char*>& texts) {
    value->v.vt = VT_ARRAY | VT_BSTR;
    value->v.parray = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    BSTR* cells = static_cast<BSTR*>(value->v.parray->pvData);
    for (size_t i = 0; i < texts.size(); ++i)
        cells[i] = texts[i] ? Text(texts[i]) : nullptr;
}

// Bytes of the scalar types of the tests; strings and arrays keep only pointers in the VARIANT.
size_t ScalarBytes(VARTYPE vt) {
    switch (vt) {
        case VT_I2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_R4:
            return 4;
        case VT_R8:
        case VT_DATE:
            return 8;
        default:
            return 0;
    }
}

bool AllZero(const uint8_t* bytes, size_t count) {
    return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; });
}

std::u16string Utf16(BSTR text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
}

std::string Describe(const VARIANT& v);

std::string DescribeArray(const VARIANT& v) {
    SAFEARRAY* array = v.parray;
    std::string text = "array";
    const UINT dims = SafeArrayGetDim(array);
    size_t cells = 1;
    for (UINT d = 1; d <= dims; ++d) {
        LONG low = 0, high = 0;
        SafeArrayGetLBound(array, d, &low);
        SafeArrayGetUBound(array, d, &high);
        text += "[" + std::to_string(low) + ".." + std::to_string(high) + "]";
        cells *= static_cast<size_t>(high - low + 1);
    }
    for (size_t i = 0; i < cells; ++i) {
        void* cell = static_cast<uint8_t*>(array->pvData) + i * array->cbElements;
        VARIANT element;
        std::memset(&element, 0, sizeof element);
        element.vt = static_cast<VARTYPE>(v.vt & VT_TYPEMASK);
        std::memcpy(&element.llVal, cell, array->cbElements);
        text += " " + Describe(element);
    }
    return text;
}

// The value as text, so a mismatch shows what came back.
std::string Describe(const VARIANT& v) {
    const std::string type = "vt" + std::to_string(v.vt) + ":";
    if (v.vt & VT_ARRAY) return type + DescribeArray(v);
    switch (v.vt) {
        case VT_EMPTY:
            return type;
        case VT_I2:
            return type + std::to_string(v.iVal);
        case VT_I4:
            return type + std::to_string(v.lVal);
        case VT_R4:
            return type + std::to_string(v.fltVal);
        case VT_BOOL:
            return type + std::to_string(v.boolVal);
        case VT_R8:
        case VT_DATE:
            return type + std::to_string(v.dblVal);
        case VT_BSTR:
            return type + (v.bstrVal ? platform::Utf16ToUtf8(Utf16(v.bstrVal)) : "") + "|" +
                   std::to_string(SysStringByteLen(v.bstrVal));
        default:
            return type + "?";
    }
}

// Takes the block over: its bytes, then frees it.
Bytes Take(HGLOBAL block) {
    Bytes bytes;
    if (block == nullptr) return bytes;
    const auto* memory = static_cast<const uint8_t*>(GlobalLock(block));
    bytes.assign(memory, memory + GlobalSize(block));
    GlobalUnlock(block);
    GlobalFree(block);
    return bytes;
}

template <typename T>
T At(const Bytes& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename T>
void Put(Bytes* bytes, size_t offset, T value) {
    std::memcpy(bytes->data() + offset, &value, sizeof value);
}

size_t ItemHeaderBytes(bool withTime) {
    return withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
}

DWORD ValueOffset(const Bytes& block, bool withTime, size_t item) {
    return At<OPCITEMHEADER2>(block, sizeof(OPCGROUPHEADER) + item * ItemHeaderBytes(withTime))
        .dwValueOffset;
}

FILETIME Time(DWORD high, DWORD low) {
    FILETIME time;
    time.dwHighDateTime = high;
    time.dwLowDateTime = low;
    return time;
}

// One value of every kind the service delivers, each with its own handle, quality and time.
class StreamValues : public ::testing::Test {
protected:
    void SetUp() override {
        SetScalar(&values_[0], VT_I2, -1234);
        SetScalar(&values_[1], VT_I4, 2000000000);
        SetScalar(&values_[2], VT_R4, 1.5);
        SetScalar(&values_[3], VT_R8, -2.25e300);
        SetScalar(&values_[4], VT_BOOL, 1);
        SetScalar(&values_[5], VT_DATE, 46000.75);
        values_[6].v.vt = VT_BSTR;
        values_[6].v.bstrVal = Text("Temperature");
        values_[7].v.vt = VT_BSTR;
        values_[7].v.bstrVal = Text("");
        values_[8].v.vt = VT_BSTR;
        values_[8].v.bstrVal = Text("Давление котла");
        values_[9].v.vt = VT_BSTR;  // a null BSTR is an empty string
        SetR8Array(&values_[10], 1, {0.5, -7.0, 1e-9});
        values_[11].v.vt = VT_EMPTY;
        SetI4Matrix(&values_[12], 2, 3);
        SetTextArray(&values_[13], {"один", "", nullptr, "three"});
        const WORD qualities[] = {0xC0, 0x00, 0x40, 0xD8, 0x1C};
        for (size_t i = 0; i < kCount; ++i) {
            items_[i].clientHandle = static_cast<OPCHANDLE>(0x1000 + i);
            items_[i].value = values_[i].v;
            items_[i].quality = qualities[i % 5];
            items_[i].timeStamp = Time(0x01DB0000 + static_cast<DWORD>(i), 0x80000000u + i);
        }
    }

    Bytes Build(bool withTime, HRESULT status = S_OK) {
        return Take(opc::daStreamBuildData(0xABCD, 0x77, status, items_, kCount, withTime));
    }

    static constexpr DWORD kCount = 14;
    Value values_[kCount];
    opc::daStreamItem items_[kCount];
};

TEST_F(StreamValues, RoundTripInBothDataFormats) {
    for (bool withTime : {false, true}) {
        SCOPED_TRACE(withTime ? "DATATIME" : "DATA");
        const Bytes block = Build(withTime, S_FALSE);
        opc::daStreamData parsed;
        ASSERT_EQ(opc::daStreamParseData(block.data(), block.size(), withTime, &parsed), S_OK);
        EXPECT_EQ(parsed.header.dwItemCount, kCount);
        EXPECT_EQ(parsed.header.hClientGroup, 0xABCDu);
        EXPECT_EQ(parsed.header.dwTransactionID, 0x77u);
        EXPECT_EQ(parsed.header.hrStatus, S_FALSE);
        ASSERT_EQ(parsed.items.size(), kCount);
        for (size_t i = 0; i < kCount; ++i) {
            SCOPED_TRACE("item " + std::to_string(i));
            const opc::daStreamItem& item = parsed.items[i];
            EXPECT_EQ(item.clientHandle, items_[i].clientHandle);
            EXPECT_EQ(item.quality, items_[i].quality);
            const FILETIME expected = withTime ? items_[i].timeStamp : FILETIME{};
            EXPECT_EQ(item.timeStamp.dwHighDateTime, expected.dwHighDateTime);
            EXPECT_EQ(item.timeStamp.dwLowDateTime, expected.dwLowDateTime);
            EXPECT_EQ(Describe(item.value), Describe(values_[i].v));
        }
        // A null BSTR comes back as an allocated empty string.
        EXPECT_NE(parsed.items[9].value.bstrVal, nullptr);
    }
}

TEST_F(StreamValues, LayoutOfHeadersAndValues) {
    for (bool withTime : {false, true}) {
        SCOPED_TRACE(withTime ? "DATATIME" : "DATA");
        const Bytes block = Build(withTime);
        const auto header = At<OPCGROUPHEADER>(block, 0);
        EXPECT_LE(header.dwSize, block.size());
        const size_t headersEnd = sizeof(OPCGROUPHEADER) + kCount * ItemHeaderBytes(withTime);
        DWORD previous = 0;
        for (size_t i = 0; i < kCount; ++i) {
            SCOPED_TRACE("item " + std::to_string(i));
            const DWORD offset = ValueOffset(block, withTime, i);
            EXPECT_EQ(offset % 8, 0u);
            EXPECT_GE(offset, headersEnd);
            EXPECT_GT(offset, previous);
            EXPECT_LE(offset + sizeof(VARIANT), header.dwSize);
            previous = offset;
            // Nothing of the process's memory: no pointers, no stale bytes beside the value.
            const auto stored = At<VARIANT>(block, offset);
            EXPECT_EQ(stored.vt, values_[i].v.vt);
            const size_t used = 8 + ScalarBytes(stored.vt);
            EXPECT_TRUE(AllZero(block.data() + offset + 2, 6));
            EXPECT_TRUE(AllZero(block.data() + offset + used, sizeof(VARIANT) - used));
            if (stored.vt & VT_ARRAY) {
                const auto descriptor = At<SAFEARRAY>(block, offset + sizeof(VARIANT));
                EXPECT_EQ(descriptor.pvData, nullptr);
                EXPECT_EQ(descriptor.cLocks, 0u);
                EXPECT_EQ(descriptor.cDims, SafeArrayGetDim(values_[i].v.parray));
            }
        }
        // The string layout as published: byte count, characters, terminator.
        const DWORD text = ValueOffset(block, withTime, 8) + sizeof(VARIANT);
        const std::u16string expected = platform::Utf8ToUtf16("Давление котла");
        ASSERT_EQ(At<DWORD>(block, text), expected.size() * 2);
        EXPECT_EQ(std::memcmp(block.data() + text + 4, expected.data(), expected.size() * 2), 0);
        EXPECT_EQ(At<uint16_t>(block, text + 4 + expected.size() * 2), 0);
        // The last value's contents end the block.
        const DWORD last = ValueOffset(block, withTime, kCount - 1);
        EXPECT_GT(header.dwSize, last + sizeof(VARIANT));
    }
}

TEST(Stream, EmptyDeliveryIsHeaderOnly) {
    const Bytes block = Take(opc::daStreamBuildData(5, 6, S_OK, nullptr, 0, true));
    ASSERT_GE(block.size(), sizeof(OPCGROUPHEADER));
    const auto header = At<OPCGROUPHEADER>(block, 0);
    EXPECT_EQ(header.dwSize, sizeof(OPCGROUPHEADER));
    EXPECT_EQ(header.dwItemCount, 0u);
    opc::daStreamData parsed;
    EXPECT_EQ(opc::daStreamParseData(block.data(), block.size(), true, &parsed), S_OK);
    EXPECT_TRUE(parsed.items.empty());
}

TEST(Stream, ValueTheFormatCannotCarryGoesOutEmptyWithBadQuality) {
    LONG referenced = 7;
    Value byReference, variants, number;
    byReference.v.vt = VT_BYREF | VT_I4;
    byReference.v.plVal = &referenced;
    variants.v.vt = VT_ARRAY | VT_VARIANT;
    variants.v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    SetScalar(&number, VT_I4, 42);
    opc::daStreamItem items[3];
    const VARIANT* values[] = {&byReference.v, &variants.v, &number.v};
    for (int i = 0; i < 3; ++i) {
        items[i].clientHandle = static_cast<OPCHANDLE>(i + 1);
        items[i].value = *values[i];
        items[i].quality = 0xC0;
    }
    const Bytes block = Take(opc::daStreamBuildData(1, 2, S_OK, items, 3, false));
    opc::daStreamData parsed;
    ASSERT_EQ(opc::daStreamParseData(block.data(), block.size(), false, &parsed), S_OK);
    ASSERT_EQ(parsed.items.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(parsed.items[i].value.vt, VT_EMPTY);
        EXPECT_EQ(parsed.items[i].quality, OPC_QUALITY_BAD);
        EXPECT_EQ(parsed.items[i].clientHandle, static_cast<OPCHANDLE>(i + 1));
    }
    EXPECT_EQ(Describe(parsed.items[2].value), "vt3:42");
    EXPECT_EQ(parsed.items[2].quality, 0xC0);
}

TEST_F(StreamValues, BlockThatCannotBeAllocatedBecomesOutOfMemoryHeader) {
    opc_test::LogCapture log;
    ASSERT_TRUE(opc::daLogOpen());
    const Bytes full = Build(true);
    const DWORD needed = At<OPCGROUPHEADER>(full, 0).dwSize;

    const Bytes fallback =
        Take(opc::daStreamBuildDataLimited(0xABCD, 0x77, S_OK, items_, kCount, true, needed - 1));
    ASSERT_GE(fallback.size(), sizeof(OPCGROUPHEADER));
    const auto header = At<OPCGROUPHEADER>(fallback, 0);
    EXPECT_EQ(header.dwSize, sizeof(OPCGROUPHEADER));
    EXPECT_EQ(header.dwItemCount, 0u);
    EXPECT_EQ(header.hClientGroup, 0xABCDu);
    EXPECT_EQ(header.dwTransactionID, 0x77u);
    EXPECT_EQ(header.hrStatus, E_OUTOFMEMORY);
    EXPECT_TRUE(log.Contains("Trasaction 77 Failed due gmem_alloc(" + std::to_string(needed) + ")"))
        << log.Text();

    EXPECT_EQ(opc::daStreamBuildDataLimited(0xABCD, 0x78, S_OK, items_, kCount, true,
                                            sizeof(OPCGROUPHEADER) - 1),
              nullptr);
    EXPECT_TRUE(log.Contains("Trasaction 78 ABORTED due gmem_alloc(20)")) << log.Text();
    opc::daLogClose();
}

TEST(Stream, WriteCompleteRoundTrip) {
    const OPCHANDLE handles[] = {11, 22, 33};
    const HRESULT errors[] = {S_OK, OPC_E_BADRIGHTS, E_FAIL};
    const Bytes block =
        Take(opc::daStreamBuildWriteComplete(0x55, 0x1235, S_FALSE, handles, errors, 3));
    ASSERT_GE(block.size(), sizeof(OPCGROUPHEADERWRITE) + 3 * sizeof(OPCITEMHEADERWRITE));
    opc::daStreamWriteComplete parsed;
    ASSERT_EQ(opc::daStreamParseWriteComplete(block.data(), block.size(), &parsed), S_OK);
    EXPECT_EQ(parsed.header.dwItemCount, 3u);
    EXPECT_EQ(parsed.header.hClientGroup, 0x55u);
    EXPECT_EQ(parsed.header.dwTransactionID, 0x1235u);
    EXPECT_EQ(parsed.header.hrStatus, S_FALSE);
    ASSERT_EQ(parsed.items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(parsed.items[i].hClient, handles[i]);
        EXPECT_EQ(parsed.items[i].dwError, errors[i]);
    }
}

TEST(Stream, WriteCompleteParserRefusesShortBlocks) {
    const OPCHANDLE handles[] = {1, 2};
    const HRESULT errors[] = {S_OK, S_OK};
    Bytes block = Take(opc::daStreamBuildWriteComplete(1, 2, S_OK, handles, errors, 2));
    block.resize(sizeof(OPCGROUPHEADERWRITE) + 2 * sizeof(OPCITEMHEADERWRITE));
    opc::daStreamWriteComplete parsed;
    for (size_t cut = 0; cut < block.size(); ++cut) {
        const Bytes shorter(block.begin(), block.begin() + cut);
        EXPECT_EQ(opc::daStreamParseWriteComplete(shorter.data(), shorter.size(), &parsed),
                  E_INVALIDARG)
            << cut;
    }
    Put<DWORD>(&block, 0, 0xFFFFFFFF);
    EXPECT_EQ(opc::daStreamParseWriteComplete(block.data(), block.size(), &parsed), E_INVALIDARG);
    EXPECT_TRUE(parsed.items.empty());
}

// A valid block (number, string, array) with one field spoiled.
struct Corruption {
    const char* name;
    std::function<void(Bytes*, bool withTime)> spoil;
};

TEST(Stream, ParserRefusesInconsistentBlocks) {
    Value number, text, numbers, texts;
    SetScalar(&number, VT_I4, 1);
    text.v.vt = VT_BSTR;
    text.v.bstrVal = Text("abc");
    SetR8Array(&numbers, 0, {1, 2});
    SetTextArray(&texts, {"x", "yz"});
    opc::daStreamItem items[4];
    items[0].value = number.v;
    items[1].value = text.v;
    items[2].value = numbers.v;
    items[3].value = texts.v;
    constexpr size_t kVariant = sizeof(VARIANT);
    constexpr size_t kBounds = offsetof(SAFEARRAY, rgsabound);
    auto value = [](const Bytes& b, bool t, size_t i) { return ValueOffset(b, t, i); };
    auto setOffset = [](Bytes* b, bool t, size_t i, DWORD offset) {
        Put<DWORD>(b, sizeof(OPCGROUPHEADER) + i * ItemHeaderBytes(t) + 4, offset);
    };
    const Corruption corruptions[] = {
        {"size past the end", [](Bytes* b, bool) { Put<DWORD>(b, 0, b->size() + 1); }},
        {"size below the header", [](Bytes* b, bool) { Put<DWORD>(b, 0, 19); }},
        {"item count past the end", [](Bytes* b, bool) { Put<DWORD>(b, 4, 0xFFFFFFFF); }},
        {"one item too many",
         [](Bytes* b, bool t) {
             Put<DWORD>(b, 4, (At<DWORD>(*b, 0) - 20) / ItemHeaderBytes(t) + 1);
         }},
        {"offset past the end",
         [&](Bytes* b, bool t) { setOffset(b, t, 0, At<DWORD>(*b, 0) - kVariant + 1); }},
        {"offset near 4 GiB", [&](Bytes* b, bool t) { setOffset(b, t, 0, 0xFFFFFFF8); }},
        {"offset into the headers", [&](Bytes* b, bool t) { setOffset(b, t, 1, 20); }},
        {"every item on the largest value",
         [&](Bytes* b, bool t) {
             for (size_t i = 0; i < 3; ++i)
                 setOffset(b, t, i, value(*b, t, 3));
         }},
        {"unknown type", [&](Bytes* b, bool t) { Put<VARTYPE>(b, value(*b, t, 0), VT_UNKNOWN); }},
        {"reference type",
         [&](Bytes* b, bool t) { Put<VARTYPE>(b, value(*b, t, 0), VT_BYREF | VT_I4); }},
        {"string length past the end",
         [&](Bytes* b, bool t) { Put<DWORD>(b, value(*b, t, 1) + kVariant, 0xFFFFFFFE); }},
        {"string without terminator",
         [&](Bytes* b, bool t) { Put<DWORD>(b, value(*b, t, 1) + kVariant, 4); }},
        {"array without dimensions",
         [&](Bytes* b, bool t) { Put<USHORT>(b, value(*b, t, 2) + kVariant, 0); }},
        {"array dimensions past the end",
         [&](Bytes* b, bool t) { Put<USHORT>(b, value(*b, t, 2) + kVariant, 0xFFFF); }},
        {"array element size",
         [&](Bytes* b, bool t) { Put<ULONG>(b, value(*b, t, 2) + kVariant + 4, 4); }},
        {"array elements past the end",
         [&](Bytes* b, bool t) { Put<ULONG>(b, value(*b, t, 2) + kVariant + kBounds, 1000); }},
        {"array of strings past the end",
         [&](Bytes* b, bool t) { Put<ULONG>(b, value(*b, t, 3) + kVariant + kBounds, 3); }},
        {"array of VARIANT",
         [&](Bytes* b, bool t) { Put<VARTYPE>(b, value(*b, t, 2), VT_ARRAY | VT_VARIANT); }},
    };
    for (bool withTime : {false, true}) {
        const Bytes valid = Take(opc::daStreamBuildData(1, 2, S_OK, items, 4, withTime));
        opc::daStreamData parsed;
        ASSERT_EQ(opc::daStreamParseData(valid.data(), valid.size(), withTime, &parsed), S_OK);
        for (const Corruption& corruption : corruptions) {
            SCOPED_TRACE(std::string(corruption.name) + (withTime ? " (DATATIME)" : " (DATA)"));
            Bytes block = valid;
            corruption.spoil(&block, withTime);
            EXPECT_EQ(opc::daStreamParseData(block.data(), block.size(), withTime, &parsed),
                      E_INVALIDARG);
            EXPECT_TRUE(parsed.items.empty());
            EXPECT_EQ(parsed.header.dwItemCount, 0u);
        }
    }
}

TEST(Stream, ParserRefusesEveryTruncation) {
    Value text, numbers;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = Text("truncated");
    SetTextArray(&numbers, {"a", "bc"});
    opc::daStreamItem items[2];
    items[0].value = text.v;
    items[1].value = numbers.v;
    const Bytes valid = Take(opc::daStreamBuildData(1, 2, S_OK, items, 2, true));
    const DWORD size = At<DWORD>(valid, 0);
    opc::daStreamData parsed;
    for (DWORD cut = 0; cut < size; ++cut) {
        // Exactly `cut` bytes on the heap, so a read past them is caught by the sanitizer.
        Bytes block(valid.begin(), valid.begin() + cut);
        if (cut >= 4) Put<DWORD>(&block, 0, cut);
        EXPECT_EQ(opc::daStreamParseData(block.data(), block.size(), true, &parsed), E_INVALIDARG)
            << cut;
    }
    // Bytes beyond the header's size (GlobalSize rounds up) are not the parser's business.
    Bytes longer(valid.begin(), valid.begin() + size);
    longer.resize(size + 16, 0xEE);
    EXPECT_EQ(opc::daStreamParseData(longer.data(), longer.size(), true, &parsed), S_OK);
}

}  // namespace
