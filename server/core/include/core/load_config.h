#pragma once
// Loading at start: the server's settings from the per-user registry key, then the active
// configuration file into the runtime tables. Everything is logged with "LoadConfig:".

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/runtime.h"
#include "log/kvlog.h"

namespace core {

constexpr std::string_view kSettingsKey = "Software\\KB Karvex\\KarvexOPCCfg\\Settings";

struct ServerSettings {
    std::string g_sTXServer;
    std::string g_sAuthKey;
    uint16_t g_wTXPort = 0;
    uint16_t g_wRXPort = 0;
    std::vector<uint8_t> g_ucTXDevices;  // its size is the count byte
    uint32_t b_lockserver = 0;
    uint32_t g_cache_update_delay = 100;  // ms
    // 0: groups report only changed values and apply their percent deadband.
    uint32_t b_sendallupdates = 1;
    std::string datafile;  // empty when unreadable
};

// 0 on success, also when the server is to run without configuration; 1 when the file is not
// a configuration file. Tests pass a key of their own.
int LoadConfig(RuntimeTables* tables, ServerSettings* settings, kvlog::Handle log,
               std::string_view settingsKey = kSettingsKey);

// What LoadConfig hands the file reader: fills the tables, attaches the tags' field devices once
// the devices are known and interprets the parameters.
std::unique_ptr<ConfigSink> MakeTableSink(RuntimeTables* tables, kvlog::Handle log,
                                          Logging logging = Logging::kOn);

// Interprets one named parameter of the configuration.
void LoadConfig(RuntimeTables* tables, kvlog::Handle log, const std::string& name,
                const std::string& value);

}  // namespace core
