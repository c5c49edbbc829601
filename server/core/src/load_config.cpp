#include "core/load_config.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/errors.h"
#include "platform/registry.h"
#include "switchable_log.h"

namespace core {
namespace {

namespace reg = platform::reg;

using Log = SwitchableLog;

constexpr reg::Hive kHive = reg::Hive::CurrentUser;
// The settings are read into buffers of this many bytes, terminator included.
constexpr size_t kStringBuffer = 250;
constexpr size_t kDwordSize = 4;
constexpr size_t kMaxTextLength = 254;

bool IsString(const reg::Value& value) {
    return value.type == reg::Type::Sz || value.type == reg::Type::ExpandSz;
}

// The size a byte-string read reports: strings with their terminator.
size_t ReadSize(const reg::Value& value) {
    return IsString(value) ? value.data.size() + 1 : value.data.size();
}

// Unexpanded; a string that does not fit the buffer or is of another type is unreadable.
bool ReadString(std::string_view key, std::string_view name, std::string* text) {
    reg::Value value;
    if (reg::QueryValue(kHive, key, name, &value) != platform::kErrorSuccess) return false;
    if (!IsString(value) || ReadSize(value) > kStringBuffer) return false;
    const std::string stored = value.AsString();
    *text = stored.substr(0, std::strlen(stored.c_str()));
    return true;
}

bool ReadBinary(std::string_view key, std::string_view name, std::vector<uint8_t>* bytes) {
    reg::Value value;
    if (reg::QueryValue(kHive, key, name, &value) != platform::kErrorSuccess) return false;
    if (value.type != reg::Type::Binary || value.data.size() > kStringBuffer) return false;
    *bytes = value.data;
    return true;
}

enum class DwordRead { kRead, kInvalidData, kAbsent };

// A value too long for the four-byte buffer fails like an absent one; one that fits but is no
// four-byte REG_DWORD is invalid data.
DwordRead ReadDword(std::string_view key, std::string_view name, uint32_t* number) {
    reg::Value value;
    if (reg::QueryValue(kHive, key, name, &value) != platform::kErrorSuccess) {
        return DwordRead::kAbsent;
    }
    const size_t size = ReadSize(value);
    if (size > kDwordSize) return DwordRead::kAbsent;
    if (value.type != reg::Type::Dword || size != kDwordSize) return DwordRead::kInvalidData;
    *number = value.AsDword();
    return DwordRead::kRead;
}

void ReadLoggedSettings(std::string_view key, const Log& log, ServerSettings* settings) {
    if (ReadString(key, "tx server", &settings->g_sTXServer)) {
        log(kvlog::kInfo, "LoadConfig: setting g_sTXServer=%s", settings->g_sTXServer.c_str());
    }
    if (ReadString(key, "tx auth key", &settings->g_sAuthKey)) {
        log(kvlog::kInfo, "LoadConfig: setting g_sAuthKey=%s", settings->g_sAuthKey.c_str());
    }
    uint32_t port = 0;
    if (ReadDword(key, "tx port", &port) == DwordRead::kRead) {
        settings->g_wTXPort = static_cast<uint16_t>(port);
        log(kvlog::kInfo, "LoadConfig: setting g_wTXPort=%u", unsigned{settings->g_wTXPort});
    }
    if (ReadDword(key, "rx port", &port) == DwordRead::kRead) {
        settings->g_wRXPort = static_cast<uint16_t>(port);
        log(kvlog::kInfo, "LoadConfig: setting g_wRXPort=%u", unsigned{settings->g_wRXPort});
    }
    if (ReadBinary(key, "tx devices", &settings->g_ucTXDevices)) {
        log(kvlog::kInfo, "LoadConfig: setting g_ucTXDevices");
    }
}

void ReadLockServer(std::string_view key, const Log& log, ServerSettings* settings) {
    switch (ReadDword(key, "lock server", &settings->b_lockserver)) {
        case DwordRead::kRead:
            log(kvlog::kInfo, "LoadConfig: setting b_lockserver=%u", settings->b_lockserver);
            break;
        case DwordRead::kInvalidData:
            log(kvlog::kWarning,
                "LoadConfig: cannot load (ERROR_INVALID_DATA) parameter b_lockserver, "
                "setting b_lockserver=%u",
                settings->b_lockserver);
            break;
        case DwordRead::kAbsent:
            settings->b_lockserver = 0;
            log(kvlog::kWarning,
                "LoadConfig: cannot load parameter b_lockserver, setting "
                "b_lockserver=%u",
                settings->b_lockserver);
            break;
    }
}

// A DWORD setting with a default that replaces whatever cannot be read.
void ReadDwordOrDefault(std::string_view key, const Log& log, std::string_view name,
                        const char* field, uint32_t defaultValue, uint32_t* number) {
    switch (ReadDword(key, name, number)) {
        case DwordRead::kRead:
            log(kvlog::kInfo, "LoadConfig: setting %s=%u", field, *number);
            break;
        case DwordRead::kInvalidData:
            *number = defaultValue;
            log(kvlog::kWarning,
                "LoadConfig: cannot load (ERROR_INVALID_DATA) parameter %s, setting %s=%u", field,
                field, *number);
            break;
        case DwordRead::kAbsent:
            *number = defaultValue;
            log(kvlog::kWarning, "LoadConfig: cannot load parameter %s, setting %s=%u", field,
                field, *number);
            break;
    }
}

// As atoi: leading blanks and a sign, digits up to the first other character, 0 without any;
// out-of-range numbers are clamped instead of overflowing.
int ParseNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long number = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        number = std::min<long long>(number * 10 + (text[i] - '0'), 1LL + INT_MAX);
    }
    if (negative) number = -number;
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

// An empty piece between two commas is a field; a trailing comma adds none.
std::vector<int> ParseFields(const std::string& value) {
    std::vector<int> fields;
    size_t start = 0;
    while (start < value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        fields.push_back(ParseNumber(value.substr(start, comma - start)));
        start = comma + 1;
    }
    return fields;
}

constexpr size_t kParameterFields = 4;

void AddTimeSynchronisation(RuntimeTables* tables, const Log& log, const std::string& name,
                            const std::vector<int>& fields) {
    if (fields.size() < kParameterFields) {
        log(kvlog::kError, "LoadConfig: error adding parameter %s", name.c_str());
        return;
    }
    TimeSyncEntry entry;
    entry.channelId = static_cast<uint8_t>(fields[0]);
    entry.secondNumber = static_cast<uint8_t>(fields[1]);
    entry.address = static_cast<uint8_t>(fields[2]);
    entry.periodMinutes = static_cast<uint16_t>(fields[3]);
    tables->AddTimeSync(entry);
}

void AddDeviceRequestSize(RuntimeTables* tables, const Log& log, const std::string& name,
                          const std::vector<int>& fields) {
    if (fields.size() < kParameterFields) {
        log(kvlog::kError, "LoadConfig: error adding parameter %s", name.c_str());
        return;
    }
    // An id or address outside a byte names no channel or device.
    if (fields[0] < 0 || fields[0] > UINT8_MAX || fields[1] < 0 || fields[1] > UINT8_MAX) return;
    const RequestSize size{1, static_cast<uint32_t>(fields[2]), static_cast<uint32_t>(fields[3])};
    size_t channelIndex = 0;
    size_t deviceIndex = 0;
    if (!tables->AddRequestSize(static_cast<uint8_t>(fields[0]), static_cast<uint8_t>(fields[1]),
                                size, &channelIndex, &deviceIndex)) {
        return;
    }
    log(kvlog::kInfo,
        "LoadConfig: added parameter %s: channel %u, device %u, function %u, request "
        "size %u",
        name.c_str(), static_cast<unsigned>(fields[0]), static_cast<unsigned>(fields[1]),
        size.function, size.maxSize);
    log(kvlog::kTrace, "LoadConfig: added parameter %s: field device id %u", name.c_str(),
        static_cast<unsigned>(deviceIndex));
    log(kvlog::kTrace, "LoadConfig: added parameter %s: channel id %u", name.c_str(),
        static_cast<unsigned>(channelIndex));
}

void SetParameter(RuntimeTables* tables, const Log& log, const std::string& name,
                  const std::string& value) {
    log(kvlog::kInfo, "LoadConfig: setting parameter %s=%s", name.c_str(), value.c_str());
    if (name == "TIME_SYNCH_KARVEX") {
        AddTimeSynchronisation(tables, log, name, ParseFields(value));
    } else if (name == "DEVICE_REQUEST_MAXSIZE") {
        AddDeviceRequestSize(tables, log, name, ParseFields(value));
    }
}

void CutText(std::string* text) {
    if (text->size() > kMaxTextLength) text->resize(kMaxTextLength);
}

// Fills the tables from the file's records and attaches the field devices once the tags and
// devices are all known.
class TableSink : public ConfigSink {
public:
    TableSink(RuntimeTables* tables, const Log& log) : tables_(tables), log_(log) {}

    void AddTag(ConfigTag&& tag) override {
        CutText(&tag.m_strName);
        CutText(&tag.m_strComment);
        CutText(&tag.m_strShortName);
        sources_.emplace_back(tag.m_ucDevice, tag.m_ucDeviceNo);
        tables_->AddTag(TagFromConfig(std::move(tag)));
    }

    // Tags and workers find their channel by its id: a second channel with an id in use would
    // poll the first one's devices with a thread field nobody clears.
    void AddDevice(const ConfigDevice& device) override {
        size_t first = 0;
        if (tables_->FindChannel(device.m_ucID, &first)) {
            ChannelRecord holder;
            tables_->GetChannel(first, &holder);
            log_(kvlog::kError,
                 "LoadConfig: Device %s (id %u) is not served: device %s already has that id",
                 device.m_strName.c_str(), unsigned{device.m_ucID}, holder.m_strName.c_str());
            return;
        }
        tables_->AddChannel(ChannelFromConfig(device));
        log_(kvlog::kInfo, "LoadConfig: Device %s (%s) added.", device.m_strName.c_str(),
             ChannelTypeText(device.m_ucType));
    }

    void DevicesComplete() override {
        for (const auto& [channelId, address] : sources_)
            AttachFieldDevice(channelId, address);
    }

    void SetParameter(const std::string& name, const std::string& value) override {
        core::SetParameter(tables_, log_, name, value);
    }

private:
    void AttachFieldDevice(uint8_t channelId, uint8_t address) {
        size_t channelIndex = 0;
        switch (tables_->AttachFieldDevice(channelId, address, &channelIndex)) {
            case AttachResult::kAdded:
            case AttachResult::kAlreadyThere:
                break;
            case AttachResult::kNoChannel:
                log_(kvlog::kError,
                     "LoadConfig: cannot add modbus device from tag (%u, %u), device not "
                     "exists",
                     unsigned{channelId}, unsigned{address});
                break;
            case AttachResult::kChannelFull: {
                ChannelRecord channel;
                tables_->GetChannel(channelIndex, &channel);
                log_(kvlog::kError,
                     "LoadConfig: cannot add modbus device %u to channel %s (%u), it "
                     "already has %u devices",
                     unsigned{address}, channel.m_strName.c_str(), unsigned{channelId},
                     static_cast<unsigned>(kMaxFieldDevices));
                break;
            }
        }
    }

    RuntimeTables* tables_;
    Log log_;
    std::vector<std::pair<uint8_t, uint8_t>> sources_;  // channel id and address of each tag
};

}  // namespace

std::unique_ptr<ConfigSink> MakeTableSink(RuntimeTables* tables, kvlog::Handle log,
                                          Logging logging) {
    return std::make_unique<TableSink>(tables, Log(log, logging));
}

int LoadConfig(RuntimeTables* tables, ServerSettings* settings, kvlog::Handle handle,
               std::string_view settingsKey) {
    const Log log(handle, Logging::kOn);
    tables->Clear();
    if (!reg::KeyExists(kHive, settingsKey)) {
        log(kvlog::kError, "LoadConfig: opening registry FAILED!");
        return 0;
    }
    log(kvlog::kTrace, "LoadConfig: opening registry OK.");
    ReadLoggedSettings(settingsKey, log, settings);
    ReadLockServer(settingsKey, log, settings);
    ReadDwordOrDefault(settingsKey, log, "cache update delay", "g_cache_update_delay", 100,
                       &settings->g_cache_update_delay);
    ReadDwordOrDefault(settingsKey, log, "send all updates", "b_sendallupdates", 1,
                       &settings->b_sendallupdates);
    if (!ReadString(settingsKey, "datafile", &settings->datafile)) {
        settings->datafile.clear();
        log(kvlog::kError, "LoadConfig: reading config file path FAILED!");
        return 0;
    }
    TableSink sink(tables, log);
    const ReadReport report = LoadTagInformation(settings->datafile, handle, sink);
    return report.status == ReadStatus::kNotConfiguration ? 1 : 0;
}

void LoadConfig(RuntimeTables* tables, kvlog::Handle log, const std::string& name,
                const std::string& value) {
    SetParameter(tables, Log(log, Logging::kOn), name, value);
}

}  // namespace core
