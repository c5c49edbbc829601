// The named-log list: Open, Close, Refresh, and applying settings to a record.

#include <algorithm>
#include <array>
#include <optional>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "record.h"

namespace kvlog {
namespace {

namespace reg = platform::reg;
using internal::OutputKind;

constexpr size_t kSlotCount = 32;
constexpr size_t kMaxBaseName = 32;
constexpr const char* kSettingsRoot = "Software\\kvlog.dll\\";
constexpr const char* kEventSourcesKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr const char* kLibraryName = "kvlog.dll";

struct Slot {
    std::string baseName;
    LogRecord record;
    int references = 0;
};

// Never destroyed: other threads may still write while the process exits.
struct NamedLogs {
    std::mutex lock;
    std::array<Slot, kSlotCount> slots;
};
NamedLogs& Logs() {
    static auto* logs = new NamedLogs;
    return *logs;
}

Slot* FindOpen(NamedLogs& logs, std::string_view baseName) {
    for (Slot& slot : logs.slots) {
        if (slot.references > 0 && platform::EqualNoCase(slot.baseName, baseName)) return &slot;
    }
    return nullptr;
}

std::string SettingsKey(const std::string& baseName) {
    return kSettingsRoot + baseName;
}

// The event log shows message texts only for sources registered with a message file.
void EnsureEventSourceRegistered(const std::string& source) {
    std::string key = kEventSourcesKey + source;
    if (reg::KeyExists(reg::Hive::LocalMachine, key)) return;
    std::string messageFile = platform::ModulePath(kLibraryName);
    if (messageFile.empty()) messageFile = kLibraryName;
    reg::SetValue(reg::Hive::LocalMachine, key, "EventMessageFile",
                  reg::Value::String(messageFile, reg::Type::ExpandSz));
    reg::SetValue(reg::Hive::LocalMachine, key, "TypesSupported", reg::Value::Dword(7));
}

void CloseOutput(LogRecord& record) {
    record.file.Close();
    if (record.eventSource) platform::DeregisterEventSource(record.eventSource);
    record.eventSource = nullptr;
}

// Opens what the path setting names; on success replaces the record's output with it.
uint32_t SwitchOutput(LogRecord& record, const internal::PathSpec& spec, bool truncate) {
    platform::EventSource source = nullptr;
    platform::SharedFile file;
    switch (spec.kind) {
        case OutputKind::EventLog:
            EnsureEventSourceRegistered(spec.rest);
            source = platform::RegisterEventSource(spec.name, spec.rest);
            if (!source) return std::max<uint32_t>(platform::LastError(), 1);
            break;
        case OutputKind::File:
            if (uint32_t error = file.Open(spec.name, truncate); error != platform::kErrorSuccess) {
                return error;
            }
            break;
        case OutputKind::SharedFile:
            if (uint32_t error = file.Open(spec.name, false); error != platform::kErrorSuccess) {
                return error;
            }
            // Another process may be appending: emptying the file outside the lock would
            // leave it writing past the new end, a hole of zeros.
            if (truncate && file.LockExclusive() == platform::kErrorSuccess) {
                file.Truncate(0);
                file.Unlock();
            }
            break;
        default:
            break;
    }
    CloseOutput(record);
    record.eventSource = source;
    record.file = std::move(file);
    record.kind = spec.kind;
    return platform::kErrorSuccess;
}

struct Settings {
    int size = -1;
    int level = -1;
    std::optional<std::string> ident;
    std::string path;
};

std::optional<reg::Value> Query(const std::string& key, const char* name) {
    reg::Value value;
    if (reg::QueryValue(reg::Hive::LocalMachine, key, name, &value) != platform::kErrorSuccess) {
        return std::nullopt;
    }
    return value;
}

// Open's reading: each unreadable value gets its default, written back for the operator to see.
// A key we may not create (no write access) is still read.
Settings ReadSettingsOrDefaults(const std::string& baseName, const char* defaultPath,
                                const char* defaultIdent, int defaultSize, int defaultLevel) {
    const std::string key = SettingsKey(baseName);
    const bool writable = reg::CreateKey(reg::Hive::LocalMachine, key) == platform::kErrorSuccess;
    auto read = [&](const char* name, auto parse) {
        std::optional<reg::Value> value = Query(key, name);
        return value ? parse(*value) : std::nullopt;
    };
    auto store = [&](const char* name, const reg::Value& value) {
        if (writable) reg::SetValue(reg::Hive::LocalMachine, key, name, value);
    };

    Settings settings;
    if (auto size = read("size", internal::ReadNumberSetting)) {
        settings.size = *size;
    } else {
        settings.size = defaultSize;
        store("size", reg::Value::String(std::to_string(defaultSize)));
    }
    if (auto level = read("level", internal::ReadNumberSetting)) {
        settings.level = *level;
    } else {
        settings.level = defaultLevel;
        const char* name = internal::LevelName(defaultLevel);
        store("level", name ? reg::Value::String(name)
                            : reg::Value::Dword(static_cast<uint32_t>(defaultLevel)));
    }
    if (auto ident = read("", internal::ReadIdent)) {
        settings.ident = *ident;
    } else if (defaultIdent) {
        settings.ident = defaultIdent;
        store("", reg::Value::String(defaultIdent));
    }
    if (auto path = read("path", internal::ReadPath)) {
        settings.path = *path;
    } else {
        std::string unexpanded = defaultPath ? defaultPath : "";
        settings.path = platform::ExpandEnvironment(unexpanded);
        store("path", reg::Value::String(unexpanded, reg::Type::ExpandSz));
    }
    return settings;
}

// Refresh's reading: nothing is written; nullopt unless size, level and path are readable.
std::optional<Settings> ReadSettings(const std::string& baseName) {
    const std::string key = SettingsKey(baseName);
    std::optional<reg::Value> size = Query(key, "size");
    std::optional<reg::Value> level = Query(key, "level");
    std::optional<reg::Value> path = Query(key, "path");
    std::optional<int> sizeSetting = size ? internal::ReadNumberSetting(*size) : std::nullopt;
    std::optional<int> levelSetting = level ? internal::ReadNumberSetting(*level) : std::nullopt;
    std::optional<std::string> pathSetting = path ? internal::ReadPath(*path) : std::nullopt;
    if (!sizeSetting || !levelSetting || !pathSetting) return std::nullopt;
    Settings settings{*sizeSetting, *levelSetting, std::nullopt, *pathSetting};
    if (std::optional<reg::Value> ident = Query(key, ""))
        settings.ident = internal::ReadIdent(*ident);
    return settings;
}

uint32_t ApplySettings(LogRecord& record, const Settings& settings) {
    return internal::Apply(record, settings.path, settings.ident ? &*settings.ident : nullptr,
                           settings.size, settings.level);
}

}  // namespace

void LogRecord::Reset() {
    CloseOutput(*this);
    self = nullptr;
    level = kNotice;
    sizeLimit = -1;
    kind = OutputKind::Unset;
    ident.clear();
    path.clear();
    messageLanguage = 1033;
    PublishGate();
}

namespace internal {

uint32_t Apply(LogRecord& record, const std::string& path, const std::string* ident, int size,
               int level) {
    PathSpec spec = ParsePathSpec(path);
    if (spec.kind != record.kind || path != record.path) {
        const int newSize = size >= -1 ? size : record.sizeLimit;
        if (uint32_t error = SwitchOutput(record, spec, newSize == 0); error) return error;
        record.path = path;
    }
    if (level >= 0) record.level = std::min(level, static_cast<int>(kDebug));
    if (size >= -1) record.sizeLimit = size;
    // The rest of a file or debugger path setting names the ident when none is set.
    std::string newIdent = ident && !ident->empty()            ? *ident
                           : spec.kind != OutputKind::EventLog ? spec.rest
                                                               : std::string();
    if (ident || !newIdent.empty()) record.ident = newIdent.substr(0, kMaxIdent);
    record.PublishGate();
    return platform::kErrorSuccess;
}

LogRecord& DefaultLog() {
    static LogRecord* record = [] {
        auto* made = new LogRecord;
        std::lock_guard<std::mutex> lock(made->lock);
        Apply(*made, std::string("|") + kLibraryName, nullptr, -1, kNotice);
        made->self = made;
        made->PublishGate();
        return made;
    }();
    return *record;
}

}  // namespace internal

Handle Open(const char* baseName, const char* defaultPath, const char* defaultIdent,
            int defaultSize, int defaultLevel) {
    internal::ErrorStateKeeper keep;
    if (!baseName || !*baseName) return nullptr;
    const std::string name = std::string(baseName).substr(0, kMaxBaseName);

    NamedLogs& logs = Logs();
    std::lock_guard<std::mutex> listLock(logs.lock);
    if (Slot* open = FindOpen(logs, name)) {
        ++open->references;
        return &open->record;
    }
    auto free = std::find_if(logs.slots.begin(), logs.slots.end(),
                             [](const Slot& slot) { return slot.references == 0; });
    if (free == logs.slots.end()) {
        Write(kError, nullptr, nullptr, "KVLOG: no free slot to open the log %s", name.c_str());
        return nullptr;
    }
    Settings settings =
        ReadSettingsOrDefaults(name, defaultPath, defaultIdent, defaultSize, defaultLevel);
    LogRecord& record = free->record;
    {
        std::lock_guard<std::mutex> recordLock(record.lock);
        record.Reset();
        if (uint32_t error = ApplySettings(record, settings); error) {
            record.Reset();
            Write(kError, nullptr, nullptr, "%!l KVLOG: cannot open the output <%s> of the log %s",
                  error, settings.path.c_str(), name.c_str());
            return nullptr;
        }
        record.self = &record;
        record.PublishGate();
    }
    free->baseName = name;
    free->references = 1;
    return &record;
}

void Close(Handle log) {
    internal::ErrorStateKeeper keep;
    if (!log) return;
    NamedLogs& logs = Logs();
    std::lock_guard<std::mutex> listLock(logs.lock);
    for (Slot& slot : logs.slots) {
        if (&slot.record != log || slot.references == 0) continue;
        if (--slot.references == 0) {
            std::lock_guard<std::mutex> recordLock(slot.record.lock);
            slot.record.Reset();
            slot.baseName.clear();
        }
        return;
    }
}

void Refresh(const char* baseName) {
    internal::ErrorStateKeeper keep;
    if (!baseName || !*baseName) return;
    const std::string name = std::string(baseName).substr(0, kMaxBaseName);
    NamedLogs& logs = Logs();
    std::lock_guard<std::mutex> listLock(logs.lock);
    Slot* open = FindOpen(logs, name);
    if (!open) return;
    std::optional<Settings> settings = ReadSettings(open->baseName);
    if (!settings) return;
    std::lock_guard<std::mutex> recordLock(open->record.lock);
    ApplySettings(open->record, *settings);
}

}  // namespace kvlog
