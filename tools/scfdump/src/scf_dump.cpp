#include "scf_dump.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "config/code_tables.h"
#include "config/scf_file.h"
#include "core/config_reader.h"
#include "platform/codepage.h"

namespace scfdump {
namespace {

// ---- the dump as a small ordered tree ---------------------------------------------------------

struct Member;

struct Node {
    enum class Kind { kNumber, kText, kObject, kArray };
    Kind kind = Kind::kObject;
    std::string scalar;  // a number as written, or a text (Windows-1251)
    std::string note;    // text output only: what a code means (UTF-8)
    std::string label;   // text output only: the header of an array item
    std::vector<Member> members;
    std::vector<Node> items;

    Node& Add(const std::string& key, Node value);
};

struct Member {
    std::string key;
    Node value;
};

Node& Node::Add(const std::string& key, Node value) {
    members.push_back({key, std::move(value)});
    return members.back().value;
}

Node Number(uint64_t value, const std::string& noteCp1251 = {}) {
    Node node;
    node.kind = Node::Kind::kNumber;
    node.scalar = std::to_string(value);
    node.note = platform::Cp1251ToUtf8(noteCp1251);
    return node;
}

Node Text(const std::string& cp1251) {
    Node node;
    node.kind = Node::Kind::kText;
    node.scalar = cp1251;
    return node;
}

// The shortest text that reads back as the same double; JSON has no non-finite numbers.
Node Real(double value) {
    if (!std::isfinite(value)) return Text(std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf");
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    Node node;
    node.kind = Node::Kind::kNumber;
    node.scalar.assign(buffer, end);
    return node;
}

Node Array() {
    Node node;
    node.kind = Node::Kind::kArray;
    return node;
}

Node Record(const std::string& label) {
    Node node;
    node.label = label;
    return node;
}

std::string Quoted(const std::string& cp1251) {
    std::string out = "\"";
    for (const char c : platform::Cp1251ToUtf8(cp1251)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// A scalar, or a record or array on one line (corrections, and values in difference lines).
std::string Inline(const Node& node) {
    switch (node.kind) {
        case Node::Kind::kNumber:
            return node.scalar;
        case Node::Kind::kText:
            return Quoted(node.scalar);
        case Node::Kind::kObject: {
            std::string out;
            for (const auto& [key, value] : node.members) {
                out += (out.empty() ? "" : ", ") + key + " " + Inline(value);
                if (!value.note.empty()) out += " (" + value.note + ")";
            }
            return out;
        }
        case Node::Kind::kArray: {
            std::string out = "[";
            for (const Node& item : node.items)
                out += (out.size() > 1 ? "; " : "") + Inline(item);
            return out + "]";
        }
    }
    return {};
}

// ---- text and JSON output -------------------------------------------------------------------

void TextRecord(const Node& record, std::string* out) {
    for (const auto& [key, value] : record.members) {
        if (value.kind == Node::Kind::kArray) {
            *out += key + ": " + std::to_string(value.items.size()) + "\n";
            for (size_t i = 0; i < value.items.size(); ++i) {
                *out += key + "[" + std::to_string(i) + "]: " + Inline(value.items[i]) + "\n";
            }
            continue;
        }
        *out += key + ": " + Inline(value);
        if (!value.note.empty()) *out += " (" + value.note + ")";
        *out += "\n";
    }
}

// Sections as "[name]" blocks; each record of a section's lists as a "[name label]" block.
void TextDocument(const Node& root, std::string* out) {
    for (const auto& [section, content] : root.members) {
        *out += "[" + section + "]\n";
        if (content.kind == Node::Kind::kArray) {  // the differences: one line each
            for (const Node& line : content.items)
                *out += platform::Cp1251ToUtf8(line.scalar) + "\n";
            if (content.items.empty()) *out += "none\n";
            continue;
        }
        Node scalars;
        for (const auto& [key, value] : content.members) {
            if (value.kind != Node::Kind::kArray) scalars.Add(key, value);
        }
        TextRecord(scalars, out);
        for (const auto& [key, value] : content.members) {
            if (value.kind != Node::Kind::kArray) continue;
            for (const Node& record : value.items) {
                *out += "\n[" + section + " " + record.label + "]\n";
                TextRecord(record, out);
            }
        }
        *out += "\n";
    }
}

void Json(const Node& node, int depth, std::string* out) {
    const std::string indent(2 * (depth + 1), ' '), closing(2 * depth, ' ');
    switch (node.kind) {
        case Node::Kind::kNumber:
            *out += node.scalar;
            return;
        case Node::Kind::kText:
            *out += Quoted(node.scalar);
            return;
        case Node::Kind::kObject:
            if (node.members.empty()) {
                *out += "{}";
                return;
            }
            *out += "{\n";
            for (size_t i = 0; i < node.members.size(); ++i) {
                *out += indent + Quoted(node.members[i].key) + ": ";
                Json(node.members[i].value, depth + 1, out);
                *out += i + 1 < node.members.size() ? ",\n" : "\n";
            }
            *out += closing + "}";
            return;
        case Node::Kind::kArray:
            if (node.items.empty()) {
                *out += "[]";
                return;
            }
            *out += "[\n";
            for (size_t i = 0; i < node.items.size(); ++i) {
                *out += indent;
                Json(node.items[i], depth + 1, out);
                *out += i + 1 < node.items.size() ? ",\n" : "\n";
            }
            *out += closing + "]";
            return;
    }
}

// ---- the configuration section --------------------------------------------------------------

const char* KindText(uint8_t kind) {
    switch (kind) {
        case config::kKindContainer:
            return "container";
        case config::kKindGroup:
            return "group";
        case config::kKindTag:
            return "tag";
    }
    return "";
}

const char* GroupTypeText(uint8_t type) {
    return type == config::kGroupTypeGroup    ? "group"
           : type == config::kGroupTypeDevice ? "device"
                                              : "";
}

const char* AccessText(uint8_t access) {
    switch (access) {
        case config::kAccessRead:
            return "read only";
        case config::kAccessReadWrite:
            return "read/write";
        case config::kAccessWrite:
            return "write only";
    }
    return "";
}

template <typename Correction>
Node Corrections(const std::vector<Correction>& corrections) {
    Node list = Array();
    for (const Correction& c : corrections) {
        Node& item = list.items.emplace_back();
        item.Add("m_ucOperation", Number(c.m_ucOperation, config::CorrectionText(c.m_ucOperation)));
        item.Add("m_dwReserved", Number(c.m_dwReserved));
        item.Add("m_dParam", Real(c.m_dParam));
    }
    return list;
}

Node ElementNode(const config::CKarvexOPCCfgDoc& doc, const config::opcTagInfo& e) {
    Node n = Record("element " + std::to_string(e.m_dwID));
    n.Add("m_dwID", Number(e.m_dwID));
    n.Add("m_dwParentID", Number(e.m_dwParentID));
    n.Add("m_strShortName", Text(e.m_strShortName));
    n.Add("m_strName", Text(e.m_strName));
    n.Add("m_strComment", Text(e.m_strComment));
    n.Add("m_strRange", Text(e.m_strRange));
    n.Add("m_vtType", Number(e.m_vtType, config::TypeText(e.m_vtType)));
    n.Add("m_ucKind", Number(e.m_ucKind, KindText(e.m_ucKind)));
    n.Add("m_ucDeviceNo", Number(e.m_ucDeviceNo));
    n.Add("m_ucDevice", Number(e.m_ucDevice, doc.ElementDeviceText(e)));
    n.Add("m_ucFunction", Number(e.m_ucFunction));
    n.Add("m_dwRegister", Number(e.m_dwRegister));
    n.Add("m_ucSize", Number(e.m_ucSize));
    n.Add("m_ucWriteFunction", Number(e.m_ucWriteFunction));
    n.Add("m_dwWriteRegister", Number(e.m_dwWriteRegister));
    n.Add("m_ucReserved", Number(e.m_ucReserved));
    n.Add("m_ucAccess", Number(e.m_ucAccess, AccessText(e.m_ucAccess)));
    n.Add("m_ucGroupNo", Number(e.m_ucGroupNo));
    n.Add("m_ucGroupType", Number(e.m_ucGroupType, GroupTypeText(e.m_ucGroupType)));
    n.Add("m_dwPublish", Number(e.m_dwPublish));
    n.Add("m_ucPriority", Number(e.m_ucPriority));
    n.Add("m_ucDataType",
          Number(e.m_ucDataType, config::TextOf(config::DataTypes(), e.m_ucDataType)));
    n.Add("m_ucByteOrder",
          Number(e.m_ucByteOrder, config::TextOf(config::ByteOrders(), e.m_ucByteOrder)));
    n.Add("m_dwIdentifier", Number(e.m_dwIdentifier));
    n.Add("m_aCorrections", Corrections(e.m_aCorrections));
    if (e.m_ucKind == config::kKindTag && e.m_dwPublish == 1) {
        n.Add("path", Text(doc.ElementPath(e)));
    }
    return n;
}

Node DeviceNode(const std::string& label, const config::opcDeviceInfo& d) {
    Node n = Record(label);
    n.Add("m_strAddress", Text(d.m_strAddress));
    n.Add("m_strName", Text(d.m_strName));
    n.Add("m_ucType", Number(d.m_ucType, config::DeviceTypeText(d.m_ucType)));
    n.Add("m_wPort", Number(d.m_wPort));
    n.Add("m_ucSlot", Number(d.m_ucSlot));
    n.Add("m_ucID", Number(d.m_ucID));
    n.Add("m_ucFailThreshold", Number(d.m_ucFailThreshold));
    n.Add("m_wCyclePause", Number(d.m_wCyclePause));
    n.Add("m_wPacketPause", Number(d.m_wPacketPause));
    n.Add("m_wTimeout", Number(d.m_wTimeout));
    n.Add("m_ucDisconnect", Number(d.m_ucDisconnect));
    n.Add("m_ucQualityReset",
          Number(d.m_ucQualityReset, config::QualityResetText(d.m_ucQualityReset)));
    n.Add("m_ucStopBits", Number(d.m_ucStopBits));
    n.Add("m_ucParity", Number(d.m_ucParity, config::ParityText(d.m_ucParity)));
    n.Add("m_dwBaudRate", Number(d.m_dwBaudRate));
    n.Add("m_ucComPort", Number(d.m_ucComPort));
    return n;
}

Node ParameterNode(size_t position, const std::string& name, const std::string& value) {
    Node n = Record("parameter " + std::to_string(position));
    n.Add("m_strName", Text(name));
    n.Add("m_strValue", Text(value));
    return n;
}

const char* LoadStatusText(config::LoadStatus status) {
    switch (status) {
        case config::LoadStatus::kLoaded:
            return "loaded";
        case config::LoadStatus::kUnsupportedVersion:
            return "unsupported version";
        case config::LoadStatus::kBroken:
            return "broken: the data ends before its counts";
        case config::LoadStatus::kCannotOpen:
            return "cannot open";
    }
    return "";
}

Node ConfigurationNode(const config::LoadResult& result, const config::CKarvexOPCCfgDoc& doc) {
    Node n;
    n.Add("status", Text(LoadStatusText(result.status)));
    n.Add("version", Number(result.version));
    if (result.status != config::LoadStatus::kLoaded) return n;
    n.Add("m_dwNextTagID", Number(doc.NextTagID()));
    Node& elements = n.Add("elements", Array());
    for (const auto& e : doc.Elements())
        elements.items.push_back(ElementNode(doc, e));
    Node& devices = n.Add("devices", Array());
    for (size_t i = 0; i < doc.Devices().size(); ++i) {
        devices.items.push_back(DeviceNode("device " + std::to_string(i), doc.Devices()[i]));
    }
    Node& parameters = n.Add("parameters", Array());
    for (size_t i = 0; i < doc.Parameters().size(); ++i) {
        const config::opcParameter& p = doc.Parameters()[i];
        parameters.items.push_back(ParameterNode(i, p.m_strName, p.m_strValue));
    }
    return n;
}

// ---- the tag-information section ------------------------------------------------------------

struct TagInformation : core::ConfigSink {
    void AddTag(core::ConfigTag&& tag) override { tags.push_back(std::move(tag)); }
    void AddGroup(const core::ConfigGroup& group) override { groups.push_back(group); }
    void AddDevice(const core::ConfigDevice& device) override { devices.push_back(device); }
    void DevicesComplete() override {}
    void SetParameter(const std::string& name, const std::string& value) override {
        parameters.emplace_back(name, value);
    }

    core::ReadReport report;
    core::TagInfoLayout layout;
    std::vector<core::ConfigTag> tags;
    std::vector<core::ConfigGroup> groups;
    std::vector<core::ConfigDevice> devices;
    std::vector<std::pair<std::string, std::string>> parameters;
};

TagInformation ReadTagInformation(std::string_view file) {
    TagInformation section;
    section.report = core::ReadTagInformation(file, nullptr, section, core::Logging::kOff);
    core::TagInfoLayoutOf(section.report.sectionVersion, &section.layout);
    return section;
}

// Every item the newest version carries.
core::TagInfoLayout FullLayout() {
    core::TagInfoLayout layout;
    core::TagInfoLayoutOf(config::kStoredVersion, &layout);
    return layout;
}

// The items of a tag record that the layout carries.
Node TagNode(const core::ConfigTag& t, const core::TagInfoLayout& layout) {
    Node n = Record("tag " + std::to_string(t.m_dwID));
    n.Add("m_dwID", Number(t.m_dwID));
    n.Add("m_vtType", Number(t.m_vtType, config::TypeText(t.m_vtType)));
    n.Add("m_strName", Text(t.m_strName));
    if (layout.tagComment) n.Add("m_strComment", Text(t.m_strComment));
    if (layout.tagShortName) n.Add("m_strShortName", Text(t.m_strShortName));
    n.Add("m_ucReserved", Number(t.m_ucReserved));
    n.Add("m_ucDeviceNo", Number(t.m_ucDeviceNo));
    n.Add("m_ucDevice", Number(t.m_ucDevice));
    n.Add("m_ucFunction", Number(t.m_ucFunction));
    n.Add("m_dwRegister", Number(t.m_dwRegister));
    n.Add("m_ucSize", Number(t.m_ucSize));
    n.Add("m_ucAccess", Number(t.m_ucAccess, AccessText(t.m_ucAccess)));
    n.Add("m_ucWriteFunction", Number(t.m_ucWriteFunction));
    n.Add("m_dwWriteRegister", Number(t.m_dwWriteRegister));
    n.Add("m_ucGroupNo", Number(t.m_ucGroupNo));
    if (layout.tagPriority) n.Add("m_ucPriority", Number(t.m_ucPriority));
    if (layout.tagDataTypeAndByteOrder) {
        n.Add("m_ucDataType",
              Number(t.m_ucDataType, config::TextOf(config::DataTypes(), t.m_ucDataType)));
        n.Add("m_ucByteOrder",
              Number(t.m_ucByteOrder, config::TextOf(config::ByteOrders(), t.m_ucByteOrder)));
    }
    if (layout.tagIdentifier) n.Add("m_dwIdentifier", Number(t.m_dwIdentifier));
    if (layout.tagParentID) n.Add("m_dwParentID", Number(t.m_dwParentID));
    n.Add("m_aCorrections", Corrections(t.m_aCorrections));
    return n;
}

Node GroupNode(const core::ConfigGroup& g) {
    Node n = Record("group " + std::to_string(g.m_dwID));
    n.Add("m_dwID", Number(g.m_dwID));
    n.Add("m_dwParentID", Number(g.m_dwParentID));
    n.Add("m_strName", Text(g.m_strName));
    n.Add("m_strShortName", Text(g.m_strShortName));
    n.Add("m_ucDeviceNo", Number(g.m_ucDeviceNo));
    n.Add("m_ucDevice", Number(g.m_ucDevice));
    return n;
}

Node DeviceNode(size_t position, const core::ConfigDevice& d, const core::TagInfoLayout& layout) {
    Node n = Record("device " + std::to_string(position));
    n.Add("m_strName", Text(d.m_strName));
    n.Add("m_strAddress", Text(d.m_strAddress));
    n.Add("m_ucSlot", Number(d.m_ucSlot));
    n.Add("m_wPort", Number(d.m_wPort));
    n.Add("m_ucID", Number(d.m_ucID));
    if (layout.keepsFailThresholdAndCyclePause) {
        n.Add("m_ucFailThreshold", Number(d.m_ucFailThreshold));
        n.Add("m_wCyclePause", Number(d.m_wCyclePause));
    }
    if (layout.deviceTimeout) n.Add("m_wTimeout", Number(d.m_wTimeout));
    if (layout.deviceSerial) {
        n.Add("m_ucType", Number(d.m_ucType, config::DeviceTypeText(d.m_ucType)));
        n.Add("m_ucComPort", Number(d.m_ucComPort));
        n.Add("m_dwBaudRate", Number(d.m_dwBaudRate));
        n.Add("m_ucStopBits", Number(d.m_ucStopBits));
        n.Add("m_ucParity", Number(d.m_ucParity, config::ParityText(d.m_ucParity)));
    }
    if (layout.deviceDisconnectAndPacketPause) {
        n.Add("m_ucDisconnect", Number(d.m_ucDisconnect));
        n.Add("m_wPacketPause", Number(d.m_wPacketPause));
    }
    if (layout.deviceQualityReset) {
        n.Add("m_ucQualityReset",
              Number(d.m_ucQualityReset, config::QualityResetText(d.m_ucQualityReset)));
    }
    return n;
}

const char* ReadStatusText(core::ReadStatus status) {
    switch (status) {
        case core::ReadStatus::kLoaded:
            return "loaded";
        case core::ReadStatus::kUnsupportedVersion:
            return "unsupported version";
        case core::ReadStatus::kNotConfiguration:
            return "not a configuration file (version or marker)";
        case core::ReadStatus::kTruncated:
            return "broken: the data ends before its counts";
        case core::ReadStatus::kCannotOpen:
            return "cannot open";
    }
    return "";
}

Node TagInformationNode(const TagInformation& s) {
    Node n;
    n.Add("status", Text(ReadStatusText(s.report.status)));
    n.Add("fileVersion", Number(s.report.fileVersion));
    if (s.report.status == core::ReadStatus::kNotConfiguration) return n;
    n.Add("markerOffset", Number(s.report.markerOffset));
    n.Add("version", Number(s.report.sectionVersion));
    Node& tags = n.Add("tags", Array());
    for (const auto& tag : s.tags)
        tags.items.push_back(TagNode(tag, s.layout));
    if (s.layout.groups) {
        Node& groups = n.Add("groups", Array());
        for (const auto& group : s.groups)
            groups.items.push_back(GroupNode(group));
    }
    Node& devices = n.Add("devices", Array());
    for (size_t i = 0; i < s.devices.size(); ++i) {
        devices.items.push_back(DeviceNode(i, s.devices[i], s.layout));
    }
    if (s.layout.parameters) {
        Node& parameters = n.Add("parameters", Array());
        for (size_t i = 0; i < s.parameters.size(); ++i) {
            parameters.items.push_back(
                ParameterNode(i, s.parameters[i].first, s.parameters[i].second));
        }
    }
    return n;
}

// ---- differences ----------------------------------------------------------------------------

class Differences {
public:
    // What the server would run on (items a version lacks take its defaults) against what the
    // configurator shows. Parent identifiers and groups, which the server does not use, only
    // where the section carries them.
    Differences(const TagInformation& expected, const TagInformation& actual) {
        core::TagInfoLayout layout = FullLayout();
        layout.tagParentID = actual.layout.tagParentID;
        CompareTags(expected.tags, actual.tags, layout);
        if (actual.layout.groups) CompareGroups(expected.groups, actual.groups);
        for (size_t i = 0; i < std::max(expected.devices.size(), actual.devices.size()); ++i) {
            if (i >= actual.devices.size() || i >= expected.devices.size()) {
                OnlyIn(i < expected.devices.size(), "device " + std::to_string(i));
                continue;
            }
            CompareRecords(DeviceNode(i, expected.devices[i], layout),
                           DeviceNode(i, actual.devices[i], layout));
        }
        const auto& want = expected.parameters;
        const auto& have = actual.parameters;
        for (size_t i = 0; i < std::max(want.size(), have.size()); ++i) {
            if (i >= have.size() || i >= want.size()) {
                OnlyIn(i < want.size(), "parameter " + std::to_string(i));
                continue;
            }
            CompareRecords(ParameterNode(i, want[i].first, want[i].second),
                           ParameterNode(i, have[i].first, have[i].second));
        }
    }

    Node lines = Array();

private:
    void Line(const std::string& text) {
        lines.items.push_back(Text(platform::Utf8ToCp1251(text)));
    }

    void OnlyIn(bool configuration, const std::string& what) {
        Line(what + ": only in the " + (configuration ? "configuration" : "tag-information") +
             " section");
    }

    void CompareRecords(const Node& expected, const Node& actual) {
        for (size_t i = 0; i < expected.members.size(); ++i) {
            const std::string want = Inline(expected.members[i].value);
            const std::string have = Inline(actual.members[i].value);
            if (want == have) continue;
            Line(expected.label + ": " + expected.members[i].key + ": configuration " + want +
                 ", tag information " + have);
        }
    }

    // Records are matched by identifier; a repeated identifier pairs its occurrences in order.
    template <typename Record, typename ToNode>
    void CompareById(const std::vector<Record>& expected, const std::vector<Record>& actual,
                     const std::string& kind, ToNode toNode) {
        std::map<uint32_t, std::vector<size_t>> unmatched;
        for (size_t i = actual.size(); i-- > 0;)
            unmatched[actual[i].m_dwID].push_back(i);
        std::vector<size_t> order;
        for (const Record& want : expected) {
            auto& candidates = unmatched[want.m_dwID];
            if (candidates.empty()) {
                OnlyIn(true, kind + " " + std::to_string(want.m_dwID));
                continue;
            }
            const size_t position = candidates.back();
            candidates.pop_back();
            order.push_back(position);
            CompareRecords(toNode(want), toNode(actual[position]));
        }
        for (const auto& [id, positions] : unmatched) {
            for (size_t i = 0; i < positions.size(); ++i)
                OnlyIn(false, kind + " " + std::to_string(id));
        }
        if (!std::is_sorted(order.begin(), order.end())) Line(kind + "s are in a different order");
    }

    void CompareTags(const std::vector<core::ConfigTag>& expected,
                     const std::vector<core::ConfigTag>& actual,
                     const core::TagInfoLayout& layout) {
        CompareById(expected, actual, "tag",
                    [&](const core::ConfigTag& t) { return TagNode(t, layout); });
    }

    void CompareGroups(const std::vector<core::ConfigGroup>& expected,
                       const std::vector<core::ConfigGroup>& actual) {
        CompareById(expected, actual, "group", GroupNode);
    }
};

}  // namespace

int Dump(std::string_view file, Format format, std::string* out) {
    config::CKarvexOPCCfgDoc doc;
    const config::LoadResult configuration = config::LoadDocumentBytes(file, "", &doc);
    const TagInformation actual = ReadTagInformation(file);

    Node root;
    root.Add("file", Node(Record(""))).Add("size", Number(file.size()));
    root.Add("configuration", ConfigurationNode(configuration, doc));
    root.Add("tagInformation", TagInformationNode(actual));
    int exitCode = kSectionUnreadable;
    if (configuration.status == config::LoadStatus::kLoaded &&
        actual.report.status == core::ReadStatus::kLoaded) {
        // The configurator's own tag-information section for the document, read back the
        // way the server reads it.
        const TagInformation expected = ReadTagInformation(config::StoreDocument(doc));
        Differences differences(expected, actual);
        exitCode = differences.lines.items.empty() ? kSectionsAgree : kSectionsDisagree;
        root.Add("differences", std::move(differences.lines));
    } else {
        Node& lines = root.Add("differences", Array());
        lines.items.push_back(Text("not compared: a section could not be read"));
    }

    out->clear();
    if (format == Format::kJson) {
        Json(root, 0, out);
        *out += "\n";
    } else {
        TextDocument(root, out);
    }
    return exitCode;
}

}  // namespace scfdump
