#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace platform {
namespace {

// The inter-process lock covers one byte far beyond any real file size, so it never blocks
// reading or writing the data itself.
constexpr DWORD kLockOffsetHigh = 0xFFFFFFFF;
constexpr DWORD kLockOffsetLow = 0;
// ReadFile and WriteFile take 32-bit lengths.
constexpr size_t kMaxChunk = 1u << 30;

HANDLE Native(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
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
    std::u16string wide = Cp1251ToUtf16(path);
    HANDLE file =
        CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
    handle_ = reinterpret_cast<intptr_t>(file);
    return kErrorSuccess;
}

void SharedFile::Close() {
    if (handle_ != -1) CloseHandle(Native(std::exchange(handle_, -1)));
}

bool SharedFile::IsOpen() const {
    return handle_ != -1;
}

uint32_t SharedFile::Size(uint64_t* size) const {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(Native(handle_), &value)) return ::GetLastError();
    *size = static_cast<uint64_t>(value.QuadPart);
    return kErrorSuccess;
}

uint32_t SharedFile::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* done) const {
    *done = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (*done < length) {
        OVERLAPPED overlapped = At(offset + *done);
        DWORD chunk = static_cast<DWORD>(std::min(length - *done, kMaxChunk));
        DWORD count = 0;
        if (!ReadFile(Native(handle_), bytes + *done, chunk, &count, &overlapped)) {
            DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF) break;
            return error;
        }
        if (count == 0) break;
        *done += count;
    }
    return kErrorSuccess;
}

uint32_t SharedFile::WriteAt(uint64_t offset, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        OVERLAPPED overlapped = At(offset + done);
        DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxChunk));
        DWORD count = 0;
        if (!WriteFile(Native(handle_), bytes + done, chunk, &count, &overlapped)) {
            return ::GetLastError();
        }
        if (count == 0) return kErrorWriteFault;
        done += count;
    }
    return kErrorSuccess;
}

uint32_t SharedFile::Append(const void* data, size_t length) {
    uint64_t end = 0;
    if (uint32_t error = Size(&end); error != kErrorSuccess) return error;
    return WriteAt(end, data, length);
}

uint32_t SharedFile::Truncate(uint64_t size) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(Native(handle_), FileEndOfFileInfo, &info, sizeof(info))) {
        return ::GetLastError();
    }
    return kErrorSuccess;
}

uint32_t SharedFile::LockExclusive() {
    OVERLAPPED overlapped{};
    overlapped.Offset = kLockOffsetLow;
    overlapped.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(Native(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped)) {
        return ::GetLastError();
    }
    return kErrorSuccess;
}

uint32_t SharedFile::Unlock() {
    OVERLAPPED overlapped{};
    overlapped.Offset = kLockOffsetLow;
    overlapped.OffsetHigh = kLockOffsetHigh;
    if (!UnlockFileEx(Native(handle_), 0, 1, 0, &overlapped)) return ::GetLastError();
    return kErrorSuccess;
}

}  // namespace platform
