#include "modbus/planner.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "platform/clock.h"

namespace modbus {
namespace {

constexpr int64_t kLastRegister = 0xFFFF;
constexpr int64_t kMaxBitCount = 2000;      // functions 1 and 2
constexpr int64_t kMaxRegisterCount = 125;  // functions 3 and 4

// Registers are signed 32-bit numbers in the configuration.
int64_t RegisterOf(const core::TagRecord& tag) {
    return static_cast<int32_t>(tag.m_dwRegister);
}

// Coils and discrete inputs come as bits, everything else as 16-bit registers.
bool ReadsBits(uint8_t function) {
    return function == 1 || function == 2;
}

// The data bytes an item decodes from, counted from its own first byte (none beyond its bit for
// a 1-bit item or a size that is not decoded).
int64_t ItemBytes(const core::TagRecord& tag) {
    switch (tag.m_ucSize) {
        case 8:
            return 1;
        case 16:
            return 2;
        case 32:
            return 4;
        default:
            return 0;
    }
}

// An item of whole bytes takes the data byte at its distance from the start; in an answer of
// bits that byte holds the bits of its own register only when it is the first one.
bool Servable(const core::TagRecord& tag, int64_t start) {
    return !ReadsBits(tag.m_ucFunction) || ItemBytes(tag) == 0 || RegisterOf(tag) == start;
}

// The last register or bit that a request from `start` must read for the item's register and
// all its data bytes to be in the answer.
int64_t LastNeeded(const core::TagRecord& tag, int64_t start) {
    const int64_t reg = RegisterOf(tag);
    const int64_t bytes = ItemBytes(tag);
    if (ReadsBits(tag.m_ucFunction)) {
        return bytes == 0 ? reg : start + 8 * (reg - start + bytes - 1);
    }
    return bytes == 4 ? reg + 1 : reg;
}

// A register outside the 16-bit space cannot be put into a request.
bool InRegisterSpace(const core::TagRecord& tag) {
    const int64_t reg = RegisterOf(tag);
    return reg >= 0 && LastNeeded(tag, reg) <= kLastRegister;
}

uint32_t MaxRequestSize(const core::ChannelRecord& channel, const core::TagRecord& tag,
                        kvlog::Handle log) {
    for (const core::FieldDevice& device : channel.fieldDevices) {
        if (device.address != tag.m_ucDeviceNo) continue;
        for (const core::RequestSize& size : device.requestSizes) {
            if (size.kind == 1 && size.function == tag.m_ucFunction) {
                kvlog::Trace(log, "AddRequest: %s tag %s using max request size %u",
                             channel.m_strName.c_str(), tag.m_strName.c_str(), size.maxSize);
                return size.maxSize;
            }
        }
    }
    return kDefaultMaxRequestSize;
}

// The most registers or bits a request may read: what the protocol allows, and no more data
// bytes in the answer than the size limit.
int64_t MaxCount(uint8_t function, uint32_t maxSize) {
    if (ReadsBits(function)) return std::min<int64_t>(kMaxBitCount, int64_t{maxSize} * 8);
    return std::min<int64_t>(kMaxRegisterCount, maxSize / 2);
}

struct Bounds {
    int64_t start;
    int64_t end;

    int64_t Count() const { return end - start + 1; }
};

// Where the request would start and end once it serves the tag; nothing when the request cannot
// serve it together with its tags.
std::optional<Bounds> BoundsWith(const ReadRequest& request, const core::TagRecord& tag) {
    Bounds bounds{std::min<int64_t>(request.start, RegisterOf(tag)), request.end};
    if (!Servable(tag, bounds.start)) return std::nullopt;
    bounds.end = std::max(bounds.end, LastNeeded(tag, bounds.start));
    if (bounds.start == request.start) return bounds;
    for (const core::TagRecord& served : request.tags) {
        if (!Servable(served, bounds.start)) return std::nullopt;
        bounds.end = std::max(bounds.end, LastNeeded(served, bounds.start));
    }
    return bounds;
}

bool SameGroup(const ReadRequest& request, const core::TagRecord& tag) {
    return request.address == tag.m_ucDeviceNo && request.function == tag.m_ucFunction &&
           request.priority == tag.m_ucPriority;
}

bool IsCandidate(const ReadRequest& request, const core::TagRecord& tag, uint32_t maxSize) {
    if (!SameGroup(request, tag)) return false;
    const std::optional<Bounds> bounds = BoundsWith(request, tag);
    if (!bounds) return false;
    // A request that already reads all the tag needs takes it whatever its size.
    return bounds->Count() == request.count ||
           bounds->Count() <= MaxCount(request.function, maxSize);
}

// A candidate covers the tag when it reads the tag's register and every byte the tag takes.
bool Covers(const ReadRequest& request, const core::TagRecord& tag) {
    const int64_t reg = RegisterOf(tag);
    return reg >= request.start && reg <= request.end &&
           LastNeeded(tag, request.start) <= request.end;
}

// Callers have checked that the tag lies in the register space.
ReadRequest NewRequest(const core::TagRecord& tag) {
    ReadRequest request;
    request.address = tag.m_ucDeviceNo;
    request.function = tag.m_ucFunction;
    request.priority = tag.m_ucPriority;
    request.itemSize = tag.m_ucSize;
    const int64_t reg = RegisterOf(tag);
    request.start = static_cast<uint16_t>(reg);
    request.end = static_cast<uint16_t>(LastNeeded(tag, reg));
    request.count = static_cast<uint16_t>(request.end - request.start + 1);
    request.tags.push_back(tag);
    return request;
}

// The tag is a candidate that the request does not cover yet.
void Extend(ReadRequest* request, const core::TagRecord& tag) {
    const Bounds bounds = *BoundsWith(*request, tag);
    request->start = static_cast<uint16_t>(bounds.start);
    request->end = static_cast<uint16_t>(bounds.end);
    request->count = static_cast<uint16_t>(bounds.Count());
    request->tags.push_back(tag);
}

std::vector<ChannelTag> CopyChannelTags(const core::Server& server,
                                        const core::ChannelRecord& channel) {
    std::vector<ChannelTag> tags;
    for (size_t i = 0; i < server.tables.TagCount(); ++i) {
        ChannelTag tag{i, {}};
        if (server.tables.GetTag(i, &tag.record) != core::kOk) continue;
        if (tag.record.m_ucDevice != channel.m_ucID) continue;
        const core::TagRecord& r = tag.record;
        kvlog::Debug(server.log,
                     "WriteData: %s adding tag %s, device id %u, device no %u, function %u, "
                     "start reg %u, priority %u",
                     channel.m_strName.c_str(), r.m_strName.c_str(), r.m_ucDevice, r.m_ucDeviceNo,
                     r.m_ucFunction, r.m_dwRegister, r.m_ucPriority);
        tags.push_back(std::move(tag));
    }
    return tags;
}

void SortTags(std::vector<ChannelTag>* tags) {
    // Stable, so that tags equal in all keys keep their table order from run to run.
    std::stable_sort(tags->begin(), tags->end(), [](const ChannelTag& a, const ChannelTag& b) {
        return std::make_tuple(a.record.m_ucDeviceNo, a.record.m_ucFunction, RegisterOf(a.record)) <
               std::make_tuple(b.record.m_ucDeviceNo, b.record.m_ucFunction, RegisterOf(b.record));
    });
}

void ListRequests(kvlog::Handle log, const core::ChannelRecord& channel,
                  const std::vector<ReadRequest>& requests, Listing listing) {
    const char* name = channel.m_strName.c_str();
    if (listing == Listing::kTcp) {
        kvlog::Info(log, "WriteData: Device %s (%s) requests: ", name,
                    channel.m_strAddress.c_str());
    } else {
        kvlog::Info(log, "WriteData: Device %s (%s) requests:", name, channel.m_strAddress.c_str());
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        const ReadRequest& r = requests[i];
        const unsigned index = static_cast<unsigned>(i);
        if (listing == Listing::kTcp) {
            kvlog::Info(log,
                        "WriteData: %s request %u: device %02X, function %02X, start %04X, "
                        "number %04X, priority %u, item size %u",
                        name, index, r.address, r.function, r.start, r.count, r.priority,
                        r.itemSize);
        } else {
            kvlog::Info(log,
                        "WriteData: %s request %u: device %02X, function %02X, start %04X, "
                        "number %04X, priority %u",
                        name, index, r.address, r.function, r.start, r.count, r.priority);
        }
    }
}

}  // namespace

void AddRequest(const core::ChannelRecord& channel, std::vector<ReadRequest>* requests,
                const core::TagRecord& tag, kvlog::Handle log) {
    const char* name = channel.m_strName.c_str();
    if (tag.m_ucFunction == 0) {
        kvlog::Trace(log, "AddRequest: %s skipping new tag, device %u, function %u, register %u",
                     name, tag.m_ucDeviceNo, tag.m_ucFunction, tag.m_dwRegister);
        return;
    }
    if (!InRegisterSpace(tag)) {
        kvlog::Error(log, "AddRequest: %s tag %s register %u out of range", name,
                     tag.m_strName.c_str(), tag.m_dwRegister);
        return;
    }
    kvlog::Trace(log, "AddRequest: %s parsing new tag, device %u, function %u, register %u", name,
                 tag.m_ucDeviceNo, tag.m_ucFunction, tag.m_dwRegister);

    const uint32_t maxSize = MaxRequestSize(channel, tag, log);
    ReadRequest* chosen = nullptr;
    bool covered = false;
    for (ReadRequest& request : *requests) {
        if (!IsCandidate(request, tag, maxSize)) continue;
        chosen = &request;
        covered = covered || Covers(request, tag);
    }

    if (covered) {
        kvlog::Trace(log,
                     "AddRequest: %s skipping tag: device %u, function %u, register %u, "
                     "priority %u",
                     name, tag.m_ucDeviceNo, tag.m_ucFunction, tag.m_dwRegister, tag.m_ucPriority);
        return;
    }
    if (chosen != nullptr) {
        const ReadRequest before = *chosen;
        Extend(chosen, tag);
        kvlog::Trace(log,
                     "AddRequest: %s appending tag to request %u: req. device %u, req. function "
                     "%u, req. start register %u, tag function %u, tag register %u, priority %u",
                     name, static_cast<unsigned>(chosen - requests->data()), before.address,
                     before.function, before.start, tag.m_ucFunction, tag.m_dwRegister,
                     tag.m_ucPriority);
        return;
    }
    ReadRequest request = NewRequest(tag);
    kvlog::Trace(log,
                 "AddRequest: %s creating new request: device %u, function %u, start register "
                 "%u, priority %u",
                 name, request.address, request.function, request.start, request.priority);
    requests->push_back(std::move(request));
}

Plan PlanRequests(core::Server* server, size_t channelIndex, Listing listing,
                  uint32_t listingDelayMs) {
    Plan plan;
    core::ChannelRecord channel;
    if (server->tables.GetChannel(channelIndex, &channel) != core::kOk) {
        kvlog::Error(server->log, "WriteData: no channel at index %u",
                     static_cast<unsigned>(channelIndex));
        return plan;
    }
    plan.tags = CopyChannelTags(*server, channel);

    uint8_t highest = 0;
    for (const ChannelTag& tag : plan.tags)
        highest = std::max(highest, tag.record.m_ucPriority);
    server->tables.UpdateChannel(channelIndex, [highest](core::ChannelRecord& record) {
        record.highestPriority = std::max(record.highestPriority, highest);
    });

    SortTags(&plan.tags);
    for (const ChannelTag& tag : plan.tags) {
        AddRequest(channel, &plan.requests, tag.record, server->log);
    }

    platform::SleepMs(listingDelayMs);
    ListRequests(server->log, channel, plan.requests, listing);
    return plan;
}

bool DueThisCycle(ReadRequest* request) {
    if (request->priority == 0) return true;
    if (request->skipCounter < request->priority) {
        ++request->skipCounter;
        return false;
    }
    request->skipCounter = 0;
    return true;
}

}  // namespace modbus
