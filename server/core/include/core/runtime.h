#pragma once
// The server's runtime tables: channels with their field devices and write slots, tags,
// statistics blocks and the time synchronisation list, each guarded by its lock. Every reader
// takes a copy under the lock and works on the copy; every writer changes a record under the
// lock. Texts are Windows-1251.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/config_reader.h"
#include "log/kvlog.h"

namespace core {

// Results of table access; kInvalidArg has E_INVALIDARG's value so it passes on as an HRESULT.
constexpr int32_t kOk = 0;
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kBusy = static_cast<int32_t>(0x800700AAu);  // HRESULT of ERROR_BUSY
// HRESULT of ERROR_SERVICE_NOT_ACTIVE: the channel's thread has ended or never ran.
constexpr int32_t kNoWorker = static_cast<int32_t>(0x80070426u);

constexpr size_t kMaxFieldDevices = 64;  // one statistics block each
constexpr size_t kGroupListCount = 32;

// One request-size limit of a field device, for the request planner.
struct RequestSize {
    uint32_t kind = 1;
    uint32_t function = 0;
    uint32_t maxSize = 0;

    bool operator==(const RequestSize&) const = default;
};

struct FieldDevice {
    uint8_t address = 0;
    std::vector<RequestSize> requestSizes;

    bool operator==(const FieldDevice&) const = default;
};

// Command states of a channel's write slot.
enum : uint8_t {
    kCommandIdle = 1,
    kCommandWrite16 = 2,
    kCommandWrite32HighWord = 3,
    kCommandWrite32LowWord = 4,
    kCommandWrite32 = 5,
    kCommandTimeSync = 6,
};

struct ChannelRecord {
    uint8_t m_ucType = 'd';
    int32_t connectionStatus = -1;  // 0 connected, else the last socket error or -1
    std::string m_strAddress = "127.0.0.1";
    std::string m_strName = "Device";
    uint16_t m_wPort = 502;
    uint8_t m_ucSlot = 0;
    uint8_t m_ucDisconnect = 0;
    uint8_t m_ucID = 0;
    uint8_t commandState = kCommandIdle;
    uint16_t writeValue16 = 0;
    uint32_t writeValue32 = 0;
    // The tag of the pending write. Kept per channel: one index for the whole server would
    // send a channel's pending value to the tag of a later write on another channel.
    uint32_t writeTagIndex = 0;
    uint8_t m_ucQualityReset = 0;
    uintptr_t thread = 0;  // 0: none or ended
    uintptr_t clientSocket = 0;
    uint8_t m_ucFailThreshold = 3;
    uint16_t m_wCyclePause = 0;
    uint16_t m_wPacketPause = 0;
    uint16_t m_wTimeout = 250;
    uint8_t highestPriority = 0;
    uint8_t m_ucStopBits = 1;
    uint8_t m_ucParity = 0;
    uint32_t m_dwBaudRate = 9600;
    uint8_t m_ucComPort = 1;
    uintptr_t portHandle = 0;
    std::vector<FieldDevice> fieldDevices;  // in order of first use by the tags

    bool operator==(const ChannelRecord&) const = default;
};

ChannelRecord ChannelFromConfig(const ConfigDevice& device);
// "Modbus-TCP" for 'd' and so on; "unknown" for any other letter.
const char* ChannelTypeText(uint8_t type);

// One field device's counters; the workers write them under the statistics lock.
struct StatisticsBlock {
    uint32_t txCount = 0;
    uint32_t rxCount = 0;
    uint32_t crcFailCount = 0;
    uint32_t noAnswerCount = 0;
    uint32_t consecutiveFaults = 0;
    uint32_t connected = 0;  // 1 connected, 0 lost
    uint32_t exceptionCount = 0;
    int32_t commandStatus = 0;  // of the last device command; -1 none

    bool operator==(const StatisticsBlock&) const = default;
};

// Tag states.
enum : uint8_t { kTagFresh = 100, kTagNoFreshValue = 101 };
// Tag flags.
enum : uint32_t { kTagForcedZero = 0x1, kTagFloatIsFinal = 0x2 };

struct TagRecord {
    uint32_t m_dwID = 0;
    std::string m_strName;
    std::string m_strComment;
    std::string m_strShortName;
    uint16_t m_vtType = 0;
    uint8_t m_ucDeviceNo = 0;
    uint8_t m_ucDevice = 0;
    uint8_t m_ucFunction = 0;  // 0: not polled
    uint32_t m_dwRegister = 0;
    uint8_t m_ucSize = 0;
    int32_t rawValue = 0;
    int32_t faultCount = 0;
    uint8_t state = kTagNoFreshValue;
    uint8_t m_ucReserved = 0;
    uint8_t m_ucWriteFunction = 0;
    uint32_t m_dwWriteRegister = 0;
    uint8_t m_ucAccess = 0;
    uint8_t m_ucGroupNo = 0;
    uint32_t flags = 0;
    uint8_t m_ucPriority = 0;
    uint8_t m_ucDataType = 0;
    uint8_t m_ucByteOrder = 0;
    uint32_t m_dwIdentifier = 0;
    float floatValue = 0.0f;
    std::vector<ConfigCorrection> m_aCorrections;

    bool operator==(const TagRecord&) const = default;
};

TagRecord TagFromConfig(ConfigTag&& tag);

struct TimeSyncEntry {
    uint32_t kind = 1;
    uint8_t channelId = 0;
    uint8_t secondNumber = 0;
    uint8_t address = 0;
    uint16_t periodMinutes = 0;
    int32_t lastSync = 0;  // seconds since 1970; 0 never

    bool operator==(const TimeSyncEntry&) const = default;
};

struct GroupEntry {
    uint8_t groupNo = 0;
    int32_t value = 0;
    int32_t tagIndex = 0;
    uint16_t reg = 0;  // low half of the member's m_dwRegister

    bool operator==(const GroupEntry&) const = default;
};
using GroupList = std::vector<GroupEntry>;

// Inserts between the first neighbours whose registers lie strictly below and above the
// entry's register; appends when there are none.
void AddItem(GroupList* list, const GroupEntry& entry);

// A channel's pending device command together with the index of the tag it writes.
struct WriteCommand {
    uint8_t commandState = kCommandIdle;
    uint16_t value16 = 0;
    uint32_t value32 = 0;
    uint32_t tagIndex = 0;

    bool operator==(const WriteCommand&) const = default;
};

enum class AttachResult { kAdded, kAlreadyThere, kNoChannel, kChannelFull };

class RuntimeTables {
public:
    explicit RuntimeTables(kvlog::Handle log = nullptr) : log_(log) {}
    RuntimeTables(const RuntimeTables&) = delete;
    RuntimeTables& operator=(const RuntimeTables&) = delete;

    // Filling, while loading.
    void Clear();
    void AddChannel(const ChannelRecord& channel);
    void AddTag(TagRecord&& tag);
    void AddTimeSync(const TimeSyncEntry& entry);
    // Gives the channel with that id a field device with that address unless it has one;
    // *channelIndex receives the channel's position when there is such a channel.
    AttachResult AttachFieldDevice(uint8_t channelId, uint8_t address, size_t* channelIndex);
    // Adds the limit to the first field device with that address on a channel with that id;
    // false when there is none.
    bool AddRequestSize(uint8_t channelId, uint8_t address, const RequestSize& size,
                        size_t* channelIndex, size_t* deviceIndex);

    size_t ChannelCount() const;
    size_t TagCount() const;
    size_t TimeSyncCount() const;

    int32_t GetChannel(size_t index, ChannelRecord* channel) const;
    int32_t UpdateChannel(size_t index, const std::function<void(ChannelRecord&)>& change);
    // The first channel in table order with that id.
    bool FindChannel(uint8_t id, size_t* index) const;
    // Position of the field device in the channel's list, to select its statistics block; 0
    // when the channel has no such address, and 0 with an error line when no channel has the id.
    size_t GetModbusDeviceID(uint8_t channelId, uint8_t address) const;

    int32_t GetTag(size_t index, TagRecord* tag) const;
    int32_t UpdateTag(size_t index, const std::function<void(TagRecord&)>& change);

    int32_t GetStatistics(size_t channel, size_t block, StatisticsBlock* statistics) const;
    int32_t UpdateStatistics(size_t channel, size_t block,
                             const std::function<void(StatisticsBlock&)>& change);

    int32_t GetTimeSync(size_t index, TimeSyncEntry* entry) const;
    int32_t UpdateTimeSync(size_t index, const std::function<void(TimeSyncEntry&)>& change);

    // The write slot of a channel and its tag index, set and read as one. A single-register
    // write leaves the 32-bit value as it was.
    int32_t PostWrite(size_t channel, const WriteCommand& command);
    // PostWrite only while the channel's thread runs (kNoWorker else) and the slot holds no
    // command the worker has yet to finish (kBusy else).
    int32_t PostWriteWhenIdle(size_t channel, const WriteCommand& command);
    int32_t GetWrite(size_t channel, WriteCommand* command) const;
    int32_t SetCommandState(size_t channel, uint8_t state);

    // Held by the cache cycle for a whole pass and by the write path for a whole call.
    std::mutex& CacheLock() { return cacheLock_; }

private:
    using Statistics = std::array<StatisticsBlock, kMaxFieldDevices>;

    // Callers hold channelLock_.
    bool FindChannelLocked(uint8_t id, size_t* index) const;

    kvlog::Handle log_;
    mutable std::mutex cacheLock_;
    mutable std::mutex channelLock_;
    mutable std::mutex tagLock_;
    mutable std::mutex statisticsLock_;
    std::vector<ChannelRecord> channels_;  // channelLock_
    std::vector<TimeSyncEntry> timeSync_;  // channelLock_
    std::vector<TagRecord> tags_;          // tagLock_
    std::vector<Statistics> statistics_;   // statisticsLock_, one per channel
};

}  // namespace core
