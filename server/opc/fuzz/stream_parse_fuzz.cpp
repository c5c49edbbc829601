// The parsers of the IDataObject stream formats on arbitrary bytes. The first byte picks the
// format (data, data with time, write complete); the rest is the block. A block that parses
// must come back unchanged through the builder: building from what was parsed and parsing that
// again gives the same block byte for byte.

#include <cstdint>
#include <cstring>
#include <vector>

#include "../src/dastream.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

std::vector<uint8_t> Take(HGLOBAL block) {
    Check(block != nullptr);
    const auto* memory = static_cast<const uint8_t*>(GlobalLock(block));
    std::vector<uint8_t> bytes(memory, memory + GlobalSize(block));
    GlobalUnlock(block);
    GlobalFree(block);
    return bytes;
}

std::vector<uint8_t> Rebuild(const opc::daStreamData& parsed, bool withTime) {
    const OPCGROUPHEADER& header = parsed.header;
    return Take(opc::daStreamBuildData(header.hClientGroup, header.dwTransactionID, header.hrStatus,
                                       parsed.items.data(), static_cast<DWORD>(parsed.items.size()),
                                       withTime));
}

void CheckData(const uint8_t* bytes, size_t size, bool withTime) {
    opc::daStreamData parsed;
    if (opc::daStreamParseData(bytes, size, withTime, &parsed) != S_OK) {
        Check(parsed.items.empty());
        return;
    }
    Check(parsed.header.dwSize <= size);
    Check(parsed.items.size() == parsed.header.dwItemCount);
    const std::vector<uint8_t> first = Rebuild(parsed, withTime);
    opc::daStreamData again;
    Check(opc::daStreamParseData(first.data(), first.size(), withTime, &again) == S_OK);
    Check(again.items.size() == parsed.items.size());
    for (size_t i = 0; i < again.items.size(); ++i) {
        Check(again.items[i].clientHandle == parsed.items[i].clientHandle);
        Check(again.items[i].quality == parsed.items[i].quality);
        Check(again.items[i].value.vt == parsed.items[i].value.vt);
    }
    const std::vector<uint8_t> second = Rebuild(again, withTime);
    Check(first == second);
}

void CheckWriteComplete(const uint8_t* bytes, size_t size) {
    opc::daStreamWriteComplete parsed;
    if (opc::daStreamParseWriteComplete(bytes, size, &parsed) != S_OK) {
        Check(parsed.items.empty());
        return;
    }
    Check(parsed.items.size() == parsed.header.dwItemCount);
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> errors;
    for (const OPCITEMHEADERWRITE& item : parsed.items) {
        handles.push_back(item.hClient);
        errors.push_back(item.dwError);
    }
    const std::vector<uint8_t> rebuilt = Take(opc::daStreamBuildWriteComplete(
        parsed.header.hClientGroup, parsed.header.dwTransactionID, parsed.header.hrStatus,
        handles.data(), errors.data(), static_cast<DWORD>(handles.size())));
    const size_t used = sizeof(OPCGROUPHEADERWRITE) + handles.size() * sizeof(OPCITEMHEADERWRITE);
    Check(rebuilt.size() >= used && std::memcmp(rebuilt.data(), bytes, used) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The block on a heap buffer of its own size, so that any read past it is caught.
    const std::vector<uint8_t> block(data + 1, data + size);
    switch (data[0] % 3) {
        case 0:
            CheckData(block.data(), block.size(), false);
            break;
        case 1:
            CheckData(block.data(), block.size(), true);
            break;
        default:
            CheckWriteComplete(block.data(), block.size());
            break;
    }
    return 0;
}
