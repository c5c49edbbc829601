#include "platform/file_contents.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace platform {
namespace {

// Through UTF-16 the path reaches the wide file API on Windows and becomes UTF-8 on POSIX,
// whatever the host's code page.
std::filesystem::path NativePath(const std::string& path) {
    return std::filesystem::path(Cp1251ToUtf16(path));
}

uint32_t OpenFailure(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) ? kErrorAccessDenied : kErrorFileNotFound;
}

}  // namespace

uint32_t ReadFileContents(const std::string& path, std::string* contents) {
    const auto native = NativePath(path);
    std::ifstream in(native, std::ios::binary);
    if (!in.is_open()) return OpenFailure(native);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return kErrorReadFault;
    *contents = std::move(buffer).str();
    return kErrorSuccess;
}

uint32_t WriteFileContents(const std::string& path, std::string_view contents) {
    const auto native = NativePath(path);
    std::ofstream out(native, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        std::error_code error;
        const bool folderMissing =
            native.has_parent_path() && !std::filesystem::exists(native.parent_path(), error);
        return folderMissing ? kErrorPathNotFound : kErrorAccessDenied;
    }
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return out.fail() ? kErrorWriteFault : kErrorSuccess;
}

}  // namespace platform
