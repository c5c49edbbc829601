#include "reg_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/codepage.h"

namespace platform::reg::file {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";
// regedit wraps hex lists so that no line grows past 80 characters.
constexpr size_t kHexLineLimit = 77;

int CompareNoCase(std::string_view a, std::string_view b) {
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        auto left = static_cast<unsigned char>(Cp1251ToUpper(a[i]));
        auto right = static_cast<unsigned char>(Cp1251ToUpper(b[i]));
        if (left != right) return left < right ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

template <class Items>
auto LowerBound(Items& items, std::string_view name) {
    return std::lower_bound(
        items.begin(), items.end(), name,
        [](const auto& item, std::string_view n) { return CompareNoCase(item.name, n) < 0; });
}

template <class Items>
auto Find(Items& items, std::string_view name) {
    auto found = LowerBound(items, name);
    return found != items.end() && CompareNoCase(found->name, name) == 0 ? found : items.end();
}

bool IsValidKeyName(std::string_view name) {
    return name.size() <= kMaxKeyNameLength &&
           name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

size_t SkipBlanks(std::string_view text, size_t pos) {
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    return pos;
}

std::string_view Trim(std::string_view text) {
    size_t start = SkipBlanks(text, 0);
    size_t end = text.size();
    while (end > start && IsBlank(text[end - 1]))
        --end;
    return text.substr(start, end - start);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 8 hexadecimal digits and nothing else.
bool ParseHexNumber(std::string_view digits, uint32_t* number) {
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t result = 0;
    for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        result = result << 4 | static_cast<uint32_t>(digit);
    }
    *number = result;
    return true;
}

// Registry strings stored as bytes hold UTF-16LE, normally with one terminating zero.
std::string Utf16BytesToText(const std::vector<uint8_t>& bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    if (!units.empty() && units.back() == 0) units.pop_back();
    return Utf16ToCp1251(units);
}

std::vector<uint8_t> TextToUtf16Bytes(std::string_view text) {
    std::u16string units = Cp1251ToUtf16(text);
    units.push_back(0);
    std::vector<uint8_t> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

Value ValueFromHex(uint32_t type, std::vector<uint8_t> bytes) {
    switch (static_cast<Type>(type)) {
        case Type::Sz:
        case Type::ExpandSz:
            return Value::String(Utf16BytesToText(bytes), static_cast<Type>(type));
        case Type::Binary:
            return Value::Binary(std::move(bytes));
        default:
            return Value{static_cast<Type>(type), std::move(bytes)};
    }
}

// Key paths compare name by name: the separator sorts before every character of a name.
int ComparePaths(std::string_view a, std::string_view b) {
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        auto left = a[i] == '\\' ? 0 : static_cast<unsigned char>(Cp1251ToUpper(a[i]));
        auto right = b[i] == '\\' ? 0 : static_cast<unsigned char>(Cp1251ToUpper(b[i]));
        if (left != right) return left < right ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// One "[...]" block of the file, its path normalised to single backslashes.
struct Section {
    std::string path;
    std::vector<NamedValue> values;
};

class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}

    // The next line without its line end (LF or CRLF).
    bool Next(std::string_view* line) {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        *line = text_.substr(pos_, end - pos_);
        if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        return true;
    }
    size_t number() const { return number_; }

private:
    std::string_view text_;
    size_t pos_ = 0;
    size_t number_ = 0;
};

class Parser {
public:
    Parser(std::string_view text, std::string_view rootName) : lines_(text), rootName_(rootName) {}

    bool Run(Key* root, ParseError* error) {
        if (!ParseLines()) {
            *error = error_;
            return false;
        }
        BuildTree(root);
        return true;
    }

private:
    bool ParseLines() {
        std::string_view line;
        bool headerSeen = false;
        while (lines_.Next(&line)) {
            line = Trim(line);
            if (line.empty() || line.front() == ';') continue;
            if (!headerSeen) {
                if (line != kHeader) return Fail("not a registry file (no header line)");
                headerSeen = true;
            } else if (line.front() == '[') {
                if (!ParseSection(line)) return false;
            } else if (line.front() == '"' || line.front() == '@') {
                if (!ParseValueLine(line)) return false;
            } else {
                return Fail("invalid line");
            }
        }
        return headerSeen || Fail("not a registry file (no header line)");
    }

    bool Fail(std::string reason) {
        error_.line = std::max<size_t>(lines_.number(), 1);
        error_.reason = std::move(reason);
        return false;
    }

    bool ParseSection(std::string_view line) {
        if (line.size() < 2 || line.back() != ']') return Fail("section without closing bracket");
        std::string_view inner = line.substr(1, line.size() - 2);
        if (!StartsWithNoCase(inner, rootName_)) return Fail("section outside this hive");
        std::string_view rest = inner.substr(rootName_.size());
        if (rest.empty()) {
            sections_.emplace_back();
            return true;
        }
        if (rest.front() != '\\') return Fail("section outside this hive");
        std::string path = Utf8ToCp1251(rest.substr(1));
        KeyPath names;
        if (!SplitPath(path, &names) || names.empty()) return Fail("invalid key name");
        Section& section = sections_.emplace_back();
        for (std::string_view name : names) {
            if (!section.path.empty()) section.path.push_back('\\');
            section.path.append(name);
        }
        return true;
    }

    bool ParseValueLine(std::string_view line) {
        if (sections_.empty()) return Fail("value before the first section");
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, &pos, &name)) {
            return false;
        }
        pos = SkipBlanks(line, pos);
        if (pos == line.size() || line[pos] != '=') return Fail("missing '=' after the value name");
        if (!IsValidValueName(name)) return Fail("value name too long");
        Value value;
        if (!ParseData(line.substr(SkipBlanks(line, pos + 1)), &value)) return false;
        sections_.back().values.push_back(NamedValue{std::move(name), std::move(value)});
        return true;
    }

    // A string in quotes at line[*pos] with the escapes \\ \" \n \r \0; the result is
    // Windows-1251 and *pos ends after the closing quote.
    bool ParseQuoted(std::string_view line, size_t* pos, std::string* text) {
        std::string utf8;
        for (size_t i = *pos + 1; i < line.size(); ++i) {
            char c = line[i];
            if (c == '"') {
                *text = Utf8ToCp1251(utf8);
                *pos = i + 1;
                return true;
            }
            if (c == '\\') {
                if (++i == line.size()) break;
                switch (line[i]) {
                    case '\\':
                        c = '\\';
                        break;
                    case '"':
                        c = '"';
                        break;
                    case 'n':
                        c = '\n';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case '0':
                        c = '\0';
                        break;
                    default:
                        return Fail("unknown escape in a string");
                }
            }
            utf8.push_back(c);
        }
        return Fail("string without closing quote");
    }

    bool ParseData(std::string_view data, Value* value) {
        if (!data.empty() && data.front() == '"') {
            size_t pos = 0;
            std::string text;
            if (!ParseQuoted(data, &pos, &text)) return false;
            if (!Trim(data.substr(pos)).empty()) return Fail("text after the closing quote");
            *value = Value::String(text);
            return true;
        }
        if (StartsWithNoCase(data, "dword:")) {
            uint32_t number = 0;
            if (!ParseHexNumber(Trim(data.substr(6)), &number)) return Fail("bad dword");
            *value = Value::Dword(number);
            return true;
        }
        uint32_t type = static_cast<uint32_t>(Type::Binary);
        std::string_view list;
        if (StartsWithNoCase(data, "hex:")) {
            list = data.substr(4);
        } else if (StartsWithNoCase(data, "hex(")) {
            size_t close = data.find("):");
            if (close == std::string_view::npos ||
                !ParseHexNumber(data.substr(4, close - 4), &type)) {
                return Fail("bad hex type");
            }
            list = data.substr(close + 2);
        } else {
            return Fail("unknown value data");
        }
        std::vector<uint8_t> bytes;
        if (!ParseHexList(list, &bytes)) return false;
        *value = ValueFromHex(type, std::move(bytes));
        return true;
    }

    // "de,ad,be" where a backslash at the end of a line continues the list on the next one.
    bool ParseHexList(std::string_view text, std::vector<uint8_t>* bytes) {
        size_t pos = SkipBlanks(text, 0);
        if (pos == text.size()) return true;
        for (;;) {
            if (text[pos] == '\\' && SkipBlanks(text, pos + 1) == text.size()) {
                if (!lines_.Next(&text)) return Fail("file ends inside a hex list");
                pos = SkipBlanks(text, 0);
                if (pos == text.size()) return Fail("empty line inside a hex list");
                continue;
            }
            int high = HexDigit(text[pos]);
            if (high < 0) return Fail("bad hex byte");
            int byte = high;
            if (++pos < text.size() && HexDigit(text[pos]) >= 0)
                byte = byte << 4 | HexDigit(text[pos++]);
            bytes->push_back(static_cast<uint8_t>(byte));
            pos = SkipBlanks(text, pos);
            if (pos == text.size()) return true;
            if (text[pos] != ',') return Fail("bad hex list");
            pos = SkipBlanks(text, pos + 1);
            if (pos == text.size()) return Fail("hex list ends with a comma");
        }
    }

    // Sections in the order of the tree: each key is then reached once and appended after its
    // siblings, so a hostile file in random order costs n log n, not n squared. For repeated
    // names the first spelling and the last value win, as regedit's import does.
    void BuildTree(Key* root) {
        std::stable_sort(
            sections_.begin(), sections_.end(),
            [](const Section& a, const Section& b) { return ComparePaths(a.path, b.path) < 0; });
        KeyPath names;
        for (size_t first = 0; first < sections_.size();) {
            size_t end = first + 1;
            while (end < sections_.size() &&
                   ComparePaths(sections_[first].path, sections_[end].path) == 0) {
                ++end;
            }
            std::vector<NamedValue> values;
            for (size_t i = first; i < end; ++i) {
                for (NamedValue& named : sections_[i].values)
                    values.push_back(std::move(named));
            }
            SplitPath(sections_[first].path, &names);
            MergeValues(std::move(values), &CreateKey(*root, names));
            first = end;
        }
    }

    static void MergeValues(std::vector<NamedValue> values, Key* key) {
        std::stable_sort(values.begin(), values.end(),
                         [](const NamedValue& a, const NamedValue& b) {
                             return CompareNoCase(a.name, b.name) < 0;
                         });
        for (size_t first = 0; first < values.size();) {
            size_t last = first;
            while (last + 1 < values.size() &&
                   CompareNoCase(values[first].name, values[last + 1].name) == 0) {
                ++last;
            }
            key->values.push_back(
                NamedValue{std::move(values[first].name), std::move(values[last].value)});
            first = last + 1;
        }
    }

    LineReader lines_;
    std::string_view rootName_;
    std::vector<Section> sections_;
    ParseError error_;
};

void AppendQuoted(std::string* out, std::string_view text) {
    out->push_back('"');
    for (char c : Cp1251ToUtf8(text)) {
        switch (c) {
            case '\\':
                out->append("\\\\");
                break;
            case '"':
                out->append("\\\"");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\0':
                out->append("\\0");
                break;
            default:
                out->push_back(c);
        }
    }
    out->push_back('"');
}

void AppendHexByte(std::string* out, uint8_t byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out->push_back(kDigits[byte >> 4]);
    out->push_back(kDigits[byte & 0xF]);
}

void AppendHexList(std::string* out, const std::vector<uint8_t>& bytes) {
    size_t lineStart = out->rfind('\n') + 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        AppendHexByte(out, bytes[i]);
        if (i + 1 == bytes.size()) break;
        out->push_back(',');
        if (out->size() - lineStart >= kHexLineLimit) {
            out->append("\\\n  ");
            lineStart = out->size() - 2;
        }
    }
}

void AppendValue(std::string* out, const NamedValue& named) {
    if (named.name.empty()) {
        out->push_back('@');
    } else {
        AppendQuoted(out, named.name);
    }
    out->push_back('=');
    const Value& value = named.value;
    if (value.type == Type::Sz) {
        AppendQuoted(out, value.AsString());
    } else if (value.type == Type::ExpandSz) {
        out->append("hex(2):");
        AppendHexList(out, TextToUtf16Bytes(value.AsString()));
    } else if (value.type == Type::Dword && value.data.size() == 4) {
        out->append("dword:");
        for (size_t i = 4; i-- > 0;)
            AppendHexByte(out, value.data[i]);
    } else if (value.type == Type::Binary) {
        out->append("hex:");
        AppendHexList(out, value.data);
    } else {
        char type[16];
        std::snprintf(type, sizeof(type), "hex(%x):", static_cast<unsigned>(value.type));
        out->append(type);
        AppendHexList(out, value.data);
    }
    out->push_back('\n');
}

// Parents without values are implied by their subkeys' sections, so the text stays proportional
// to the tree however deep it is.
void AppendKey(std::string* out, const Key& key, std::string* path, bool isRoot) {
    bool needsSection = !key.values.empty() || (!isRoot && key.subkeys.empty());
    if (needsSection) {
        out->append("\n[");
        out->append(Cp1251ToUtf8(*path));
        out->append("]\n");
        for (const NamedValue& named : key.values)
            AppendValue(out, named);
    }
    for (const Key& subkey : key.subkeys) {
        size_t length = path->size();
        path->push_back('\\');
        path->append(subkey.name);
        AppendKey(out, subkey, path, false);
        path->resize(length);
    }
}

}  // namespace

const Key* Key::FindSubkey(std::string_view subkeyName) const {
    auto found = Find(subkeys, subkeyName);
    return found == subkeys.end() ? nullptr : &*found;
}

Key* Key::FindSubkey(std::string_view subkeyName) {
    auto found = Find(subkeys, subkeyName);
    return found == subkeys.end() ? nullptr : &*found;
}

Key& Key::CreateSubkey(std::string_view subkeyName) {
    auto position = LowerBound(subkeys, subkeyName);
    if (position != subkeys.end() && CompareNoCase(position->name, subkeyName) == 0)
        return *position;
    Key created;
    created.name = subkeyName;
    return *subkeys.insert(position, std::move(created));
}

bool Key::DeleteSubkey(std::string_view subkeyName) {
    auto found = Find(subkeys, subkeyName);
    if (found == subkeys.end()) return false;
    subkeys.erase(found);
    return true;
}

const Value* Key::FindValue(std::string_view valueName) const {
    auto found = Find(values, valueName);
    return found == values.end() ? nullptr : &found->value;
}

void Key::SetValue(std::string_view valueName, Value value) {
    auto position = LowerBound(values, valueName);
    if (position != values.end() && CompareNoCase(position->name, valueName) == 0) {
        position->value = std::move(value);
    } else {
        values.insert(position, NamedValue{std::string(valueName), std::move(value)});
    }
}

bool Key::DeleteValue(std::string_view valueName) {
    auto found = Find(values, valueName);
    if (found == values.end()) return false;
    values.erase(found);
    return true;
}

bool SplitPath(std::string_view path, KeyPath* names) {
    names->clear();
    if (!path.empty() && path.front() == '\\') return false;
    for (size_t start = 0; start < path.size();) {
        size_t end = std::min(path.find('\\', start), path.size());
        std::string_view name = path.substr(start, end - start);
        start = end + 1;
        // Windows reads "A\\B" and "A\B\" as "A\B".
        if (name.empty()) continue;
        if (!IsValidKeyName(name) || names->size() == kMaxKeyDepth) return false;
        names->push_back(name);
    }
    return true;
}

bool IsValidValueName(std::string_view valueName) {
    return valueName.size() <= kMaxValueNameLength;
}

const Key* FindKey(const Key& root, const KeyPath& names) {
    const Key* key = &root;
    for (std::string_view name : names) {
        key = key->FindSubkey(name);
        if (key == nullptr) return nullptr;
    }
    return key;
}

Key* FindKey(Key& root, const KeyPath& names) {
    return const_cast<Key*>(FindKey(static_cast<const Key&>(root), names));
}

Key& CreateKey(Key& root, const KeyPath& names) {
    Key* key = &root;
    for (std::string_view name : names)
        key = &key->CreateSubkey(name);
    return *key;
}

bool Parse(std::string_view text, std::string_view rootName, Key* root, ParseError* error) {
    *root = Key{};
    std::string converted;
    if (text.starts_with(kUtf16Bom)) {
        // regedit itself saves UTF-16LE.
        text.remove_prefix(kUtf16Bom.size());
        std::u16string units;
        units.reserve(text.size() / 2);
        for (size_t i = 0; i + 1 < text.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<uint8_t>(text[i]) |
                                                  static_cast<uint8_t>(text[i + 1]) << 8));
        }
        converted = Utf16ToUtf8(units);
        text = converted;
    } else if (text.starts_with(kUtf8Bom)) {
        text.remove_prefix(kUtf8Bom.size());
    } else if (text.empty()) {
        return true;
    }
    return Parser(text, rootName).Run(root, error);
}

std::string Serialize(const Key& root, std::string_view rootName) {
    std::string out(kHeader);
    out.push_back('\n');
    std::string path(rootName);
    AppendKey(&out, root, &path, true);
    return out;
}

}  // namespace platform::reg::file
