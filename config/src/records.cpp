#include "config/records.h"

#include "platform/clock.h"

namespace config {

opcTagInfo::opcTagInfo() : m_dwID(platform::TickCount()) {}

}  // namespace config
