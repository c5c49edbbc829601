// Client writes: each written value is turned back into its register's raw form and left in
// the write slot of the tag's channel, which the channel's worker sends to the device.

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/server.h"
#include "client_value.h"
#include "correction_math.h"
#include "opcconst.h"
#include "platform/clock.h"

namespace core {
namespace {

enum : uint8_t { kWriteSingleRegister = 6, kWriteMultipleRegisters = 16 };
constexpr BYTE kMaxDecimalScale = 28;

double DecimalToDouble(const DECIMAL& decimal) {
    const double magnitude = (static_cast<double>(decimal.Hi32) * 18446744073709551616.0 +
                              static_cast<double>(decimal.Lo64)) /
                             std::pow(10.0, decimal.scale);
    return (decimal.sign & DECIMAL_NEG) != 0 ? -magnitude : magnitude;
}

// The whole text, blanks around it aside, as a number with '.' as its decimal point,
// whatever the process locale says.
bool TextToDouble(BSTR text, double* number) {
    std::string ascii;
    const UINT length = text == nullptr ? 0 : SysStringLen(text);
    for (UINT i = 0; i < length; ++i) {
        if (text[i] > 0x7F) return false;
        ascii.push_back(static_cast<char>(text[i]));
    }
    const size_t first = ascii.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const size_t last = ascii.find_last_not_of(" \t") + 1;
    const char* begin = ascii.data() + first;
    const char* end = ascii.data() + last;
    if (*begin == '+' && end - begin > 1 && begin[1] != '-') ++begin;
    const std::from_chars_result parsed = std::from_chars(begin, end, *number);
    if (parsed.ptr != end) return false;
    // A number beyond a double is refused later as out of range.
    if (parsed.ec == std::errc::result_out_of_range) {
        *number = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    return parsed.ec == std::errc{};
}

bool TagOf(const Server& server, uintptr_t handle, size_t* index, TagRecord* tag) {
    return server.handles.TagIndex(handle, index) && server.tables.GetTag(*index, tag) == kOk;
}

// Gives the workers of the channels this call writes to time to take their pending writes,
// bounded; without the cache lock, so that the cache cycle goes on meanwhile.
void AwaitIdleSlots(Server* server, unsigned count, const opc::daTagRef* tags) {
    const uint64_t start = platform::TickCount64();
    for (unsigned k = 0; k < count; ++k) {
        size_t index = 0;
        size_t channel = 0;
        TagRecord tag;
        if (!TagOf(*server, tags[k].driverHandle, &index, &tag) ||
            !server->tables.FindChannel(tag.m_ucDevice, &channel)) {
            continue;
        }
        WriteCommand slot;
        while (server->tables.GetWrite(channel, &slot) == kOk &&
               slot.commandState != kCommandIdle &&
               platform::TickCount64() - start < server->pauses.writeSlotWait) {
            platform::SleepMs(10);
        }
    }
}

class Writer {
public:
    explicit Writer(Server* server) : server_(server), log_(server->log) {}

    HRESULT Write(const opc::daTagRef& ref, const VARIANT& clientValue) {
        size_t index = 0;
        TagRecord tag;
        size_t channel = 0;
        if (!FindTarget(ref, &index, &tag, &channel)) return E_FAIL;
        double value = 0;
        int64_t integer = 0;
        const HRESULT converted = DeviceValue(tag, clientValue, &value, &integer);
        if (converted != S_OK) return converted;
        kvlog::Info(log_, "WriteTags: Write Device no: %d", int{tag.m_ucDeviceNo});
        kvlog::Info(log_, "WriteTags: Write Register no: %d",
                    static_cast<int>(tag.m_dwWriteRegister));

        WriteCommand command{kCommandWrite16, static_cast<uint16_t>(integer), 0,
                             static_cast<uint32_t>(index)};
        const bool wide = tag.m_ucSize == kSize32;
        if (wide && !Command32(tag, channel, value, static_cast<uint32_t>(integer), &command)) {
            return E_FAIL;
        }
        if (!Post(tag, channel, command)) return E_FAIL;
        const uint32_t written = wide ? command.value32 : command.value16;
        kvlog::Info(log_, "WriteTags: Write Value: %d (0x%08X)", static_cast<int>(written),
                    written);
        return S_OK;
    }

private:
    // The tag behind the handle and the channel its value goes to; false, with a log line,
    // when there is none or the channel already got a write of this call.
    bool FindTarget(const opc::daTagRef& ref, size_t* index, TagRecord* tag, size_t* channel) {
        if (!TagOf(*server_, ref.driverHandle, index, tag)) {
            kvlog::Error(log_, "WriteTags: item handle %u is no tag's, value not sent",
                         static_cast<unsigned>(ref.driverHandle));
            return false;
        }
        const char* name = tag->m_strName.c_str();
        kvlog::Info(log_, "WriteTags: write tag %s value to device", name);
        if (!server_->tables.FindChannel(tag->m_ucDevice, channel)) {
            kvlog::Error(log_, "WriteTags: tag %s - device %u not found, value not sent", name,
                         unsigned{tag->m_ucDevice});
            return false;
        }
        if (AlreadyServed(*channel)) {
            // A second command would replace the first before the worker has sent it.
            kvlog::Warning(log_,
                           "WriteTags: tag %s - device %u already has a write of this call, "
                           "value not sent",
                           name, unsigned{tag->m_ucDevice});
            return false;
        }
        return true;
    }

    // The client's value with the tag's correction undone, and its truncation.
    HRESULT DeviceValue(const TagRecord& tag, const VARIANT& clientValue, double* value,
                        int64_t* integer) const {
        const char* name = tag.m_strName.c_str();
        if (!ClientValueToDouble(clientValue, value)) {
            kvlog::Error(log_,
                         "WriteTags: tag %s - value of VARIANT type %u is no number, not sent",
                         name, unsigned{clientValue.vt});
            return OPC_E_BADTYPE;
        }
        kvlog::Info(log_, "WriteTags: value=%f", *value);
        Reverse(tag, value);
        if (!std::isfinite(*value) || !TruncateToInt64(*value, integer)) {
            kvlog::Error(log_, "WriteTags: tag %s - value %f is out of range, not sent", name,
                         *value);
            return OPC_E_RANGE;
        }
        return S_OK;
    }

    // Never replaces a command the worker has not finished: that write was confirmed to its
    // client and would be lost.
    bool Post(const TagRecord& tag, size_t channel, const WriteCommand& command) {
        if (server_->tables.PostWriteWhenIdle(channel, command) != kOk) {
            kvlog::Error(log_,
                         "WriteTags: tag %s - device %u is still busy with an earlier write, "
                         "value not sent",
                         tag.m_strName.c_str(), unsigned{tag.m_ucDevice});
            return false;
        }
        served_.push_back(channel);
        return true;
    }

    bool AlreadyServed(size_t channel) const {
        for (size_t c : served_) {
            if (c == channel) return true;
        }
        return false;
    }

    // Undoes a single addition or multiplication; with more corrections the value goes out as
    // the client wrote it.
    void Reverse(const TagRecord& tag, double* value) const {
        if (tag.m_aCorrections.empty()) return;
        const char* name = tag.m_strName.c_str();
        kvlog::Info(log_, "WriteTags: tag %s uses corrections, performing reversal correction(s).",
                    name);
        if (tag.m_aCorrections.size() != 1) return;
        const ConfigCorrection& correction = tag.m_aCorrections.front();
        kvlog::Debug(log_, "Correct: tag %s correction type: %u", name,
                     unsigned{correction.m_ucOperation});
        const double old = *value;
        if (correction.m_ucOperation == kCorrectAdd) {
            *value = old - correction.m_dParam;
            kvlog::Info(log_, "WriteTags: tag %s: - ADD(rev. to SUB): %08X -> %08X", name,
                        Low32(old), Low32(*value));
        } else if (correction.m_ucOperation == kCorrectMultiply) {
            *value = old / correction.m_dParam;
            kvlog::Info(log_, "WriteTags: tag %s - MUL(rev. to DIV): %f -> %f (%08X -> %08X)", name,
                        old, *value, Low32(old), Low32(*value));
        }
    }

    // The 32-bit value and command of a two-register tag; false, with an error line, when the
    // tag's data type or write function gives no write.
    bool Command32(const TagRecord& tag, size_t channel, double value, uint32_t low32,
                   WriteCommand* command) const {
        switch (tag.m_ucDataType) {
            case kDataFloat: {
                const float single = static_cast<float>(value);
                std::memcpy(&command->value32, &single, sizeof single);
                break;
            }
            case kDataUnsigned:
            case kDataSigned:
                command->value32 = low32;
                break;
            default: {
                ChannelRecord record;
                server_->tables.GetChannel(channel, &record);
                kvlog::Error(
                    log_, "WriteTags: Attempt to write value: %d (0x%08X), unknown datatype - %u",
                    static_cast<int>(record.writeValue32), record.writeValue32,
                    unsigned{tag.m_ucDataType});
                return false;
            }
        }
        switch (tag.m_ucWriteFunction) {
            case kWriteSingleRegister:
                command->commandState = kCommandWrite32HighWord;
                return true;
            case kWriteMultipleRegisters:
                command->commandState = kCommandWrite32;
                return true;
            default:
                kvlog::Error(log_,
                             "WriteTags: tag %s - write function %u cannot write 32 bits, not "
                             "sent",
                             tag.m_strName.c_str(), unsigned{tag.m_ucWriteFunction});
                return false;
        }
    }

    Server* server_;
    kvlog::Handle log_;
    std::vector<size_t> served_;  // channels that got a write in this call
};

}  // namespace

bool ClientValueToDouble(const VARIANT& value, double* number) {
    switch (value.vt) {
        case VT_I1:
            *number = static_cast<signed char>(value.cVal);
            return true;
        case VT_I2:
            *number = value.iVal;
            return true;
        case VT_I4:
            *number = value.lVal;
            return true;
        case VT_I8:
            *number = static_cast<double>(value.llVal);
            return true;
        case VT_INT:
            *number = value.intVal;
            return true;
        case VT_UI1:
            *number = value.bVal;
            return true;
        case VT_UI2:
            *number = value.uiVal;
            return true;
        case VT_UI4:
            *number = value.ulVal;
            return true;
        case VT_UI8:
            *number = static_cast<double>(value.ullVal);
            return true;
        case VT_UINT:
            *number = value.uintVal;
            return true;
        case VT_R4:
            *number = value.fltVal;
            return true;
        case VT_R8:
            *number = value.dblVal;
            return true;
        case VT_CY:
            *number = static_cast<double>(value.cyVal.int64) / 10000.0;
            return true;
        case VT_DECIMAL:
            if (value.decVal.scale > kMaxDecimalScale) return false;
            *number = DecimalToDouble(value.decVal);
            return true;
        case VT_BOOL:
            *number = value.boolVal != VARIANT_FALSE ? 1 : 0;
            return true;
        case VT_BSTR:
            return TextToDouble(value.bstrVal, number);
        default:
            return false;
    }
}

int WriteTags(const opc::daCallerRecord* caller, unsigned count, const opc::daTagRef* tags,
              VARIANT* values, HRESULT* itemErrors, HRESULT* masterError, LCID /*locale*/) {
    Server* server = static_cast<Server*>(caller->driverArgument);
    AwaitIdleSlots(server, count, tags);
    // A running cache cycle finishes first, and no other write interleaves with this one.
    std::lock_guard hold(server->tables.CacheLock());
    kvlog::Info(server->log, "WriteTags: tags count: %u", count);
    Writer writer(server);
    bool allSent = true;
    for (unsigned k = 0; k < count; ++k) {
        itemErrors[k] = writer.Write(tags[k], values[k]);
        allSent = allSent && itemErrors[k] == S_OK;
    }
    if (allSent) return 1;  // the service shows the written values until the device's arrive
    *masterError = S_FALSE;
    return 0;
}

}  // namespace core
