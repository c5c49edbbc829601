// demo-config: writes the demo's configuration file with the configurator's own store, for a
// boiler house simulator listening on 127.0.0.1 at the given port: its Modbus-TCP device, the
// burner controller on COM1 and, when a converter port is given, the water-treatment unit behind
// that converter.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boiler_house.h"
#include "config/records.h"
#include "config/scf_file.h"
#include "platform/com.h"

namespace {

// Channel ids; the tags of the first channel keep the ids they had before the RTU devices came.
constexpr uint8_t kBoilerChannel = 0;
constexpr uint8_t kBurnerChannel = 1;
constexpr uint8_t kWaterChannel = 2;
constexpr uint8_t kRtuSerial = 'e';
constexpr uint8_t kRtuOverTcp = 'f';
enum : uint8_t { kReadCoils = 1, kReadHolding = 3, kReadInput = 4 };
enum : uint8_t { kWriteRegister = 6, kWriteRegisters = 16 };
enum : uint8_t { kMultiply = 2 };

config::opcDeviceInfo BoilerHouseChannel(uint16_t port) {
    config::opcDeviceInfo channel;
    channel.m_strName = "Boiler house";
    channel.m_ucID = kBoilerChannel;
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

// Same link-loss behaviour as the Modbus-TCP channel, so the client shows all three alike.
config::opcDeviceInfo RtuChannel(const char* name, uint8_t id, uint8_t type) {
    config::opcDeviceInfo channel = BoilerHouseChannel(0);
    channel.m_strName = name;
    channel.m_ucID = id;
    channel.m_ucType = type;
    channel.m_wPort = 0;
    return channel;
}

config::opcDeviceInfo BurnerChannel() {
    config::opcDeviceInfo channel = RtuChannel("Burner", kBurnerChannel, kRtuSerial);
    channel.m_ucComPort = 1;
    channel.m_dwBaudRate = 9600;
    channel.m_ucParity = 0;
    channel.m_ucStopBits = 1;
    return channel;
}

config::opcDeviceInfo WaterChannel(uint16_t converterPort) {
    config::opcDeviceInfo channel = RtuChannel("Water treatment", kWaterChannel, kRtuOverTcp);
    channel.m_strAddress = "127.0.0.1";
    channel.m_wPort = converterPort;
    return channel;
}

// Where a tag's value comes from: the channel and the field device on it.
struct Source {
    uint8_t channel;
    uint8_t unit;
};
constexpr Source kBoiler{kBoilerChannel, demo::kUnit};
constexpr Source kBurner{kBurnerChannel, demo::burner::kUnit};
constexpr Source kWater{kWaterChannel, demo::water::kUnit};

config::opcTagInfo Group(uint32_t id, const char* name, Source source = kBoiler) {
    config::opcTagInfo group;
    group.m_dwID = id;
    group.m_ucKind = config::kKindGroup;
    group.m_strName = name;
    group.m_ucDevice = source.channel;
    group.m_ucDeviceNo = source.unit;
    return group;
}

config::opcTagInfo Tag(uint32_t id, uint32_t parent, const char* name, uint16_t type,
                       uint8_t function, uint16_t address, uint8_t bits, Source source = kBoiler) {
    config::opcTagInfo tag;
    tag.m_dwID = id;
    tag.m_dwParentID = parent;
    tag.m_strName = name;
    tag.m_vtType = type;
    tag.m_ucDevice = source.channel;
    tag.m_ucDeviceNo = source.unit;
    tag.m_ucFunction = function;
    tag.m_dwRegister = address;
    tag.m_ucSize = bits;
    return tag;
}

config::opcTagInfo Float(config::opcTagInfo tag) {
    tag.m_ucDataType = 0;  // FLOAT
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

std::vector<config::opcTagInfo> BurnerTags() {
    using namespace demo::burner;
    return {
        Group(14, "Burner", kBurner),
        Tag(15, 14, "Flame", VT_BOOL, kReadCoils, kFlame, 1, kBurner),
        Tag(16, 14, "Power", VT_UI2, kReadHolding, kPower, 16, kBurner),
        Scaled(Tag(17, 14, "Fuel valve", VT_R4, kReadHolding, kFuelValve, 16, kBurner), 0.1),
        Float(Tag(18, 14, "Fuel flow", VT_R4, kReadHolding, kFuelFlow, 32, kBurner)),
        Writable(Tag(19, 14, "Power setpoint", VT_UI2, kReadHolding, kPowerSetpoint, 16, kBurner),
                 kWriteRegister),
    };
}

std::vector<config::opcTagInfo> WaterTags() {
    using namespace demo::water;
    return {
        Group(20, "Water treatment", kWater),
        Scaled(Tag(21, 20, "pH", VT_R4, kReadInput, kPh, 16, kWater), 0.01),
        Tag(22, 20, "Conductivity", VT_UI2, kReadInput, kConductivity, 16, kWater),
        Writable(Tag(23, 20, "Dosing mode", VT_UI2, kReadHolding, kDosingMode, 16, kWater),
                 kWriteRegister),
        Tag(24, 20, "Dosing pump", VT_BOOL, kReadCoils, kDosingPump, 1, kWater),
    };
}

config::CKarvexOPCCfgDoc BoilerHouse(uint16_t port, uint16_t converterPort) {
    using namespace demo;
    config::CKarvexOPCCfgDoc doc;
    doc.Devices() = {BoilerHouseChannel(port), BurnerChannel()};
    if (converterPort != 0) doc.Devices().push_back(WaterChannel(converterPort));
    const config::opcTagInfo water =
        Float(Tag(3, 1, "Water temperature", VT_R4, kReadHolding, kWaterTemperature, 32));
    config::opcTagInfo burner =
        Tag(6, 1, "Operating seconds", VT_UI4, kReadHolding, kOperatingSeconds, 32);
    burner.m_ucDataType = 1;  // UINT
    const config::opcTagInfo pressureLimit = Float(Writable(
        Tag(12, 1, "Pressure limit", VT_R4, kReadHolding, kPressureLimit, 32), kWriteRegisters));
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
    const std::vector<config::opcTagInfo> burnerTags = BurnerTags();
    doc.Elements().insert(doc.Elements().end(), burnerTags.begin(), burnerTags.end());
    if (converterPort != 0) {
        const std::vector<config::opcTagInfo> waterTags = WaterTags();
        doc.Elements().insert(doc.Elements().end(), waterTags.begin(), waterTags.end());
    }
    doc.SetNextTagID(25);
    return doc;
}

// A TCP port from the command line, 0 when it is not one.
uint16_t PortArgument(const char* text) {
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    return *end == '\0' && port > 0 && port <= 65535 ? uint16_t(port) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint16_t port = argc == 3 || argc == 4 ? PortArgument(argv[2]) : 0;
    const uint16_t converterPort = argc == 4 ? PortArgument(argv[3]) : 0;
    if (port == 0 || (argc == 4 && converterPort == 0)) {
        std::fprintf(stderr, "usage: demo-config FILE.scf PORT [CONVERTER_PORT]\n");
        return 2;
    }
    config::CKarvexOPCCfgDoc doc = BoilerHouse(port, converterPort);
    const uint32_t error = config::SaveDocument(argv[1], &doc);
    if (error != 0) {
        std::fprintf(stderr, "demo-config: cannot write %s (error %u)\n", argv[1], error);
        return 1;
    }
    return 0;
}
