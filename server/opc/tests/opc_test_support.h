#pragma once
// Helpers of the service tests: the service's log captured from the debugger output, a
// service that is destroyed with the test, and VARIANT shorthands.

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opc/daservice.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace opc_test {

namespace reg = platform::reg;

// Sends the "opcservice" log, every level, to the debugger output and keeps its lines.
class LogCapture {
public:
    LogCapture() {
        const std::string key = "Software\\kvlog.dll\\opcservice";
        reg::SetValue(reg::Hive::LocalMachine, key, "path", reg::Value::String("?"));
        reg::SetValue(reg::Hive::LocalMachine, key, "level", reg::Value::String("DEBUG"));
        reg::SetValue(reg::Hive::LocalMachine, key, "size", reg::Value::String("0"));
        platform::SetDebugOutputHook([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            text_ += text;
        });
    }
    ~LogCapture() { platform::SetDebugOutputHook(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Contains(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_.find(part) != std::string::npos;
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

// The driver record the server core gives: 50 ms granules, case-insensitive names, every
// update sent, no forced group removal, '/' between name parts.
inline opc::daDriverRecord CoreDriver() {
    opc::daDriverRecord driver;
    driver.rateGranularity = 50;
    driver.flags = 0x288;
    driver.branchSeparator = '/';
    return driver;
}

struct ServiceDeleter {
    void operator()(opc::daService* service) const {
        if (service) opc::daServiceDestroy(service);
    }
};

inline VARIANT I4(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

inline VARIANT R8(double value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

inline opc::daCacheValue CacheValue(unsigned tagIndex, LONG value, DWORD quality = 0xC0,
                                    DWORD timeLow = 1) {
    opc::daCacheValue element{};
    element.value = I4(value);
    element.timeStamp = FILETIME{timeLow, 0};
    element.error = S_OK;
    element.quality = quality;
    element.tagIndex = tagIndex;
    return element;
}

inline opc::daPublishedValue Published(opc::daService* service, unsigned tagIndex) {
    opc::daPublishedValue value{};
    EXPECT_EQ(opc::daReadPublished(service, 1, &tagIndex, &value), 0) << tagIndex;
    return value;
}

}  // namespace opc_test
