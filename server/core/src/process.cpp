// The cache update cycle: turns the tag and statistics records the workers leave into OPC
// values, and hands them to the service in one update per cycle.

#include <array>
#include <bit>
#include <cstdint>
#include <mutex>
#include <vector>

#include "cache_cycle.h"
#include "channel_threads.h"
#include "core/main.h"
#include "core/server.h"
#include "platform/clock.h"

namespace core {
namespace {

constexpr DWORD kQualityGood = 0xC0;
constexpr uint16_t kServerVersion = 601;
constexpr uint32_t kLogRefreshBits = 0xF8000000u;
constexpr unsigned kHighestGroupNo = kGroupListCount;
// Where a tag with a group number beyond the lists is counted.
constexpr uint8_t kOverflowGroupNo = 31;
constexpr uint8_t kQualityResetKeep = 10;

FILETIME ToFileTime(uint64_t time) {
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(time);
    result.dwHighDateTime = static_cast<DWORD>(time >> 32);
    return result;
}

// One statistics item of a field device, in handle order.
struct DeviceStatistic {
    const char* logName;
    VARTYPE type;
    uint32_t (*word)(const StatisticsBlock& block);
};

constexpr DeviceStatistic kDeviceStatistics[kStatisticsItemsPerDevice] = {
    {"txcnt", VT_UI4, [](const StatisticsBlock& b) { return b.txCount; }},
    {"rxcnt", VT_UI4, [](const StatisticsBlock& b) { return b.rxCount; }},
    {"crcfail", VT_UI4, [](const StatisticsBlock& b) { return b.crcFailCount; }},
    {"noanswer", VT_UI4, [](const StatisticsBlock& b) { return b.noAnswerCount; }},
    {"exception_ct", VT_UI4, [](const StatisticsBlock& b) { return b.exceptionCount; }},
    {"connection", VT_BOOL, [](const StatisticsBlock& b) { return b.connected; }},
    {"cmdstatus", VT_UI1,
     [](const StatisticsBlock& b) { return static_cast<uint32_t>(b.commandStatus); }},
};

// The source word at the width its item is compared and logged at.
uint32_t AtItemWidth(VARTYPE type, uint32_t word) {
    switch (type) {
        case VT_BOOL:
            return word & 0xFFFFu;
        case VT_UI1:
            return word & 0xFFu;
        default:
            return word;
    }
}

// Whether the element already holds what the value would publish. A connection flag is
// published as an OLE boolean, which clients expect, so it is compared in that form.
bool Holds(const VARIANT& stored, VARTYPE type, uint32_t value) {
    switch (type) {
        case VT_BOOL:
            return stored.boolVal == (value != 0 ? VARIANT_TRUE : VARIANT_FALSE);
        case VT_UI1:
            return stored.bVal == value;
        default:
            return stored.ulVal == value;
    }
}

void Store(VARIANT* stored, VARTYPE type, uint32_t value) {
    stored->vt = type;
    switch (type) {
        case VT_BOOL:
            stored->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_UI1:
            stored->bVal = static_cast<BYTE>(value);
            break;
        default:
            stored->ulVal = value;
            break;
    }
}

struct LinkLossQuality {
    DWORD quality;
    const char* text;
};

// The quality a tag gets when its channel lost communication; false: leave it as it is.
bool LinkLossQualityOf(uint8_t qualityReset, LinkLossQuality* result) {
    switch (qualityReset) {
        case 0:
            *result = {0x00, "OPC_QUALITY_BAD"};
            return true;
        case 2:
            *result = {0x18, "OPC_QUALITY_COMM_FAILURE"};
            return true;
        case kQualityResetKeep:
            return false;
        default:
            *result = {0x40, "OPC_QUALITY_UNCERTAIN"};
            return true;
    }
}

// What link loss needs of a channel, by channel id.
struct LinkLossSettings {
    bool known = false;
    uint8_t failThreshold = 0;
    uint8_t qualityReset = 0;
};

}  // namespace

class CacheCycle::Pass {
public:
    explicit Pass(Server* server) : server_(*server), tables_(server->tables) {}

    // Start of a call: the built-in items, the group lists and the statistics time stamps.
    void Start() {
        const platform::LocalTime local = platform::LocalTimeNow();
        kvlog::Trace(server_.log, "Process: started OK.");
        kvlog::Debug(server_.log, "Process: start time: %u:%u:%u", unsigned{local.hour},
                     unsigned{local.minute}, unsigned{local.second});
        {
            std::lock_guard hold(tables_.CacheLock());
            daCacheValue& bandwidth = Element(kBandwidthHandle);
            bandwidth.value.vt = VT_I1;
            bandwidth.value.cVal = -1;
        }
        devicesPresent_ = tables_.ChannelCount() != 0;
        if (!devicesPresent_) {
            kvlog::Error(server_.log, "Process: exit, configuration error. No devices configured.");
        }
        platform::SleepMs(devicesPresent_ ? server_.pauses.processStart
                                          : server_.pauses.emptyConfiguration);
        start_ = ToFileTime(platform::SystemTimeAsFileTime());
        {
            std::lock_guard hold(tables_.CacheLock());
            daCacheValue& version = Element(kVersionHandle);
            version.value.vt = VT_UI2;
            version.value.uiVal = kServerVersion;
            version.timeStamp = start_;
        }
        tagCount_ = tables_.TagCount();
        kvlog::Debug(server_.log, "Process: tags count: %u", static_cast<unsigned>(tagCount_));
        BuildGroups();
        StampStatistics();
        LearnLinkLossSettings();
    }

    bool ShouldRun() {
        return (server_.ClientsPresent() && devicesPresent_) || server_.lockServer.load() != 0;
    }

    void RunOnce() {
        kvlog::Debug(server_.log, "Process: cycle started.");
        const uint64_t now = platform::SystemTimeAsFileTime();
        now_ = ToFileTime(now);
        RefreshLogSettings(static_cast<uint32_t>(now));
        std::lock_guard hold(tables_.CacheLock());
        daCacheValue& bandwidth = Element(kBandwidthHandle);
        bandwidth.value.cVal = static_cast<CHAR>(opc::daClientBandwidth(server_.service, nullptr));
        bandwidth.timeStamp = now_;
        PublishStatistics();
        if (devicesPresent_) {
            RefreshGroupData();
            ApplyGroupRule();
            PublishTags();
        }
        const size_t slots = server_.handles.SlotCount();
        opc::daCacheUpdate(server_.service, static_cast<unsigned>(slots - 1), &server_.cache[1],
                           nullptr);
        kvlog::Debug(server_.log, "Process: cache update OK.");
    }

private:
    using daCacheValue = opc::daCacheValue;

    // The element of a handle with its tag index, error 0 and good quality; callers hold the
    // cache lock.
    daCacheValue& Element(uintptr_t handle) {
        daCacheValue& element = server_.cache[handle];
        element.tagIndex = server_.itemIds[handle];
        element.error = S_OK;
        element.quality = kQualityGood;
        return element;
    }

    void RefreshLogSettings(uint32_t nowLow) {
        const uint32_t mark = nowLow & kLogRefreshBits;
        if (mark == logRefreshMark_) return;
        logRefreshMark_ = mark;
        kvlog::Refresh(kLogBaseName);
    }

    void BuildGroups() {
        for (GroupList& list : server_.groups)
            list.clear();
        for (size_t i = 0; i < tagCount_; ++i) {
            TagRecord tag;
            if (tables_.GetTag(i, &tag) != kOk || tag.m_ucGroupNo == 0) continue;
            uint8_t groupNo = tag.m_ucGroupNo;
            if (groupNo > kHighestGroupNo) {
                kvlog::Error(server_.log, "Process: tag %s group number %u > %u.",
                             tag.m_strName.c_str(), unsigned{groupNo}, kHighestGroupNo);
                groupNo = kOverflowGroupNo;
            }
            if (tag.rawValue != 0) {
                kvlog::Debug(server_.log, "Process: Adding tag %s data [%u] to group number %u",
                             tag.m_strName.c_str(), static_cast<unsigned>(tag.rawValue),
                             unsigned{groupNo});
            }
            AddItem(&server_.groups[groupNo - 1],
                    GroupEntry{groupNo, tag.rawValue, static_cast<int32_t>(i),
                               static_cast<uint16_t>(tag.m_dwRegister)});
        }
    }

    // Unchanged counters keep these stamps until they change.
    void StampStatistics() {
        std::lock_guard hold(tables_.CacheLock());
        size_t n = 0;
        for (size_t c = 0; c < tables_.ChannelCount(); ++c) {
            ChannelRecord channel;
            if (tables_.GetChannel(c, &channel) != kOk) continue;
            for (size_t d = 0; d < channel.fieldDevices.size(); ++d) {
                for (size_t item = 0; item < kStatisticsItemsPerDevice; ++item)
                    server_.cache[server_.handles.Statistics(n++)].timeStamp = start_;
            }
            ++n;  // the channel's own item
        }
    }

    // The first channel in table order with an id is the one a tag's m_ucDevice names.
    void LearnLinkLossSettings() {
        for (size_t c = 0; c < tables_.ChannelCount(); ++c) {
            ChannelRecord channel;
            if (tables_.GetChannel(c, &channel) != kOk) continue;
            LinkLossSettings& settings = linkLoss_[channel.m_ucID];
            if (settings.known) continue;
            settings = {true, channel.m_ucFailThreshold, channel.m_ucQualityReset};
        }
    }

    void PublishStatistics() {
        size_t n = 0;
        for (size_t c = 0; c < tables_.ChannelCount(); ++c) {
            ChannelRecord channel;
            if (tables_.GetChannel(c, &channel) != kOk) continue;
            for (size_t d = 0; d < channel.fieldDevices.size(); ++d) {
                StatisticsBlock block;
                if (tables_.GetStatistics(c, d, &block) != kOk) block = StatisticsBlock{};
                for (const DeviceStatistic& item : kDeviceStatistics) {
                    const uintptr_t handle = server_.handles.Statistics(n++);
                    const uint32_t value = AtItemWidth(item.type, item.word(block));
                    if (PublishStatistic(handle, item.type, value)) {
                        kvlog::Debug(
                            server_.log, "Process: %s Device id %u updating tag %s - id %u [%i]",
                            channel.m_strName.c_str(), static_cast<unsigned>(d), item.logName,
                            static_cast<unsigned>(handle), static_cast<int>(value));
                    }
                }
            }
            const uintptr_t handle = server_.handles.Statistics(n++);
            const uint32_t status = static_cast<uint32_t>(channel.connectionStatus);
            if (PublishStatistic(handle, VT_I4, status)) {
                kvlog::Debug(server_.log,
                             "Process: %s Device id %u updating tag conn_status - id %u [%u]",
                             channel.m_strName.c_str(), unsigned{channel.m_ucID},
                             static_cast<unsigned>(handle), status);
            }
        }
    }

    // True when the value changed and was stamped; an unchanged item goes to the service again
    // with its old stamp.
    bool PublishStatistic(uintptr_t handle, VARTYPE type, uint32_t value) {
        daCacheValue& element = Element(handle);
        const bool changed = !Holds(element.value, type, value);
        Store(&element.value, type, value);
        if (changed) element.timeStamp = now_;
        return changed;
    }

    void RefreshGroupData() {
        for (GroupList& list : server_.groups) {
            for (GroupEntry& entry : list) {
                TagRecord tag;
                if (tables_.GetTag(static_cast<size_t>(entry.tagIndex), &tag) != kOk) continue;
                if (tag.state != kTagFresh) continue;
                kvlog::Debug(server_.log, "Process: tag %s updating data [%u] in group number %u",
                             tag.m_strName.c_str(), static_cast<unsigned>(tag.rawValue),
                             unsigned{entry.groupNo});
                entry.value = tag.rawValue;
            }
        }
    }

    // A group holds a zero-terminated run: fresh values behind its first 0 become 0.
    void ApplyGroupRule() {
        for (GroupList& list : server_.groups) {
            size_t e = 0;
            while (e < list.size() && list[e].value != 0)
                ++e;
            for (++e; e < list.size(); ++e) {
                GroupEntry& entry = list[e];
                entry.value = 0;
                const size_t index = static_cast<size_t>(entry.tagIndex);
                TagRecord tag;
                if (tables_.GetTag(index, &tag) != kOk || tag.state != kTagFresh) break;
                tables_.UpdateTag(index, [](TagRecord& stored) {
                    if (stored.state != kTagFresh) return;
                    stored.rawValue = 0;
                    stored.flags |= kTagForcedZero;
                });
            }
        }
    }

    void PublishTags() {
        for (size_t i = 0; i < tagCount_; ++i) {
            TagRecord tag;
            if (tables_.GetTag(i, &tag) != kOk) continue;
            if (tag.m_ucAccess != 0 && tag.m_ucAccess != 1) continue;  // write-only
            if (tag.state == kTagFresh || tag.m_ucFunction == 0) {
                PublishTag(i, tag);
            } else if (tag.state == kTagNoFreshValue) {
                ApplyLinkLoss(i, tag);
            }
        }
    }

    void PublishTag(size_t index, const TagRecord& tag) {
        const bool finalFloat = tag.state == kTagFresh && (tag.flags & kTagFloatIsFinal) != 0;
        if (tag.state == kTagFresh) {
            kvlog::Debug(server_.log, "Process: Updating tag: %s, new raw value: %08X",
                         tag.m_strName.c_str(), static_cast<unsigned>(tag.rawValue));
        }
        daCacheValue& element = Element(server_.handles.Tag(index));
        element.timeStamp = now_;
        const bool supported =
            finalFloat ? FinalFloatValue(tag, &element.value)
                       : CorrectedValue(tag, server_.groups, server_.log, &element.value);
        if (!supported) return;
        const uint32_t taken = finalFloat ? kTagFloatIsFinal : kTagForcedZero;
        MarkPublished(index, tag, taken);
    }

    // Marks the published value as taken, unless a newer one was stored since the copy: that
    // one goes out in the next cycle. Fault counts are the workers' and stay as they are.
    void MarkPublished(size_t index, const TagRecord& published, uint32_t takenFlags) {
        tables_.UpdateTag(index, [&](TagRecord& stored) {
            const bool unchanged = stored.state == published.state &&
                                   stored.rawValue == published.rawValue &&
                                   stored.flags == published.flags &&
                                   std::bit_cast<uint32_t>(stored.floatValue) ==
                                       std::bit_cast<uint32_t>(published.floatValue);
            if (!unchanged) return;
            stored.state = kTagNoFreshValue;
            stored.flags &= ~takenFlags;
        });
    }

    void ApplyLinkLoss(size_t index, const TagRecord& tag) {
        const LinkLossSettings& channel = linkLoss_[tag.m_ucDevice];
        LinkLossQuality lost;
        if (!channel.known || !LinkLossQualityOf(channel.qualityReset, &lost)) return;
        if (tag.faultCount < channel.failThreshold) return;
        daCacheValue& element = server_.cache[server_.handles.Tag(index)];
        if (element.quality == lost.quality) return;
        kvlog::Debug(server_.log, "Process: Setting tag %s quality to %s due to %u RX faults",
                     tag.m_strName.c_str(), lost.text, unsigned{channel.failThreshold});
        element.quality = lost.quality;
        element.tagIndex = server_.itemIds[server_.handles.Tag(index)];
        element.error = S_OK;
        element.value.vt = tag.m_vtType;
    }

    Server& server_;
    RuntimeTables& tables_;
    bool devicesPresent_ = true;
    size_t tagCount_ = 0;
    FILETIME start_{};
    FILETIME now_{};
    uint32_t logRefreshMark_ = 0;
    std::array<LinkLossSettings, 256> linkLoss_{};
};

CacheCycle::CacheCycle(Server* server) : pass_(std::make_unique<Pass>(server)) {}
CacheCycle::~CacheCycle() = default;

void CacheCycle::Start() {
    pass_->Start();
}

bool CacheCycle::ShouldRun() {
    return pass_->ShouldRun();
}

void CacheCycle::RunOnce() {
    pass_->RunOnce();
}

void Process(Server* server, uint32_t delay) {
    server->processRunning = 1;
    CacheCycle cycle(server);
    cycle.Start();
    while (cycle.ShouldRun()) {
        StartEndedChannelThreads(server);
        cycle.RunOnce();
        platform::SleepMs(delay);
    }
    server->processRunning = 0;
}

}  // namespace core
