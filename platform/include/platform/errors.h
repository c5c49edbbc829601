#pragma once
// Error codes shared by both targets. The registry, files and processes report Win32 error
// codes; sockets report Windows Sockets codes, so that log lines and status items read the
// same on Windows and on POSIX.

#include <cstdint>

namespace platform {

enum : uint32_t {
    kErrorSuccess = 0,
    kErrorInvalidFunction = 1,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidData = 13,
    kErrorWriteFault = 29,
    kErrorReadFault = 30,
    kErrorGenFailure = 31,
    kErrorSharingViolation = 32,
    kErrorLockViolation = 33,
    kErrorHandleEof = 38,
    kErrorInvalidParameter = 87,
    kErrorBadPathname = 161,
    kErrorAlreadyExists = 183,
    kErrorMoreData = 234,
    kErrorNoMoreItems = 259,
    kErrorDeviceNotConnected = 1167,
    kErrorTimeout = 1460,
    kErrorBadConfiguration = 1610,
    kErrorKeyDeleted = 1018,
    kErrorBadformat = 11,
    kErrorRegistryCorrupt = 1015,
};

// Windows Sockets codes.
enum : int {
    kWsaEintr = 10004,
    kWsaEbadf = 10009,
    kWsaEacces = 10013,
    kWsaEfault = 10014,
    kWsaEinval = 10022,
    kWsaEmfile = 10024,
    kWsaEwouldblock = 10035,
    kWsaEinprogress = 10036,
    kWsaEalready = 10037,
    kWsaEnotsock = 10038,
    kWsaEmsgsize = 10040,
    kWsaEaddrinuse = 10048,
    kWsaEaddrnotavail = 10049,
    kWsaEnetdown = 10050,
    kWsaEnetunreach = 10051,
    kWsaEnetreset = 10052,
    kWsaEconnaborted = 10053,
    kWsaEconnreset = 10054,
    kWsaEnobufs = 10055,
    kWsaEisconn = 10056,
    kWsaEnotconn = 10057,
    kWsaEshutdown = 10058,
    kWsaEtimedout = 10060,
    kWsaEconnrefused = 10061,
    kWsaEhostdown = 10064,
    kWsaEhostunreach = 10065,
    kWsaNotinitialised = 10093,
    kWsaHostNotFound = 11001,
    kWsaTryAgain = 11002,
    kWsaNoRecovery = 11003,
    kWsaNoData = 11004,
};

// The calling thread's system last-error value (GetLastError on Windows, a per-thread value
// on POSIX that the platform layer sets like Windows does).
uint32_t LastError();
void SetLastError(uint32_t code);

}  // namespace platform
