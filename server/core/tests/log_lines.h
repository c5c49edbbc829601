#pragma once
// A server log file read back as "<level letter> <text>" lines, and a check of their order.

#include <algorithm>
#include <string>
#include <vector>

#include "testing/support.h"

namespace core_test {

inline std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string content = testing_support::ReadFile(path);
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(start, end - start);
        // After the time stamp (24 characters) come the level letter, its number and a blank.
        if (line.size() > 27) lines.push_back(line.substr(24, 1) + " " + line.substr(27));
        start = end + 2;
    }
    return lines;
}

// True when the expected lines occur in this order (others may lie between).
inline bool InOrder(const std::vector<std::string>& lines,
                    const std::vector<std::string>& expected) {
    auto at = lines.begin();
    for (const std::string& line : expected) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end()) return false;
        ++at;
    }
    return true;
}

}  // namespace core_test
