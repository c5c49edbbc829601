#pragma once
// The configuration records: plain values copied between the document, its views and dialogs.
// Texts are Windows-1251 bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace config {

// Element kinds (m_ucKind).
enum : uint8_t { kKindContainer = 1, kKindGroup = 2, kKindTag = 3 };
// Group types (m_ucGroupType).
enum : uint8_t { kGroupTypeGroup = 2, kGroupTypeDevice = 4 };
// Access modes (m_ucAccess).
enum : uint8_t { kAccessRead = 0, kAccessReadWrite = 1, kAccessWrite = 2 };
// m_ucDevice of an element that has no device chosen.
constexpr uint8_t kNoDevice = 255;

struct CorrectionInfo {
    uint8_t m_ucOperation = 0;
    uint32_t m_dwReserved = 1;
    double m_dParam = 0.0;

    bool operator==(const CorrectionInfo&) const = default;
};

struct opcTagInfo {
    // Takes the tick count as a provisional identifier; creators overwrite it.
    opcTagInfo();

    uint32_t m_dwID;
    uint32_t m_dwParentID = 0;
    std::string m_strShortName;
    std::string m_strName = "Tag";
    std::string m_strComment;
    std::string m_strRange;
    uint16_t m_vtType = 4;  // VT_R4
    uint8_t m_ucKind = kKindTag;
    uint8_t m_ucDeviceNo = 1;
    uint8_t m_ucDevice = kNoDevice;
    uint8_t m_ucFunction = 1;
    uint32_t m_dwRegister = 0;
    uint8_t m_ucSize = 8;
    uint8_t m_ucWriteFunction = 6;
    uint32_t m_dwWriteRegister = 1;
    uint8_t m_ucReserved = 0;
    uint8_t m_ucAccess = kAccessRead;
    uint8_t m_ucGroupNo = 0;
    uint8_t m_ucGroupType = kGroupTypeGroup;
    uint32_t m_dwPublish = 1;
    uint8_t m_ucPriority = 0;
    uint8_t m_ucDataType = 0;
    uint8_t m_ucByteOrder = 0;
    uint32_t m_dwIdentifier = 0;
    std::vector<CorrectionInfo> m_aCorrections;

    bool operator==(const opcTagInfo&) const = default;
};

struct opcDeviceInfo {
    std::string m_strAddress = "127.0.0.1";
    std::string m_strName = "Device";
    uint8_t m_ucType = 100;  // 'd', Modbus-TCP
    uint16_t m_wPort = 502;
    uint8_t m_ucSlot = 0;
    uint8_t m_ucID = 0;  // the document gives a new device its position
    uint8_t m_ucFailThreshold = 3;
    uint16_t m_wCyclePause = 0;
    uint16_t m_wPacketPause = 0;
    uint16_t m_wTimeout = 250;
    uint8_t m_ucDisconnect = 0;
    uint8_t m_ucQualityReset = 0;
    uint8_t m_ucStopBits = 1;
    uint8_t m_ucParity = 0;
    uint32_t m_dwBaudRate = 9600;
    uint8_t m_ucComPort = 1;

    bool operator==(const opcDeviceInfo&) const = default;
};

struct opcParameter {
    std::string m_strName;
    std::string m_strValue;

    bool operator==(const opcParameter&) const = default;
};

}  // namespace config
