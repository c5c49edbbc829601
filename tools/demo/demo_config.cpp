// demo-config: writes the demo's configuration file with the configurator's own store, for a
// boiler house simulator listening on 127.0.0.1 at the given port.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boiler_house.h"
#include "config/records.h"
#include "config/scf_file.h"
#include "platform/com.h"

namespace {

constexpr uint8_t kChannelId = 0;
enum : uint8_t { kReadCoils = 1, kReadHolding = 3, kReadInput = 4 };
enum : uint8_t { kWriteRegister = 6, kWriteRegisters = 16 };
enum : uint8_t { kMultiply = 2 };

config::opcDeviceInfo BoilerHouseChannel(uint16_t port) {
    config::opcDeviceInfo channel;
    channel.m_strName = "Boiler house";
    channel.m_ucID = kChannelId;
    channel.m_ucType = 'd';
    channel.m_strAddress = "127.0.0.1";
    channel.m_wPort = port;
    channel.m_wTimeout = 250;
    channel.m_wCyclePause = 200;
    // The link-loss quality shows after two faults: the broken exchange and the refused reconnect.
    channel.m_ucFailThreshold = 2;
    channel.m_ucQualityReset = 2;  // OPC_QUALITY_COMM_FAILURE
    return channel;
}

config::opcTagInfo Group(uint32_t id, const char* name) {
    config::opcTagInfo group;
    group.m_dwID = id;
    group.m_ucKind = config::kKindGroup;
    group.m_strName = name;
    group.m_ucDevice = kChannelId;
    group.m_ucDeviceNo = demo::kUnit;
    return group;
}

config::opcTagInfo Tag(uint32_t id, uint32_t parent, const char* name, uint16_t type,
                       uint8_t function, uint16_t address, uint8_t bits) {
    config::opcTagInfo tag;
    tag.m_dwID = id;
    tag.m_dwParentID = parent;
    tag.m_strName = name;
    tag.m_vtType = type;
    tag.m_ucDevice = kChannelId;
    tag.m_ucDeviceNo = demo::kUnit;
    tag.m_ucFunction = function;
    tag.m_dwRegister = address;
    tag.m_ucSize = bits;
    return tag;
}

config::opcTagInfo Scaled(config::opcTagInfo tag, double factor) {
    tag.m_aCorrections = {{kMultiply, 1, factor}};
    return tag;
}

config::opcTagInfo Writable(config::opcTagInfo tag, uint8_t writeFunction) {
    tag.m_ucAccess = config::kAccessReadWrite;
    tag.m_ucWriteFunction = writeFunction;
    tag.m_dwWriteRegister = tag.m_dwRegister;
    return tag;
}

config::CKarvexOPCCfgDoc BoilerHouse(uint16_t port) {
    using namespace demo;
    config::CKarvexOPCCfgDoc doc;
    doc.Devices() = {BoilerHouseChannel(port)};
    config::opcTagInfo water =
        Tag(3, 1, "Water temperature", VT_R4, kReadHolding, kWaterTemperature, 32);
    water.m_ucDataType = 0;  // FLOAT
    config::opcTagInfo burner =
        Tag(6, 1, "Operating seconds", VT_UI4, kReadHolding, kOperatingSeconds, 32);
    burner.m_ucDataType = 1;  // UINT
    config::opcTagInfo pressureLimit = Writable(
        Tag(12, 1, "Pressure limit", VT_R4, kReadHolding, kPressureLimit, 32), kWriteRegisters);
    pressureLimit.m_ucDataType = 0;  // FLOAT
    doc.Elements() = {
        Group(1, "Boiler"),
        water,
        Scaled(Tag(4, 1, "Flue gas temperature", VT_R4, kReadHolding, kFlueGasTemperature, 16),
               0.1),
        Scaled(Tag(5, 1, "Steam pressure", VT_R4, kReadHolding, kSteamPressure, 16), 0.01),
        burner,
        Writable(Scaled(Tag(7, 1, "Temperature setpoint", VT_R4, kReadHolding, kSetpoint, 16), 0.1),
                 kWriteRegister),
        pressureLimit,
        Tag(8, 1, "Outside temperature", VT_I2, kReadInput, kOutsideTemperature, 16),
        Group(2, "Pumps"),
        Tag(9, 2, "Feed pump", VT_BOOL, kReadCoils, kFeedPump, 1),
        Tag(10, 2, "Circulation pump 1", VT_BOOL, kReadCoils, kCirculationPump1, 1),
        Tag(11, 2, "Circulation pump 2", VT_BOOL, kReadCoils, kCirculationPump2, 1),
        Writable(Tag(13, 2, "Circulation mode", VT_UI2, kReadHolding, kCirculationMode, 16),
                 kWriteRegister),
    };
    doc.SetNextTagID(14);
    return doc;
}

}  // namespace

int main(int argc, char** argv) {
    const long port = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: demo-config FILE.scf PORT\n");
        return 2;
    }
    config::CKarvexOPCCfgDoc doc = BoilerHouse(uint16_t(port));
    const uint32_t error = config::SaveDocument(argv[1], &doc);
    if (error != 0) {
        std::fprintf(stderr, "demo-config: cannot write %s (error %u)\n", argv[1], error);
        return 1;
    }
    return 0;
}
