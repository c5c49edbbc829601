#include "platform/errors.h"
#include "platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {
thread_local uint32_t lastError = 0;
}

uint32_t LastError() {
    return lastError;
}
void SetLastError(uint32_t code) {
    lastError = code;
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}
uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

}  // namespace platform
