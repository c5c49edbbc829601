// KarvexOPC-Modbus: the server program. It wires the channel threads in by type letter and
// hands the command line to the core.

#include "core/main.h"
#include "modbus/worker.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    platform::AttachParentConsole();
    core::RegisterChannelWorker('d', modbus::ModbusTcpWorker);
    core::RegisterChannelWorker('e', modbus::RtuSerialWorker);
    core::RegisterChannelWorker('f', modbus::RtuOverTcpWorker);
    // The remote receiver is not part of this build yet: its channels get a thread that only
    // keeps running while clients hold the server.
    core::RegisterChannelWorker('g', core::IdleChannelWorker);
    return core::Main(platform::CommandLineTail(argc, argv));
}
