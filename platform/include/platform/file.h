#pragma once
// A file opened for reading and writing, shared with other processes (for logs that several
// processes append to). Operations return Win32 error codes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class SharedFile {
public:
    SharedFile() = default;
    ~SharedFile();
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;

    // Opens read/write, creating the file when missing; others may read and write it too.
    // Path is Windows-1251 text.
    uint32_t Open(const std::string& path, bool truncate);
    void Close();
    bool IsOpen() const;

    uint32_t Size(uint64_t* size) const;
    uint32_t ReadAt(uint64_t offset, void* buffer, size_t length, size_t* done) const;
    uint32_t WriteAt(uint64_t offset, const void* data, size_t length);
    // Appends at the current end of the file (the end as seen after any lock is taken).
    uint32_t Append(const void* data, size_t length);
    uint32_t Truncate(uint64_t size);

    // Blocking exclusive lock between processes; one holder per file at a time.
    uint32_t LockExclusive();
    uint32_t Unlock();

private:
    intptr_t handle_ = -1;
};

}  // namespace platform
