#include "config/document.h"

#include <algorithm>
#include <unordered_set>

#include "config/code_tables.h"
#include "platform/codepage.h"

namespace config {

ElementPathIndex::ElementPathIndex(const std::vector<opcTagInfo>& elements) : elements_(elements) {
    firstPosition_.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i)
        firstPosition_.emplace(elements[i].m_dwID, i);
}

std::string ElementPathIndex::PathOf(const opcTagInfo& element) const {
    std::vector<const std::string*> names{&element.m_strName};
    std::unordered_set<uint32_t> passed{element.m_dwID};
    uint32_t parentID = element.m_dwParentID;
    for (;;) {
        auto found = firstPosition_.find(parentID);
        if (found == firstPosition_.end() || !passed.insert(parentID).second) break;
        const opcTagInfo& parent = elements_[found->second];
        names.push_back(&parent.m_strName);
        parentID = parent.m_dwParentID;
    }
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (name != names.rbegin()) path += '/';
        path += **name;
    }
    return path;
}

bool CKarvexOPCCfgDoc::FindElement(uint32_t id, opcTagInfo* element) const {
    auto found = std::find_if(elements_.begin(), elements_.end(),
                              [id](const opcTagInfo& e) { return e.m_dwID == id; });
    if (found == elements_.end()) return false;
    *element = *found;
    return true;
}

opcTagInfo CKarvexOPCCfgDoc::FindParent(const opcTagInfo& element) const {
    opcTagInfo parent;
    if (!FindElement(element.m_dwParentID, &parent)) parent.m_dwID = 0;
    return parent;
}

bool CKarvexOPCCfgDoc::ReplaceElement(const opcTagInfo& changed) {
    auto found = std::find_if(elements_.begin(), elements_.end(),
                              [&](const opcTagInfo& e) { return e.m_dwID == changed.m_dwID; });
    if (found == elements_.end()) return false;
    *found = changed;
    SetModified();
    return true;
}

void CKarvexOPCCfgDoc::AddElement(const opcTagInfo& element, size_t position) {
    position = std::min(position, elements_.size());
    elements_.insert(elements_.begin() + static_cast<std::ptrdiff_t>(position), element);
    SetModified();
}

opcTagInfo CKarvexOPCCfgDoc::CreateElement(uint8_t kind, uint32_t parentID) {
    opcTagInfo element;
    AssignNewID(&element);
    element.m_ucKind = kind;
    element.m_dwParentID = parentID;
    element.m_strName =
        (kind == kKindGroup ? "Group" : "Tag") + std::to_string(elements_.size() + 1);
    opcTagInfo parent;
    if (FindElement(parentID, &parent) && parent.m_ucKind == kKindGroup) {
        element.m_ucDevice = parent.m_ucDevice;
    }
    return element;
}

void CKarvexOPCCfgDoc::AssignNewID(opcTagInfo* element) {
    element->m_dwID = m_dwNextTagID++;
}

size_t CKarvexOPCCfgDoc::CountTags(TagFilter filter) const {
    return static_cast<size_t>(std::count_if(elements_.begin(), elements_.end(), [&](auto& e) {
        if (e.m_ucKind != kKindTag) return false;
        if (filter == TagFilter::kAnalog) return e.m_vtType != kTypeBool;
        if (filter == TagFilter::kDiscrete) return e.m_vtType == kTypeBool;
        return true;
    }));
}

std::string CKarvexOPCCfgDoc::ElementPath(const opcTagInfo& element) const {
    return ElementPathIndex(elements_).PathOf(element);
}

opcDeviceInfo CKarvexOPCCfgDoc::CreateDevice() const {
    opcDeviceInfo device;
    device.m_ucID = static_cast<uint8_t>(devices_.size());
    return device;
}

std::string CKarvexOPCCfgDoc::DeviceText(size_t position) const {
    if (position >= devices_.size()) return NoDeviceText();
    const opcDeviceInfo& device = devices_[position];
    return device.m_strName + " (" + device.m_strAddress + ") {" + std::to_string(device.m_ucID) +
           "}";
}

std::string CKarvexOPCCfgDoc::ElementDeviceText(const opcTagInfo& element) const {
    return DeviceText(element.m_ucDevice == kNoDevice ? devices_.size() : element.m_ucDevice);
}

namespace {

// The number between the first "{" and the first "}" after it: one or two digits, else -1.
int BracedNumber(const std::string& text) {
    const size_t open = text.find('{');
    if (open == std::string::npos) return -1;
    const size_t close = text.find('}', open + 1);
    if (close == std::string::npos) return -1;
    const std::string digits = text.substr(open + 1, close - open - 1);
    if (digits.empty() || digits.size() > 2) return -1;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stoi(digits);
}

}  // namespace

bool CKarvexOPCCfgDoc::ChooseDevice(const std::string& deviceText, opcTagInfo* element) const {
    const int id = BracedNumber(deviceText);
    if (id < 0 || static_cast<size_t>(id) >= devices_.size()) return false;
    for (size_t position = 0; position < devices_.size(); ++position) {
        if (devices_[position].m_ucID == id) {
            element->m_ucDevice = static_cast<uint8_t>(position);
            return true;
        }
    }
    return false;
}

void CKarvexOPCCfgDoc::FixNextTagID() {
    if (elements_.empty() || m_dwNextTagID != 1) return;
    uint32_t largest = 0;
    for (const opcTagInfo& element : elements_)
        largest = std::max(largest, element.m_dwID);
    m_dwNextTagID = largest + 1;
    Output(platform::Utf8ToCp1251("Установка переменной m_dwNextTagID=") + std::to_string(largest));
    SetModified();
}

void CKarvexOPCCfgDoc::Output(const std::string& line) const {
    if (output_) output_(line);
}

void CKarvexOPCCfgDoc::TakeContent(CKarvexOPCCfgDoc&& other) {
    elements_ = std::move(other.elements_);
    devices_ = std::move(other.devices_);
    parameters_ = std::move(other.parameters_);
    m_dwNextTagID = other.m_dwNextTagID;
}

}  // namespace config
