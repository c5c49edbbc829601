#include "core/config_reader.h"

#include <bit>
#include <cstdarg>

#include "platform/codepage.h"
#include "platform/file_contents.h"
#include "switchable_log.h"

namespace core {
namespace {

constexpr std::string_view kMarker = "ZZZ2012-12-21:::TAGINFODATASTART:::2012-12-21ZZZ";
constexpr uint32_t kOldestFileVersion = 100;
constexpr const char* kBrokenFile =
    "LoadConfig: reading configuration FAILED! Broken file or wrong file version!";
constexpr const char* kNotSupported =
    "LoadConfig: reading configuration FAILED! Configuration file version %u not supported!";

using Log = SwitchableLog;

// Little-endian reads from the file's bytes. The first read past the end marks the cursor
// failed and every later read gives zero, so a record is checked once at its end, and a count
// from the file bounds a loop but never an allocation.
class Cursor {
public:
    Cursor(std::string_view data, size_t offset) : data_(data), offset_(offset) {}

    bool failed() const { return failed_; }

    uint8_t U8() { return static_cast<uint8_t>(Unsigned(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Unsigned(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Unsigned(4)); }
    uint64_t U64() { return Unsigned(8); }
    double F64() { return std::bit_cast<double>(Unsigned(8)); }

    std::string Bytes(uint64_t count) {
        if (failed_ || count > data_.size() - offset_) {
            failed_ = true;
            return {};
        }
        std::string bytes(data_.substr(offset_, static_cast<size_t>(count)));
        offset_ += static_cast<size_t>(count);
        return bytes;
    }

private:
    uint64_t Unsigned(size_t width) {
        if (failed_ || width > data_.size() - offset_) {
            failed_ = true;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = width; i-- > 0;) {
            value = (value << 8) | static_cast<unsigned char>(data_[offset_ + i]);
        }
        offset_ += width;
        return value;
    }

    std::string_view data_;
    size_t offset_;
    bool failed_ = false;
};

std::string WideText(Cursor* in, uint64_t units) {
    const std::string bytes = in->Bytes(units > UINT64_MAX / 2 ? UINT64_MAX : units * 2);
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return platform::Utf16ToCp1251(text);
}

// The rest of a text whose length byte is 0xFF, in the configurator's archive form: a 16-bit
// length escaping to 32 and 64 bits, where a 16-bit 0xFFFE announces UTF-16 text whose length
// follows in the same form.
std::string LongText(Cursor* in) {
    bool wide = false;
    uint16_t length16 = in->U16();
    if (length16 == 0xFFFE) {
        wide = true;
        const uint8_t length8 = in->U8();
        if (length8 < 0xFF) return WideText(in, length8);
        length16 = in->U16();
    }
    uint64_t length = length16;
    if (length16 == 0xFFFF) {
        length = in->U32();
        if (length == 0xFFFFFFFF) length = in->U64();
    }
    return wide ? WideText(in, length) : in->Bytes(length);
}

// A text of the section: a length byte and the bytes. The configurator writes a text of 255
// bytes or more in its long form; that form is read in full, so the rest of the record stays
// in step.
std::string Text(Cursor* in, bool* longForm) {
    const uint8_t length = in->U8();
    *longForm = !in->failed() && length == 0xFF;
    return *longForm ? LongText(in) : in->Bytes(length);
}

std::string Text(Cursor* in) {
    bool longForm = false;
    return Text(in, &longForm);
}

class SectionReader {
public:
    SectionReader(Cursor* in, const TagInfoLayout& layout, const Log& log, ConfigSink& sink)
        : in_(*in), layout_(layout), log_(log), sink_(sink) {}

    // Each returns false when the data ends inside its part.
    bool ReadTags();
    bool ReadGroups();
    bool ReadDevices();
    bool ReadParameters();

    uint32_t devices() const { return devices_; }

private:
    bool ReadTag(ConfigTag* tag);
    ConfigDevice ReadDevice();

    Cursor& in_;
    const TagInfoLayout& layout_;
    const Log& log_;
    ConfigSink& sink_;
    uint32_t devices_ = 0;
};

bool SectionReader::ReadTag(ConfigTag* tag) {
    bool nameLong = false, commentLong = false, shortNameLong = false;
    tag->m_dwID = in_.U32();
    tag->m_vtType = in_.U16();
    tag->m_strName = Text(&in_, &nameLong);
    if (layout_.tagComment) tag->m_strComment = Text(&in_, &commentLong);
    if (layout_.tagShortName) tag->m_strShortName = Text(&in_, &shortNameLong);
    if (layout_.checksTextLength) {
        const char* name = tag->m_strName.c_str();
        if (nameLong) log_(kvlog::kError, "LoadConfig: tag %s name error", name);
        if (commentLong) log_(kvlog::kError, "LoadConfig: tag %s comment error", name);
        if (shortNameLong) log_(kvlog::kError, "LoadConfig: tag %s short name error", name);
    }
    tag->m_ucReserved = in_.U8();
    tag->m_ucDeviceNo = in_.U8();
    tag->m_ucDevice = in_.U8();
    tag->m_ucFunction = in_.U8();
    tag->m_dwRegister = in_.U32();
    tag->m_ucSize = in_.U8();
    tag->m_ucAccess = in_.U8();
    tag->m_ucWriteFunction = in_.U8();
    tag->m_dwWriteRegister = in_.U32();
    tag->m_ucGroupNo = in_.U8();
    if (layout_.tagPriority) tag->m_ucPriority = in_.U8();
    if (layout_.tagDataTypeAndByteOrder) {
        tag->m_ucDataType = in_.U8();
        tag->m_ucByteOrder = in_.U8();
    }
    if (layout_.tagIdentifier) tag->m_dwIdentifier = in_.U32();
    if (layout_.tagParentID) tag->m_dwParentID = in_.U32();
    const uint32_t corrections = in_.U32();
    for (uint32_t i = 0; i < corrections && !in_.failed(); ++i) {
        ConfigCorrection correction;
        correction.m_dwReserved = in_.U32();
        correction.m_ucOperation = in_.U8();
        correction.m_dParam = in_.F64();
        if (!in_.failed()) tag->m_aCorrections.push_back(correction);
    }
    return !in_.failed();
}

bool SectionReader::ReadTags() {
    const uint32_t count = in_.U32();
    if (in_.failed()) return false;
    log_(kvlog::kInfo, "LoadConfig: tags count: %u", count);
    for (uint32_t i = 0; i < count; ++i) {
        ConfigTag tag;
        if (!ReadTag(&tag)) return false;
        const char* name = tag.m_strName.c_str();
        if (tag.m_dwIdentifier != 0) {
            log_(kvlog::kTrace, "LoadConfig: tag %s: ids:  %u, id2 %u", name, tag.m_dwID,
                 tag.m_dwIdentifier);
        }
        log_(kvlog::kTrace,
             "LoadConfig: tag %s: device id %u, device no %u, fn %u, data type %u, corrections "
             "count: %u",
             name, unsigned{tag.m_ucDevice}, unsigned{tag.m_ucDeviceNo}, unsigned{tag.m_ucFunction},
             unsigned{tag.m_vtType}, static_cast<unsigned>(tag.m_aCorrections.size()));
        sink_.AddTag(std::move(tag));
    }
    return true;
}

bool SectionReader::ReadGroups() {
    const uint32_t count = in_.U32();
    if (in_.failed()) return false;
    log_(kvlog::kTrace, "LoadConfig: loading %u groups", count);
    for (uint32_t i = 0; i < count; ++i) {
        ConfigGroup group;
        group.m_dwID = in_.U32();
        group.m_dwParentID = in_.U32();
        group.m_strName = Text(&in_);
        group.m_strShortName = Text(&in_);
        group.m_ucDeviceNo = in_.U8();
        group.m_ucDevice = in_.U8();
        if (in_.failed()) return false;
        sink_.AddGroup(group);
    }
    return true;
}

ConfigDevice SectionReader::ReadDevice() {
    ConfigDevice device;
    device.m_strName = Text(&in_);
    device.m_strAddress = Text(&in_);
    device.m_ucSlot = in_.U8();
    device.m_wPort = in_.U16();
    device.m_ucID = in_.U8();
    if (layout_.deviceFailThresholdAndCyclePause) {
        const uint8_t failThreshold = in_.U8();
        const uint16_t cyclePause = in_.U16();
        if (layout_.keepsFailThresholdAndCyclePause) {
            device.m_ucFailThreshold = failThreshold;
            device.m_wCyclePause = cyclePause;
        }
    }
    if (layout_.deviceTimeout) device.m_wTimeout = in_.U16();
    if (layout_.deviceSerial) {
        device.m_ucType = in_.U8();
        device.m_ucComPort = in_.U8();
        device.m_dwBaudRate = in_.U32();
        device.m_ucStopBits = in_.U8();
        device.m_ucParity = in_.U8();
    }
    if (layout_.deviceDisconnectAndPacketPause) {
        device.m_ucDisconnect = in_.U8();
        device.m_wPacketPause = in_.U16();
    }
    if (layout_.deviceQualityReset) device.m_ucQualityReset = in_.U8();
    return device;
}

bool SectionReader::ReadDevices() {
    const uint32_t count = in_.U32();
    if (in_.failed()) return false;
    if (layout_.parameters) log_(kvlog::kTrace, "LoadConfig: loading %u devices", count);
    for (uint32_t i = 0; i < count; ++i) {
        const ConfigDevice device = ReadDevice();
        if (in_.failed()) return false;
        sink_.AddDevice(device);
        ++devices_;
    }
    return true;
}

bool SectionReader::ReadParameters() {
    const uint32_t count = in_.U32();
    for (uint32_t i = 0; i < count && !in_.failed(); ++i) {
        const std::string name = Text(&in_);
        const std::string value = Text(&in_);
        if (!in_.failed()) sink_.SetParameter(name, value);
    }
    return !in_.failed();
}

}  // namespace

bool TagInfoLayoutOf(uint32_t version, TagInfoLayout* layout) {
    if (version < 100 || version > 114 || version == 104 || version == 108) return false;
    layout->tagComment = version >= 112;
    layout->tagShortName = version >= 113;
    layout->tagPriority = version >= 103;
    layout->tagDataTypeAndByteOrder = version >= 106;
    layout->tagIdentifier = version >= 110;
    layout->tagParentID = version >= 114;
    layout->groups = version >= 114;
    layout->deviceFailThresholdAndCyclePause = version >= 101;
    layout->keepsFailThresholdAndCyclePause = version >= 102;
    layout->deviceTimeout = version >= 102;
    layout->deviceSerial = version >= 105;
    layout->deviceDisconnectAndPacketPause = version >= 107;
    layout->deviceQualityReset = version >= 109;
    layout->parameters = version >= 111;
    layout->checksTextLength = version >= 107;
    layout->reportedAsOldVersion = version <= 106;
    return true;
}

ReadReport ReadTagInformation(std::string_view file, kvlog::Handle handle, ConfigSink& sink,
                              Logging logging) {
    const Log log(handle, logging);
    ReadReport report;
    Cursor head(file, 0);
    report.fileVersion = head.U32();
    if (!head.failed()) {
        log(kvlog::kTrace, "LoadConfig: reading config file version: %u", report.fileVersion);
    }
    log(kvlog::kInfo, "LoadConfig: config file size: %u", static_cast<unsigned>(file.size()));
    const size_t marker = head.failed() ? std::string_view::npos : file.find(kMarker, 4);
    if (marker != std::string_view::npos) log(kvlog::kDebug, "LoadConfig: marker found.");
    if (head.failed() || report.fileVersion < kOldestFileVersion ||
        marker == std::string_view::npos) {
        log(kvlog::kError, kBrokenFile);
        report.status = ReadStatus::kNotConfiguration;
        return report;
    }
    report.markerOffset = marker;

    Cursor in(file, marker + kMarker.size());
    report.sectionVersion = in.U32();
    TagInfoLayout layout;
    bool complete = !in.failed();
    if (complete) {
        log(kvlog::kTrace, "LoadConfig: reading tags configuration version: %u",
            report.sectionVersion);
        if (!TagInfoLayoutOf(report.sectionVersion, &layout)) {
            log(kvlog::kError, kNotSupported, report.sectionVersion);
            report.status = ReadStatus::kUnsupportedVersion;
        }
    }
    if (report.status != ReadStatus::kUnsupportedVersion) {
        SectionReader reader(&in, layout, log, sink);
        complete = complete && reader.ReadTags() && (!layout.groups || reader.ReadGroups()) &&
                   reader.ReadDevices();
        sink.DevicesComplete();
        complete = complete && (!layout.parameters || reader.ReadParameters());
        report.devices = reader.devices();
        if (!complete) {
            log(kvlog::kError, kBrokenFile);
            report.status = ReadStatus::kTruncated;
        } else {
            if (layout.reportedAsOldVersion)
                log(kvlog::kError, kNotSupported, report.sectionVersion);
            report.status = ReadStatus::kLoaded;
        }
    }
    log(kvlog::kInfo, "LoadConfig: reading configuration finished.");
    log(kvlog::kInfo, "LoadConfig: devices in configuration: %u", report.devices);
    return report;
}

ReadReport LoadTagInformation(const std::string& path, kvlog::Handle handle, ConfigSink& sink) {
    kvlog::Info(handle, "LoadConfig: opening config file %s...", path.c_str());
    std::string file;
    if (platform::ReadFileContents(path, &file) != 0) {
        kvlog::Error(handle, "LoadConfig: reading configuration FAILED! Cannot open file!");
        ReadReport report;
        report.status = ReadStatus::kCannotOpen;
        return report;
    }
    kvlog::Info(handle, "LoadConfig: opening config file: %s OK", path.c_str());
    return ReadTagInformation(file, handle, sink);
}

}  // namespace core
