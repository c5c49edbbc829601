#pragma once
// The configuration document: the element tree (as a list in which every element follows its
// parent), the devices and the parameters. Views and dialogs work on copies of the records and
// hand changed copies back; the document replaces the stored record with the same identifier.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/records.h"

namespace config {

enum class TagFilter { kAll, kAnalog, kDiscrete };

// Element paths of many elements with one index of the identifiers: a tag's name prefixed by
// the names of its ancestors, each followed by "/".
class ElementPathIndex {
public:
    explicit ElementPathIndex(const std::vector<opcTagInfo>& elements);
    // The walk ends at the first parent identifier that names no element, and before an
    // element it has already passed, so a damaged file with a parent cycle still gives a path.
    std::string PathOf(const opcTagInfo& element) const;

private:
    const std::vector<opcTagInfo>& elements_;
    std::unordered_map<uint32_t, size_t> firstPosition_;
};

class CKarvexOPCCfgDoc {
public:
    // Receives the document's lines for the output pane (Windows-1251).
    using OutputSink = std::function<void(const std::string& line)>;

    const std::vector<opcTagInfo>& Elements() const { return elements_; }
    std::vector<opcTagInfo>& Elements() { return elements_; }
    const std::vector<opcDeviceInfo>& Devices() const { return devices_; }
    std::vector<opcDeviceInfo>& Devices() { return devices_; }
    const std::vector<opcParameter>& Parameters() const { return parameters_; }
    std::vector<opcParameter>& Parameters() { return parameters_; }
    uint32_t NextTagID() const { return m_dwNextTagID; }
    void SetNextTagID(uint32_t next) { m_dwNextTagID = next; }

    // First element with that identifier.
    bool FindElement(uint32_t id, opcTagInfo* element) const;
    // The parent, or a default record with m_dwID 0 when there is none.
    opcTagInfo FindParent(const opcTagInfo& element) const;
    // Overwrites the first stored element with the same identifier; false when there is none.
    bool ReplaceElement(const opcTagInfo& changed);
    // Inserts before position (appends when position is past the end).
    void AddElement(const opcTagInfo& element, size_t position);
    // A new element of that kind under the parent, with the next identifier and the name
    // "Group" or "Tag" followed by (element count + 1); inside a group it takes the group's
    // device. The caller adds it.
    opcTagInfo CreateElement(uint8_t kind, uint32_t parentID);
    // Gives the element m_dwNextTagID and advances the counter; identifiers are never reused.
    void AssignNewID(opcTagInfo* element);
    size_t CountTags(TagFilter filter) const;
    std::string ElementPath(const opcTagInfo& element) const;

    // Default device whose identifier is its position once appended.
    opcDeviceInfo CreateDevice() const;
    // "name (address) {id}", or "НЕ ВЫБРАНО" for a position past the devices.
    std::string DeviceText(size_t position) const;
    // DeviceText of the element's device; "НЕ ВЫБРАНО" also for 255 when there are 256 devices.
    std::string ElementDeviceText(const opcTagInfo& element) const;
    // Chooses the device named by the identifier between braces in a device text; false (and
    // the element unchanged) when the text names no device.
    bool ChooseDevice(const std::string& deviceText, opcTagInfo* element) const;

    // After loading: a list loaded without an identifier counter continues after its largest
    // identifier.
    void FixNextTagID();

    void SetModified(bool modified = true) { modified_ = modified; }
    bool IsModified() const { return modified_; }
    const std::string& PathName() const { return pathName_; }
    void SetPathName(const std::string& path) { pathName_ = path; }
    void SetOutput(OutputSink sink) { output_ = std::move(sink); }
    void Output(const std::string& line) const;

    // Replaces the content (elements, devices, parameters, counter) by that of another
    // document; keeps this document's output, path and modified flag.
    void TakeContent(CKarvexOPCCfgDoc&& other);

private:
    std::vector<opcTagInfo> elements_;
    std::vector<opcDeviceInfo> devices_;
    std::vector<opcParameter> parameters_;
    uint32_t m_dwNextTagID = 1;
    bool modified_ = false;
    std::string pathName_;
    OutputSink output_;
};

}  // namespace config
