#pragma once
// Setting the clocks of the channel's controllers: each entry of the channel is due at the
// first cycle and then one period after its last synchronisation; the turn itself travels
// through the write slot as command state 6.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime.h"
#include "log/kvlog.h"

namespace modbus {

// Seconds between local standard time and UTC at `now` (10800 for a zone 3 hours east of UTC,
// 19800 for India's 5:30).
int32_t ZoneOffsetSeconds(std::time_t now);
// Local standard time as seconds since 1970, with its log lines.
uint32_t CorrectedTime(std::time_t now, kvlog::Handle log);

class TimeSync {
public:
    TimeSync(kvlog::Handle log, std::string channelName)
        : log_(log), name_(std::move(channelName)) {}

    // Takes the kind 1 entries of the channel from the table.
    void Collect(const core::RuntimeTables& tables, uint8_t channelId);
    // At the top of a cycle: sets command state 6 for the first due entry, unless a client write
    // is pending (states 2 to 5): then nothing starts before the next cycle.
    void Check(core::RuntimeTables* tables, size_t channelIndex, std::time_t now);

    // Whether a clock setting of this worker is the one pending.
    bool Owns() const { return pending_ < entries_.size(); }
    uint8_t PendingAddress() const { return entries_[pending_].address; }
    // The function 16 PDU that writes the corrected time to registers 10000 and 10001.
    std::vector<uint8_t> Pdu(std::time_t now) const;
    // The turn ended with a confirmation, or gave up after its retries: due one period later.
    void Done(std::time_t now) { entries_[pending_].lastSync = static_cast<int32_t>(now); }

private:
    bool Claim(core::RuntimeTables* tables, size_t channelIndex, unsigned address) const;

    kvlog::Handle log_;
    std::string name_;
    std::vector<core::TimeSyncEntry> entries_;
    size_t pending_ = 0;
};

}  // namespace modbus
