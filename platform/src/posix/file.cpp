#include "platform/file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace platform {
namespace {

uint32_t Win32ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return kErrorPathNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return kErrorBadPathname;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EINVAL:
        case EFBIG:
            return kErrorInvalidParameter;
        case ENOSPC:
        case EDQUOT:
            return 112;  // ERROR_DISK_FULL
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        default:
            return kErrorWriteFault;
    }
}

uint32_t LastErrnoAsWin32() {
    return Win32ErrorFromErrno(errno);
}

}  // namespace

SharedFile::~SharedFile() {
    Close();
}

SharedFile::SharedFile(SharedFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

uint32_t SharedFile::Open(const std::string& path, bool truncate) {
    Close();
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = -1;
    do {
        fd = open(Cp1251ToUtf8(path).c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastErrnoAsWin32();
    handle_ = fd;
    return kErrorSuccess;
}

void SharedFile::Close() {
    if (handle_ >= 0) close(static_cast<int>(std::exchange(handle_, -1)));
}

bool SharedFile::IsOpen() const {
    return handle_ >= 0;
}

uint32_t SharedFile::Size(uint64_t* size) const {
    struct stat status {};
    if (fstat(static_cast<int>(handle_), &status) != 0) return LastErrnoAsWin32();
    *size = static_cast<uint64_t>(status.st_size);
    return kErrorSuccess;
}

uint32_t SharedFile::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* done) const {
    *done = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (*done < length) {
        ssize_t count = pread(static_cast<int>(handle_), bytes + *done, length - *done,
                              static_cast<off_t>(offset + *done));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return LastErrnoAsWin32();
        if (count == 0) break;  // end of file
        *done += static_cast<size_t>(count);
    }
    return kErrorSuccess;
}

uint32_t SharedFile::WriteAt(uint64_t offset, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t count = pwrite(static_cast<int>(handle_), bytes + done, length - done,
                               static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count == 0 ? kErrorWriteFault : LastErrnoAsWin32();
        done += static_cast<size_t>(count);
    }
    return kErrorSuccess;
}

uint32_t SharedFile::Append(const void* data, size_t length) {
    uint64_t end = 0;
    if (uint32_t error = Size(&end); error != kErrorSuccess) return error;
    return WriteAt(end, data, length);
}

uint32_t SharedFile::Truncate(uint64_t size) {
    int result = 0;
    do {
        result = ftruncate(static_cast<int>(handle_), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kErrorSuccess : LastErrnoAsWin32();
}

uint32_t SharedFile::LockExclusive() {
    int result = 0;
    do {
        result = flock(static_cast<int>(handle_), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kErrorSuccess : LastErrnoAsWin32();
}

uint32_t SharedFile::Unlock() {
    return flock(static_cast<int>(handle_), LOCK_UN) == 0 ? kErrorSuccess : LastErrnoAsWin32();
}

}  // namespace platform
