#pragma once
// The demo's boiler house: one Modbus-TCP field device and where its values live. The simulator
// serves them and the demo configuration reads them, so both take them from here.

#include <cstdint>

namespace demo {

constexpr uint8_t kUnit = 1;

// Holding registers (function 3).
constexpr uint16_t kWaterTemperature = 0;    // IEEE single, high word first, °C
constexpr uint16_t kFlueGasTemperature = 2;  // tenths of °C
constexpr uint16_t kSteamPressure = 3;       // hundredths of bar
constexpr uint16_t kOperatingSeconds = 4;    // 32-bit counter of seconds, high word first
// Written by OPC clients.
constexpr uint16_t kSetpoint = 10;  // tenths of °C
constexpr uint16_t kInitialSetpoint = 700;
constexpr uint16_t kPressureLimit = 12;  // IEEE single, high word first, bar
constexpr float kInitialPressureLimit = 6.0f;
constexpr uint16_t kCirculationMode = 14;  // 0 the pumps take turns, 1 pump 1 only, 2 pump 2 only

// Input registers (function 4).
constexpr uint16_t kOutsideTemperature = 0;  // signed °C

// Coils (function 1).
constexpr uint16_t kFeedPump = 0;
constexpr uint16_t kCirculationPump1 = 1;
constexpr uint16_t kCirculationPump2 = 2;

}  // namespace demo
