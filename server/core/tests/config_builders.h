#pragma once
// Configuration records for the server's tests, as the configurator would write them.

#include <cstdint>
#include <string>

#include "config/records.h"
#include "platform/com.h"

namespace core_test {

inline config::opcDeviceInfo ChannelConfig(const std::string& name, uint8_t id, uint8_t type = 100,
                                           const std::string& address = "127.0.0.1",
                                           uint16_t port = 502) {
    config::opcDeviceInfo device;
    device.m_strName = name;
    device.m_ucID = id;
    device.m_ucType = type;
    device.m_strAddress = address;
    device.m_wPort = port;
    return device;
}

// A root-level tag polled from that channel id and field-device address.
inline config::opcTagInfo TagConfig(uint32_t id, const std::string& name, uint8_t channelId,
                                    uint8_t address, uint16_t type = VT_I4) {
    config::opcTagInfo tag;
    tag.m_dwID = id;
    tag.m_strName = name;
    tag.m_ucDevice = channelId;
    tag.m_ucDeviceNo = address;
    tag.m_vtType = type;
    tag.m_dwRegister = id;
    return tag;
}

}  // namespace core_test
