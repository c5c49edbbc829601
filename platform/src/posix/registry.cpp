// The registry on POSIX: one ".reg" text file per hive. Writers serialise on a lock file beside
// the hive, re-read it, and replace it by rename, so that the server and the configurator can
// both write without losing each other's changes and readers need no lock.

#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/clock.h"
#include "platform/errors.h"
#include "reg_file.h"

namespace platform::reg {
namespace {

// Generous: a writer holds the lock only for one read and one write of the file.
constexpr uint32_t kLockTimeoutMs = 30000;
constexpr uint32_t kLockPollMaxMs = 16;
// The hives hold secrets such as link keys.
constexpr mode_t kFileMode = 0600;

const char* RootName(Hive hive) {
    switch (hive) {
        case Hive::CurrentUser:
            return "HKEY_CURRENT_USER";
        case Hive::LocalMachine:
            return "HKEY_LOCAL_MACHINE";
        case Hive::ClassesRoot:
            return "HKEY_CLASSES_ROOT";
    }
    return "HKEY_CURRENT_USER";
}

std::mutex& HiveMutex(Hive hive) {
    static std::mutex mutexes[3];
    return mutexes[static_cast<int>(hive)];
}

std::string HivePath(const std::string& directory, Hive hive) {
    return directory + "/" + RootName(hive) + ".reg";
}

void ReportSystemError(const char* what, const std::string& path) {
    std::fprintf(stderr, "registry: cannot %s %s: %s\n", what, path.c_str(), std::strerror(errno));
}

uint32_t ErrnoToError(uint32_t fallback) {
    return errno == EACCES || errno == EPERM || errno == EROFS ? kErrorAccessDenied : fallback;
}

// Reported once per state of the file, not at every query of a damaged hive.
void ReportDamage(const std::string& path, const struct stat& info, const file::ParseError& error) {
    static std::mutex mutex;
    static std::string lastReported;
    std::string identity = path + '|' + std::to_string(info.st_ino) + '|' +
                           std::to_string(info.st_size) + '|' +
                           std::to_string(info.st_mtim.tv_sec) + '.' +
                           std::to_string(info.st_mtim.tv_nsec) + '|' + std::to_string(error.line);
    std::lock_guard guard(mutex);
    if (identity == lastReported) return;
    lastReported = identity;
    std::fprintf(stderr, "registry: %s is damaged at line %zu (%s); it is left unchanged\n",
                 path.c_str(), error.line, error.reason.c_str());
}

struct HiveFile {
    file::Key root;
    std::string text;  // as read, to skip writes that change nothing
};

uint32_t ReadWhole(int fd, std::string* text) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got == 0) return kErrorSuccess;
        if (got < 0) {
            if (errno == EINTR) continue;
            return kErrorReadFault;
        }
        text->append(buffer, static_cast<size_t>(got));
    }
}

// A missing file is an empty hive.
uint32_t LoadHive(const std::string& path, Hive hive, HiveFile* hiveFile) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return kErrorSuccess;
        ReportSystemError("open", path);
        return ErrnoToError(kErrorReadFault);
    }
    struct stat info {};
    uint32_t code = fstat(fd, &info) == 0 ? ReadWhole(fd, &hiveFile->text) : kErrorReadFault;
    if (code != kErrorSuccess) ReportSystemError("read", path);
    close(fd);
    if (code != kErrorSuccess) return code;
    file::ParseError error;
    if (!file::Parse(hiveFile->text, RootName(hive), &hiveFile->root, &error)) {
        ReportDamage(path, info, error);
        return kErrorRegistryCorrupt;
    }
    return kErrorSuccess;
}

// An exclusive flock on "<hive>.reg.lock", released when the object goes.
class HiveLock {
public:
    HiveLock() = default;
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    ~HiveLock() {
        if (fd_ >= 0) close(fd_);
    }

    uint32_t Acquire(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
        if (fd_ < 0) {
            ReportSystemError("open", path);
            return ErrnoToError(kErrorLockViolation);
        }
        uint64_t deadline = TickCount64() + kLockTimeoutMs;
        uint32_t pauseMs = 1;
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) {
                ReportSystemError("lock", path);
                return kErrorLockViolation;
            }
            if (TickCount64() >= deadline) {
                std::fprintf(stderr,
                             "registry: %s stayed locked for %u ms; the change is not written\n",
                             path.c_str(), kLockTimeoutMs);
                return kErrorTimeout;
            }
            SleepMs(pauseMs);
            pauseMs = std::min(pauseMs * 2, kLockPollMaxMs);
        }
        return kErrorSuccess;
    }

private:
    int fd_ = -1;
};

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Readers see the old file or the new one, never a part of either.
uint32_t ReplaceFile(const std::string& directory, const std::string& path,
                     const std::string& text) {
    std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        ReportSystemError("create", temporary);
        return ErrnoToError(kErrorWriteFault);
    }
    bool written = WriteAll(fd, text) && fsync(fd) == 0;
    if (!written) ReportSystemError("write", temporary);
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        if (written) ReportSystemError("replace", path);
        unlink(temporary.c_str());
        return kErrorWriteFault;
    }
    // Makes the rename itself durable.
    int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        fsync(directoryFd);
        close(directoryFd);
    }
    return kErrorSuccess;
}

// Runs change on the current content of the hive under the locks and stores the result.
template <class Change>
uint32_t Modify(Hive hive, Change change) {
    std::lock_guard guard(HiveMutex(hive));
    std::string directory = StorageDirectory();
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        std::fprintf(stderr, "registry: cannot create %s: %s\n", directory.c_str(),
                     error.message().c_str());
        return kErrorPathNotFound;
    }
    std::string path = HivePath(directory, hive);
    HiveLock lock;
    if (uint32_t code = lock.Acquire(path + ".lock"); code != kErrorSuccess) return code;
    HiveFile hiveFile;
    if (uint32_t code = LoadHive(path, hive, &hiveFile); code != kErrorSuccess) return code;
    if (uint32_t code = change(hiveFile.root); code != kErrorSuccess) return code;
    std::string text = file::Serialize(hiveFile.root, RootName(hive));
    if (text == hiveFile.text) return kErrorSuccess;
    return ReplaceFile(directory, path, text);
}

template <class Inspect>
uint32_t Read(Hive hive, Inspect inspect) {
    HiveFile hiveFile;
    uint32_t code = LoadHive(HivePath(StorageDirectory(), hive), hive, &hiveFile);
    return code != kErrorSuccess ? code : inspect(static_cast<const file::Key&>(hiveFile.root));
}

// Reads the key at path, which must exist.
template <class Inspect>
uint32_t ReadKey(Hive hive, std::string_view path, Inspect inspect) {
    file::KeyPath names;
    if (!file::SplitPath(path, &names)) return kErrorFileNotFound;
    return Read(hive, [&](const file::Key& root) {
        const file::Key* key = file::FindKey(root, names);
        return key == nullptr ? kErrorFileNotFound : inspect(*key);
    });
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
        return found->pw_dir;
    }
    return "/tmp";
}

}  // namespace

std::string StorageDirectory() {
    if (const char* directory = std::getenv("KARVEX_REGISTRY_DIR");
        directory != nullptr && *directory != '\0') {
        return directory;
    }
    return HomeDirectory() + "/.config/karvex/registry";
}

uint32_t CreateKey(Hive hive, std::string_view key) {
    file::KeyPath names;
    if (!file::SplitPath(key, &names)) return kErrorBadPathname;
    return Modify(hive, [&](file::Key& root) {
        file::CreateKey(root, names);
        return kErrorSuccess;
    });
}

uint32_t QueryValue(Hive hive, std::string_view key, std::string_view name, Value* value) {
    return ReadKey(hive, key, [&](const file::Key& found) {
        const Value* stored = found.FindValue(name);
        if (stored == nullptr) return kErrorFileNotFound;
        if (value != nullptr) *value = *stored;
        return kErrorSuccess;
    });
}

uint32_t SetValue(Hive hive, std::string_view key, std::string_view name, const Value& value) {
    file::KeyPath names;
    if (!file::SplitPath(key, &names)) return kErrorBadPathname;
    if (!file::IsValidValueName(name)) return kErrorInvalidParameter;
    return Modify(hive, [&](file::Key& root) {
        file::CreateKey(root, names).SetValue(name, value);
        return kErrorSuccess;
    });
}

uint32_t DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    file::KeyPath names;
    if (!file::SplitPath(key, &names)) return kErrorFileNotFound;
    return Modify(hive, [&](file::Key& root) {
        file::Key* found = file::FindKey(root, names);
        return found != nullptr && found->DeleteValue(name) ? kErrorSuccess : kErrorFileNotFound;
    });
}

uint32_t DeleteTree(Hive hive, std::string_view key) {
    file::KeyPath names;
    if (!file::SplitPath(key, &names)) return kErrorFileNotFound;
    // Never the whole hive.
    if (names.empty()) return kErrorInvalidParameter;
    std::string_view last = names.back();
    names.pop_back();
    return Modify(hive, [&](file::Key& root) {
        file::Key* parent = file::FindKey(root, names);
        return parent != nullptr && parent->DeleteSubkey(last) ? kErrorSuccess : kErrorFileNotFound;
    });
}

uint32_t EnumSubkeys(Hive hive, std::string_view key, std::vector<std::string>* names) {
    names->clear();
    return ReadKey(hive, key, [&](const file::Key& found) {
        for (const file::Key& subkey : found.subkeys)
            names->push_back(subkey.name);
        return kErrorSuccess;
    });
}

uint32_t EnumValues(Hive hive, std::string_view key, std::vector<std::string>* names) {
    names->clear();
    return ReadKey(hive, key, [&](const file::Key& found) {
        for (const file::NamedValue& value : found.values)
            names->push_back(value.name);
        return kErrorSuccess;
    });
}

bool KeyExists(Hive hive, std::string_view key) {
    return ReadKey(hive, key, [](const file::Key&) { return kErrorSuccess; }) == kErrorSuccess;
}

}  // namespace platform::reg
