#pragma once
// The device workers: one thread per Modbus channel, started by Main by the channel's type
// letter. Each plans its requests, polls them cycle after cycle over its link, stores the
// answers, carries out client writes and clock settings, keeps the statistics and reconnects
// by itself; it ends when no client holds the server.

#include <cstdint>

#include "core/server.h"

namespace modbus {

// The Modbus-TCP worker ('d' channels).
void ModbusTcpWorker(core::Server* server, uint8_t channelId);

// The waits of a worker; tests shorten them.
struct WorkerTimings {
    uint32_t listingDelayMs = 1000;  // between planning and the request listing
    uint32_t connectRetryMs = 10000;
    uint32_t lossPauseMs = 100;  // after a connection loss, before connecting again
    uint32_t drainFirstMs = 500;
    uint32_t drainAfterMs = 25;
};

// The Modbus-TCP worker with the given waits: 0 after a normal end, 1 when the sockets library
// cannot be started.
int RunModbusTcpWorker(core::Server* server, uint8_t channelId, const WorkerTimings& timings);

}  // namespace modbus
