// KarvexOPC-Modbus: the server program. It wires the channel threads in by type letter and
// hands the command line to the core.

#include "core/main.h"
#include "modbus/worker.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    platform::AttachParentConsole();
    core::RegisterChannelWorker('d', modbus::ModbusTcpWorker);
    // The RTU workers and the remote receiver are not part of this build yet: their channels
    // get a thread that only keeps running while clients hold the server.
    for (const uint8_t type : {'e', 'f', 'g'}) {
        core::RegisterChannelWorker(type, core::IdleChannelWorker);
    }
    return core::Main(platform::CommandLineTail(argc, argv));
}
