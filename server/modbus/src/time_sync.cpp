#include "time_sync.h"

#include <cstdint>
#include <utility>

#include "modbus/framing.h"

namespace modbus {
namespace {

constexpr uint16_t kClockRegister = 10000;
constexpr uint8_t kWriteMultiple = 16;
constexpr std::time_t kHalfYear = 182 * 86400;

bool Local(std::time_t time, std::tm* fields) {
#if defined(_WIN32)
    return localtime_s(fields, &time) == 0;
#else
    return localtime_r(&time, fields) != nullptr;
#endif
}

bool Utc(std::time_t time, std::tm* fields) {
#if defined(_WIN32)
    return gmtime_s(fields, &time) == 0;
#else
    return gmtime_r(&time, fields) != nullptr;
#endif
}

// Days since 1970-01-01 of a proleptic Gregorian date; the MinGW runtime has no timegm.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int64_t SecondsAsUtc(const std::tm& fields) {
    const int64_t days =
        DaysFromCivil(int64_t{fields.tm_year} + 1900, fields.tm_mon + 1, fields.tm_mday);
    return days * 86400 + fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec;
}

std::string Format(const std::tm& fields) {
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::string LocalText(std::time_t time) {
    std::tm fields{};
    return Local(time, &fields) ? Format(fields) : std::string();
}

std::string UtcText(std::time_t time) {
    std::tm fields{};
    return Utc(time, &fields) ? Format(fields) : std::string();
}

}  // namespace

int32_t ZoneOffsetSeconds(std::time_t now) {
    std::tm local{};
    if (!Local(now, &local)) return 0;
    // The local fields read as UTC lie ahead of now by the zone's offset, daylight saving
    // included; the controller keeps standard time all year.
    const int64_t offset = SecondsAsUtc(local) - static_cast<int64_t>(now);
    if (local.tm_isdst <= 0) return static_cast<int32_t>(offset);
    // Daylight saving is not an hour everywhere: the standard offset is the one of a time of the
    // year without it, half a year away.
    for (const std::time_t probe : {now - kHalfYear, now + kHalfYear}) {
        std::tm fields{};
        if (Local(probe, &fields) && fields.tm_isdst == 0) {
            return static_cast<int32_t>(SecondsAsUtc(fields) - static_cast<int64_t>(probe));
        }
    }
    return static_cast<int32_t>(offset - 3600);
}

uint32_t CorrectedTime(std::time_t now, kvlog::Handle log) {
    kvlog::Trace(log, "KARVEXTimesynch: time %s", UtcText(now).c_str());
    const int32_t offset = ZoneOffsetSeconds(now);
    kvlog::Trace(log, "KARVEXTimesynch: zone offset %i hours", static_cast<int>(offset / 3600));
    const std::time_t corrected = now + offset;
    kvlog::Trace(log, "KARVEXTimesynch: corrected time %s", UtcText(corrected).c_str());
    return static_cast<uint32_t>(corrected);
}

void TimeSync::Collect(const core::RuntimeTables& tables, uint8_t channelId) {
    for (size_t i = 0; i < tables.TimeSyncCount(); ++i) {
        core::TimeSyncEntry entry;
        if (tables.GetTimeSync(i, &entry) != core::kOk) continue;
        if (entry.kind != 1 || entry.channelId != channelId) continue;
        kvlog::Info(
            log_, "WriteData: found time synch params: channel id %u, device no %u, delay %u",
            unsigned{entry.channelId}, unsigned{entry.address}, unsigned{entry.periodMinutes});
        entries_.push_back(entry);
    }
}

// A client write the worker has not finished was confirmed to its client: the clock waits for it.
bool TimeSync::Claim(core::RuntimeTables* tables, size_t channelIndex, unsigned address) const {
    bool claimed = false;
    tables->UpdateChannel(channelIndex, [&claimed](core::ChannelRecord& channel) {
        const uint8_t state = channel.commandState;
        if (state >= core::kCommandWrite16 && state <= core::kCommandWrite32) return;
        channel.commandState = core::kCommandTimeSync;
        claimed = true;
    });
    if (!claimed) {
        kvlog::Trace(log_, "WriteData: %s device %u time synchronization waits for a pending write",
                     name_.c_str(), address);
    }
    return claimed;
}

void TimeSync::Check(core::RuntimeTables* tables, size_t channelIndex, std::time_t now) {
    for (size_t i = 0; i < entries_.size(); ++i) {
        const core::TimeSyncEntry& entry = entries_[i];
        const unsigned address = entry.address;
        if (entry.lastSync <= 0) {
            if (!Claim(tables, channelIndex, address)) return;
            kvlog::Trace(log_, "WriteData: %s device %u performing initial time synchronization",
                         name_.c_str(), address);
            pending_ = i;
            return;
        }
        const auto elapsed = static_cast<unsigned>(now - entry.lastSync);
        const unsigned period = entry.periodMinutes * 60u;
        kvlog::Trace(log_, "WriteData: %s device %u last synch: %s, current time: %s, period %u/%u",
                     name_.c_str(), address, LocalText(entry.lastSync).c_str(),
                     LocalText(now).c_str(), elapsed, period);
        if (elapsed / 60 >= entry.periodMinutes) {
            if (!Claim(tables, channelIndex, address)) return;
            kvlog::Trace(log_, "WriteData: %s device %u performing time synchronization (%u/%u)",
                         name_.c_str(), address, elapsed, period);
            pending_ = i;
            return;
        }
    }
}

std::vector<uint8_t> TimeSync::Pdu(std::time_t now) const {
    const uint32_t corrected = CorrectedTime(now, log_);
    const uint8_t value[4] = {
        static_cast<uint8_t>(corrected >> 24), static_cast<uint8_t>(corrected >> 16),
        static_cast<uint8_t>(corrected >> 8), static_cast<uint8_t>(corrected)};
    return WriteDoublePdu(PendingAddress(), kWriteMultiple, kClockRegister, value);
}

}  // namespace modbus
