#pragma once
// The sample content of the fixture files (tests/data/make_fixtures.py writes the same values)
// and the path of the fixture folder.

#include <string>

#include "config/records.h"
#include "platform/codepage.h"

namespace sample {

inline std::string Cp(const char* utf8) {
    return platform::Utf8ToCp1251(utf8);
}

inline std::string DataFile(const std::string& name) {
    return std::string(KARVEX_TEST_DATA) + "/" + name;
}

inline config::opcTagInfo Group() {
    config::opcTagInfo e;
    e.m_dwID = 5;
    e.m_dwParentID = 0;
    e.m_ucKind = config::kKindGroup;
    e.m_strName = Cp("Котёл");
    e.m_strComment = Cp("Группа котла");
    e.m_strRange = "";
    e.m_strShortName = "K1";
    e.m_vtType = 4;
    e.m_ucDevice = 0;
    e.m_ucDeviceNo = 3;
    e.m_ucReserved = 0;
    e.m_ucFunction = 3;
    e.m_dwRegister = 100;
    e.m_ucSize = 16;
    e.m_ucAccess = 0;
    e.m_ucWriteFunction = 6;
    e.m_dwWriteRegister = 1;
    e.m_ucGroupNo = 0;
    e.m_dwPublish = 1;
    e.m_ucPriority = 2;
    e.m_ucDataType = 0;
    e.m_ucByteOrder = 0;
    e.m_dwIdentifier = 0;
    e.m_ucGroupType = config::kGroupTypeDevice;
    return e;
}

inline config::opcTagInfo Temperature() {
    config::opcTagInfo e;
    e.m_dwID = 9;
    e.m_dwParentID = 5;
    e.m_ucKind = config::kKindTag;
    e.m_strName = Cp("Температура");
    e.m_strComment = Cp("Вода на выходе");
    e.m_strRange = "0..150";
    e.m_strShortName = "T1";
    e.m_vtType = 5;
    e.m_ucDevice = 0;
    e.m_ucDeviceNo = 3;
    e.m_ucReserved = 7;
    e.m_ucFunction = 4;
    e.m_dwRegister = 70000;
    e.m_ucSize = 32;
    e.m_ucAccess = 1;
    e.m_ucWriteFunction = 16;
    e.m_dwWriteRegister = 70002;
    e.m_ucGroupNo = 4;
    e.m_dwPublish = 1;
    e.m_ucPriority = 3;
    e.m_ucDataType = 2;
    e.m_ucByteOrder = 3;
    e.m_dwIdentifier = 123456;
    e.m_ucGroupType = config::kGroupTypeGroup;
    e.m_aCorrections = {{2, 1, 0.1}, {1, 1, -273.15}};
    return e;
}

inline config::opcTagInfo Alarm() {
    config::opcTagInfo e;
    e.m_dwID = 12;
    e.m_dwParentID = 0;
    e.m_ucKind = config::kKindTag;
    e.m_strName = "Alarm";
    e.m_vtType = 11;
    e.m_ucDevice = 1;
    e.m_ucDeviceNo = 1;
    e.m_ucReserved = 0;
    e.m_ucFunction = 1;
    e.m_dwRegister = 8;
    e.m_ucSize = 1;
    e.m_ucAccess = 0;
    e.m_ucWriteFunction = 5;
    e.m_dwWriteRegister = 8;
    e.m_ucGroupNo = 0;
    e.m_dwPublish = 1;
    e.m_ucPriority = 1;
    e.m_ucDataType = 1;
    e.m_ucByteOrder = 1;
    e.m_dwIdentifier = 0;
    e.m_ucGroupType = config::kGroupTypeGroup;
    e.m_aCorrections = {{12, 1, 0.0}};
    return e;
}

inline config::opcDeviceInfo Cabinet() {
    config::opcDeviceInfo d;
    d.m_strName = Cp("Шкаф 1");
    d.m_strAddress = "192.168.1.10";
    d.m_wPort = 1502;
    d.m_ucSlot = 3;
    d.m_ucID = 0;
    d.m_ucFailThreshold = 5;
    d.m_wCyclePause = 100;
    d.m_wTimeout = 1000;
    d.m_ucType = 102;
    d.m_ucComPort = 4;
    d.m_dwBaudRate = 19200;
    d.m_ucStopBits = 2;
    d.m_ucParity = 2;
    d.m_ucDisconnect = 1;
    d.m_wPacketPause = 20;
    d.m_ucQualityReset = 10;
    return d;
}

inline config::opcDeviceInfo Rtu() {
    config::opcDeviceInfo d;
    d.m_strName = "RTU";
    d.m_strAddress = "10.0.0.2";
    d.m_wPort = 503;
    d.m_ucSlot = 1;
    d.m_ucID = 1;
    d.m_ucFailThreshold = 7;
    d.m_wCyclePause = 50;
    d.m_wTimeout = 300;
    d.m_ucType = 101;
    d.m_ucComPort = 2;
    d.m_dwBaudRate = 115200;
    d.m_ucStopBits = 1;
    d.m_ucParity = 1;
    d.m_ucDisconnect = 0;
    d.m_wPacketPause = 5;
    d.m_ucQualityReset = 2;
    return d;
}

inline std::vector<config::opcParameter> Parameters() {
    return {{"TIME_SYNCH_KARVEX", "0,0,3,60"}, {"DEVICE_REQUEST_MAXSIZE", "0,3,3,20"}};
}

constexpr uint32_t kNextID = 20;

}  // namespace sample
