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
// The Modbus-RTU worker on a COM port ('e' channels).
void RtuSerialWorker(core::Server* server, uint8_t channelId);
// The Modbus-RTU worker over a TCP connection, as to a serial-to-Ethernet converter ('f').
void RtuOverTcpWorker(core::Server* server, uint8_t channelId);

// The waits of a worker (those of the Modbus-TCP worker here; each kind has its own); tests
// shorten them.
struct WorkerTimings {
    uint32_t listingDelayMs = 1000;   // between planning and the request listing
    uint32_t connectRetryMs = 10000;  // also between tries to open a serial port
    uint32_t lossPauseMs = 100;       // after a connection loss, before connecting again
    uint32_t afterConnectMs = 0;      // before the first cycle on a new connection
    uint32_t afterRequestMs = 0;      // after every request, before the packet pause
    uint32_t drainFirstMs = 500;
    uint32_t drainAfterMs = 25;
};

// The waits of the worker of type letter 'd', 'e' or 'f'.
WorkerTimings DefaultTimings(uint8_t type);

// The worker of type letter 'd', 'e' or 'f' with the given waits: 0 after a normal end, 1 when
// the sockets library cannot be started.
int RunWorker(core::Server* server, uint8_t type, uint8_t channelId, const WorkerTimings& timings);
int RunModbusTcpWorker(core::Server* server, uint8_t channelId, const WorkerTimings& timings);

}  // namespace modbus
