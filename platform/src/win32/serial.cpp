#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/system.h"

namespace platform {
namespace {

HANDLE Port(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// One overlapped operation with its own event; the operation must be finished (completed or
// cancelled and waited for) before this goes out of scope.
class Overlapped {
public:
    Overlapped() { block_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (block_.hEvent) CloseHandle(block_.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Valid() const { return block_.hEvent != nullptr; }
    OVERLAPPED* Block() {
        HANDLE event = block_.hEvent;
        block_ = OVERLAPPED{};
        block_.hEvent = event;
        ResetEvent(event);
        return &block_;
    }
    OVERLAPPED* Current() { return &block_; }
    bool Wait(uint32_t timeoutMs) {
        return WaitForSingleObject(block_.hEvent, timeoutMs) == WAIT_OBJECT_0;
    }

private:
    OVERLAPPED block_{};
};

// The codes a port whose device has gone reports vary with the driver: a pulled-out USB
// adapter gives access denied or bad command, Wine on a vanished pty gives not ready.
uint32_t LastPortError() {
    const DWORD error = ::GetLastError();
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return kErrorDeviceNotConnected;
        default:
            return error;
    }
}

void CancelAndFinish(HANDLE port, Overlapped* operation, DWORD* done) {
    CancelIo(port);
    GetOverlappedResult(port, operation->Current(), done, TRUE);
}

uint32_t QueuedBytes(HANDLE port, DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return LastPortError();
    *queued = status.cbInQue;
    return kErrorSuccess;
}

// True when received bytes are queued within timeoutMs. The queue is looked at after every
// wake-up instead of trusting the event mask: Wine can complete WaitCommEvent with an empty
// mask, and bytes that arrived before the wait started raise no new event.
bool WaitForInput(HANDLE port, uint32_t timeoutMs, uint32_t* error) {
    const uint64_t deadline = TickCount64() + timeoutMs;
    Overlapped operation;
    if (!operation.Valid()) {
        *error = LastPortError();
        return false;
    }
    for (;;) {
        DWORD queued = 0;
        if ((*error = QueuedBytes(port, &queued)) != kErrorSuccess) return false;
        if (queued > 0) return true;
        uint64_t now = TickCount64();
        if (now >= deadline) return false;
        DWORD mask = 0;
        DWORD done = 0;
        if (!WaitCommEvent(port, &mask, operation.Block())) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                *error = LastPortError();
                return false;
            }
            if (QueuedBytes(port, &queued) == kErrorSuccess && queued > 0) {
                CancelAndFinish(port, &operation, &done);
                return true;
            }
            if (!operation.Wait(static_cast<uint32_t>(deadline - now))) {
                CancelAndFinish(port, &operation, &done);
                return QueuedBytes(port, &queued) == kErrorSuccess && queued > 0;
            }
            GetOverlappedResult(port, operation.Current(), &done, FALSE);
        }
        if (QueuedBytes(port, &queued) == kErrorSuccess && queued > 0) return true;
        Sleep(1);  // a wake-up with nothing queued must not become a busy loop
    }
}

// Reads what is queued, up to capacity; ReadFile returns at once (see the timeouts in Open).
uint32_t ReadQueued(HANDLE port, uint8_t* buffer, size_t capacity, size_t* received) {
    *received = 0;
    DWORD queued = 0;
    if (uint32_t error = QueuedBytes(port, &queued); error != kErrorSuccess) return error;
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(std::max<DWORD>(queued, 1), capacity));
    Overlapped operation;
    if (!operation.Valid()) return LastPortError();
    DWORD done = 0;
    if (!ReadFile(port, buffer, wanted, &done, operation.Block())) {
        if (::GetLastError() != ERROR_IO_PENDING) return LastPortError();
        if (!GetOverlappedResult(port, operation.Current(), &done, TRUE)) return LastPortError();
    }
    *received = done;
    return kErrorSuccess;
}

// Wine sets the line through tcsetattr, which reports a failure when a pty, keeping its fixed
// 8N1 frame, ignores a parity or data-bits change (typically on a second open). The port
// works all the same, so under Wine the settings count as taken once the speed is in effect.
bool TookSpeedUnderWine(HANDLE port, const DCB& requested) {
    const DWORD error = ::GetLastError();
    DCB now{};
    now.DCBlength = sizeof(now);
    bool took =
        RunningUnderWine() && GetCommState(port, &now) && now.BaudRate == requested.BaudRate;
    ::SetLastError(error);
    return took;
}

}  // namespace

std::string SerialDevicePath(unsigned comNumber) {
    if (comNumber == 0) return {};
    return "\\\\.\\COM" + std::to_string(comNumber);
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::IsOpen() const {
    return handle_ != -1;
}

uint32_t SerialPort::Open(unsigned comNumber) {
    Close();
    std::string path = SerialDevicePath(comNumber);
    if (path.empty()) return kErrorFileNotFound;
    std::u16string wide = Cp1251ToUtf16(path);
    HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return ::GetLastError();
    // Reads return at once with what is queued; Read and Write bound their own waits.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) {
        uint32_t error = ::GetLastError();
        CloseHandle(port);
        return error;
    }
    handle_ = reinterpret_cast<intptr_t>(port);
    return kErrorSuccess;
}

uint32_t SerialPort::Configure(const SerialSettings& settings) {
    if (handle_ == -1) return kErrorInvalidHandle;
    if (settings.dataBits < 5 || settings.dataBits > 8 || settings.parity > Parity::Space) {
        return kErrorInvalidParameter;
    }
    HANDLE port = Port(handle_);
    DCB line{};
    line.DCBlength = sizeof(line);
    if (!GetCommState(port, &line)) return ::GetLastError();
    line.BaudRate = settings.baudRate;
    line.fBinary = TRUE;
    line.fParity = settings.parity != Parity::None;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line.fAbortOnError = FALSE;
    line.ByteSize = settings.dataBits;
    line.Parity =
        static_cast<BYTE>(settings.parity);  // the same numbering as NOPARITY..SPACEPARITY
    line.StopBits = settings.stopBits == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    // SetCommState refuses equal XON and XOFF characters even with flow control off.
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    if (!SetCommState(port, &line) && !TookSpeedUnderWine(port, line)) return ::GetLastError();
    return Purge();
}

uint32_t SerialPort::Settings(SerialSettings* settings) const {
    if (handle_ == -1) return kErrorInvalidHandle;
    DCB line{};
    line.DCBlength = sizeof(line);
    if (!GetCommState(Port(handle_), &line)) return ::GetLastError();
    settings->baudRate = line.BaudRate;
    settings->dataBits = line.ByteSize;
    settings->parity = static_cast<Parity>(std::min<BYTE>(line.Parity, SPACEPARITY));
    settings->stopBits = line.StopBits == TWOSTOPBITS ? StopBits::Two : StopBits::One;
    return kErrorSuccess;
}

uint32_t SerialPort::Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written) {
    *written = 0;
    if (handle_ == -1) return kErrorInvalidHandle;
    HANDLE port = Port(handle_);
    Overlapped operation;
    if (!operation.Valid()) return LastPortError();
    DWORD done = 0;
    uint32_t result = kErrorSuccess;
    if (!WriteFile(port, data, static_cast<DWORD>(length), &done, operation.Block())) {
        if (::GetLastError() != ERROR_IO_PENDING) return LastPortError();
        if (operation.Wait(timeoutMs)) {
            if (!GetOverlappedResult(port, operation.Current(), &done, FALSE)) {
                result = LastPortError();
            }
        } else {
            CancelAndFinish(port, &operation, &done);
            result = kErrorTimeout;
        }
    }
    *written = done;
    if (result == kErrorSuccess && done < length) result = kErrorWriteFault;
    return result;
}

uint32_t SerialPort::Read(void* buffer, size_t capacity, uint32_t firstByteTimeoutMs,
                          uint32_t gapMs, size_t* received) {
    *received = 0;
    if (handle_ == -1) return kErrorInvalidHandle;
    HANDLE port = Port(handle_);
    if (!SetCommMask(port, EV_RXCHAR)) return LastPortError();
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t waitMs = firstByteTimeoutMs;
    while (*received < capacity) {
        uint32_t error = kErrorSuccess;
        if (!WaitForInput(port, waitMs, &error)) {
            if (error != kErrorSuccess) return error;
            break;
        }
        size_t chunk = 0;
        if (uint32_t readError = ReadQueued(port, bytes + *received, capacity - *received, &chunk);
            readError != kErrorSuccess) {
            return readError;
        }
        *received += chunk;
        waitMs = gapMs;
    }
    return *received > 0 ? kErrorSuccess : kErrorTimeout;
}

uint32_t SerialPort::Purge() {
    if (handle_ == -1) return kErrorInvalidHandle;
    DWORD flags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (!PurgeComm(Port(handle_), flags)) return LastPortError();
    return kErrorSuccess;
}

void SerialPort::Close() {
    if (handle_ == -1) return;
    CloseHandle(Port(handle_));
    handle_ = -1;
}

}  // namespace platform
