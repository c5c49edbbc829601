#include "../src/daaddress.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/davalue.h"
#include "opc_test_support.h"
#include "opcconst.h"
#include "platform/codepage.h"

namespace {

using opc_test::CoreDriver;
using opc_test::I4;
using opc_test::LogCapture;
using ServicePtr = std::unique_ptr<opc::daService, opc_test::ServiceDeleter>;
using Names = std::vector<std::u16string>;

ServicePtr MakeService(const opc::daDriverRecord& driver, unsigned tagCount = 16) {
    opc::daService* service = nullptr;
    EXPECT_EQ(opc::daCreate(&service, &driver, tagCount), 0);
    return ServicePtr(service);
}

unsigned AddAnalog(opc::daService* service, const char* name, unsigned rights = 3,
                   VARIANT canonical = I4(0), double low = 0, double high = 100) {
    unsigned index = 0;
    EXPECT_EQ(opc::daAddRealTag_a(service, &index, 0, name, 0, rights, &canonical, low, high), 0)
        << name;
    return index;
}

unsigned AddPlain(opc::daService* service, const char* name, VARIANT canonical, unsigned rights = 3,
                  unsigned flags = 0) {
    unsigned index = 0;
    EXPECT_EQ(
        opc::daAddTag(service, &index, 0, name, nullptr, flags, rights, &canonical, 0, nullptr, 0),
        0)
        << name;
    VariantClear(&canonical);
    return index;
}

VARIANT Text(const OLECHAR* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

std::u16string U16(const WCHAR* text) {
    std::u16string result;
    for (; text && *text; ++text)
        result.push_back(static_cast<char16_t>(*text));
    return result;
}

std::basic_string<WCHAR> Wide(const std::u16string& text) {
    return std::basic_string<WCHAR>(text.begin(), text.end());
}

class AddressTest : public ::testing::Test {
protected:
    Names Browse(opc::daService* service, const opc::daBrowsePosition& position, OPCBROWSETYPE type,
                 const WCHAR* filter = OLESTR(""), VARTYPE dataType = VT_EMPTY, DWORD rights = 0,
                 HRESULT expected = S_OK) {
        Names names;
        EXPECT_EQ(opc::daBrowseItemIds(service, caller_, position, type, filter, dataType, rights,
                                       &names),
                  expected);
        return names;
    }

    HRESULT Move(opc::daService* service, opc::daBrowsePosition* position,
                 OPCBROWSEDIRECTION direction, const WCHAR* name = nullptr) {
        return opc::daChangeBrowsePosition(service, "[client]", position, direction, name);
    }

    std::u16string ItemId(opc::daService* service, const opc::daBrowsePosition& position,
                          const WCHAR* name, HRESULT expected = S_OK) {
        LPWSTR id = nullptr;
        EXPECT_EQ(opc::daGetItemId(service, position, name, &id), expected);
        std::u16string result = U16(id);
        CoTaskMemFree(id);
        return result;
    }

    HRESULT Lookup(opc::daService* service, const WCHAR* itemId, unsigned* index,
                   const WCHAR* accessPath = nullptr) {
        opc::daCallerRecord caller;
        caller.service = service;
        return opc::daLookupItemId(service, caller, itemId, accessPath, index);
    }

    LogCapture log_;
    opc::daCallerRecord caller_;
};

TEST_F(AddressTest, BrowsesTheTreeDownAndUp) {
    ServicePtr service = MakeService(CoreDriver());
    AddAnalog(service.get(), "A/B/C");
    AddAnalog(service.get(), "A/D");
    EXPECT_EQ(opc::daQueryOrganization(service.get()), OPC_NS_HIERARCHIAL);

    opc::daBrowsePosition position;
    EXPECT_EQ(Browse(service.get(), position, OPC_BRANCH), Names({u"A"}));
    EXPECT_EQ(Browse(service.get(), position, OPC_LEAF, nullptr, VT_EMPTY, 0, S_FALSE), Names());
    EXPECT_EQ(Browse(service.get(), position, OPC_FLAT), Names({u"A/B/C", u"A/D"}));

    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("X")), E_INVALIDARG);
    EXPECT_EQ(position, u"");
    ASSERT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("A")), S_OK);
    EXPECT_EQ(position, u"A");
    EXPECT_EQ(Browse(service.get(), position, OPC_BRANCH), Names({u"B"}));
    EXPECT_EQ(Browse(service.get(), position, OPC_LEAF), Names({u"D"}));
    EXPECT_EQ(Browse(service.get(), position, OPC_FLAT), Names({u"B/C", u"D"}));
    EXPECT_EQ(Browse(service.get(), position, static_cast<OPCBROWSETYPE>(4), nullptr, VT_EMPTY, 0,
                     E_INVALIDARG),
              Names());

    ASSERT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("B")), S_OK);
    EXPECT_EQ(position, u"A/B");
    EXPECT_EQ(Browse(service.get(), position, OPC_LEAF), Names({u"C"}));
    // A leaf is no branch to move into.
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("C")), E_INVALIDARG);
    EXPECT_EQ(position, u"A/B");

    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_UP), S_OK);
    EXPECT_EQ(position, u"A");
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_UP), S_OK);
    EXPECT_EQ(position, u"");
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_UP), E_FAIL);
    EXPECT_TRUE(log_.Contains("[client] ChangeBrowsePosition() already on root"));

    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_TO, OLESTR("A/B")), S_OK);
    EXPECT_EQ(position, u"A/B");
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_TO, OLESTR("A/D")), E_INVALIDARG);
    EXPECT_EQ(position, u"A/B");
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_TO, OLESTR("")), S_OK);
    EXPECT_EQ(position, u"");
    EXPECT_EQ(Move(service.get(), &position, static_cast<OPCBROWSEDIRECTION>(7), OLESTR("A")),
              E_INVALIDARG);
    EXPECT_TRUE(log_.Contains("[client] ChangeBrowsePosition() unknown direction"));
}

TEST_F(AddressTest, BranchesAreNamedOnceAsTheirTagsSpellThem) {
    ServicePtr service = MakeService(CoreDriver());  // names without case
    AddAnalog(service.get(), "Boiler/T1");
    AddAnalog(service.get(), "boiler/T2");
    AddAnalog(service.get(), "Pump/P1");
    AddAnalog(service.get(), "Boiler/Sub/T3");
    opc::daBrowsePosition position;
    EXPECT_EQ(Browse(service.get(), position, OPC_BRANCH), Names({u"Boiler", u"Pump"}));
    ASSERT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("BOILER")), S_OK);
    EXPECT_EQ(position, u"Boiler");
    EXPECT_EQ(Browse(service.get(), position, OPC_LEAF), Names({u"T1", u"T2"}));
    EXPECT_EQ(Browse(service.get(), position, OPC_BRANCH), Names({u"Sub"}));
}

TEST_F(AddressTest, ItemIdJoinsPositionAndName) {
    ServicePtr service = MakeService(CoreDriver());
    AddAnalog(service.get(), "A/B/C");
    AddAnalog(service.get(), "A/D");
    const opc::daBrowsePosition atA = u"A";
    EXPECT_EQ(ItemId(service.get(), atA, OLESTR("B")), u"A/B");
    EXPECT_EQ(ItemId(service.get(), atA, OLESTR("D")), u"A/D");
    EXPECT_EQ(ItemId(service.get(), atA, OLESTR("d")), u"A/D");  // as the tag spells it
    EXPECT_EQ(ItemId(service.get(), atA, OLESTR("")), u"A");
    EXPECT_EQ(ItemId(service.get(), u"", OLESTR("A")), u"A");
    ItemId(service.get(), atA, OLESTR("X"), E_INVALIDARG);
    ItemId(service.get(), u"", OLESTR("B"), E_INVALIDARG);
    EXPECT_EQ(opc::daGetItemId(service.get(), atA, OLESTR("B"), nullptr), E_INVALIDARG);
}

struct FilterCase {
    const char16_t* name;
    const char16_t* filter;
    bool noCase;
    bool matches;
};

TEST(NameFilter, MatchesAsTheFilterSays) {
    const FilterCase cases[] = {
        {u"TA1", u"T?#", false, true},
        {u"TAB", u"T?#", false, false},
        {u"TA", u"T?#", false, false},
        {u"Dx", u"[!A-C]*", false, true},
        {u"Bx", u"[!A-C]*", false, false},
        {u"Bx", u"[A-C]x", false, true},
        {u"bx", u"[A-C]x", false, false},
        {u"bx", u"[A-C]x", true, true},
        {u"bx", u"[!A-C]x", true, false},
        {u"Pump", u"pUMP", true, true},
        {u"Pump", u"pUMP", false, false},
        {u"\u041D\u0430\u0441\u043E\u0441", u"\u043D\u0410\u0421*", true, true},  // Cyrillic
        {u"a-b", u"a[-]b", false, true},
        {u"abc", u"[xa]bc", false, true},
        {u"xaybzb", u"*a*b", false, true},  // the first 'b' is not the last one
        {u"abcbc", u"a*bc", false, true},
        {u"abcbd", u"a*bc", false, false},
        {u"ab", u"a**b*", false, true},
        {u"", u"*", false, true},
        {u"", u"?", false, false},
        {u"anything", u"", false, true},
        {u"9", u"#", false, true},
        {u"x", u"#", false, false},
    };
    for (const FilterCase& c : cases) {
        const std::basic_string<WCHAR> name = Wide(c.name), filter = Wide(c.filter);
        EXPECT_EQ(opc::daNameFilterMatch(name.c_str(), filter.c_str(), c.noCase), c.matches)
            << platform::Utf16ToCp1251(c.name) << " ~ " << platform::Utf16ToCp1251(c.filter)
            << " noCase " << c.noCase;
    }
}

TEST(NameFilter, ListsMustBeClosedFilledAndInOrder) {
    const std::pair<const char16_t*, bool> cases[] = {
        {u"a[b-c]*", true}, {u"[!x]", true},   {u"[abc", false}, {u"[]", false},
        {u"[!]", false},    {u"[z-a]", false}, {u"a]", true},
    };
    for (const auto& [filter, valid] : cases) {
        EXPECT_EQ(opc::daNameFilterValid(Wide(filter).c_str()), valid)
            << platform::Utf16ToCp1251(filter);
    }
}

TEST_F(AddressTest, LeavesPassNameRightsAndTypeFilters) {
    ServicePtr service = MakeService(CoreDriver());
    AddAnalog(service.get(), "P/TA1", OPC_READABLE);
    AddAnalog(service.get(), "P/TAB", OPC_WRITEABLE);
    AddPlain(service.get(), "P/Text", Text(OLESTR("abc")), OPC_READABLE | OPC_WRITEABLE);
    VARIANT small = I4(0);
    small.vt = VT_I2;
    // The value fits a byte, the top of the range does not.
    AddAnalog(service.get(), "P/Wide", OPC_READABLE, small, 0, 1000);
    AddPlain(service.get(), "P/Sub/X", I4(0));
    AddPlain(service.get(), "P/Fixed", I4(0), OPC_READABLE, opc::daTF_CANONICAL_ONLY);
    const opc::daBrowsePosition at = u"P";

    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, OLESTR("t?#")), Names({u"TA1"}));
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_EMPTY, OPC_WRITEABLE),
              Names({u"TAB", u"Text"}));
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_EMPTY, OPC_READABLE),
              Names({u"TA1", u"Text", u"Wide", u"Fixed"}));
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_EMPTY, 3).size(), 5u);
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_R8),
              Names({u"TA1", u"TAB", u"Wide"}));
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_UI1), Names({u"TA1", u"TAB"}));
    // A tag that keeps its canonical type passes only that type.
    EXPECT_EQ(Browse(service.get(), at, OPC_LEAF, nullptr, VT_I4),
              Names({u"TA1", u"TAB", u"Wide", u"Fixed"}));
    EXPECT_EQ(Browse(service.get(), at, OPC_FLAT, OLESTR("*X"), VT_BSTR), Names({u"Sub/X"}));
    // Branches pass the name filter only.
    EXPECT_EQ(Browse(service.get(), at, OPC_BRANCH, OLESTR("S*"), VT_UI1, OPC_WRITEABLE),
              Names({u"Sub"}));
    Browse(service.get(), at, OPC_LEAF, OLESTR("Q*"), VT_EMPTY, 0, S_FALSE);
    Browse(service.get(), at, OPC_LEAF, OLESTR("[TA"), VT_EMPTY, 0, OPC_E_INVALIDFILTER);
}

TEST_F(AddressTest, FlatNamespaceBrowsesWholeNames) {
    opc::daDriverRecord driver = CoreDriver();
    driver.branchSeparator = 0;
    ServicePtr service = MakeService(driver);
    AddAnalog(service.get(), "A/B");
    AddAnalog(service.get(), "C");
    EXPECT_EQ(opc::daQueryOrganization(service.get()), OPC_NS_FLAT);

    opc::daBrowsePosition position;
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_DOWN, OLESTR("A")), E_FAIL);
    EXPECT_EQ(Move(service.get(), &position, OPC_BROWSE_TO, OLESTR("")), E_FAIL);
    EXPECT_TRUE(log_.Contains("[client] ChangeBrowsePosition() on the FLAT"));
    for (OPCBROWSETYPE type : {OPC_BRANCH, OPC_LEAF, OPC_FLAT}) {
        EXPECT_EQ(Browse(service.get(), position, type), Names({u"A/B", u"C"})) << type;
    }
    EXPECT_EQ(ItemId(service.get(), position, OLESTR("A/B")), u"A/B");
    ItemId(service.get(), position, OLESTR("A"), E_INVALIDARG);
}

TEST_F(AddressTest, LookupFindsRegisteredTypedTags) {
    ServicePtr noCase = MakeService(CoreDriver());
    const unsigned analog = AddAnalog(noCase.get(), "Boiler/T1");
    AddPlain(noCase.get(), "Untyped", VARIANT{});
    unsigned index = 99;
    EXPECT_EQ(Lookup(noCase.get(), OLESTR("boiler/t1"), &index), S_OK);
    EXPECT_EQ(index, analog);
    const struct {
        const WCHAR* itemId;
        HRESULT expected;
    } failures[] = {
        {OLESTR(""), OPC_E_INVALIDITEMID},
        {OLESTR("Untyped"), OPC_E_INVALIDITEMID},
        {OLESTR("Boiler"), OPC_E_UNKNOWNITEMID},
        {OLESTR("Boiler/T2"), OPC_E_UNKNOWNITEMID},
    };
    for (const auto& failure : failures) {
        index = 99;
        EXPECT_EQ(Lookup(noCase.get(), failure.itemId, &index), failure.expected)
            << platform::Utf16ToCp1251(U16(failure.itemId));
        EXPECT_EQ(index, 0u);
    }

    opc::daDriverRecord exact = CoreDriver();
    exact.flags = 0;
    ServicePtr withCase = MakeService(exact);
    AddAnalog(withCase.get(), "Boiler/T1");
    EXPECT_EQ(Lookup(withCase.get(), OLESTR("boiler/t1"), &index), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(Lookup(withCase.get(), OLESTR("Boiler/T1"), &index), S_OK);
}

// The driver of these tests registers what it is asked for, and may be told to answer
// with an index that is no tag.
struct OnTheFly {
    static inline int calls = 0;
    static inline unsigned forcedAnswer = 0;
    static int Answer(const opc::daCallerRecord* caller, const WCHAR* itemId, const WCHAR*,
                      unsigned* tagIndex) {
        ++calls;
        if (forcedAnswer) {
            *tagIndex = forcedAnswer;
            return 0;
        }
        VARIANT canonical = I4(5);
        return opc::daAddTag(caller->service, tagIndex, 0, nullptr, itemId, 0, 3, &canonical, 0,
                             nullptr, 0);
    }
};

TEST_F(AddressTest, ItemIdCallbackAnswersUnknownNamesAndAccessPaths) {
    OnTheFly::calls = 0;
    OnTheFly::forcedAnswer = 0;
    opc::daDriverRecord driver = CoreDriver();
    driver.itemId = &OnTheFly::Answer;
    ServicePtr service = MakeService(driver);
    unsigned index = 0;
    ASSERT_EQ(Lookup(service.get(), OLESTR("New/Tag"), &index), S_OK);
    EXPECT_EQ(OnTheFly::calls, 1);
    unsigned again = 0;
    EXPECT_EQ(Lookup(service.get(), OLESTR("New/Tag"), &again), S_OK);
    EXPECT_EQ(again, index);
    EXPECT_EQ(OnTheFly::calls, 1);  // now in the registry
    opc::daBrowsePosition root;
    EXPECT_EQ(Browse(service.get(), root, OPC_FLAT), Names({u"New/Tag"}));

    // A tag that asks the driver is answered by it when an access path is given.
    const unsigned asking = AddPlain(service.get(), "Asks", I4(0), 3, opc::daTF_ASK_DRIVER);
    OnTheFly::forcedAnswer = index;
    EXPECT_EQ(Lookup(service.get(), OLESTR("Asks"), &again), S_OK);
    EXPECT_EQ(again, asking);
    EXPECT_EQ(Lookup(service.get(), OLESTR("Asks"), &again, OLESTR("path")), S_OK);
    EXPECT_EQ(again, index);
    EXPECT_EQ(OnTheFly::calls, 2);
    EXPECT_EQ(Lookup(service.get(), OLESTR("New/Tag"), &again, OLESTR("path")), S_OK);
    EXPECT_EQ(OnTheFly::calls, 2);  // that tag does not ask

    OnTheFly::forcedAnswer = 15;  // a free slot
    EXPECT_EQ(Lookup(service.get(), OLESTR("Nothing"), &again), OPC_E_UNKNOWNITEMID);
    EXPECT_TRUE(log_.Contains("driver answered unknown tag 15"));
}

// One tag's published value stamped 2000-01-01 00:00 UTC.
void Publish(opc::daService* service, unsigned tagIndex, LONG value) {
    constexpr uint64_t kYear2000 = 125911584000000000ull;
    opc::daCacheValue element = opc_test::CacheValue(tagIndex, value, 0xC0);
    element.timeStamp =
        FILETIME{static_cast<DWORD>(kYear2000), static_cast<DWORD>(kYear2000 >> 32)};
    const unsigned update = opc::daCacheUpdate(service, 1, &element, nullptr);
    ASSERT_NE(update, 0u);
    ASSERT_EQ(opc::daCacheWaitTransfer(service, update), 1);
}

struct Properties {
    std::vector<DWORD> ids;
    std::vector<VARTYPE> types;
    std::vector<std::u16string> descriptions;
};

Properties Available(opc::daService* service, const WCHAR* itemId, HRESULT expected = S_OK) {
    DWORD count = 99;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(opc::daQueryAvailableProperties(service, opc::daCallerRecord{}, itemId, &count, &ids,
                                              &descriptions, &types),
              expected);
    Properties result;
    for (DWORD i = 0; i < count; ++i) {
        result.ids.push_back(ids[i]);
        result.types.push_back(types[i]);
        result.descriptions.push_back(U16(descriptions[i]));
        CoTaskMemFree(descriptions[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    return result;
}

// Values and errors of the properties asked for; the values are the caller's to clear.
struct Values {
    HRESULT result = E_FAIL;
    std::vector<VARIANT> values;
    std::vector<HRESULT> errors;
    ~Values() {
        for (VARIANT& value : values)
            VariantClear(&value);
    }
};

void GetValues(opc::daService* service, const WCHAR* itemId, const std::vector<DWORD>& ids,
               Values* out) {
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    out->result =
        opc::daGetItemProperties(service, opc::daCallerRecord{}, itemId,
                                 static_cast<DWORD>(ids.size()), ids.data(), &values, &errors);
    if (FAILED(out->result)) return;
    out->values.assign(values, values + ids.size());
    out->errors.assign(errors, errors + ids.size());
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(AddressTest, AnalogTagHasTheEightStandardProperties) {
    ServicePtr service = MakeService(CoreDriver());
    const unsigned tag = AddAnalog(service.get(), "Boiler/T1", 3, I4(0), -10, 250);
    Publish(service.get(), tag, 42);

    const Properties available = Available(service.get(), OLESTR("boiler/t1"));
    EXPECT_EQ(available.ids, (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(available.types, (std::vector<VARTYPE>{VT_I2, VT_I4, VT_I2, VT_DATE, VT_I4, VT_R4,
                                                     VT_I4, VT_ARRAY | VT_R8}));
    EXPECT_EQ(
        available.descriptions,
        Names({u"Item Canonical DataType", u"Item Value", u"Item Quality", u"Item Timestamp",
               u"Item Access Rights", u"Server Scan Rate", u"Item EU Type", u"Item EU Info"}));

    Values got;
    GetValues(service.get(), OLESTR("Boiler/T1"), {1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, &got);
    ASSERT_EQ(got.result, S_FALSE);
    const std::vector<HRESULT> errors(8, S_OK);
    EXPECT_EQ(std::vector<HRESULT>(got.errors.begin(), got.errors.begin() + 8), errors);
    EXPECT_EQ(got.errors[8], OPC_E_INVALID_PID);
    EXPECT_EQ(got.errors[9], OPC_E_INVALID_PID);
    EXPECT_EQ(got.values[0].vt, VT_I2);
    EXPECT_EQ(got.values[0].iVal, VT_I4);
    EXPECT_EQ(got.values[1].vt, VT_I4);
    EXPECT_EQ(got.values[1].lVal, 42);
    EXPECT_EQ(got.values[2].vt, VT_I2);
    EXPECT_EQ(got.values[2].iVal, 0xC0);
    EXPECT_EQ(got.values[3].vt, VT_DATE);
    EXPECT_DOUBLE_EQ(got.values[3].date, 36526.0);
    EXPECT_EQ(got.values[4].vt, VT_I4);
    EXPECT_EQ(got.values[4].lVal, 3);
    EXPECT_EQ(got.values[5].vt, VT_R4);
    EXPECT_FLOAT_EQ(got.values[5].fltVal, 50.0f);
    EXPECT_EQ(got.values[6].vt, VT_I4);
    EXPECT_EQ(got.values[6].lVal, 1);
    ASSERT_EQ(got.values[7].vt, VT_ARRAY | VT_R8);
    double range[2] = {};
    for (LONG i = 0; i < 2; ++i)
        ASSERT_EQ(SafeArrayGetElement(got.values[7].parray, &i, &range[i]), S_OK);
    EXPECT_EQ(range[0], -10.0);
    EXPECT_EQ(range[1], 250.0);
    EXPECT_EQ(got.values[8].vt, VT_EMPTY);
}

TEST_F(AddressTest, PropertiesFollowRightsTypeAndEngineeringUnits) {
    ServicePtr service = MakeService(CoreDriver());
    AddPlain(service.get(), "WriteOnly", Text(OLESTR("x")), OPC_WRITEABLE);
    AddPlain(service.get(), "Untyped", VARIANT{});

    const Properties plain = Available(service.get(), OLESTR("WriteOnly"));
    EXPECT_EQ(plain.ids, (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7}));  // no EU information
    EXPECT_EQ(plain.types[1], VT_BSTR);
    Values writeOnly;
    GetValues(service.get(), OLESTR("WriteOnly"), {2, 1, 7, 8}, &writeOnly);
    EXPECT_EQ(writeOnly.result, S_FALSE);
    EXPECT_EQ(writeOnly.errors,
              (std::vector<HRESULT>{OPC_E_BADRIGHTS, S_OK, S_OK, OPC_E_INVALID_PID}));
    EXPECT_EQ(writeOnly.values[1].iVal, VT_BSTR);
    EXPECT_EQ(writeOnly.values[2].lVal, 0);

    EXPECT_TRUE(Available(service.get(), OLESTR("Untyped")).ids.empty());
    Values untyped;
    GetValues(service.get(), OLESTR("Untyped"), {1, 2}, &untyped);
    EXPECT_EQ(untyped.errors, (std::vector<HRESULT>{OPC_E_INVALID_PID, OPC_E_INVALID_PID}));

    Available(service.get(), OLESTR("Nothing"), OPC_E_UNKNOWNITEMID);
    Values unknown;
    GetValues(service.get(), OLESTR(""), {1}, &unknown);
    EXPECT_EQ(unknown.result, OPC_E_INVALIDITEMID);
    Values none;
    GetValues(service.get(), OLESTR("WriteOnly"), {}, &none);
    EXPECT_EQ(none.result, E_INVALIDARG);
}

// A driver with one property of its own, 5000, that has an item ID.
struct DriverProperty {
    static constexpr DWORD kId = 5000;
    static HRESULT List(const opc::daCallerRecord*, unsigned, DWORD* count, DWORD** ids) {
        *ids = static_cast<DWORD*>(CoTaskMemAlloc(2 * sizeof(DWORD)));
        (*ids)[0] = 1;  // already standard: listed once
        (*ids)[1] = kId;
        *count = 2;
        return S_OK;
    }
    static HRESULT Value(const opc::daCallerRecord*, unsigned, DWORD id, VARIANT* value) {
        if (id != kId) return OPC_E_INVALID_PID;
        *value = Text(OLESTR("m3/h"));
        return S_OK;
    }
    static HRESULT ItemId(const opc::daCallerRecord*, unsigned, DWORD id, WCHAR** itemId) {
        if (id != kId && id != 1) return OPC_E_INVALID_PID;
        const std::basic_string<WCHAR> text = Wide(u"T1.units");
        *itemId = static_cast<WCHAR*>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
        std::copy(text.c_str(), text.c_str() + text.size() + 1, *itemId);
        return S_OK;
    }
};

TEST_F(AddressTest, DriverAddsPropertiesAndTheirItemIds) {
    opc::daDriverRecord driver = CoreDriver();
    driver.properties = &DriverProperty::List;
    driver.propertyValue = &DriverProperty::Value;
    driver.lookupItemIds = &DriverProperty::ItemId;
    ServicePtr service = MakeService(driver);
    AddAnalog(service.get(), "T1");

    const Properties available = Available(service.get(), OLESTR("T1"));
    EXPECT_EQ(available.ids, (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 8, DriverProperty::kId}));
    EXPECT_EQ(available.types.back(), VT_BSTR);
    Values got;
    GetValues(service.get(), OLESTR("T1"), {DriverProperty::kId, 9}, &got);
    EXPECT_EQ(got.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID}));
    EXPECT_EQ(U16(got.values[0].bstrVal), u"m3/h");

    const DWORD ids[] = {1, 8, DriverProperty::kId, 9};
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(opc::daLookupItemIds(service.get(), opc::daCallerRecord{}, OLESTR("T1"), 4, ids,
                                   &itemIds, &errors),
              S_FALSE);
    // Standard properties have no item IDs, whatever the driver would say.
    EXPECT_EQ(
        std::vector<HRESULT>(errors, errors + 4),
        (std::vector<HRESULT>{OPC_E_INVALID_PID, OPC_E_INVALID_PID, S_OK, OPC_E_INVALID_PID}));
    EXPECT_EQ(itemIds[0], nullptr);
    EXPECT_EQ(U16(itemIds[2]), u"T1.units");
    EXPECT_EQ(itemIds[3], nullptr);
    for (int i = 0; i < 4; ++i)
        CoTaskMemFree(itemIds[i]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
    EXPECT_EQ(opc::daLookupItemIds(service.get(), opc::daCallerRecord{}, OLESTR("T2"), 4, ids,
                                   &itemIds, &errors),
              OPC_E_UNKNOWNITEMID);
}

TEST_F(AddressTest, WithoutDriverEveryLookedUpPropertyIsInvalid) {
    ServicePtr service = MakeService(CoreDriver());
    AddAnalog(service.get(), "T1");
    const DWORD ids[] = {2, 100};
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(opc::daLookupItemIds(service.get(), opc::daCallerRecord{}, OLESTR("t1"), 2, ids,
                                   &itemIds, &errors),
              S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALID_PID);
    EXPECT_EQ(errors[1], OPC_E_INVALID_PID);
    EXPECT_EQ(itemIds[0], nullptr);
    EXPECT_EQ(itemIds[1], nullptr);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
}

}  // namespace
