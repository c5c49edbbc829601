#pragma once
// The binary archive of the configuration file: little-endian integers and doubles without
// gaps, and texts with the document framework's length prefix.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace config {

// Reads from a byte buffer. The first read past the end marks the reader failed; from then on
// every read gives zero and empty texts, so callers check failed() once per record and stop
// loops early. Nothing is allocated for a length that the remaining bytes cannot hold.
class ArchiveReader {
public:
    explicit ArchiveReader(std::string_view data) : data_(data) {}

    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    double F64();
    std::string String();

    bool failed() const { return failed_; }
    size_t offset() const { return offset_; }

private:
    bool Take(size_t count, const char** bytes);
    uint64_t Unsigned(size_t width);
    uint64_t StringLength(bool* wide);

    std::string_view data_;
    size_t offset_ = 0;
    bool failed_ = false;
};

class ArchiveWriter {
public:
    void U8(uint8_t value) { Unsigned(value, 1); }
    void U16(uint16_t value) { Unsigned(value, 2); }
    void U32(uint32_t value) { Unsigned(value, 4); }
    void F64(double value);
    // Single-byte form only; texts of 255 bytes or more take the long prefix.
    void String(std::string_view text);
    void Raw(std::string_view bytes) { out_.append(bytes); }

    const std::string& bytes() const { return out_; }
    std::string Take() { return std::move(out_); }

private:
    void Unsigned(uint64_t value, size_t width);

    std::string out_;
};

}  // namespace config
