#pragma once
// The configuration file (.scf): the configuration section that the configurator writes and
// reads back, the section marker, and the tag-information section that the server reads.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/document.h"

namespace config {

constexpr std::string_view kSectionMarker = "ZZZ2012-12-21:::TAGINFODATASTART:::2012-12-21ZZZ";
constexpr uint32_t kStoredVersion = 114;
constexpr uint32_t kOldestConfigVersion = 101;

// Status-bar progress of a load: the range 0..range with its step, then one Step per element.
struct LoadProgress {
    std::function<void(uint32_t range, uint32_t step)> setRange;
    std::function<void()> step;
};

enum class LoadStatus {
    kLoaded,
    kUnsupportedVersion,  // the document is emptied, as a new one under the file's name
    kBroken,              // the data ends before its counts are satisfied; nothing is opened
    kCannotOpen,          // nothing is opened
};

struct LoadResult {
    LoadStatus status = LoadStatus::kBroken;
    uint32_t version = 0;
    // For kBroken and kCannotOpen: the message for the user (Windows-1251).
    std::string error;
};

// Reads the configuration section of any version 101 to 114 and ignores the rest of the file.
// On success the document holds the file's content, carries its path and is unmodified (unless
// the identifier counter had to be fixed). On kBroken and kCannotOpen it is left untouched.
LoadResult LoadDocument(const std::string& path, CKarvexOPCCfgDoc* doc,
                        const LoadProgress& progress = {});
// The same from the file's bytes; path names the file in the output line.
LoadResult LoadDocumentBytes(std::string_view bytes, const std::string& path, CKarvexOPCCfgDoc* doc,
                             const LoadProgress& progress = {});

// Both sections, version 114, in one pass.
std::string StoreDocument(const CKarvexOPCCfgDoc& doc);
// Writes the file; on success the document takes the path and is unmodified. Win32 code.
uint32_t SaveDocument(const std::string& path, CKarvexOPCCfgDoc* doc);

}  // namespace config
