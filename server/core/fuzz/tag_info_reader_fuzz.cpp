// The server's reader of arbitrary bytes: it never crashes, and it hands records over in the
// order the server core relies on (tags, groups and devices, then once the end of the devices,
// then parameters).

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/config_reader.h"

namespace {

class OrderCheckingSink : public core::ConfigSink {
public:
    void AddTag(core::ConfigTag&&) override { Expect(!devicesComplete_ && !devicesStarted_); }
    void AddGroup(const core::ConfigGroup&) override { Expect(!devicesComplete_); }
    void AddDevice(const core::ConfigDevice&) override {
        Expect(!devicesComplete_);
        devicesStarted_ = true;
        ++devices;
    }
    void DevicesComplete() override {
        Expect(!devicesComplete_);
        devicesComplete_ = true;
    }
    void SetParameter(const std::string&, const std::string&) override { Expect(devicesComplete_); }

    bool devicesComplete() const { return devicesComplete_; }
    uint32_t devices = 0;

private:
    static void Expect(bool condition) {
        if (!condition) std::abort();
    }
    bool devicesStarted_ = false;
    bool devicesComplete_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OrderCheckingSink sink;
    const core::ReadReport report =
        core::ReadTagInformation(std::string_view(reinterpret_cast<const char*>(data), size),
                                 nullptr, sink, core::Logging::kOff);
    const bool read =
        report.status == core::ReadStatus::kLoaded || report.status == core::ReadStatus::kTruncated;
    if (sink.devicesComplete() != read || report.devices != sink.devices) std::abort();
    return 0;
}
