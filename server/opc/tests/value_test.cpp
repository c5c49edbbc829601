#include "../src/davalue.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opc_test_support.h"
#include "opcconst.h"

namespace {

using opc_test::I4;
using opc_test::LogCapture;
using opc_test::R8;
using ServicePtr = std::unique_ptr<opc::daService, opc_test::ServiceDeleter>;

// Owns the VARIANT it holds.
class Value {
public:
    explicit Value(VARIANT v) : v_(v) {}
    ~Value() { VariantClear(&v_); }
    Value(Value&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    const VARIANT& operator*() const { return v_; }
    VARIANT* get() { return &v_; }

private:
    VARIANT v_;
};

VARIANT Str(const char16_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(reinterpret_cast<const OLECHAR*>(text));
    return v;
}

std::u16string Text(const VARIANT& v) {
    if (v.vt != VT_BSTR || !v.bstrVal) return u"<not a string>";
    return std::u16string(reinterpret_cast<const char16_t*>(v.bstrVal), SysStringLen(v.bstrVal));
}

VARIANT Typed(VARTYPE type) {
    VARIANT v;
    std::memset(static_cast<void*>(&v), 0, sizeof v);
    v.vt = type;
    return v;
}

VARIANT I8(LONGLONG value) {
    VARIANT v = Typed(VT_I8);
    v.llVal = value;
    return v;
}

VARIANT I4Array(const std::vector<LONG>& items) {
    VARIANT v = Typed(VT_ARRAY | VT_I4);
    v.parray = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        LONG item = items[i];
        SafeArrayPutElement(v.parray, &i, &item);
    }
    return v;
}

VARIANT I4Matrix(ULONG rows, ULONG columns, const std::vector<LONG>& items) {
    VARIANT v = Typed(VT_ARRAY | VT_I4);
    SAFEARRAYBOUND bounds[2] = {{rows, 0}, {columns, 0}};
    v.parray = SafeArrayCreate(VT_I4, 2, bounds);
    void* data = nullptr;
    SafeArrayAccessData(v.parray, &data);
    std::memcpy(data, items.data(), items.size() * sizeof(LONG));
    SafeArrayUnaccessData(v.parray);
    return v;
}

VARIANT R8Ref(double* value) {
    VARIANT v = Typed(VT_R8 | VT_BYREF);
    v.pdblVal = value;
    return v;
}

VARIANT StrArray(const std::vector<const char16_t*>& items) {
    VARIANT v = Typed(VT_ARRAY | VT_BSTR);
    v.parray = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        BSTR item = SysAllocString(reinterpret_cast<const OLECHAR*>(items[i]));
        SafeArrayPutElement(v.parray, &i, item);  // copies the string
        SysFreeString(item);
    }
    return v;
}

// A tag entry as the published table holds it, with its own attribute block.
struct TagFixture {
    opc::daTagEntry entry{};
    TagFixture(VARTYPE canonical, unsigned flags) {
        VARIANT value = Typed(canonical);
        if (canonical == VT_BSTR) value = Str(u"");
        if (canonical & VT_ARRAY)
            value.parray = SafeArrayCreateVector(canonical & VT_TYPEMASK, 0, 0);
        opc::daMakeAttributes(&value, opc::daEU_NONE, nullptr, 0, OLESTR("t"), &entry.attributes);
        VariantClear(&value);
        entry.tagIndex = 7;
        entry.driverHandle = 0x77;
        entry.flags = flags;
    }
    ~TagFixture() { opc::daFreeAttributes(entry.attributes); }
    TagFixture(const TagFixture&) = delete;
    TagFixture& operator=(const TagFixture&) = delete;
};

TEST(ConversionMode, FollowsTheTable) {
    constexpr unsigned kDriver = opc::daTF_DRIVER_CONVERSION;
    struct Case {
        VARTYPE canonical;
        unsigned flags;
        VARTYPE requested;
        opc::daConversionMode mode;
    } cases[] = {
        {VT_I4, 0, VT_EMPTY, opc::daCM_RAW},
        {VT_I4, 0, VT_I4, opc::daCM_RAW},
        {VT_R4, kDriver, VT_R4, opc::daCM_RAW},
        {VT_I4, 0, VT_R8, opc::daCM_CHANGE_TYPE},
        {VT_I4, 0, VT_BSTR, opc::daCM_CHANGE_TYPE},
        {VT_BSTR, 0, VT_EMPTY, opc::daCM_COPY},
        {VT_BSTR, kDriver, VT_BSTR, opc::daCM_COPY},
        {VT_ARRAY | VT_R8, 0, VT_ARRAY | VT_R8, opc::daCM_COPY},
        {VT_I4, kDriver, VT_BSTR, opc::daCM_DRIVER},
        {VT_I4, kDriver, VT_DATE, opc::daCM_DRIVER},
        {VT_I4, kDriver, VT_ARRAY | VT_I4, opc::daCM_DRIVER},
        {VT_I4, kDriver, VT_R8, opc::daCM_CHANGE_TYPE},
        {VT_EMPTY, 0, VT_EMPTY, opc::daCM_RAW},
    };
    for (const Case& c : cases) {
        TagFixture tag(c.canonical, c.flags);
        EXPECT_EQ(opc::daChooseConversionMode(tag.entry, c.requested), c.mode)
            << std::hex << "canonical " << c.canonical << " flags " << c.flags << " requested "
            << c.requested;
    }
}

// Records what the driver's conversion callback was asked.
struct DriverCall {
    unsigned tagIndex = 0;
    uintptr_t driverHandle = 0;
    VARTYPE type = VT_EMPTY;
    LONG value = 0;
    HRESULT answer = S_OK;
};
DriverCall driverCall;

HRESULT FakeConversion(const opc::daCallerRecord*, const opc::daTagRef* tag, VARIANT* result,
                       const VARIANT* value, VARTYPE type) {
    driverCall.tagIndex = tag->tagIndex;
    driverCall.driverHandle = tag->driverHandle;
    driverCall.type = type;
    driverCall.value = value->lVal;
    if (FAILED(driverCall.answer)) {
        *result = Str(u"half-made");  // the service must not hand this out
        return driverCall.answer;
    }
    *result = Str(u"from driver");
    return S_OK;
}

class ValueTest : public ::testing::Test {
protected:
    ServicePtr MakeService(opc::daConversionCallback conversion = nullptr) {
        opc::daDriverRecord driver = opc_test::CoreDriver();
        driver.conversion = conversion;
        opc::daService* service = nullptr;
        EXPECT_EQ(opc::daCreate(&service, &driver, 16), 0);
        return ServicePtr(service);
    }

    unsigned AddAnalog(opc::daService* service, const char* name, VARIANT canonical, double low,
                       double high, unsigned flags = 0) {
        unsigned index = 0;
        EXPECT_EQ(opc::daAddRealTag_a(service, &index, 0, name, flags, 3, &canonical, low, high),
                  0);
        VariantClear(&canonical);
        return index;
    }

    unsigned AddPlain(opc::daService* service, const char* name, VARIANT canonical) {
        unsigned index = 0;
        EXPECT_EQ(opc::daAddTag(service, &index, 0, name, nullptr, 0, 3,
                                canonical.vt == VT_EMPTY ? nullptr : &canonical, opc::daEU_NONE,
                                nullptr, 0),
                  0);
        VariantClear(&canonical);
        return index;
    }

    LogCapture log_;
};

TEST_F(ValueTest, RequestedTypeIsCheckedAgainstValueAndRange) {
    ServicePtr service = MakeService();
    opc::daService* s = service.get();
    const unsigned wide = AddAnalog(s, "wide", I4(0), 0, 1000);
    const unsigned narrow = AddAnalog(s, "narrow", I4(0), 0, 100);
    const unsigned negative = AddAnalog(s, "negative", R8(0), -10, 10);
    const unsigned fixed = AddAnalog(s, "fixed", I4(0), 0, 100, opc::daTF_CANONICAL_ONLY);
    const unsigned text = AddPlain(s, "text", Str(u"abc"));
    const unsigned big = AddPlain(s, "big", R8(1e10));
    const unsigned typeless = AddPlain(s, "typeless", Typed(VT_EMPTY));
    struct Case {
        unsigned tag;
        VARTYPE requested;
        HRESULT expected;
    } cases[] = {
        {wide, VT_EMPTY, S_OK},
        {wide, VT_I4, S_OK},
        {wide, VT_I2, S_OK},
        {wide, VT_BSTR, S_OK},
        {wide, VT_I1, DISP_E_OVERFLOW},   // the high limit 1000 does not fit
        {wide, VT_UI1, DISP_E_OVERFLOW},  // the same
        {narrow, VT_I1, S_OK},
        {negative, VT_UI1, DISP_E_OVERFLOW},  // the low limit -10 does not fit
        {negative, VT_I1, S_OK},
        {fixed, VT_EMPTY, S_OK},
        {fixed, VT_I4, S_OK},
        {fixed, VT_R8, OPC_E_BADTYPE},
        {fixed, VT_BSTR, OPC_E_BADTYPE},
        {text, VT_BSTR, S_OK},
        {text, VT_I4, DISP_E_TYPEMISMATCH},
        {big, VT_I2, DISP_E_OVERFLOW},  // the value itself does not fit
        {big, VT_I8, S_OK},
        {typeless, VT_EMPTY, OPC_E_BADTYPE},
        {typeless, VT_I4, OPC_E_BADTYPE},
        {0, VT_I4, OPC_E_INVALIDITEMID},
        {16, VT_I4, OPC_E_INVALIDITEMID},  // a free slot
        {17, VT_I4, OPC_E_INVALIDITEMID},  // beyond the table
    };
    for (const Case& c : cases) {
        EXPECT_EQ(opc::daCheckRequestedType(s, s->caller, c.tag, c.requested), c.expected)
            << "tag " << c.tag << " requested " << c.requested;
    }
}

TEST_F(ValueTest, ItemValueChangesCopiesOrTakesTheBytes) {
    ServicePtr service = MakeService();
    opc::daCallerRecord caller = service->caller;
    TagFixture i4(VT_I4, 0), text(VT_BSTR, 0), typeless(VT_EMPTY, 0), flag(VT_BOOL, 0);

    Value raw(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(caller, i4.entry, opc::daCM_RAW, VT_EMPTY, I4(7), raw.get()), S_OK);
    EXPECT_EQ((*raw).vt, VT_I4);
    EXPECT_EQ((*raw).lVal, 7);

    Value source(Str(u"abc"));
    Value copy(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(caller, text.entry, opc::daCM_COPY, VT_BSTR, *source, copy.get()),
              S_OK);
    EXPECT_EQ(Text(*copy), u"abc");
    EXPECT_NE((*copy).bstrVal, (*source).bstrVal);  // both are freed: no shared string

    Value changed(Typed(VT_EMPTY));
    EXPECT_EQ(
        opc::daItemValue(caller, i4.entry, opc::daCM_CHANGE_TYPE, VT_BSTR, I4(42), changed.get()),
        S_OK);
    EXPECT_EQ(Text(*changed), u"42");

    Value overflow(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(caller, i4.entry, opc::daCM_CHANGE_TYPE, VT_I2, I4(100000),
                               overflow.get()),
              DISP_E_OVERFLOW);
    EXPECT_EQ((*overflow).vt, VT_EMPTY);

    // A tag value not of the item's type is changed to it, never handed out as raw bytes.
    Value stray(Str(u"12"));
    Value fromStray(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(caller, i4.entry, opc::daCM_RAW, VT_EMPTY, *stray, fromStray.get()),
              S_OK);
    EXPECT_EQ((*fromStray).vt, VT_I4);
    EXPECT_EQ((*fromStray).lVal, 12);

    // A typeless tag delivers what it holds; a string is copied, not aliased.
    Value held(Typed(VT_EMPTY));
    EXPECT_EQ(
        opc::daItemValue(caller, typeless.entry, opc::daCM_RAW, VT_EMPTY, *source, held.get()),
        S_OK);
    EXPECT_EQ(Text(*held), u"abc");
    EXPECT_NE((*held).bstrVal, (*source).bstrVal);

    // The caller's conversion flags take part.
    VARIANT truth = Typed(VT_BOOL);
    truth.boolVal = VARIANT_TRUE;
    caller.conversionFlags = VARIANT_ALPHABOOL;
    Value word(Typed(VT_EMPTY));
    EXPECT_EQ(
        opc::daItemValue(caller, flag.entry, opc::daCM_CHANGE_TYPE, VT_BSTR, truth, word.get()),
        S_OK);
    EXPECT_EQ(Text(*word), u"True");
}

TEST_F(ValueTest, DriverModeGoesThroughTheCallbackOrFallsBack) {
    TagFixture tag(VT_I4, opc::daTF_DRIVER_CONVERSION);
    ServicePtr withDriver = MakeService(FakeConversion);
    driverCall = DriverCall{};
    Value converted(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(withDriver->caller, tag.entry, opc::daCM_DRIVER, VT_BSTR, I4(5),
                               converted.get()),
              S_OK);
    EXPECT_EQ(Text(*converted), u"from driver");
    EXPECT_EQ(driverCall.tagIndex, 7u);
    EXPECT_EQ(driverCall.driverHandle, 0x77u);
    EXPECT_EQ(driverCall.type, VT_BSTR);
    EXPECT_EQ(driverCall.value, 5);

    driverCall.answer = E_FAIL;
    Value failed(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(withDriver->caller, tag.entry, opc::daCM_DRIVER, VT_BSTR, I4(5),
                               failed.get()),
              E_FAIL);
    EXPECT_EQ((*failed).vt, VT_EMPTY);

    ServicePtr withoutDriver = MakeService();
    Value changed(Typed(VT_EMPTY));
    EXPECT_EQ(opc::daItemValue(withoutDriver->caller, tag.entry, opc::daCM_DRIVER, VT_BSTR, I4(5),
                               changed.get()),
              S_OK);
    EXPECT_EQ(Text(*changed), u"5");
}

struct Step {
    Value value;
    bool changed;
};

Step At(VARIANT v, bool changed) {
    return Step{Value(v), changed};
}

struct Sequence {
    const char* name;
    float deadband;
    double onePercent;
    std::vector<Step> steps;
};

TEST_F(ValueTest, ChangesAreComparedAsTheValueKindRequires) {
    ServicePtr service = MakeService();  // opens the log
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    double fifty = 50, sixty = 60;
    std::vector<Sequence> sequences;
    auto add = [&](const char* name, float deadband, double onePercent,
                   std::vector<std::pair<VARIANT, bool>> steps) {
        Sequence sequence{name, deadband, onePercent, {}};
        for (auto& [v, changed] : steps)
            sequence.steps.push_back(At(v, changed));
        sequences.push_back(std::move(sequence));
    };
    add("deadband measured against the last sent", 10, 1,
        {{R8(50), true}, {R8(55), false}, {R8(61), true}, {R8(55), false}, {R8(50), true}});
    add("deadband on an integer tag", 10, 1, {{I4(50), true}, {I4(60), false}, {I4(39), true}});
    add("no range, no deadband", 10, 0, {{R8(50), true}, {R8(50.5), true}, {R8(50.5), false}});
    add("zero deadband", 0, 1, {{R8(50), true}, {R8(50), false}, {R8(50.000001), true}});
    add("not finite is never within the deadband", 100, 1,
        {{R8(50), true},
         {R8(nan), true},
         {R8(50), true},
         {R8(inf), true},
         {R8(inf), false},
         {R8(-inf), true},
         {R8(50), true}});
    add("doubles compare bit for bit", 0, 0,
        {{R8(0.0), true}, {R8(-0.0), true}, {R8(-0.0), false}, {I4(0), true}});
    add("64-bit integers are told apart exactly", 0, 0,
        {{I8(1LL << 60), true}, {I8((1LL << 60) + 1), true}, {I8((1LL << 60) + 1), false}});
    add("strings by their bytes, without deadband", 100, 1,
        {{Str(u"ab"), true},
         {Str(u"ab"), false},
         {Str(u"ac"), true},
         {Str(u"ac "), true},
         {Str(u""), true},
         {Typed(VT_BSTR), false}});  // a null string holds the same no bytes
    add("arrays by their data bytes", 100, 1,
        {{I4Array({1, 2}), true},
         {I4Array({1, 2}), false},
         {I4Array({1, 3}), true},
         {I4Array({1, 3, 0}), true},
         {I4Matrix(1, 4, {1, 2, 3, 4}), true},
         {I4Matrix(2, 2, {1, 2, 3, 4}), true},  // the same data in another shape
         {I4Matrix(2, 2, {1, 2, 3, 4}), false},
         {StrArray({u"x", u"y"}), true},
         {StrArray({u"x", u"y"}), false},
         {StrArray({u"x", u"z"}), true}});
    add("by reference as the value referred to", 0, 0,
        {{R8(50), true}, {R8Ref(&fifty), false}, {R8Ref(&sixty), true}});
    add("a change of kind is a change", 0, 0,
        {{I4(5), true}, {Str(u"5"), true}, {I4(5), true}, {I4Array({5}), true}});
    add("a value that is no number is always a change", 0, 0,
        {{I4(1), true}, {Typed(VT_NULL), true}, {Typed(VT_NULL), true}, {I4(1), true}});

    for (Sequence& sequence : sequences) {
        opc::daLastSent last;
        for (size_t i = 0; i < sequence.steps.size(); ++i) {
            EXPECT_EQ(opc::daValueChanged(&last, *sequence.steps[i].value, sequence.deadband,
                                          sequence.onePercent),
                      sequence.steps[i].changed)
                << sequence.name << ", step " << i;
        }
    }
    EXPECT_TRUE(log_.Contains("da_compare_lastent() Unknown VARTYPE 0x1"));
}

TEST_F(ValueTest, RememberedValueIsTheBaseOfTheNextComparison) {
    opc::daLastSent last;
    EXPECT_TRUE(opc::daValueChanged(&last, R8(20), 10, 1));
    opc::daRememberSent(&last, R8(50));  // a forced report
    EXPECT_FALSE(opc::daValueChanged(&last, R8(55), 10, 1));
    EXPECT_TRUE(opc::daValueChanged(&last, R8(61), 10, 1));

    Value text(Str(u"abc"));
    opc::daRememberSent(&last, *text);
    EXPECT_TRUE(last.isBytes);
    EXPECT_FALSE(opc::daValueChanged(&last, *text, 0, 0));
}

}  // namespace
