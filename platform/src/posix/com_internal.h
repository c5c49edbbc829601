#pragma once
// Shared between the POSIX stand-in's VARIANT and SAFEARRAY code.

#include "platform/com.h"

namespace platform::com_internal {

// Bytes of one value of a base type as stored in an array or behind a reference; 0 for types
// that have no stored form.
ULONG ElementSize(VARTYPE vt);

}  // namespace platform::com_internal
