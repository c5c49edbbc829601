#pragma once
// The toolkit's log "opcservice", opened by the first live service and closed by the last.

#include "log/kvlog.h"

namespace opc {

// False when the log could not be opened (messages then go to the default log).
bool daLogOpen();
void daLogClose();
kvlog::Handle daLog();

}  // namespace opc
