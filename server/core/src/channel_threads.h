#pragma once
// The channel threads' second start: the workers end whenever no client holds the server, and
// the server may outlive that ("lock server", a client that comes back).

#include "core/server.h"

namespace core {

// While a client holds the server, starts again every thread Main started at start-up that has
// ended since. The main thread only.
void StartEndedChannelThreads(Server* server);

}  // namespace core
