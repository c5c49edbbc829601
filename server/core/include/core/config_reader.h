#pragma once
// The server's reader of the configuration file: it checks the file's leading version word,
// finds the section marker and reads the tag-information section, handing every tag, device
// and parameter to a sink as soon as its record is complete. Texts are Windows-1251.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log/kvlog.h"

namespace core {

struct ConfigCorrection {
    uint32_t m_dwReserved = 0;
    uint8_t m_ucOperation = 0;
    double m_dParam = 0.0;

    bool operator==(const ConfigCorrection&) const = default;
};

// A tag record of the section; fields that the section's version does not carry are zero or
// empty.
struct ConfigTag {
    uint32_t m_dwID = 0;
    uint16_t m_vtType = 0;
    std::string m_strName;  // the element path, the tag's OPC item name
    std::string m_strComment;
    std::string m_strShortName;
    uint8_t m_ucReserved = 0;
    uint8_t m_ucDeviceNo = 0;
    uint8_t m_ucDevice = 0;
    uint8_t m_ucFunction = 0;
    uint32_t m_dwRegister = 0;
    uint8_t m_ucSize = 0;
    uint8_t m_ucAccess = 0;
    uint8_t m_ucWriteFunction = 0;
    uint32_t m_dwWriteRegister = 0;
    uint8_t m_ucGroupNo = 0;
    uint8_t m_ucPriority = 0;
    uint8_t m_ucDataType = 0;
    uint8_t m_ucByteOrder = 0;
    uint32_t m_dwIdentifier = 0;
    uint32_t m_dwParentID = 0;
    std::vector<ConfigCorrection> m_aCorrections;

    bool operator==(const ConfigTag&) const = default;
};

// A group of type "device"; the server reads these and does not use them.
struct ConfigGroup {
    uint32_t m_dwID = 0;
    uint32_t m_dwParentID = 0;
    std::string m_strName;
    std::string m_strShortName;
    uint8_t m_ucDeviceNo = 0;
    uint8_t m_ucDevice = 0;

    bool operator==(const ConfigGroup&) const = default;
};

// A device record (the server's channel); fields the version does not carry keep the channel
// defaults.
struct ConfigDevice {
    std::string m_strName = "Device";
    std::string m_strAddress = "127.0.0.1";
    uint8_t m_ucSlot = 0;
    uint16_t m_wPort = 502;
    uint8_t m_ucID = 0;
    uint8_t m_ucFailThreshold = 3;
    uint16_t m_wCyclePause = 0;
    uint16_t m_wTimeout = 250;
    uint8_t m_ucType = 100;  // 'd'
    uint8_t m_ucComPort = 1;
    uint32_t m_dwBaudRate = 9600;
    uint8_t m_ucStopBits = 1;
    uint8_t m_ucParity = 0;
    uint8_t m_ucDisconnect = 0;
    uint16_t m_wPacketPause = 0;
    uint8_t m_ucQualityReset = 0;

    bool operator==(const ConfigDevice&) const = default;
};

// What the server core does with the records, in file order.
class ConfigSink {
public:
    virtual ~ConfigSink() = default;
    virtual void AddTag(ConfigTag&& tag) = 0;
    virtual void AddGroup(const ConfigGroup&) {}
    virtual void AddDevice(const ConfigDevice& device) = 0;
    // Called once after the devices (or where the read stopped), before any parameter: every
    // tag and device that will be delivered has been.
    virtual void DevicesComplete() = 0;
    virtual void SetParameter(const std::string& name, const std::string& value) = 0;
};

// Which items a version of the tag-information section carries.
struct TagInfoLayout {
    bool tagComment = false;
    bool tagShortName = false;
    bool tagPriority = false;
    bool tagDataTypeAndByteOrder = false;
    bool tagIdentifier = false;
    bool tagParentID = false;
    bool groups = false;
    bool deviceFailThresholdAndCyclePause = false;  // in 101 read and discarded
    bool keepsFailThresholdAndCyclePause = false;
    bool deviceTimeout = false;
    bool deviceSerial = false;  // type, COM port, baud rate, stop bits, parity
    bool deviceDisconnectAndPacketPause = false;
    bool deviceQualityReset = false;
    bool parameters = false;
    bool checksTextLength = false;      // a long text gets an error line
    bool reportedAsOldVersion = false;  // loaded, then logged as not supported
};
// False for a version the server does not read (it reads 100 to 114 but 104 and 108).
bool TagInfoLayoutOf(uint32_t version, TagInfoLayout* layout);

enum class ReadStatus {
    kLoaded,              // including versions 100 to 106, which are loaded and then reported
    kUnsupportedVersion,  // nothing delivered
    kNotConfiguration,    // leading version below 100 or no marker: the server stops
    kTruncated,           // the data ended early; what was delivered stays valid
    kCannotOpen,
};

struct ReadReport {
    ReadStatus status = ReadStatus::kNotConfiguration;
    uint32_t fileVersion = 0;
    uint32_t sectionVersion = 0;
    uint64_t markerOffset = 0;  // of the marker's first byte, when found
    uint32_t devices = 0;       // devices delivered
};

enum class Logging { kOn, kOff };

// Reads the tag-information section from the file's bytes, writing the "LoadConfig:" lines to
// the log (kOff for tools that only want the records).
ReadReport ReadTagInformation(std::string_view file, kvlog::Handle log, ConfigSink& sink,
                              Logging logging = Logging::kOn);
// Opens the file (shared read) and reads it as above, with the lines about opening it.
ReadReport LoadTagInformation(const std::string& path, kvlog::Handle log, ConfigSink& sink);

}  // namespace core
