// Loading arbitrary bytes into the runtime tables never crashes, and the tables keep their
// limits: each channel id once (a second device with an id in use is not served), at most 64
// field devices per channel, each address once.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/load_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    core::RuntimeTables tables;
    const std::unique_ptr<core::ConfigSink> sink =
        core::MakeTableSink(&tables, nullptr, core::Logging::kOff);
    const core::ReadReport report =
        core::ReadTagInformation(std::string_view(reinterpret_cast<const char*>(data), size),
                                 nullptr, *sink, core::Logging::kOff);
    if (tables.ChannelCount() > report.devices) std::abort();
    std::vector<uint8_t> ids;
    for (size_t c = 0; c < tables.ChannelCount(); ++c) {
        core::ChannelRecord channel;
        if (tables.GetChannel(c, &channel) != core::kOk) std::abort();
        if (std::find(ids.begin(), ids.end(), channel.m_ucID) != ids.end()) std::abort();
        ids.push_back(channel.m_ucID);
        std::vector<core::FieldDevice>& devices = channel.fieldDevices;
        if (devices.size() > core::kMaxFieldDevices) std::abort();
        std::sort(devices.begin(), devices.end(),
                  [](const auto& a, const auto& b) { return a.address < b.address; });
        const auto same = [](const auto& a, const auto& b) { return a.address == b.address; };
        if (std::adjacent_find(devices.begin(), devices.end(), same) != devices.end()) std::abort();
    }
    return 0;
}
