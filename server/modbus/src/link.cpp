// The Modbus-TCP wording of the lines about a link's traffic.

#include "link.h"

namespace modbus {

std::string NoticeDump(kvlog::Handle log, const uint8_t* bytes, size_t size) {
    return kvlog::Enabled(log, kvlog::kNotice) ? HexDump(bytes, size) : std::string();
}

void Link::LogLine(const AnswerLog& log, const LinkLine& line) const {
    const char* name = log.channel.c_str();
    const char* address = log.address.c_str();
    switch (line.kind) {
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
    }
}

}  // namespace modbus
