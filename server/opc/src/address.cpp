// Item-ID lookup and browsing of the registered tag names as a tree.

#include <set>
#include <string>
#include <string_view>

#include "daaddress.h"
#include "dalog.h"
#include "datext.h"
#include "davalue.h"
#include "opcconst.h"
#include "platform/codepage.h"

namespace opc {
namespace {

using WideString = std::basic_string<WCHAR>;

daBrowsePosition ToPosition(std::basic_string_view<WCHAR> text) {
    return daBrowsePosition(text.begin(), text.end());
}

WideString ToWide(const daBrowsePosition& text) {
    return WideString(text.begin(), text.end());
}

std::string Narrow(const daBrowsePosition& text) {
    return platform::Utf16ToCp1251(text);
}

bool NoCase(const daService* service) {
    return (service->driver.flags & daDF_CASE_INSENSITIVE) != 0;
}

// A-Z only, as the registry compares and hashes names, so browsing agrees with lookup.
char16_t FoldName(char16_t unit, bool noCase) {
    return noCase && unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A'))
                                                  : unit;
}

bool SameNames(std::u16string_view a, std::u16string_view b, bool noCase) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldName(a[i], noCase) != FoldName(b[i], noCase)) return false;
    }
    return true;
}

daBrowsePosition FoldedName(std::u16string_view name, bool noCase) {
    daBrowsePosition folded(name);
    for (char16_t& unit : folded)
        unit = FoldName(unit, noCase);
    return folded;
}

// A named tag below a browse position; `rest` is its name after the position and separator.
struct TagBelow {
    unsigned tagIndex = 0;
    unsigned accessRights = 0;
    daBrowsePosition name;
    size_t restStart = 0;
    std::u16string_view Rest() const { return std::u16string_view(name).substr(restStart); }
};

// The named tags below `position` (all of them at the root), in tag index order.
std::vector<TagBelow> TagsBelow(daService* service, const daBrowsePosition& position) {
    const bool noCase = NoCase(service);
    const size_t restStart = position.empty() ? 0 : position.size() + 1;
    std::vector<TagBelow> found;
    daSharedHold registry(service->lkMgmt);
    for (unsigned i = 1; i <= service->highestNamed; ++i) {
        const daTagEntry& tag = service->tags[i];
        if (tag.tagIndex == 0 || !tag.name || !tag.name[0]) continue;
        const std::basic_string_view<WCHAR> name(tag.name);
        if (!position.empty()) {
            if (name.size() <= restStart || name[position.size()] != service->branchSeparator ||
                !SameNames(ToPosition(name.substr(0, position.size())), position, noCase)) {
                continue;
            }
        }
        found.push_back(TagBelow{i, tag.accessRights, ToPosition(name), restStart});
    }
    return found;
}

// The branch as its tags spell it; empty when no tag lies below it.
daBrowsePosition BranchSpelling(daService* service, const daBrowsePosition& branch) {
    std::vector<TagBelow> below = TagsBelow(service, branch);
    if (below.empty()) return {};
    return below.front().name.substr(0, branch.size());
}

bool RightsMatch(unsigned tagRights, DWORD filter) {
    constexpr DWORD kAny = OPC_READABLE | OPC_WRITEABLE;
    return filter == 0 || filter == kAny || (tagRights & filter) != 0;
}

bool IsRegistered(daService* service, unsigned tagIndex) {
    daSharedHold registry(service->lkMgmt);
    return tagIndex != 0 && tagIndex <= service->tagCount &&
           service->tags[tagIndex].tagIndex == tagIndex;
}

unsigned TagFlags(daService* service, unsigned tagIndex) {
    daSharedHold registry(service->lkMgmt);
    return service->tags[tagIndex].flags;
}

// The name filter as a sequence of tokens; each token but '*' takes one character.
class NameFilter {
public:
    NameFilter(const WCHAR* filter, bool noCase) : filter_(filter), noCase_(noCase) {}

    bool Matches(const WCHAR* name) const {
        // Backtracking to the last star is enough: every other token takes one character.
        const WCHAR* pattern = filter_;
        const WCHAR* star = nullptr;
        const WCHAR* resumeName = nullptr;
        while (*name) {
            if (*pattern == '*') {
                star = ++pattern;
                resumeName = name;
                continue;
            }
            const WCHAR* next = nullptr;
            if (*pattern && TokenTakes(pattern, *name, &next)) {
                pattern = next;
                ++name;
                continue;
            }
            if (!star) return false;
            pattern = star;
            name = ++resumeName;
        }
        while (*pattern == '*')
            ++pattern;
        return *pattern == 0;
    }

    // A list must be closed, hold at least one character and have no reversed range.
    static bool Valid(const WCHAR* filter) {
        for (const WCHAR* p = filter; *p; ++p) {
            if (*p != '[') continue;
            ++p;
            if (*p == '!') ++p;
            if (*p == ']' || *p == 0) return false;
            for (; *p && *p != ']'; ++p) {
                if (p[1] == '-' && p[2] && p[2] != ']') {
                    if (p[2] < p[0]) return false;
                    p += 2;
                }
            }
            if (*p == 0) return false;
        }
        return true;
    }

private:
    // Latin and Cyrillic letters, the alphabets of this system's names.
    static char16_t Lower(char16_t unit) {
        if ((unit >= u'A' && unit <= u'Z') || (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) ||
            (unit >= 0x410 && unit <= 0x42F)) {
            return static_cast<char16_t>(unit + 0x20);
        }
        if (unit >= 0x400 && unit <= 0x40F) return static_cast<char16_t>(unit + 0x50);
        return unit;
    }
    static char16_t Upper(char16_t unit) {
        if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) ||
            (unit >= 0x430 && unit <= 0x44F)) {
            return static_cast<char16_t>(unit - 0x20);
        }
        if (unit >= 0x450 && unit <= 0x45F) return static_cast<char16_t>(unit - 0x50);
        return unit;
    }

    bool Same(char16_t a, char16_t b) const { return a == b || (noCase_ && Lower(a) == Lower(b)); }

    bool InRange(char16_t c, char16_t low, char16_t high) const {
        if (c >= low && c <= high) return true;
        if (!noCase_) return false;
        const char16_t lower = Lower(c), upper = Upper(c);
        return (lower >= low && lower <= high) || (upper >= low && upper <= high);
    }

    // True when the token at `pattern` takes `c`; `next` is the token after it.
    bool TokenTakes(const WCHAR* pattern, char16_t c, const WCHAR** next) const {
        *next = pattern + 1;
        switch (*pattern) {
            case '?':
                return true;
            case '#':
                return c >= u'0' && c <= u'9';
            case '[':
                return ListTakes(pattern + 1, c, next);
            default:
                return Same(static_cast<char16_t>(*pattern), c);
        }
    }

    bool ListTakes(const WCHAR* list, char16_t c, const WCHAR** next) const {
        const bool negated = *list == '!';
        if (negated) ++list;
        bool found = false;
        for (; *list && *list != ']'; ++list) {
            char16_t low = static_cast<char16_t>(*list), high = low;
            if (list[1] == '-' && list[2] && list[2] != ']') {
                high = static_cast<char16_t>(list[2]);
                list += 2;
            }
            if (InRange(c, low, high)) found = true;
        }
        *next = *list ? list + 1 : list;
        return found != negated;
    }

    const WCHAR* filter_;
    bool noCase_;
};

bool PassesFilter(const std::u16string_view candidate, const WCHAR* filter, bool noCase) {
    const WideString name(candidate.begin(), candidate.end());
    return daNameFilterMatch(name.c_str(), filter, noCase);
}

}  // namespace

HRESULT daLookupTag(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                    const WCHAR* accessPath, unsigned* tagIndex) {
    if (!itemId || !tagIndex) return E_INVALIDARG;
    *tagIndex = 0;
    if (!daServiceIsLive(service, false)) return E_FAIL;
    if (!itemId[0]) return OPC_E_INVALIDITEMID;
    unsigned found = 0;
    daFindTag(service, itemId, &found);
    const bool pathGiven = accessPath && accessPath[0];
    const bool askDriver = service->driver.itemId &&
                           (!found || (pathGiven && (TagFlags(service, found) & daTF_ASK_DRIVER)));
    if (askDriver) {
        unsigned given = 0;
        if (service->driver.itemId(&caller, itemId, accessPath, &given) == 0) {
            if (IsRegistered(service, given)) {
                found = given;
            } else {
                kvlog::Warning(daLog(), "daLookupItemId(%s) driver answered unknown tag %u",
                               Narrow(ToPosition(itemId)).c_str(), given);
            }
        }
    }
    if (!found) return OPC_E_UNKNOWNITEMID;
    *tagIndex = found;
    return S_OK;
}

HRESULT daLookupItemId(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                       const WCHAR* accessPath, unsigned* tagIndex) {
    HRESULT result = daLookupTag(service, caller, itemId, accessPath, tagIndex);
    if (FAILED(result)) return result;
    bool typed = false;
    {
        daSharedHold registry(service->lkMgmt);
        typed = service->tags[*tagIndex].attributes->canonical.vt != VT_EMPTY;
    }
    if (typed) return S_OK;
    *tagIndex = 0;
    return OPC_E_INVALIDITEMID;
}

OPCNAMESPACETYPE daQueryOrganization(daService* service) {
    return service->branchSeparator ? OPC_NS_HIERARCHIAL : OPC_NS_FLAT;
}

HRESULT daChangeBrowsePosition(daService* service, const char* logTag, daBrowsePosition* position,
                               OPCBROWSEDIRECTION direction, const WCHAR* name) {
    if (!logTag) logTag = "";
    const WCHAR separator = service->branchSeparator;
    if (!separator) {
        kvlog::Notice(daLog(), "%.16s ChangeBrowsePosition() on the FLAT", logTag);
        return E_FAIL;
    }
    daBrowsePosition target;
    switch (direction) {
        case OPC_BROWSE_UP: {
            if (position->empty()) {
                kvlog::Notice(daLog(), "%.16s ChangeBrowsePosition() already on root", logTag);
                return E_FAIL;
            }
            const size_t last = position->rfind(static_cast<char16_t>(separator));
            position->resize(last == daBrowsePosition::npos ? 0 : last);
            return S_OK;
        }
        case OPC_BROWSE_DOWN:
            if (!name || !name[0]) return E_INVALIDARG;
            target = *position;
            if (!target.empty()) target += static_cast<char16_t>(separator);
            target += ToPosition(name);
            break;
        case OPC_BROWSE_TO:
            if (!name || !name[0]) {
                position->clear();
                return S_OK;
            }
            target = ToPosition(name);
            break;
        default:
            kvlog::Warning(daLog(), "%.16s ChangeBrowsePosition() unknown direction", logTag);
            return E_INVALIDARG;
    }
    daBrowsePosition spelled = BranchSpelling(service, target);
    if (spelled.empty()) return E_INVALIDARG;
    *position = spelled;
    return S_OK;
}

HRESULT daBrowseItemIds(daService* service, const daCallerRecord& caller,
                        const daBrowsePosition& position, OPCBROWSETYPE type, const WCHAR* filter,
                        VARTYPE dataType, DWORD accessRights, std::vector<std::u16string>* names) {
    if (!names) return E_INVALIDARG;
    names->clear();
    if (type < OPC_BRANCH || type > OPC_FLAT) return E_INVALIDARG;
    if (filter && !daNameFilterValid(filter)) return OPC_E_INVALIDFILTER;
    if (!daServiceIsLive(service, false)) return E_FAIL;
    const char16_t separator = static_cast<char16_t>(service->branchSeparator);
    if (!separator) type = OPC_FLAT;
    const bool noCase = NoCase(service);

    std::set<daBrowsePosition> branchesSeen;
    for (const TagBelow& tag : TagsBelow(service, separator ? position : daBrowsePosition())) {
        const std::u16string_view rest = tag.Rest();
        const size_t split = separator ? rest.find(separator) : std::u16string_view::npos;
        if (type == OPC_BRANCH) {
            if (split == std::u16string_view::npos || split == 0) continue;
            const std::u16string_view branch = rest.substr(0, split);
            if (!PassesFilter(branch, filter, noCase)) continue;
            if (branchesSeen.insert(FoldedName(branch, noCase)).second) names->emplace_back(branch);
            continue;
        }
        if (type == OPC_LEAF && split != std::u16string_view::npos) continue;
        if (rest.empty() || !RightsMatch(tag.accessRights, accessRights) ||
            !PassesFilter(rest, filter, noCase)) {
            continue;
        }
        if (dataType != VT_EMPTY &&
            FAILED(daCheckRequestedType(service, caller, tag.tagIndex, dataType))) {
            continue;
        }
        names->emplace_back(rest);
    }
    return names->empty() ? S_FALSE : S_OK;
}

HRESULT daGetItemId(daService* service, const daBrowsePosition& position, const WCHAR* name,
                    LPWSTR* itemId) {
    if (!itemId) return E_INVALIDARG;
    *itemId = nullptr;
    if (!daServiceIsLive(service, false)) return E_FAIL;
    daBrowsePosition result = position;  // an empty name asks for the position itself
    if (name && name[0]) {
        const WCHAR separator = service->branchSeparator;
        daBrowsePosition joined = position;
        if (separator && !joined.empty()) joined += static_cast<char16_t>(separator);
        joined += ToPosition(name);
        unsigned tagIndex = 0;
        if (daFindTag(service, ToWide(joined).c_str(), &tagIndex) == 0) {
            daSharedHold registry(service->lkMgmt);
            result = ToPosition(service->tags[tagIndex].name);
        } else {
            result = separator ? BranchSpelling(service, joined) : daBrowsePosition();
            if (result.empty()) return E_INVALIDARG;
        }
    }
    *itemId = daCoTaskCopy(result);
    return *itemId ? S_OK : E_OUTOFMEMORY;
}

bool daNameFilterValid(const WCHAR* filter) {
    return !filter || NameFilter::Valid(filter);
}

bool daNameFilterMatch(const WCHAR* name, const WCHAR* filter, bool noCase) {
    if (!filter || !filter[0]) return true;
    return NameFilter(filter, noCase).Matches(name);
}

}  // namespace opc
