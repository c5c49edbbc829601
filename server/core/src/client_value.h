#pragma once
// The number in a value an OPC client wrote.

#include "platform/com.h"

namespace core {

// Numbers of every numeric type, VT_BOOL (1 or 0) and text that is wholly a number with '.' as
// its decimal point (blanks around it allowed); false for anything else (empty, arrays,
// dates, references, other text). Text beyond a double's range gives NaN.
bool ClientValueToDouble(const VARIANT& value, double* number);

}  // namespace core
