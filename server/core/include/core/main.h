#pragma once
// The server program's own logic: registration from the command line, or start-up, the cache
// update cycle while clients hold the server, and shutdown. The program's entry wires the
// channel threads in by type letter, so the core never includes a worker.

#include <cstdint>
#include <functional>
#include <string>

#include "core/server.h"
#include "platform/com.h"

namespace core {

// The one OPC server class of the program.
extern const CLSID kServerClassId;
constexpr const char* kServerProgId = "KarvexOPC-modbus";
constexpr const char* kLogBaseName = "KarvexOPC-modbus";
constexpr const char* kLogFileName = "karvexopc-modbus.log";
constexpr const char* kBanner = "KarvexOPC-Modbus OPC Server 6.1.16.6127";

// The thread of a channel: runs while its run condition holds, then calls ChannelThreadEnded.
using ChannelWorker = void (*)(Server* server, uint8_t channelId);
// Main starts a thread of this worker for every channel of that type letter. 'g' channels get
// one thread per distinct endpoint.
void RegisterChannelWorker(uint8_t typeLetter, ChannelWorker worker);
// Clears the thread field of the channel with that id; the last thing a worker does.
void ChannelThreadEnded(Server* server, uint8_t channelId);
// A channel thread that does nothing but wait while a client holds the server.
void IdleChannelWorker(Server* server, uint8_t channelId);

struct MainOptions {
    std::string settingsKey{kSettingsKey};
    Pauses pauses;
    CLSID classId = kServerClassId;
    std::string logBaseName{kLogBaseName};
    std::string logPath;  // empty: the log file beside the program
    // Called once the server runs (class registered, threads started), before the cycle.
    std::function<void(Server&)> started;
};

// Returns 0 in every case, as the program's exit code.
int Main(const std::string& commandLine, const MainOptions& options = {});

}  // namespace core
