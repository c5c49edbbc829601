// Init: the configuration, the OPC service and every item the server publishes.

#include <algorithm>
#include <cstring>
#include <string>

#include "core/server.h"
#include "opcda.h"

namespace core {
namespace {

constexpr unsigned kServiceTagCount = 1024;
constexpr size_t kMaxItemName = 99;  // statistics names are assembled in 100 characters
constexpr double kCounterHigh = 1e12;

struct StatisticsItem {
    const char* suffix;
    VARTYPE type;
    double high;
};

// In handle order; the publishing order of the cache cycle is the same.
constexpr StatisticsItem kDeviceItems[kStatisticsItemsPerDevice] = {
    {"/tx count", VT_I4, kCounterHigh},
    {"/rx count", VT_I4, kCounterHigh},
    {"/crcfail count", VT_I4, kCounterHigh},
    {"/noanswer count", VT_I4, kCounterHigh},
    {"/exception count", VT_I4, kCounterHigh},
    {"/connection", VT_BOOL, 1},
    {"/Command status", VT_UI1, 1},
};
constexpr const char* kConnectionStatus = "/Connection status";

// Zero of the type; false for a type the server does not publish.
bool ZeroOf(uint16_t type, VARIANT* value) {
    VariantInit(value);
    switch (type) {
        case VT_I2:
            value->iVal = 0;
            break;
        case VT_BOOL:
            value->boolVal = VARIANT_FALSE;
            break;
        case VT_UI2:
            value->uiVal = 0;
            break;
        case VT_I4:
            value->lVal = 0;
            break;
        case VT_R4:
            value->fltVal = 0;
            break;
        case VT_UI4:
            value->ulVal = 0;
            break;
        case VT_R8:
            value->dblVal = 0;
            break;
        case VT_I1:
            value->cVal = 0;
            break;
        case VT_UI1:
            value->bVal = 0;
            break;
        default:
            return false;
    }
    value->vt = type;
    return true;
}

unsigned AccessRights(uint8_t access) {
    switch (access) {
        case 1:
            return OPC_READABLE | OPC_WRITEABLE;
        case 2:
            return OPC_WRITEABLE;
        default:
            return OPC_READABLE;
    }
}

std::string DevicePart(const FieldDevice& device) {
    return "-" + std::to_string(device.address);
}

// "Stats/<name>(<id>)": the channel name is shortened, alike for all the channel's items, so
// that its longest item name keeps to 99 characters.
std::string StatisticsPrefix(const ChannelRecord& channel) {
    size_t longest = std::strlen(kConnectionStatus);
    for (const FieldDevice& device : channel.fieldDevices) {
        for (const StatisticsItem& item : kDeviceItems) {
            longest = std::max(longest, DevicePart(device).size() + std::strlen(item.suffix));
        }
    }
    const std::string id = "(" + std::to_string(channel.m_ucID) + ")";
    const size_t fixed = std::strlen("Stats/") + id.size() + longest;
    const size_t room = fixed < kMaxItemName ? kMaxItemName - fixed : 0;
    return "Stats/" + channel.m_strName.substr(0, room) + id;
}

size_t StatisticsItemCount(const RuntimeTables& tables) {
    size_t count = 0;
    for (size_t c = 0; c < tables.ChannelCount(); ++c) {
        ChannelRecord channel;
        if (tables.GetChannel(c, &channel) != kOk) continue;
        count += channel.fieldDevices.size() * kStatisticsItemsPerDevice + 1;
    }
    return count;
}

class Registrar {
public:
    explicit Registrar(Server* server) : server_(server) {}

    // The item id table entry stays 0 when the service refuses the item.
    unsigned Add(uintptr_t handle, const std::string& name, unsigned rights, const VARIANT& value,
                 double low, double high) {
        unsigned index = 0;
        const int error = opc::daAddRealTag_a(server_->service, &index, handle, name.c_str(), 0,
                                              rights, &value, low, high);
        if (error != 0) {
            kvlog::Warning(server_->log, "Init: cannot register item %s (error %d)", name.c_str(),
                           error);
            return 0;
        }
        server_->itemIds[handle] = index;
        return index;
    }

    void AddBuiltIn() {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_UI2;
        value.uiVal = 601;
        Add(kVersionHandle, "Server version", OPC_READABLE, value, -1, 32767);
        value.vt = VT_I1;
        value.cVal = -1;
        Add(kBandwidthHandle, "bandwidth", OPC_READABLE, value, -1, 101);
    }

    void AddStatistics() {
        size_t n = 0;
        for (size_t c = 0; c < server_->tables.ChannelCount(); ++c) {
            ChannelRecord channel;
            if (server_->tables.GetChannel(c, &channel) != kOk) continue;
            const std::string prefix = StatisticsPrefix(channel);
            for (const FieldDevice& device : channel.fieldDevices) {
                for (const StatisticsItem& item : kDeviceItems) {
                    VARIANT zero;
                    ZeroOf(item.type, &zero);
                    Add(server_->handles.Statistics(n++), prefix + DevicePart(device) + item.suffix,
                        OPC_READABLE, zero, 0, item.high);
                }
            }
            VARIANT zero;
            ZeroOf(VT_I4, &zero);
            const uintptr_t handle = server_->handles.Statistics(n++);
            const unsigned index =
                Add(handle, prefix + kConnectionStatus, OPC_READABLE, zero, 0, 1);
            kvlog::Debug(server_->log, "Init: (%s) Adding tag conn_status - id %u, [%u]",
                         channel.m_strName.c_str(), static_cast<unsigned>(handle), index);
        }
    }

    void AddTags() {
        for (size_t i = 0; i < server_->tables.TagCount(); ++i) {
            TagRecord tag;
            if (server_->tables.GetTag(i, &tag) != kOk) continue;
            VARIANT zero;
            if (!ZeroOf(tag.m_vtType, &zero)) {
                kvlog::Error(server_->log, "Init: tag %s has type %u, which is not published",
                             tag.m_strName.c_str(), unsigned{tag.m_vtType});
                continue;
            }
            Add(server_->handles.Tag(i), tag.m_strName, AccessRights(tag.m_ucAccess), zero, 0, 1);
        }
    }

private:
    Server* server_;
};

}  // namespace

ItemHandles::ItemHandles(size_t statisticsItems, size_t tags)
    : statistics_(statisticsItems), tags_(tags) {}

uintptr_t ItemHandles::Statistics(size_t n) const {
    if (n < kClassicStatistics) return kFirstStatisticsHandle + n;
    const size_t furtherTags = tags_ > kClassicTags ? tags_ - kClassicTags : 0;
    return kClassicSlots + furtherTags + (n - kClassicStatistics);
}

uintptr_t ItemHandles::Tag(size_t i) const {
    if (i < kClassicTags) return kFirstTagHandle + i;
    return kClassicSlots + (i - kClassicTags);
}

bool ItemHandles::TagIndex(uintptr_t handle, size_t* index) const {
    size_t i = 0;
    if (handle >= kFirstTagHandle && handle < kClassicSlots) {
        i = handle - kFirstTagHandle;
    } else if (handle >= kClassicSlots && handle - kClassicSlots + kClassicTags < tags_) {
        i = handle - kClassicSlots + kClassicTags;
    } else {
        return false;
    }
    if (i >= tags_) return false;
    *index = i;
    return true;
}

size_t ItemHandles::SlotCount() const {
    const size_t furtherTags = tags_ > kClassicTags ? tags_ - kClassicTags : 0;
    const size_t furtherStatistics =
        statistics_ > kClassicStatistics ? statistics_ - kClassicStatistics : 0;
    return kClassicSlots + furtherTags + furtherStatistics;
}

int Init(Server* server) {
    const int loaded =
        LoadConfig(&server->tables, &server->settings, server->log, server->settingsKey);
    if (loaded != 0) return loaded;
    if (server->service != nullptr) return 0;
    server->lockServer = server->settings.b_lockserver;
    server->handles = ItemHandles(StatisticsItemCount(server->tables), server->tables.TagCount());
    const size_t slots = server->handles.SlotCount();
    server->itemIds.assign(slots, 0);
    server->cache.assign(slots, opc::daCacheValue{});

    opc::daDriverRecord driver;
    driver.driverArgument = server;
    driver.rateGranularity = 50;
    driver.flags = opc::daDF_CASE_INSENSITIVE | opc::daDF_NO_FORCED_REMOVE;
    if (server->settings.b_sendallupdates != 0) driver.flags |= opc::daDF_SEND_ALL_UPDATES;
    driver.branchSeparator = '/';
    driver.write = WriteTags;
    const unsigned tagCount = static_cast<unsigned>(std::max<size_t>(kServiceTagCount, slots));
    const int created = opc::daCreate(&server->service, &driver, tagCount);
    if (created != 0) {
        kvlog::Error(server->log, "Init: cannot create the OPC service (error %d)", created);
        server->service = nullptr;
        return created;
    }
    Registrar registrar(server);
    registrar.AddBuiltIn();
    registrar.AddStatistics();
    registrar.AddTags();
    return 0;
}

}  // namespace core
