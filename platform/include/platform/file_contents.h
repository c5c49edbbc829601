#pragma once
// Whole files read and written in one go, named by Windows-1251 paths (documents that are
// loaded and saved as a unit). Functions return Win32 error codes.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Opens with shared read access; kErrorFileNotFound when the file does not exist.
uint32_t ReadFileContents(const std::string& path, std::string* contents);
// Creates or truncates the file.
uint32_t WriteFileContents(const std::string& path, std::string_view contents);

}  // namespace platform
