#include "config/scf_file.h"

#include <vector>

#include "archive.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/file_contents.h"

namespace config {
namespace {

// ---- configuration section ------------------------------------------------------------------

void WriteCorrections(const std::vector<CorrectionInfo>& corrections, ArchiveWriter* out) {
    out->U32(static_cast<uint32_t>(corrections.size()));
    for (const CorrectionInfo& correction : corrections) {
        out->U32(correction.m_dwReserved);
        out->U8(correction.m_ucOperation);
        out->F64(correction.m_dParam);
    }
}

void WriteElement(const opcTagInfo& e, ArchiveWriter* out) {
    out->U8(e.m_ucDevice);
    out->U8(e.m_ucDeviceNo);
    out->U16(e.m_vtType);
    out->U32(e.m_dwID);
    out->U32(e.m_dwParentID);
    out->U8(e.m_ucKind);
    out->String(e.m_strName);
    out->String(e.m_strComment);
    out->String(e.m_strRange);
    out->String(e.m_strShortName);
    out->U8(e.m_ucReserved);
    out->U8(e.m_ucFunction);
    out->U32(e.m_dwRegister);
    out->U8(e.m_ucSize);
    out->U8(e.m_ucAccess);
    out->U8(e.m_ucWriteFunction);
    out->U32(e.m_dwWriteRegister);
    out->U8(e.m_ucGroupNo);
    out->U32(e.m_dwPublish);
    out->U8(e.m_ucPriority);
    out->U8(e.m_ucDataType);
    out->U8(e.m_ucByteOrder);
    out->U32(e.m_dwIdentifier);
    out->U8(e.m_ucGroupType);
    WriteCorrections(e.m_aCorrections, out);
}

// The tag-information section swaps slot and port against the configuration section.
enum class DeviceLayout { kConfiguration, kTagInformation };

void WriteDevice(const opcDeviceInfo& d, DeviceLayout layout, ArchiveWriter* out) {
    out->String(d.m_strName);
    out->String(d.m_strAddress);
    if (layout == DeviceLayout::kConfiguration) {
        out->U16(d.m_wPort);
        out->U8(d.m_ucSlot);
    } else {
        out->U8(d.m_ucSlot);
        out->U16(d.m_wPort);
    }
    out->U8(d.m_ucID);
    out->U8(d.m_ucFailThreshold);
    out->U16(d.m_wCyclePause);
    out->U16(d.m_wTimeout);
    out->U8(d.m_ucType);
    out->U8(d.m_ucComPort);
    out->U32(d.m_dwBaudRate);
    out->U8(d.m_ucStopBits);
    out->U8(d.m_ucParity);
    out->U8(d.m_ucDisconnect);
    out->U16(d.m_wPacketPause);
    out->U8(d.m_ucQualityReset);
}

void WriteDevicesAndParameters(const CKarvexOPCCfgDoc& doc, DeviceLayout layout,
                               ArchiveWriter* out) {
    out->U32(static_cast<uint32_t>(doc.Devices().size()));
    for (const opcDeviceInfo& device : doc.Devices())
        WriteDevice(device, layout, out);
    out->U32(static_cast<uint32_t>(doc.Parameters().size()));
    for (const opcParameter& parameter : doc.Parameters()) {
        out->String(parameter.m_strName);
        out->String(parameter.m_strValue);
    }
}

// ---- tag-information section ----------------------------------------------------------------

bool IsPublishedTag(const opcTagInfo& e) {
    return e.m_ucKind == kKindTag && e.m_dwPublish == 1;
}
bool IsDeviceGroup(const opcTagInfo& e) {
    return e.m_ucKind == kKindGroup && e.m_ucGroupType == kGroupTypeDevice;
}

void WriteTagRecord(const opcTagInfo& e, const std::string& path, ArchiveWriter* out) {
    out->U32(e.m_dwID);
    out->U16(e.m_vtType);
    out->String(path);
    out->String(e.m_strComment);
    out->String(e.m_strShortName);
    out->U8(e.m_ucReserved);
    out->U8(e.m_ucDeviceNo);
    out->U8(e.m_ucDevice);
    out->U8(e.m_ucFunction);
    out->U32(e.m_dwRegister);
    out->U8(e.m_ucSize);
    out->U8(e.m_ucAccess);
    out->U8(e.m_ucWriteFunction);
    out->U32(e.m_dwWriteRegister);
    out->U8(e.m_ucGroupNo);
    out->U8(e.m_ucPriority);
    out->U8(e.m_ucDataType);
    out->U8(e.m_ucByteOrder);
    out->U32(e.m_dwIdentifier);
    out->U32(e.m_dwParentID);
    WriteCorrections(e.m_aCorrections, out);
}

void WriteGroupRecord(const opcTagInfo& e, ArchiveWriter* out) {
    out->U32(e.m_dwID);
    out->U32(e.m_dwParentID);
    out->String(e.m_strName);
    out->String(e.m_strShortName);
    out->U8(e.m_ucDeviceNo);
    out->U8(e.m_ucDevice);
}

void WriteTagInformation(const CKarvexOPCCfgDoc& doc, ArchiveWriter* out) {
    const std::vector<opcTagInfo>& elements = doc.Elements();
    uint32_t tagCount = 0;
    for (const opcTagInfo& e : elements)
        tagCount += IsPublishedTag(e) ? 1 : 0;
    out->U32(kStoredVersion);
    out->U32(tagCount);
    const ElementPathIndex paths(elements);
    std::vector<const opcTagInfo*> deviceGroups;
    for (const opcTagInfo& e : elements) {
        if (IsPublishedTag(e)) WriteTagRecord(e, paths.PathOf(e), out);
        if (IsDeviceGroup(e)) deviceGroups.push_back(&e);
    }
    out->U32(static_cast<uint32_t>(deviceGroups.size()));
    for (const opcTagInfo* group : deviceGroups)
        WriteGroupRecord(*group, out);
    WriteDevicesAndParameters(doc, DeviceLayout::kTagInformation, out);
}

// ---- load ------------------------------------------------------------------------------------

void ReadElement(uint32_t version, ArchiveReader* in, opcTagInfo* e) {
    e->m_ucDevice = in->U8();
    e->m_ucDeviceNo = in->U8();
    e->m_vtType = in->U16();
    e->m_dwID = in->U32();
    e->m_dwParentID = in->U32();
    e->m_ucKind = in->U8();
    e->m_strName = in->String();
    if (version >= 112) e->m_strComment = in->String();
    if (version >= 113) {
        e->m_strRange = in->String();
        e->m_strShortName = in->String();
    }
    e->m_ucReserved = in->U8();
    e->m_ucFunction = in->U8();
    e->m_dwRegister = in->U32();
    e->m_ucSize = in->U8();
    e->m_ucAccess = in->U8();
    e->m_ucWriteFunction = in->U8();
    e->m_dwWriteRegister = in->U32();
    e->m_ucGroupNo = in->U8();
    e->m_dwPublish = in->U32();
    if (version >= 104) e->m_ucPriority = in->U8();
    if (version >= 106) {
        e->m_ucDataType = in->U8();
        e->m_ucByteOrder = in->U8();
    }
    if (version >= 110) e->m_dwIdentifier = in->U32();
    if (version >= 113) e->m_ucGroupType = in->U8();
    const uint32_t corrections = in->U32();
    for (uint32_t i = 0; i < corrections && !in->failed(); ++i) {
        CorrectionInfo correction;
        correction.m_dwReserved = in->U32();
        correction.m_ucOperation = in->U8();
        correction.m_dParam = in->F64();
        if (!in->failed()) e->m_aCorrections.push_back(correction);
    }
}

void ReadDevice(uint32_t version, ArchiveReader* in, opcDeviceInfo* d) {
    d->m_strName = in->String();
    d->m_strAddress = in->String();
    d->m_wPort = in->U16();
    d->m_ucSlot = in->U8();
    d->m_ucID = in->U8();
    if (version >= 102) {
        d->m_ucFailThreshold = in->U8();
        d->m_wCyclePause = in->U16();
    }
    if (version >= 103) d->m_wTimeout = in->U16();
    if (version >= 105) {
        d->m_ucType = in->U8();
        d->m_ucComPort = in->U8();
        d->m_dwBaudRate = in->U32();
        d->m_ucStopBits = in->U8();
        d->m_ucParity = in->U8();
    }
    if (version >= 107) {
        d->m_ucDisconnect = in->U8();
        d->m_wPacketPause = in->U16();
    }
    if (version >= 109) d->m_ucQualityReset = in->U8();
}

// Every record takes at least one byte, so a count larger than the data ends the loop at the
// end of the data instead of allocating for it.
bool ReadContent(uint32_t version, ArchiveReader* in, CKarvexOPCCfgDoc* doc,
                 const LoadProgress& progress) {
    const uint32_t elementCount = in->U32();
    if (version >= 108) doc->SetNextTagID(in->U32());
    if (in->failed()) return false;
    if (progress.setRange) progress.setRange(elementCount, 1);
    for (uint32_t i = 0; i < elementCount; ++i) {
        opcTagInfo element;
        ReadElement(version, in, &element);
        if (in->failed()) return false;
        doc->Elements().push_back(std::move(element));
        if (progress.step) progress.step();
    }
    const uint32_t deviceCount = in->U32();
    for (uint32_t i = 0; i < deviceCount && !in->failed(); ++i) {
        opcDeviceInfo device;
        ReadDevice(version, in, &device);
        if (!in->failed()) doc->Devices().push_back(std::move(device));
    }
    if (version >= 111) {
        const uint32_t parameterCount = in->U32();
        for (uint32_t i = 0; i < parameterCount && !in->failed(); ++i) {
            opcParameter parameter;
            parameter.m_strName = in->String();
            parameter.m_strValue = in->String();
            if (!in->failed()) doc->Parameters().push_back(std::move(parameter));
        }
    }
    return !in->failed();
}

std::string Text(const char* utf8) {
    return platform::Utf8ToCp1251(utf8);
}

}  // namespace

LoadResult LoadDocumentBytes(std::string_view bytes, const std::string& path, CKarvexOPCCfgDoc* doc,
                             const LoadProgress& progress) {
    LoadResult result;
    ArchiveReader in(bytes);
    result.version = in.U32();
    CKarvexOPCCfgDoc loaded;
    if (!in.failed() &&
        (result.version < kOldestConfigVersion || result.version > kStoredVersion)) {
        doc->TakeContent(std::move(loaded));
        doc->SetPathName(path);
        doc->SetModified(false);
        doc->Output(Text("Документ данной версии не поддерживается, обновите программу."));
        result.status = LoadStatus::kUnsupportedVersion;
        return result;
    }
    if (in.failed() || !ReadContent(result.version, &in, &loaded, progress)) {
        result.status = LoadStatus::kBroken;
        result.error = Text("Файл \"") + path +
                       Text("\" повреждён: данные кончаются раньше, чем указано в файле (байт ") +
                       std::to_string(in.offset()) + ").";
        return result;
    }
    doc->TakeContent(std::move(loaded));
    doc->SetPathName(path);
    doc->SetModified(false);
    doc->Output(Text("Загрузка конфигурации ") + path + Text(" завершена."));
    doc->FixNextTagID();
    result.status = LoadStatus::kLoaded;
    return result;
}

LoadResult LoadDocument(const std::string& path, CKarvexOPCCfgDoc* doc,
                        const LoadProgress& progress) {
    std::string bytes;
    if (const uint32_t code = platform::ReadFileContents(path, &bytes); code != 0) {
        LoadResult result;
        result.status = LoadStatus::kCannotOpen;
        result.error = Text("Не удаётся открыть файл \"") + path + "\" (" + Text("ошибка ") +
                       std::to_string(code) + ").";
        return result;
    }
    return LoadDocumentBytes(bytes, path, doc, progress);
}

std::string StoreDocument(const CKarvexOPCCfgDoc& doc) {
    ArchiveWriter out;
    out.U32(kStoredVersion);
    out.U32(static_cast<uint32_t>(doc.Elements().size()));
    out.U32(doc.NextTagID());
    for (const opcTagInfo& element : doc.Elements())
        WriteElement(element, &out);
    WriteDevicesAndParameters(doc, DeviceLayout::kConfiguration, &out);
    out.Raw(kSectionMarker);
    WriteTagInformation(doc, &out);
    return out.Take();
}

uint32_t SaveDocument(const std::string& path, CKarvexOPCCfgDoc* doc) {
    const uint32_t code = platform::WriteFileContents(path, StoreDocument(*doc));
    if (code == platform::kErrorSuccess) {
        doc->SetPathName(path);
        doc->SetModified(false);
    }
    return code;
}

}  // namespace config
