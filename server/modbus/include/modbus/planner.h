#pragma once
// Planning of a channel's read requests, once per worker start: the channel's tags are copied,
// sorted and merged into requests that each worker then polls cycle after cycle.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/server.h"
#include "log/kvlog.h"

namespace modbus {

constexpr uint32_t kDefaultMaxRequestSize = 248;  // bytes

struct ReadRequest {
    uint8_t address = 0;  // field device (unit id)
    uint8_t function = 0;
    uint16_t start = 0;
    uint16_t end = 0;
    uint16_t count = 0;
    uint8_t itemSize = 0;  // bits of the first tag: 1, 8, 16 or 32
    uint8_t priority = 0;
    uint8_t skipCounter = 0;
    std::vector<core::TagRecord> tags;
};

// A tag of the worker's channel, with its index in the tag table (answers are stored there).
struct ChannelTag {
    size_t index = 0;
    core::TagRecord record;
};

struct Plan {
    std::vector<ChannelTag> tags;  // sorted by field device, function, register
    std::vector<ReadRequest> requests;
};

// Adds one tag to the channel's requests: creates, extends or leaves them; logs every outcome.
void AddRequest(const core::ChannelRecord& channel, std::vector<ReadRequest>* requests,
                const core::TagRecord& tag, kvlog::Handle log);

enum class Listing { kTcp, kRtu };  // the RTU workers list requests without the item size

// Copies the tags of the channel at `channelIndex` (raising its highest priority), sorts them and
// plans the requests; then waits `listingDelayMs` and lists the requests in the log.
Plan PlanRequests(core::Server* server, size_t channelIndex, Listing listing,
                  uint32_t listingDelayMs = 1000);

// The priority gate at the top of a request turn: true when the request is polled this cycle
// (priority 0 always; priority p on every (p + 1)-th cycle).
bool DueThisCycle(ReadRequest* request);

}  // namespace modbus
