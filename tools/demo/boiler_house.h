#pragma once
// The demo's boiler house: its field devices and where their values live. The simulator
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

// The burner controller: Modbus-RTU on a serial line.
namespace burner {
constexpr uint8_t kUnit = 2;
// Coils (function 1).
constexpr uint16_t kFlame = 0;
// Holding registers (function 3).
constexpr uint16_t kPower = 0;           // %
constexpr uint16_t kFuelValve = 1;       // tenths of % open
constexpr uint16_t kFuelFlow = 2;        // IEEE single, high word first, m³/h
constexpr uint16_t kPowerSetpoint = 10;  // %, written by OPC clients
constexpr uint16_t kInitialPowerSetpoint = 60;
}  // namespace burner

// The water-treatment unit: Modbus-RTU behind a serial-to-Ethernet converter.
namespace water {
constexpr uint8_t kUnit = 3;
// Input registers (function 4).
constexpr uint16_t kConductivity = 0;  // µS/cm
constexpr uint16_t kPh = 1;            // pH × 100
// Holding registers (function 3), written by OPC clients.
constexpr uint16_t kDosingMode = 0;  // 0 off, 1 automatic, 2 manual (always dosing)
// Coils (function 1).
constexpr uint16_t kDosingPump = 0;
}  // namespace water

}  // namespace demo
