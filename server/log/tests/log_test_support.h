#pragma once
// Helpers of the log tests: a log's registry key that is removed afterwards, and line checks.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "testing/support.h"

namespace kvlog_test {

namespace reg = platform::reg;

// The settings key of a log with a name no other test process uses.
class LogKey {
public:
    explicit LogKey(const std::string& prefix = "kvlogtest")
        : base_(testing_support::UniqueName(prefix)), key_("Software\\kvlog.dll\\" + base_) {}
    ~LogKey() { reg::DeleteTree(reg::Hive::LocalMachine, key_); }
    LogKey(const LogKey&) = delete;
    LogKey& operator=(const LogKey&) = delete;

    const std::string& base() const { return base_; }
    const std::string& key() const { return key_; }
    void Set(const std::string& name, const reg::Value& value) const {
        ASSERT_EQ(reg::SetValue(reg::Hive::LocalMachine, key_, name, value), 0u) << name;
    }
    void SetText(const std::string& name, const std::string& text,
                 reg::Type type = reg::Type::Sz) const {
        Set(name, reg::Value::String(text, type));
    }
    // Path, level and size in one go, the way an operator prepares a log.
    void Prepare(const std::string& path, const std::string& level, int size = 0) const {
        SetText("path", path);
        SetText("level", level);
        SetText("size", std::to_string(size));
    }
    bool Query(const std::string& name, reg::Value* value) const {
        return reg::QueryValue(reg::Hive::LocalMachine, key_, name, value) == 0;
    }

private:
    std::string base_;
    std::string key_;
};

// Lines split at CR LF; a tail without CR LF is kept as a last element so checks can see it.
inline std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// "2024/05/17 08:30:01.250 ": '9' stands for any digit.
inline bool StartsWithTimeStamp(const std::string& line) {
    const std::string pattern = "9999/99/99 99:99:99.999 ";
    if (line.size() < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == '9' ? !digit : line[i] != pattern[i]) return false;
    }
    return true;
}

constexpr size_t kTimeStampWidth = 24;

inline std::string AfterTimeStamp(const std::string& line) {
    return line.size() > kTimeStampWidth ? line.substr(kTimeStampWidth) : std::string();
}

}  // namespace kvlog_test
