#pragma once
// The OPC DA 1.0 IDataObject stream formats: "OPCSTMFORMATDATATIME", "OPCSTMFORMATDATA" and
// "OPCSTMFORMATWRITECOMPLETE", built by the server and taken apart by clients (the client tool
// and the tests), which must survive any block a server sends.

#include <vector>

// The generated header needs the COM types first.
#include "platform/com.h"

#include "opcda.h"

namespace opc {

// One item of a data delivery, as change detection or a read collects it.
struct daStreamItem {
    OPCHANDLE clientHandle = 0;
    VARIANT value;  // borrowed: the builder copies it into the block
    WORD quality = 0;
    FILETIME timeStamp = {};
    HRESULT error = S_OK;
};

// A global memory block (GMEM_MOVEABLE style, freed with GlobalFree by the caller) holding the
// group header, one item header per item (with time stamps when `withTime`) and the values with
// their string and array contents. When the block cannot be allocated a header-only block with
// no items and status E_OUTOFMEMORY comes back instead; nullptr when even that fails.
HGLOBAL daStreamBuildData(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                          const daStreamItem* items, DWORD count, bool withTime);
// As daStreamBuildData, taking a block of more than `sizeLimit` bytes as one that cannot be
// allocated (the format's own limit is 0xFFFFFFFF: sizes and offsets are DWORDs).
HGLOBAL daStreamBuildDataLimited(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                                 const daStreamItem* items, DWORD count, bool withTime,
                                 size_t sizeLimit);
// The write-complete block: header and per-item client handle and error.
HGLOBAL daStreamBuildWriteComplete(OPCHANDLE groupClientHandle, DWORD transactionId, HRESULT status,
                                   const OPCHANDLE* clientHandles, const HRESULT* errors,
                                   DWORD count);

// A data block taken apart; the values are owned (cleared by the destructor).
struct daStreamData {
    OPCGROUPHEADER header = {};
    std::vector<daStreamItem> items;
    daStreamData() = default;
    daStreamData(const daStreamData&) = delete;
    daStreamData& operator=(const daStreamData&) = delete;
    ~daStreamData();
};
struct daStreamWriteComplete {
    OPCGROUPHEADERWRITE header = {};
    std::vector<OPCITEMHEADERWRITE> items;
};

// S_OK, or E_INVALIDARG for a block that is short, inconsistent, or holds a value the format
// cannot carry; never reads outside [bytes, bytes + size). E_OUTOFMEMORY when a value's
// string or array cannot be allocated.
HRESULT daStreamParseData(const void* bytes, size_t size, bool withTime, daStreamData* result);
HRESULT daStreamParseWriteComplete(const void* bytes, size_t size, daStreamWriteComplete* result);

}  // namespace opc
