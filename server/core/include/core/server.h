#pragma once
// The server's process-wide state and the steps of its life: Init loads the configuration and
// registers every OPC item, Process runs the cache update cycle, WriteTags takes client writes,
// Destroy tears the OPC service down and waits for the channel threads.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/load_config.h"
#include "core/runtime.h"
#include "log/kvlog.h"
#include "opc/daservice.h"

namespace core {

using GroupLists = std::array<GroupList, kGroupListCount>;  // list k holds group number k + 1

constexpr uintptr_t kBandwidthHandle = 1;
constexpr uintptr_t kVersionHandle = 2;
constexpr uintptr_t kFirstStatisticsHandle = 100;
constexpr uintptr_t kFirstTagHandle = 512;
constexpr size_t kStatisticsItemsPerDevice = 7;

// The driver handle of every item, which is also its slot in the item id table and the cache
// value array. Small configurations get the classic handles (100 + n for statistics item n,
// 512 + i for tag i); beyond 412 statistics items or 513 tags the rest follow from 1025 on:
// first the further tags, then the further statistics items.
class ItemHandles {
public:
    ItemHandles() = default;
    ItemHandles(size_t statisticsItems, size_t tags);

    uintptr_t Statistics(size_t n) const;
    uintptr_t Tag(size_t i) const;
    // The tag index behind a handle; false when the handle is no tag's.
    bool TagIndex(uintptr_t handle, size_t* index) const;
    // Slots of the item id table and the cache value array, handle 0 included.
    size_t SlotCount() const;

    static constexpr size_t kClassicSlots = 1025;
    static constexpr size_t kClassicStatistics = 412;
    static constexpr size_t kClassicTags = 513;

private:
    size_t statistics_ = 0;
    size_t tags_ = 0;
};

// The waits of start-up, the cycle and shutdown; tests shorten them.
struct Pauses {
    uint32_t afterClassRegistration = 1000;
    uint32_t processStart = 1000;
    uint32_t beforeShutdown = 1000;
    uint32_t mainLoop = 50;
    uint32_t destroyPoll = 200;
    uint32_t emptyConfiguration = 1000;
    // Started by COM: how long the client it was started for may take to reach the class object.
    uint32_t activationLimit = 30000;
    // How long a client write waits for its channel's worker to take an earlier pending write.
    uint32_t writeSlotWait = 3000;
    // How long shutdown waits for the channel threads to end, on top of the longest response
    // timeout of the channels (a worker may be inside a connect or a wait for an answer).
    uint32_t workerEnd = 30000;
};

struct Server {
    explicit Server(kvlog::Handle serverLog = nullptr) : log(serverLog), tables(serverLog) {}
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    kvlog::Handle log;
    std::string settingsKey{kSettingsKey};
    Pauses pauses;

    RuntimeTables tables;
    ServerSettings settings;
    std::atomic<uint32_t> lockServer{0};  // b_lockserver, set from the settings by Init

    opc::daService* service = nullptr;
    ItemHandles handles;
    std::vector<unsigned> itemIds;         // by handle: the service's tag index, 0 = none
    std::vector<opc::daCacheValue> cache;  // by handle; under tables.CacheLock()
    GroupLists groups;                     // the cache cycle's own (main thread)
    std::atomic<uint32_t> processRunning{0};

    std::atomic<long> serverCount{0};  // live OPC client objects ("s_ct")
    std::mutex factoryLock;
    long factoryReferences = 0;  // under factoryLock ("ref")
    long serverLocks = 0;        // under factoryLock: LockServer(TRUE) calls not yet undone
    // Channels whose thread Main started; it starts them again when a client returns after
    // they ended. Touched by the main thread only.
    std::vector<size_t> workerChannels;

    long FactoryReferences() {
        std::lock_guard hold(factoryLock);
        return factoryReferences;
    }
    // The run condition of the device workers: a client holds the server. "Above zero": the
    // factory count ends at -1 once COM gives back the reference of the class registration.
    bool ClientsPresent() { return serverCount.load() > 0 || FactoryReferences() > 0; }
};

// Loads the configuration, creates the OPC service and registers every item. 0 on success;
// non-zero when the configuration file is not one.
int Init(Server* server);
// The cache update cycle; returns when no client holds the server (or it has no channels) and
// "lock server" is off.
void Process(Server* server, uint32_t delay);
// Destroys the OPC service and waits, bounded, until every channel thread has cleared its
// thread field.
void Destroy(Server* server);

// The write callback of the OPC service (driver argument: the Server).
int WriteTags(const opc::daCallerRecord* caller, unsigned count, const opc::daTagRef* tags,
              VARIANT* values, HRESULT* itemErrors, HRESULT* masterError, LCID locale);

// The integer correction of a tag's raw value (codes 7 read the group lists).
uint32_t Correct(const TagRecord& tag, const GroupLists& groups, kvlog::Handle log);
// The float correction of a tag's raw value.
double FloatCorrection(const TagRecord& tag);
// The value Process publishes for a tag, of the tag's m_vtType: its corrected raw value, or its
// final float value (flag bit 1). False for a type outside the ten supported ones.
bool CorrectedValue(const TagRecord& tag, const GroupLists& groups, kvlog::Handle log,
                    VARIANT* value);
bool FinalFloatValue(const TagRecord& tag, VARIANT* value);

}  // namespace core
