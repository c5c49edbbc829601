// The configurator's load of arbitrary bytes: it never crashes, and whatever it loads is
// written and read back unchanged.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/scf_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    config::CKarvexOPCCfgDoc doc;
    if (config::LoadDocumentBytes(bytes, "fuzz.scf", &doc).status != config::LoadStatus::kLoaded) {
        return 0;
    }
    const std::string stored = config::StoreDocument(doc);
    config::CKarvexOPCCfgDoc again;
    if (config::LoadDocumentBytes(stored, "fuzz.scf", &again).status !=
            config::LoadStatus::kLoaded ||
        config::StoreDocument(again) != stored) {
        std::abort();
    }
    return 0;
}
