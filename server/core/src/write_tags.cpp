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
// bounded; without the cache lock, so that the cache cycle goes on meanwhile. A channel without
// a running worker is not waited for: nobody would take its slot.
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
        ChannelRecord record;
        while (server->tables.GetChannel(channel, &record) == kOk && record.thread != 0 &&
               record.commandState != kCommandIdle &&
               platform::TickCount64() - start < server->pauses.writeSlotWait) {
            platform::SleepMs(10);
        }
    }
}

constexpr uint32_t kHighestRegister = 0xFFFF;

struct ValueRange {
    double low;
    double high;
};

constexpr ValueRange kUnsigned16{0, 65535};
constexpr ValueRange kSigned16{-32768, 32767};
// Where the read side does not say how the register's bits are meant.
constexpr ValueRange kEither16{-32768, 65535};

// What the register of a tag that is not a 32-bit FLOAT can take: its size, signed where the
// read side shows its bits as a signed number (the type the tag is published as), unsigned
// where it shows them as they are, either where it says neither.
ValueRange IntegerRange(const TagRecord& tag) {
    if (tag.m_ucSize == kSize32) {
        return tag.m_ucDataType == kDataSigned ? ValueRange{-2147483648.0, 2147483647.0}
                                               : ValueRange{0, 4294967295.0};
    }
    if (tag.m_ucSize == 1) return {0, 1};
    if (tag.m_ucSize == 8) {
        switch (tag.m_vtType) {
            case VT_I1:
                return {-128, 127};
            case VT_I2:
            case VT_UI1:
            case VT_UI2:
            case VT_I4:
            case VT_UI4:
            case VT_R4:
            case VT_R8:
                return {0, 255};
            default:
                return {-128, 255};
        }
    }
    switch (tag.m_vtType) {
        case VT_I2:
        case VT_R4:
        case VT_R8:
            return kSigned16;
        case VT_UI1:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
            return kUnsigned16;
        default:
            return kEither16;
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
        const HRESULT converted = DeviceValue(tag, clientValue, &value);
        if (converted != S_OK) return converted;
        kvlog::Info(log_, "WriteTags: Write Device no: %d", int{tag.m_ucDeviceNo});
        kvlog::Info(log_, "WriteTags: Write Register no: %d",
                    static_cast<int>(tag.m_dwWriteRegister));
        if (!Sendable(tag, channel)) return E_FAIL;
        if (!RegistersInRange(tag)) return OPC_E_RANGE;
        WriteCommand command{kCommandWrite16, 0, 0, static_cast<uint32_t>(index)};
        if (!Encode(tag, value, &command)) return OPC_E_RANGE;
        if (!Post(tag, channel, command)) return E_FAIL;
        const uint32_t written = tag.m_ucSize == kSize32 ? command.value32 : command.value16;
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

    // The client's value with the tag's correction undone.
    HRESULT DeviceValue(const TagRecord& tag, const VARIANT& clientValue, double* value) const {
        if (!ClientValueToDouble(clientValue, value)) {
            kvlog::Error(log_,
                         "WriteTags: tag %s - value of VARIANT type %u is no number, not sent",
                         tag.m_strName.c_str(), unsigned{clientValue.vt});
            return OPC_E_BADTYPE;
        }
        kvlog::Info(log_, "WriteTags: value=%f", *value);
        Reverse(tag, value);
        return S_OK;
    }

    // Whether the worker can send a write of this tag at all: the write functions, data types
    // and byte orders it has frames for.
    bool Sendable(const TagRecord& tag, size_t channel) const {
        const char* name = tag.m_strName.c_str();
        if (tag.m_ucWriteFunction != kWriteSingleRegister &&
            tag.m_ucWriteFunction != kWriteMultipleRegisters) {
            kvlog::Error(log_,
                         "WriteTags: tag %s - write function %u is neither 6 nor 16, not sent",
                         name, unsigned{tag.m_ucWriteFunction});
            return false;
        }
        if (tag.m_ucSize != kSize32) return true;
        if (tag.m_ucDataType != kDataFloat && tag.m_ucDataType != kDataUnsigned &&
            tag.m_ucDataType != kDataSigned) {
            ChannelRecord record;
            server_->tables.GetChannel(channel, &record);
            kvlog::Error(log_,
                         "WriteTags: Attempt to write value: %d (0x%08X), unknown datatype - %u",
                         static_cast<int>(record.writeValue32), record.writeValue32,
                         unsigned{tag.m_ucDataType});
            return false;
        }
        // The orders whose reading the worker mirrors when it writes.
        if (tag.m_ucByteOrder != 0 && tag.m_ucByteOrder != 1 && tag.m_ucByteOrder != 3) {
            kvlog::Error(log_, "WriteTags: tag %s - byte order %u has no 32-bit write, not sent",
                         name, unsigned{tag.m_ucByteOrder});
            return false;
        }
        return true;
    }

    // A register number beyond 65535 would be sent cut to its low 16 bits.
    bool RegistersInRange(const TagRecord& tag) const {
        const uint64_t last = uint64_t{tag.m_dwWriteRegister} + (tag.m_ucSize == kSize32 ? 1 : 0);
        if (last <= kHighestRegister) return true;
        kvlog::Error(log_, "WriteTags: tag %s - write register %u%s lies beyond %u, not sent",
                     tag.m_strName.c_str(), static_cast<unsigned>(tag.m_dwWriteRegister),
                     tag.m_ucSize == kSize32 ? " (and the next)" : "", kHighestRegister);
        return false;
    }

    // The register form of the value and its command; false, with an error line, when the
    // value does not fit the tag's register: it would be sent cut.
    bool Encode(const TagRecord& tag, double value, WriteCommand* command) const {
        const char* name = tag.m_strName.c_str();
        if (!std::isfinite(value)) {
            kvlog::Error(log_, "WriteTags: tag %s - value %f is out of range, not sent", name,
                         value);
            return false;
        }
        const bool wide = tag.m_ucSize == kSize32;
        if (wide) {
            command->commandState = tag.m_ucWriteFunction == kWriteSingleRegister
                                        ? kCommandWrite32HighWord
                                        : kCommandWrite32;
        }
        if (wide && tag.m_ucDataType == kDataFloat) {
            if (std::fabs(value) > std::numeric_limits<float>::max()) {
                kvlog::Error(log_, "WriteTags: tag %s - value %g is beyond a float, not sent", name,
                             value);
                return false;
            }
            const float single = static_cast<float>(value);
            std::memcpy(&command->value32, &single, sizeof single);
            command->value16 = static_cast<uint16_t>(SaturatedTruncation(value));
            return true;
        }
        const double rounded = std::round(value);
        const ValueRange range = IntegerRange(tag);
        if (rounded < range.low || rounded > range.high) {
            kvlog::Error(log_, "WriteTags: tag %s - value %.0f lies outside %.0f to %.0f, not sent",
                         name, rounded, range.low, range.high);
            return false;
        }
        const auto integer = static_cast<int64_t>(rounded);
        command->value16 = static_cast<uint16_t>(integer);
        if (wide) command->value32 = static_cast<uint32_t>(integer);
        return true;
    }

    // Never replaces a command the worker has not finished: that write was confirmed to its
    // client and would be lost. Nor confirms one no worker will send.
    bool Post(const TagRecord& tag, size_t channel, const WriteCommand& command) {
        const int32_t posted = server_->tables.PostWriteWhenIdle(channel, command);
        if (posted == kNoWorker) {
            kvlog::Error(log_,
                         "WriteTags: tag %s - device %u has no running thread, value not sent",
                         tag.m_strName.c_str(), unsigned{tag.m_ucDevice});
            return false;
        }
        if (posted != kOk) {
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
