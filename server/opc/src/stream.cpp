// The IDataObject stream formats of OPC DA 1.0.
//
// Data block (offsets count from the start of the block):
//   OPCGROUPHEADER; one OPCITEMHEADER1 (with time stamp) or OPCITEMHEADER2 per item; then each
//   item's value, in item order, starting at a multiple of 8 so that a client can read the
//   VARIANT's doubles and 64-bit fields in place:
//   - the VARIANT, sizeof(VARIANT) bytes (24 in 64-bit programs), pointers and unused bytes zero;
//   - VT_BSTR: a DWORD byte count without the terminator, the UTF-16 characters, a zero WCHAR;
//   - VT_ARRAY: the SAFEARRAY descriptor with all its bounds (last dimension first, as in
//     memory; pvData and cLocks zero), then the elements in memory order. An array of BSTR
//     carries, instead of its pointers, each element laid out like a VT_BSTR value's text,
//     each starting at a multiple of 4.
//   Padding is zero; dwSize is the number of bytes used (GlobalSize may be larger).
// A value the format cannot carry (references, objects, arrays of VARIANT) goes out as VT_EMPTY
// with bad quality rather than as something the client would misread.
// Write-complete block: OPCGROUPHEADERWRITE, then one OPCITEMHEADERWRITE per item.

#include "dastream.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "dalog.h"

namespace opc {
namespace {

constexpr uint64_t kValueAlign = 8;
constexpr uint64_t kArrayStringAlign = 4;
constexpr uint64_t kLengthBytes = sizeof(DWORD);
constexpr uint64_t kTerminatorBytes = sizeof(OLECHAR);
constexpr uint64_t kDescriptorFixedBytes = offsetof(SAFEARRAY, rgsabound);
// Sizes and offsets are DWORDs.
constexpr uint64_t kFormatSizeLimit = 0xFFFFFFFFu;

uint64_t AlignUp(uint64_t offset, uint64_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Bytes of a scalar in the VARIANT's union; nullopt for types that hold pointers or that the
// format does not know. VT_DECIMAL is apart: it fills the VARIANT's first 16 bytes.
std::optional<size_t> ScalarBytes(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            return 0;
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        default:
            return std::nullopt;
    }
}

// Element size of an array of `element`s the format carries, 0 for any other.
uint64_t ArrayElementBytes(VARTYPE element) {
    if (element == VT_BSTR) return sizeof(BSTR);
    if (element == VT_DECIMAL) return sizeof(DECIMAL);
    std::optional<size_t> bytes = ScalarBytes(element);
    return bytes ? *bytes : 0;
}

// VT_ILLEGAL when other flags than VT_ARRAY are set.
VARTYPE ArrayElementType(VARTYPE vt) {
    if ((vt & ~VT_ARRAY) != (vt & VT_TYPEMASK)) return VT_ILLEGAL;
    return static_cast<VARTYPE>(vt & VT_TYPEMASK);
}

// The element count, or nullopt when it exceeds `cap` (the product of the dimensions is only
// meaningful up to what a block can hold).
std::optional<uint64_t> CellCount(const SAFEARRAYBOUND* bounds, size_t dims, uint64_t cap) {
    for (size_t i = 0; i < dims; ++i) {
        if (bounds[i].cElements == 0) return 0;
    }
    uint64_t count = 1;
    for (size_t i = 0; i < dims; ++i) {
        count *= bounds[i].cElements;
        if (count > cap) return std::nullopt;
    }
    return count;
}

uint64_t DescriptorBytes(size_t dims) {
    return kDescriptorFixedBytes + sizeof(SAFEARRAYBOUND) * dims;
}

uint64_t StringBytes(BSTR text) {
    return kLengthBytes + (text ? SysStringByteLen(text) : 0) + kTerminatorBytes;
}

// ---- Building ----

bool Carried(const VARIANT& value) {
    const VARTYPE vt = value.vt;
    if (vt == VT_BSTR || vt == VT_DECIMAL || ScalarBytes(vt)) return true;
    if (!(vt & VT_ARRAY) || value.parray == nullptr || value.parray->cDims == 0) return false;
    const uint64_t elementBytes = ArrayElementBytes(ArrayElementType(vt));
    return elementBytes != 0 && value.parray->cbElements == elementBytes;
}

// Bytes behind the VARIANT, counted from the VARIANT's start (a multiple of 8).
uint64_t ContentBytes(const VARIANT& value) {
    if (value.vt == VT_BSTR) return StringBytes(value.bstrVal);
    if (!(value.vt & VT_ARRAY)) return 0;
    const SAFEARRAY* array = value.parray;
    const uint64_t cells = *CellCount(array->rgsabound, array->cDims, UINT64_MAX);
    uint64_t end = sizeof(VARIANT) + DescriptorBytes(array->cDims);
    if (value.vt != (VT_ARRAY | VT_BSTR)) return end - sizeof(VARIANT) + cells * array->cbElements;
    const BSTR* texts = static_cast<const BSTR*>(array->pvData);
    for (uint64_t i = 0; i < cells; ++i) {
        end = AlignUp(end, kArrayStringAlign) + StringBytes(texts[i]);
    }
    return end - sizeof(VARIANT);
}

class BlockWriter {
public:
    explicit BlockWriter(uint8_t* block) : block_(block) {}
    void Seek(uint64_t offset) { at_ = offset; }
    void Align(uint64_t alignment) { at_ = AlignUp(at_, alignment); }
    void Put(const void* bytes, uint64_t count) {
        if (count != 0) std::memcpy(block_ + at_, bytes, count);
        at_ += count;
    }
    void PutDword(DWORD value) { Put(&value, sizeof value); }
    void PutString(BSTR text) {
        const DWORD bytes = text ? SysStringByteLen(text) : 0;
        PutDword(bytes);
        Put(text, bytes);
        at_ += kTerminatorBytes;  // the block is zeroed
    }

private:
    uint8_t* block_;
    uint64_t at_ = 0;
};

// The VARIANT as stored: type and value bytes only, so no address or stale stack bytes leave
// the process.
VARIANT StoredVariant(const VARIANT& value) {
    VARIANT stored;
    std::memset(&stored, 0, sizeof stored);
    if (value.vt == VT_DECIMAL) {
        stored.decVal = value.decVal;
    } else if (std::optional<size_t> bytes = ScalarBytes(value.vt)) {
        std::memcpy(&stored.llVal, &value.llVal, *bytes);
    }
    stored.vt = value.vt;
    return stored;
}

void PutArray(BlockWriter* writer, const SAFEARRAY& array, VARTYPE vt) {
    SAFEARRAY descriptor = array;
    descriptor.pvData = nullptr;
    descriptor.cLocks = 0;
    writer->Put(&descriptor, kDescriptorFixedBytes);
    writer->Put(array.rgsabound, sizeof(SAFEARRAYBOUND) * array.cDims);
    const uint64_t cells = *CellCount(array.rgsabound, array.cDims, UINT64_MAX);
    if (vt != (VT_ARRAY | VT_BSTR)) {
        writer->Put(array.pvData, cells * array.cbElements);
        return;
    }
    const BSTR* texts = static_cast<const BSTR*>(array.pvData);
    for (uint64_t i = 0; i < cells; ++i) {
        writer->Align(kArrayStringAlign);
        writer->PutString(texts[i]);
    }
}

void PutValue(BlockWriter* writer, const VARIANT& value) {
    VARIANT stored = StoredVariant(value);
    writer->Put(&stored, sizeof stored);
    if (value.vt == VT_BSTR) {
        writer->PutString(value.bstrVal);
    } else if (value.vt & VT_ARRAY) {
        PutArray(writer, *value.parray, value.vt);
    }
}

// A zeroed, locked block, or nullptr when it is over the limit or cannot be had.
HGLOBAL AllocateBlock(uint64_t bytes, uint64_t limit, uint8_t** memory) {
    if (bytes > limit) return nullptr;
    HGLOBAL block = GlobalAlloc(GHND, static_cast<SIZE_T>(bytes));
    if (block == nullptr) return nullptr;
    *memory = static_cast<uint8_t*>(GlobalLock(block));
    if (*memory != nullptr) return block;
    GlobalFree(block);
    return nullptr;
}

unsigned LoggedSize(uint64_t bytes) {
    return static_cast<unsigned>(std::min<uint64_t>(bytes, UINT_MAX));
}

// The answer when the full block cannot be had: its header alone, reporting E_OUTOFMEMORY.
template <typename Header>
HGLOBAL HeaderOnlyBlock(Header header, uint64_t wanted, uint64_t limit) {
    kvlog::Error(daLog(), "%!L Trasaction %X Failed due gmem_alloc(%u)", header.dwTransactionID,
                 LoggedSize(wanted));
    uint8_t* memory = nullptr;
    HGLOBAL block = AllocateBlock(sizeof header, limit, &memory);
    if (block == nullptr) {
        kvlog::Error(daLog(), "%!L Trasaction %X ABORTED due gmem_alloc(%u)",
                     header.dwTransactionID, LoggedSize(sizeof header));
        return nullptr;
    }
    header.dwItemCount = 0;
    header.hrStatus = E_OUTOFMEMORY;
    if constexpr (std::is_same_v<Header, OPCGROUPHEADER>) header.dwSize = sizeof header;
    std::memcpy(memory, &header, sizeof header);
    GlobalUnlock(block);
    return block;
}

template <typename ItemHeader>
void PutItemHeaders(BlockWriter* writer, const daStreamItem* items, const WORD* qualities,
                    const uint64_t* offsets, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        ItemHeader header = {};
        header.hClient = items[i].clientHandle;
        header.dwValueOffset = static_cast<DWORD>(offsets[i]);
        header.wQuality = qualities[i];
        if constexpr (std::is_same_v<ItemHeader, OPCITEMHEADER1>) {
            header.ftTimeStampItem = items[i].timeStamp;
        }
        writer->Put(&header, sizeof header);
    }
}

// ---- Parsing ----

// Bounds-checked reads of [bytes, bytes + size).
class BlockReader {
public:
    BlockReader(const void* bytes, uint64_t size)
        : bytes_(static_cast<const uint8_t*>(bytes)), size_(size) {}
    uint64_t Size() const { return size_; }
    bool Holds(uint64_t offset, uint64_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    bool Read(uint64_t offset, void* to, uint64_t count) const {
        if (!Holds(offset, count)) return false;
        if (count != 0) std::memcpy(to, bytes_ + offset, count);
        return true;
    }
    const uint8_t* At(uint64_t offset) const { return bytes_ + offset; }

private:
    const uint8_t* bytes_;
    uint64_t size_;
};

// A VT_BSTR text at *offset; *offset moves past it.
HRESULT ParseString(const BlockReader& block, uint64_t* offset, BSTR* text) {
    DWORD bytes = 0;
    if (!block.Read(*offset, &bytes, sizeof bytes)) return E_INVALIDARG;
    const uint64_t characters = *offset + kLengthBytes;
    if (!block.Holds(characters, uint64_t{bytes} + kTerminatorBytes)) return E_INVALIDARG;
    OLECHAR terminator = 1;
    block.Read(characters + bytes, &terminator, sizeof terminator);
    if (terminator != 0) return E_INVALIDARG;
    *text = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(block.At(characters)), bytes);
    if (*text == nullptr) return E_OUTOFMEMORY;
    *offset = characters + bytes + kTerminatorBytes;
    return S_OK;
}

// The strings of an array of BSTR from *offset on; *offset moves past them.
HRESULT FillStrings(const BlockReader& block, uint64_t* offset, SAFEARRAY* array, uint64_t cells) {
    BSTR* texts = static_cast<BSTR*>(array->pvData);
    for (uint64_t i = 0; i < cells; ++i) {
        *offset = AlignUp(*offset, kArrayStringAlign);
        HRESULT parsed = ParseString(block, offset, &texts[i]);
        if (FAILED(parsed)) return parsed;
    }
    return S_OK;
}

// The array whose descriptor starts at *offset; *offset moves past its elements.
HRESULT ParseArray(const BlockReader& block, uint64_t* offset, VARTYPE vt, SAFEARRAY** result) {
    const VARTYPE elementType = ArrayElementType(vt);
    const uint64_t elementBytes = ArrayElementBytes(elementType);
    SAFEARRAY descriptor = {};
    if (elementBytes == 0 || !block.Read(*offset, &descriptor, kDescriptorFixedBytes) ||
        descriptor.cDims == 0 || descriptor.cbElements != elementBytes ||
        !block.Holds(*offset, DescriptorBytes(descriptor.cDims))) {
        return E_INVALIDARG;
    }
    std::vector<SAFEARRAYBOUND> bounds(descriptor.cDims);
    block.Read(*offset + kDescriptorFixedBytes, bounds.data(),
               sizeof(SAFEARRAYBOUND) * bounds.size());
    uint64_t data = *offset + DescriptorBytes(bounds.size());
    // Each element takes at least its size, or a string's length and terminator.
    const uint64_t leastCellBytes =
        elementType == VT_BSTR ? kLengthBytes + kTerminatorBytes : elementBytes;
    std::optional<uint64_t> cells =
        CellCount(bounds.data(), bounds.size(), (block.Size() - data) / leastCellBytes);
    if (!cells) return E_INVALIDARG;
    // SafeArrayCreate takes the bounds first dimension first.
    std::reverse(bounds.begin(), bounds.end());
    SAFEARRAY* array =
        SafeArrayCreate(elementType, static_cast<UINT>(bounds.size()), bounds.data());
    if (array == nullptr) return E_OUTOFMEMORY;
    HRESULT filled = S_OK;
    if (elementType == VT_BSTR) {
        filled = FillStrings(block, &data, array, *cells);
    } else {
        block.Read(data, array->pvData, *cells * elementBytes);
        data += *cells * elementBytes;
    }
    if (FAILED(filled)) {
        SafeArrayDestroy(array);
        return filled;
    }
    *result = array;
    *offset = data;
    return S_OK;
}

// The value whose VARIANT starts at *offset; *offset moves past its contents. `value` is
// VT_EMPTY on entry.
HRESULT ParseValue(const BlockReader& block, uint64_t* offset, VARIANT* value) {
    VARIANT stored;
    if (!block.Read(*offset, &stored, sizeof stored)) return E_INVALIDARG;
    const VARTYPE vt = stored.vt;
    uint64_t contents = *offset + sizeof stored;
    HRESULT parsed = S_OK;
    if (vt == VT_BSTR) {
        parsed = ParseString(block, &contents, &value->bstrVal);
    } else if (vt & VT_ARRAY) {
        parsed = ParseArray(block, &contents, vt, &value->parray);
    } else if (vt == VT_DECIMAL) {
        value->decVal = stored.decVal;
    } else if (std::optional<size_t> bytes = ScalarBytes(vt)) {
        std::memcpy(&value->llVal, &stored.llVal, *bytes);
    } else {
        parsed = E_INVALIDARG;
    }
    if (FAILED(parsed)) return parsed;
    value->vt = vt;
    *offset = contents;
    return S_OK;
}

template <typename ItemHeader>
HRESULT ParseItems(const BlockReader& block, DWORD count, daStreamData* result) {
    const uint64_t headersEnd = sizeof(OPCGROUPHEADER) + uint64_t{count} * sizeof(ItemHeader);
    if (!block.Holds(0, headersEnd)) return E_INVALIDARG;
    result->items.reserve(count);
    // Values that share bytes could make a small block expand into any amount of memory; in a
    // sound block they lie side by side behind the headers.
    uint64_t valueBytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        ItemHeader header;
        block.Read(sizeof(OPCGROUPHEADER) + uint64_t{i} * sizeof header, &header, sizeof header);
        daStreamItem& item = result->items.emplace_back();
        VariantInit(&item.value);
        item.clientHandle = header.hClient;
        item.quality = header.wQuality;
        if constexpr (std::is_same_v<ItemHeader, OPCITEMHEADER1>) {
            item.timeStamp = header.ftTimeStampItem;
        }
        if (header.dwValueOffset < headersEnd) return E_INVALIDARG;
        uint64_t end = header.dwValueOffset;
        HRESULT parsed = ParseValue(block, &end, &item.value);
        if (FAILED(parsed)) return parsed;
        valueBytes += end - header.dwValueOffset;
        if (valueBytes > block.Size() - headersEnd) return E_INVALIDARG;
    }
    return S_OK;
}

void ClearItems(std::vector<daStreamItem>* items) {
    for (daStreamItem& item : *items)
        VariantClear(&item.value);
    items->clear();
}

}  // namespace

HGLOBAL daStreamBuildDataLimited(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                                 const daStreamItem* items, DWORD count, bool withTime,
                                 size_t sizeLimit) {
    const uint64_t limit = std::min<uint64_t>(sizeLimit, kFormatSizeLimit);
    if (items == nullptr && count != 0) {
        count = 0;
        status = E_INVALIDARG;
    }
    OPCGROUPHEADER header = {};
    header.dwItemCount = count;
    header.hClientGroup = groupClientHandle;
    header.dwTransactionID = transactionId;
    header.hrStatus = status;

    const uint64_t itemHeaderBytes = withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
    std::vector<uint64_t> offsets(count);
    std::vector<WORD> qualities(count);
    std::vector<bool> carried(count);
    uint64_t end = sizeof header + itemHeaderBytes * count;
    for (DWORD i = 0; i < count; ++i) {
        const VARIANT& value = items[i].value;
        carried[i] = Carried(value);
        qualities[i] = items[i].quality;
        if (!carried[i]) {
            kvlog::Warning(daLog(), "daStreamBuildData() Unsupported VARTYPE 0x%X",
                           static_cast<unsigned>(value.vt));
            qualities[i] = OPC_QUALITY_BAD;
        }
        offsets[i] = AlignUp(end, kValueAlign);
        end = offsets[i] + sizeof(VARIANT) + (carried[i] ? ContentBytes(value) : 0);
    }

    uint8_t* memory = nullptr;
    HGLOBAL block = AllocateBlock(end, limit, &memory);
    if (block == nullptr) return HeaderOnlyBlock(header, end, limit);
    header.dwSize = static_cast<DWORD>(end);
    BlockWriter writer(memory);
    writer.Put(&header, sizeof header);
    if (withTime) {
        PutItemHeaders<OPCITEMHEADER1>(&writer, items, qualities.data(), offsets.data(), count);
    } else {
        PutItemHeaders<OPCITEMHEADER2>(&writer, items, qualities.data(), offsets.data(), count);
    }
    VARIANT empty;
    VariantInit(&empty);
    for (DWORD i = 0; i < count; ++i) {
        writer.Seek(offsets[i]);
        PutValue(&writer, carried[i] ? items[i].value : empty);
    }
    GlobalUnlock(block);
    return block;
}

HGLOBAL daStreamBuildData(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                          const daStreamItem* items, DWORD count, bool withTime) {
    return daStreamBuildDataLimited(groupClientHandle, transactionId, status, items, count,
                                    withTime, SIZE_MAX);
}

HGLOBAL daStreamBuildWriteComplete(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                                   const OPCHANDLE* clientHandles, const HRESULT* errors,
                                   DWORD count) {
    if ((clientHandles == nullptr || errors == nullptr) && count != 0) {
        count = 0;
        status = E_INVALIDARG;
    }
    OPCGROUPHEADERWRITE header = {};
    header.dwItemCount = count;
    header.hClientGroup = groupClientHandle;
    header.dwTransactionID = transactionId;
    header.hrStatus = status;
    const uint64_t bytes = sizeof header + uint64_t{count} * sizeof(OPCITEMHEADERWRITE);
    uint8_t* memory = nullptr;
    HGLOBAL block = AllocateBlock(bytes, UINT64_MAX, &memory);
    if (block == nullptr) return HeaderOnlyBlock(header, bytes, UINT64_MAX);
    BlockWriter writer(memory);
    writer.Put(&header, sizeof header);
    for (DWORD i = 0; i < count; ++i) {
        const OPCITEMHEADERWRITE item = {clientHandles[i], errors[i]};
        writer.Put(&item, sizeof item);
    }
    GlobalUnlock(block);
    return block;
}

daStreamData::~daStreamData() {
    ClearItems(&items);
}

HRESULT daStreamParseData(const void* bytes, size_t size, bool withTime, daStreamData* result) {
    ClearItems(&result->items);
    result->header = {};
    OPCGROUPHEADER header = {};
    if (bytes == nullptr || size < sizeof header) return E_INVALIDARG;
    std::memcpy(&header, bytes, sizeof header);
    // The block may be longer than its header says (GlobalSize rounds up), never shorter.
    if (header.dwSize < sizeof header || header.dwSize > size) return E_INVALIDARG;
    const BlockReader block(bytes, header.dwSize);
    HRESULT parsed = withTime ? ParseItems<OPCITEMHEADER1>(block, header.dwItemCount, result)
                              : ParseItems<OPCITEMHEADER2>(block, header.dwItemCount, result);
    if (FAILED(parsed)) {
        ClearItems(&result->items);
        return parsed;
    }
    result->header = header;
    return S_OK;
}

HRESULT daStreamParseWriteComplete(const void* bytes, size_t size, daStreamWriteComplete* result) {
    result->items.clear();
    result->header = {};
    OPCGROUPHEADERWRITE header = {};
    if (bytes == nullptr || size < sizeof header) return E_INVALIDARG;
    std::memcpy(&header, bytes, sizeof header);
    const BlockReader block(bytes, size);
    if (!block.Holds(sizeof header, uint64_t{header.dwItemCount} * sizeof(OPCITEMHEADERWRITE))) {
        return E_INVALIDARG;
    }
    result->items.resize(header.dwItemCount);
    block.Read(sizeof header, result->items.data(),
               result->items.size() * sizeof(OPCITEMHEADERWRITE));
    result->header = header;
    return S_OK;
}

}  // namespace opc
