#include "platform/serial.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace platform {
namespace {

struct BaudRate {
    uint32_t bitsPerSecond;
    speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedOf(uint32_t bitsPerSecond, speed_t* speed) {
    for (const auto& rate : kBaudRates) {
        if (rate.bitsPerSecond != bitsPerSecond) continue;
        *speed = rate.speed;
        return true;
    }
    return false;
}

uint32_t BitsPerSecondOf(speed_t speed) {
    for (const auto& rate : kBaudRates) {
        if (rate.speed == speed) return rate.bitsPerSecond;
    }
    return 0;
}

bool SizeOf(uint8_t dataBits, tcflag_t* size) {
    switch (dataBits) {
        case 5:
            *size = CS5;
            return true;
        case 6:
            *size = CS6;
            return true;
        case 7:
            *size = CS7;
            return true;
        case 8:
            *size = CS8;
            return true;
        default:
            return false;
    }
}

uint8_t DataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// Mark and space parity are the odd and even flags with the parity bit held (CMSPAR).
bool ParityFlagsOf(Parity parity, tcflag_t* flags) {
    switch (parity) {
        case Parity::None:
            *flags = 0;
            return true;
        case Parity::Odd:
            *flags = PARENB | PARODD;
            return true;
        case Parity::Even:
            *flags = PARENB;
            return true;
        case Parity::Mark:
            *flags = PARENB | CMSPAR | PARODD;
            return true;
        case Parity::Space:
            *flags = PARENB | CMSPAR;
            return true;
    }
    return false;
}

Parity ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) return Parity::None;
    bool odd = cflag & PARODD;
    if (cflag & CMSPAR) return odd ? Parity::Mark : Parity::Space;
    return odd ? Parity::Odd : Parity::Even;
}

// A pty keeps its frame format (8N1) whatever is asked, and the C library reports EINVAL when
// a call changed nothing, so configuring a pty with parity a second time "fails". The request
// counts as taken when everything but the frame format is in effect.
bool TookAllButFrameFormat(int fd, const termios& requested) {
    const int savedErrno = errno;
    termios now{};
    bool took = tcgetattr(fd, &now) == 0;
    constexpr tcflag_t kFrame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    took = took && now.c_iflag == requested.c_iflag && now.c_oflag == requested.c_oflag &&
           now.c_lflag == requested.c_lflag &&
           (now.c_cflag & ~kFrame) == (requested.c_cflag & ~kFrame) &&
           cfgetispeed(&now) == cfgetispeed(&requested) &&
           cfgetospeed(&now) == cfgetospeed(&requested);
    errno = savedErrno;
    return took;
}

uint32_t OpenErrorOf(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kErrorAccessDenied;
        default:
            return kErrorGenFailure;
    }
}

// A line whose device has gone (its pty master closed, a USB adapter pulled out) reports EIO
// or ENXIO on every call.
bool DeviceGone(int errnoValue) {
    return errnoValue == EIO || errnoValue == ENXIO || errnoValue == ENODEV;
}

uint32_t RemainingMs(uint64_t deadline) {
    uint64_t now = TickCount64();
    return now >= deadline ? 0
                           : static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 0x7FFFFFFF));
}

// Waits for the events within timeoutMs. Returns the poll events seen, 0 on timeout.
short WaitFor(int fd, short events, uint32_t timeoutMs, uint32_t* error) {
    const uint64_t deadline = TickCount64() + timeoutMs;
    for (;;) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(RemainingMs(deadline)));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) {
            *error = kErrorGenFailure;
            return 0;
        }
    }
}

}  // namespace

std::string SerialDevicePath(unsigned comNumber) {
    if (comNumber == 0) return {};
    std::string name = "COM" + std::to_string(comNumber);
    reg::Value value;
    if (reg::QueryValue(reg::Hive::CurrentUser, kSerialPortsKey, name, &value) == kErrorSuccess &&
        (value.type == reg::Type::Sz || value.type == reg::Type::ExpandSz)) {
        return value.AsString();
    }
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::IsOpen() const {
    return handle_ >= 0;
}

uint32_t SerialPort::Open(unsigned comNumber) {
    Close();
    std::string path = SerialDevicePath(comNumber);
    if (path.empty()) return kErrorFileNotFound;
    int fd = open(Cp1251ToUtf8(path).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenErrorOf(errno);
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        close(fd);
        return kErrorInvalidFunction;  // not a terminal device
    }
    // Windows opens a COM port for one handle only; flock covers root too, TIOCEXCL others.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        uint32_t error = OpenErrorOf(errno);
        close(fd);
        return error;
    }
    ioctl(fd, TIOCEXCL);
    handle_ = fd;
    return kErrorSuccess;
}

uint32_t SerialPort::Configure(const SerialSettings& settings) {
    if (handle_ < 0) return kErrorInvalidHandle;
    speed_t speed = 0;
    tcflag_t size = 0;
    tcflag_t parity = 0;
    if (!SpeedOf(settings.baudRate, &speed) || !SizeOf(settings.dataBits, &size) ||
        !ParityFlagsOf(settings.parity, &parity)) {
        return kErrorInvalidParameter;
    }
    const int fd = static_cast<int>(handle_);
    termios line{};
    if (tcgetattr(fd, &line) != 0) return kErrorInvalidFunction;
    cfmakeraw(&line);
    line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (parity != 0) line.c_iflag |= INPCK;
    line.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
    line.c_cflag |= CLOCAL | CREAD | size | parity;
    if (settings.stopBits == StopBits::Two) line.c_cflag |= CSTOPB;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    if (tcsetattr(fd, TCSANOW, &line) != 0 && !TookAllButFrameFormat(fd, line)) {
        return errno == EINVAL ? kErrorInvalidParameter : kErrorGenFailure;
    }
    // Ptys have no modem lines, so failing to drop DTR and RTS there is expected.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    return Purge();
}

uint32_t SerialPort::Settings(SerialSettings* settings) const {
    termios line{};
    if (handle_ < 0) return kErrorInvalidHandle;
    if (tcgetattr(static_cast<int>(handle_), &line) != 0) return kErrorInvalidFunction;
    settings->baudRate = BitsPerSecondOf(cfgetospeed(&line));
    settings->dataBits = DataBitsOf(line.c_cflag);
    settings->parity = ParityOf(line.c_cflag);
    settings->stopBits = (line.c_cflag & CSTOPB) ? StopBits::Two : StopBits::One;
    return kErrorSuccess;
}

uint32_t SerialPort::Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written) {
    *written = 0;
    if (handle_ < 0) return kErrorInvalidHandle;
    const int fd = static_cast<int>(handle_);
    const uint64_t deadline = TickCount64() + timeoutMs;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (*written < length) {
        uint32_t error = kErrorSuccess;
        if (WaitFor(fd, POLLOUT, RemainingMs(deadline), &error) == 0) {
            return error != kErrorSuccess ? error : kErrorTimeout;
        }
        ssize_t done = write(fd, bytes + *written, length - *written);
        if (done < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return DeviceGone(errno) ? kErrorDeviceNotConnected : kErrorWriteFault;
        }
        *written += static_cast<size_t>(done);
    }
    return kErrorSuccess;
}

uint32_t SerialPort::Read(void* buffer, size_t capacity, uint32_t firstByteTimeoutMs,
                          uint32_t gapMs, size_t* received) {
    *received = 0;
    if (handle_ < 0) return kErrorInvalidHandle;
    const int fd = static_cast<int>(handle_);
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t waitMs = firstByteTimeoutMs;
    while (*received < capacity) {
        uint32_t error = kErrorSuccess;
        short events = WaitFor(fd, POLLIN, waitMs, &error);
        if (error != kErrorSuccess) return error;
        if (events == 0) break;
        ssize_t done = read(fd, bytes + *received, capacity - *received);
        if (done < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // A hung-up line stays "readable" with nothing to read; stop instead of spinning.
        if (done == 0 || (done < 0 && DeviceGone(errno))) return kErrorDeviceNotConnected;
        if (done < 0) return kErrorReadFault;
        *received += static_cast<size_t>(done);
        waitMs = gapMs;
    }
    return *received > 0 ? kErrorSuccess : kErrorTimeout;
}

uint32_t SerialPort::Purge() {
    if (handle_ < 0) return kErrorInvalidHandle;
    if (tcflush(static_cast<int>(handle_), TCIOFLUSH) == 0) return kErrorSuccess;
    return DeviceGone(errno) ? kErrorDeviceNotConnected : kErrorGenFailure;
}

void SerialPort::Close() {
    if (handle_ < 0) return;
    close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace platform
