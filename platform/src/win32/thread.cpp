#include <windows.h>

#include "platform/errors.h"
#include "platform/thread.h"

namespace platform {

uint32_t LastError() {
    return ::GetLastError();
}
void SetLastError(uint32_t code) {
    ::SetLastError(code);
}

uint32_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}
uint32_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

}  // namespace platform
