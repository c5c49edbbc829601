#pragma once
// A log of a test's own in a file, its messages read back as "<level letter> <text>", where the
// text starts at the function prefix given.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/kvlog.h"
#include "platform/registry.h"
#include "testing/support.h"

namespace core_test {

class CapturedLog {
public:
    explicit CapturedLog(std::string prefix, int level = kvlog::kDebug)
        : prefix_(std::move(prefix)),
          base_(testing_support::UniqueName("corelog")),
          path_(dir_.File("core.log")) {
        handle_ = kvlog::Open(base_.c_str(), path_.c_str(), nullptr, 0, level);
        EXPECT_NE(handle_, nullptr);
    }
    ~CapturedLog() {
        kvlog::Close(handle_);
        platform::reg::DeleteTree(platform::reg::Hive::LocalMachine,
                                  "Software\\kvlog.dll\\" + base_);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    kvlog::Handle handle() const { return handle_; }

    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        const std::string content = testing_support::ReadFile(path_);
        size_t start = 0;
        while (start < content.size()) {
            size_t end = content.find("\r\n", start);
            if (end == std::string::npos) end = content.size();
            const std::string line = content.substr(start, end - start);
            const size_t text = line.find(prefix_);
            if (line.size() > 24 && text != std::string::npos) {
                messages.push_back(line.substr(24, 1) + " " + line.substr(text));
            }
            start = end + 2;
        }
        return messages;
    }

    size_t Count(const std::string& message) const {
        const std::vector<std::string> messages = Messages();
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }

private:
    testing_support::TempDir dir_;
    std::string prefix_;
    std::string base_;
    std::string path_;
    kvlog::Handle handle_ = nullptr;
};

}  // namespace core_test
