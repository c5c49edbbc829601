// The wording of the engine's lines for each worker kind: Modbus-TCP names the device by channel
// name and address, the RTU serial worker by its COM port, RTU over TCP mostly as Modbus-TCP.

#include "link.h"

namespace modbus {

std::string NoticeDump(kvlog::Handle log, const uint8_t* bytes, size_t size) {
    return kvlog::Enabled(log, kvlog::kNotice) ? HexDump(bytes, size) : std::string();
}

void ModbusTcpLine(const AnswerLog& log, const LinkLine& line) {
    const char* name = log.channel.c_str();
    const char* address = log.address.c_str();
    const auto value = static_cast<unsigned>(line.value);
    switch (line.kind) {
        case LinkLineKind::kStarted:
            kvlog::Info(log.log,
                        "WriteData: %s started, device id %u, packet delay %u, cycle delay %u",
                        name, value, unsigned{line.start}, unsigned{line.count});
            return;
        case LinkLineKind::kOpenFailed:
            kvlog::Error(log.log, "WriteData: %s connecting to device %s (%s)... ERROR %d", name,
                         name, address, static_cast<int>(line.value));
            return;
        case LinkLineKind::kOpened:
            kvlog::Info(log.log, "WriteData: %s connecting to device %s (%s)... OK, socket=%d",
                        name, name, address, static_cast<int>(line.handle));
            return;
        case LinkLineKind::kLost:
            kvlog::Error(log.log,
                         "WriteData: %s restarting thread due to possible connection loss to "
                         "device %s (%s), socket=%d",
                         name, name, address, static_cast<int>(line.handle));
            return;
        case LinkLineKind::kSkippedSend:
            kvlog::Notice(log.log, "WriteData: %s Device %u, skipping transmission ", name,
                          line.unit);
            return;
        case LinkLineKind::kSkippedReceive:
            kvlog::Notice(log.log, "WriteData: %s Device %u, skipping reception", name, line.unit);
            return;
        case LinkLineKind::kSent:
            kvlog::Notice(
                log.log, "WriteData: %s device %s (%s), Modbus device %u, packet sent: %s", name,
                name, address, line.unit, NoticeDump(log.log, line.bytes, line.size).c_str());
            return;
        case LinkLineKind::kTxComplete:
            kvlog::Trace(log.log, "WriteData: %s tx complete", name);
            return;
        case LinkLineKind::kSendFailed:
            kvlog::Error(log.log, "WriteData: %s waiting to send: select - error %d, socket=%d",
                         name, static_cast<int>(line.value), static_cast<int>(line.handle));
            return;
        case LinkLineKind::kSendIncomplete:
            kvlog::Error(log.log, "WriteData: %s failed to send all data", name);
            return;
        case LinkLineKind::kNoResponse:
            kvlog::Warning(log.log,
                           "WriteData: %s waiting answer: select - no TCP response received", name);
            return;
        case LinkLineKind::kArrived:
            kvlog::Trace(log.log, "WriteData: %s rx queue waiting finished, queued %u bytes.", name,
                         1u);
            return;
        case LinkLineKind::kReceived:
            kvlog::Notice(
                log.log,
                "WriteData: %s device %s (%s), Modbus device %u, packet received (len=%u): %s",
                name, name, address, line.unit, static_cast<unsigned>(line.size),
                NoticeDump(log.log, line.bytes, line.size).c_str());
            return;
        case LinkLineKind::kNoAnswer:
            kvlog::Warning(log.log,
                           "WriteData: %s Device %s (%s), Modbus device %u, function %u - NO "
                           "ANSWER",
                           name, name, address, line.unit, line.function);
            return;
        case LinkLineKind::kErrorAnswer:
            kvlog::Error(log.log,
                         "WriteData: %s Device %s (%s), Modbus device %u, function no %u: ERROR",
                         name, name, address, line.unit, line.function);
            return;
        case LinkLineKind::kException:
            kvlog::Error(log.log,
                         "WriteData: %s Device %s (%s), Modbus device %u, function no %u: error "
                         "(0x80) returned, %s, code=%u, start reg=%u, num reg=%u",
                         name, name, address, line.unit, line.function, ExceptionText(line.code),
                         unsigned{line.code}, unsigned{line.start}, unsigned{line.count});
            return;
        case LinkLineKind::kDrain:
            kvlog::Warning(log.log, "WriteData: %s Exception occured, waiting for data remnants",
                           name);
            return;
        case LinkLineKind::kPacketPause:
            kvlog::Debug(log.log, "WriteData: %s Starting packet pause...", name);
            return;
        case LinkLineKind::kPacketPaused:
            kvlog::Debug(log.log, "WriteData: %s Packet pause completed.", name);
            return;
        case LinkLineKind::kCyclePause:
            kvlog::Trace(log.log, "WriteData: %s Starting cycle pause...", name);
            return;
        case LinkLineKind::kCyclePaused:
            kvlog::Trace(log.log, "WriteData: %s Cycle pause completed.", name);
            return;
        case LinkLineKind::kRetriesLeft:
            kvlog::Warning(log.log,
                           "WriteData: %s Device %s (%s), Modbus device %u command TX failed, "
                           "retries left: %u",
                           name, name, address, line.unit, value);
            return;
        case LinkLineKind::kAborted:
            kvlog::Warning(log.log,
                           "WriteData: %s Device %s (%s), Modbus device %u command %s, aborting TX",
                           name, name, address, line.unit, line.text);
            return;
        case LinkLineKind::kStepOk:
            kvlog::Trace(log.log,
                         "Device %u cmd status: C_DEVICE_COMMAND_STATUS_COMMANDOK_GOTOSTEP2",
                         line.unit);
            return;
        case LinkLineKind::kCommandOk:
            kvlog::Trace(log.log, "Device %u cmd status: C_DEVICE_COMMAND_STATUS_COMMANDOK",
                         line.unit);
            return;
        case LinkLineKind::kRaised:
            kvlog::Info(log.log, "WriteData: %s raising device %u requests priority", name,
                        line.unit);
            return;
        case LinkLineKind::kRestored:
        case LinkLineKind::kRequestDone:
            return;
        case LinkLineKind::kFinished:
            kvlog::Info(log.log, "WriteData: finished normally, device id %u", value);
            return;
    }
}

void RtuSerialLine(const AnswerLog& log, const LinkLine& line) {
    const char* name = log.channel.c_str();
    const unsigned port = log.comPort;
    const auto value = static_cast<unsigned>(line.value);
    switch (line.kind) {
        case LinkLineKind::kStarted:
            kvlog::Info(log.log, "WriteData: %s started", name);
            kvlog::Trace(log.log, "WriteData: %s device id %u", name, value);
            kvlog::Trace(log.log, "WriteData: %s selected device id=%u", name, value);
            kvlog::Debug(log.log, "WriteData: %s  total tags count: %u", name,
                         static_cast<unsigned>(line.size));
            return;
        case LinkLineKind::kOpenFailed:
            kvlog::Error(log.log, "WriteData: %s cannot open serial port COM%u, exit.", name, port);
            return;
        case LinkLineKind::kOpened:
            kvlog::Info(log.log, "WriteData: %s connecting to device %s... OK", name, name);
            return;
        case LinkLineKind::kLost:
            // Not the end of the channel: the port is opened again until the device is back.
            kvlog::Error(log.log, "WriteData: %s port COM%u lost, opening it again", name, port);
            return;
        case LinkLineKind::kSkippedReceive:
            kvlog::Notice(log.log, "WriteData: %s port COM%u device %u, skipping reception", name,
                          port, line.unit);
            return;
        case LinkLineKind::kSent:
            kvlog::Trace(log.log, "WriteData: %s port COM%u tx complete", name, port);
            kvlog::Notice(log.log, "WriteData: %s port COM%u, Modbus device %u, packet sent: %s",
                          name, port, line.unit,
                          NoticeDump(log.log, line.bytes, line.size).c_str());
            return;
        case LinkLineKind::kTxComplete:
            return;
        case LinkLineKind::kSendFailed:
            kvlog::Error(log.log, "WriteData: %s port COM%u failed to send all data, sent %u bytes",
                         name, port, 0u);
            return;
        case LinkLineKind::kSendIncomplete:
            kvlog::Error(log.log, "WriteData: %s port COM%u failed to send all data, sent %u bytes",
                         name, port, static_cast<unsigned>(line.size));
            return;
        case LinkLineKind::kNoResponse:
        case LinkLineKind::kArrived:
            kvlog::Debug(log.log, "WriteData: %s port COM%u rx queue waiting finished", name, port);
            return;
        case LinkLineKind::kReceived:
            if (kvlog::Enabled(log.log, kvlog::kTrace)) {
                kvlog::Trace(log.log, "WriteData: %s port COM%u, packet received: %s", name, port,
                             HexDump(line.bytes, line.size).c_str());
            }
            kvlog::Notice(log.log,
                          "WriteData: %s port COM%u, Modbus device %u, packet received (len=%u): "
                          "%s",
                          name, port, line.unit, static_cast<unsigned>(line.size),
                          NoticeDump(log.log, line.bytes, line.size).c_str());
            return;
        case LinkLineKind::kNoAnswer:
            kvlog::Warning(log.log,
                           "WriteData: %s port COM%u, Modbus device %u, function %u - NO ANSWER",
                           name, port, line.unit, line.function);
            return;
        case LinkLineKind::kErrorAnswer:
            kvlog::Error(log.log,
                         "WriteData: %s port COM%u Modbus device %u, function no %u: ERROR", name,
                         port, line.unit, line.function);
            return;
        case LinkLineKind::kException:
            kvlog::Error(log.log,
                         "WriteData: %s port COM%u, Modbus device %u, function no %u: error (0x80) "
                         "returned, %s, code=%u",
                         name, port, line.unit, line.function, ExceptionText(line.code),
                         unsigned{line.code});
            return;
        case LinkLineKind::kDrain:
            kvlog::Warning(log.log,
                           "WriteData: %s port COM%u Exception occured, waiting for data remnants",
                           name, port);
            return;
        case LinkLineKind::kPacketPause:
            kvlog::Debug(log.log, "WriteData: %s port COM%u Starting packet pause...", name, port);
            return;
        case LinkLineKind::kPacketPaused:
            kvlog::Debug(log.log, "WriteData: %s port COM%u Packet pause completed.", name, port);
            return;
        case LinkLineKind::kCyclePause:
            kvlog::Trace(log.log, "WriteData: %s port COM%u Starting cycle pause...", name, port);
            return;
        case LinkLineKind::kCyclePaused:
            kvlog::Trace(log.log, "WriteData: %s port COM%u Cycle pause completed.", name, port);
            return;
        case LinkLineKind::kRetriesLeft:
            kvlog::Warning(log.log,
                           "WriteData: %s port COM%u, Modbus device %u command TX failed, retries "
                           "left: %u",
                           name, port, line.unit, value);
            return;
        case LinkLineKind::kAborted:
            kvlog::Warning(log.log,
                           "WriteData: %s port COM%u, Modbus device %u command %s, aborting TX",
                           name, port, line.unit, line.text);
            return;
        case LinkLineKind::kStepOk:
            kvlog::Trace(log.log,
                         "WriteData: %s port COM%u Device %u cmd status: "
                         "C_DEVICE_COMMAND_STATUS_COMMANDOK_GOTOSTEP2",
                         name, port, line.unit);
            return;
        case LinkLineKind::kCommandOk:
            kvlog::Trace(log.log,
                         "WriteData: %s port COM%u Device %u cmd status: "
                         "C_DEVICE_COMMAND_STATUS_COMMANDOK",
                         name, port, line.unit);
            return;
        case LinkLineKind::kRestored:
            kvlog::Info(log.log, "WriteData: %s port COM%u restoring device %u requests priority",
                        name, port, line.unit);
            return;
        case LinkLineKind::kFinished:
            kvlog::Trace(log.log, "WriteData: %s port COM%u closing.", name, port);
            kvlog::Info(log.log, "WriteData: %s port COM%u finished normally, device id %u", name,
                        port, value);
            return;
        default:
            ModbusTcpLine(log, line);
            return;
    }
}

void RtuOverTcpLine(const AnswerLog& log, const LinkLine& line) {
    const char* name = log.channel.c_str();
    const auto value = static_cast<unsigned>(line.value);
    switch (line.kind) {
        case LinkLineKind::kStarted:
            kvlog::Info(log.log, "WriteData: %s started, device id %u", name, value);
            kvlog::Info(log.log, "WriteData: %s selected device id=%u", name, value);
            kvlog::Debug(log.log, "WriteData: %s  total tags count: %u", name,
                         static_cast<unsigned>(line.size));
            return;
        case LinkLineKind::kPacketPause:
            kvlog::Trace(log.log, "WriteData: %s Starting packet pause...", name);
            return;
        case LinkLineKind::kPacketPaused:
            kvlog::Trace(log.log, "WriteData: %s packet pause completed.", name);
            return;
        case LinkLineKind::kRequestDone:
            kvlog::Debug(log.log, "WriteData: refcount: %u, server_ct: %u", value,
                         unsigned{line.count});
            return;
        case LinkLineKind::kRetriesLeft:
            kvlog::Warning(log.log,
                           "WriteData: %s Device %s, Modbus device %u command TX failed, retries "
                           "left: %u",
                           name, name, line.unit, value);
            return;
        case LinkLineKind::kAborted:
            kvlog::Warning(log.log,
                           "WriteData: %s Device %s, Modbus device %u command %s, aborting TX",
                           name, name, line.unit, line.text);
            return;
        default:
            ModbusTcpLine(log, line);
            return;
    }
}

}  // namespace modbus
