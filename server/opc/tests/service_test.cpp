#include "opc/daservice.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/service.h"
#include "opc_test_support.h"
#include "platform/clock.h"
#include "testing/support.h"

namespace {

using opc_test::CacheValue;
using opc_test::CoreDriver;
using opc_test::I4;
using opc_test::LogCapture;
using opc_test::Published;
using ServicePtr = std::unique_ptr<opc::daService, opc_test::ServiceDeleter>;

ServicePtr MakeService(const opc::daDriverRecord& driver, unsigned tagCount) {
    opc::daService* service = nullptr;
    EXPECT_EQ(opc::daCreate(&service, &driver, tagCount), 0);
    return ServicePtr(service);
}

unsigned AddTag(opc::daService* service, const char* name, LONG initial = 0) {
    VARIANT canonical = I4(initial);
    unsigned index = 0;
    EXPECT_EQ(opc::daAddRealTag_a(service, &index, 0, name, 0, 3, &canonical, 0, 100), 0) << name;
    return index;
}

class ServiceTest : public ::testing::Test {
protected:
    LogCapture log_;
};

TEST_F(ServiceTest, CreateRefusesMissingArgumentsAndBadCounts) {
    opc::daDriverRecord driver = CoreDriver();
    opc::daService* service = reinterpret_cast<opc::daService*>(1);
    EXPECT_EQ(opc::daCreate(&service, &driver, 0), opc::daE_INVAL);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(opc::daCreate(&service, &driver, 0xFFFFFFFFu), opc::daE_INVAL);
    EXPECT_EQ(opc::daCreate(&service, nullptr, 10), opc::daE_INVAL);
    EXPECT_EQ(opc::daCreate(nullptr, &driver, 10), opc::daE_INVAL);
}

TEST_F(ServiceTest, CreateAppliesDriverDefaults) {
    opc::daDriverRecord zeros;
    zeros.flags = 0x3 | opc::daDF_CASE_INSENSITIVE;
    ServicePtr service = MakeService(zeros, 4);
    const unsigned granularity = opc::daTimerGranularity();
    ASSERT_GE(granularity, 1u);
    const opc::daDriverRecord& applied = service->driver;
    EXPECT_EQ(applied.rateGranularity, granularity);
    EXPECT_EQ(applied.minUpdateRate, std::max(granularity > 9 ? granularity : 15u, granularity));
    EXPECT_EQ(applied.asyncQueueLimit, 4u);
    EXPECT_EQ(applied.flags, opc::daDF_CASE_INSENSITIVE);  // 0x1 and 0x2 together cancel
    EXPECT_NE(applied.currentTime, nullptr);
    EXPECT_EQ(service->branchSeparator, 0);
    EXPECT_TRUE(log_.Contains("Branch Separator = \\x00"));

    opc::daDriverRecord core = CoreDriver();
    ServicePtr coreService = MakeService(core, 4);
    EXPECT_EQ(coreService->driver.rateGranularity, 50u);
    EXPECT_EQ(coreService->driver.minUpdateRate, 50u);  // raised to the rate granularity
    EXPECT_EQ(coreService->branchSeparator, '/');
    EXPECT_TRUE(log_.Contains("Branch Separator = \\x2F </>\\x2F"));

    UINT formats[3] = {};
    ASSERT_EQ(opc::daClipboardFormats(coreService.get(), formats), 0);
    EXPECT_EQ(formats[0], RegisterClipboardFormatA("OPCSTMFORMATDATA"));
    EXPECT_EQ(formats[1], RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));
    EXPECT_EQ(formats[2], RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"));
    EXPECT_NE(formats[0], formats[1]);
    EXPECT_NE(formats[0], 0u);
}

TEST_F(ServiceTest, RatesAreRaisedAndRoundedToGranules) {
    ServicePtr service = MakeService(CoreDriver(), 1);
    const struct {
        unsigned requested, revised;
    } cases[] = {
        {0, 50},
        {50, 50},
        {51, 100},
        {70, 100},
        {1000, 1000},
        {1001, 1001},
        {1020, 1020},  // past 20 granules: kept
        {0xFFFFFFFFu, 0x3FFFFFFFu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(opc::daReviseRate(service->driver, c.requested), c.revised) << c.requested;
    }
}

TEST_F(ServiceTest, AcceptsExactlyTheRequestedNumberOfTags) {
    ServicePtr service = MakeService(CoreDriver(), 1024);
    for (unsigned i = 1; i <= 1024; ++i) {
        ASSERT_EQ(AddTag(service.get(), ("T" + std::to_string(i)).c_str()), i);
    }
    VARIANT canonical = I4(0);
    unsigned index = 99;
    EXPECT_EQ(opc::daAddRealTag_a(service.get(), &index, 0, "T1025", 0, 3, &canonical, 0, 1),
              opc::daE_MLINK);
    EXPECT_EQ(index, 0u);
    EXPECT_TRUE(log_.Contains("daAddTag(T1025) failed"));
}

TEST_F(ServiceTest, TrailingSeparatorsGoAndCaseInsensitiveDuplicatesAreFound) {
    ServicePtr service = MakeService(CoreDriver(), 8);
    AddTag(service.get(), "X");
    const unsigned ab = AddTag(service.get(), "A/B/");
    ASSERT_EQ(ab, 2u);
    EXPECT_TRUE(log_.Contains("daAddTag(A/B vt=3 fl=200 ha="));

    VARIANT canonical = I4(0);
    unsigned index = 0;
    EXPECT_EQ(opc::daAddRealTag_a(service.get(), &index, 0, "a/b", 0, 3, &canonical, 0, 1),
              opc::daE_EXIST);
    EXPECT_EQ(index, ab);

    unsigned found = 0;
    EXPECT_EQ(opc::daFindTag(service.get(), OLESTR("a/B"), &found), 0);
    EXPECT_EQ(found, ab);
    EXPECT_EQ(opc::daFindTag(service.get(), OLESTR("A/C"), &found), opc::daE_NOENT);
    // A name of separators only is empty, and no item-ID callback takes nameless tags.
    EXPECT_EQ(opc::daAddRealTag_a(service.get(), &index, 0, "//", 0, 3, &canonical, 0, 1),
              opc::daE_INVAL);
}

TEST_F(ServiceTest, CaseSensitiveServiceKeepsNamesThatDifferInCase) {
    opc::daDriverRecord driver = CoreDriver();
    driver.flags = 0;
    ServicePtr service = MakeService(driver, 4);
    const unsigned upper = AddTag(service.get(), "A/B");
    const unsigned lower = AddTag(service.get(), "a/b");
    EXPECT_NE(upper, lower);
    unsigned found = 0;
    EXPECT_EQ(opc::daFindTag(service.get(), OLESTR("a/b"), &found), 0);
    EXPECT_EQ(found, lower);
}

TEST_F(ServiceTest, NewTagWaitsForItsFirstValue) {
    ServicePtr service = MakeService(CoreDriver(), 4);
    const unsigned index = AddTag(service.get(), "T", 42);
    opc::daPublishedValue value = Published(service.get(), index);
    EXPECT_EQ(value.quality, 0x20u);
    EXPECT_EQ(value.error, S_FALSE);
    EXPECT_EQ(value.timeStamp.dwLowDateTime, 0u);
    EXPECT_EQ(value.timeStamp.dwHighDateTime, 0u);
    EXPECT_EQ(value.updateNumber, 0u);
    EXPECT_EQ(value.value.vt, VT_I4);
    EXPECT_EQ(value.value.lVal, 42);
    EXPECT_DOUBLE_EQ(service->tags[index].attributes->onePercent, 1.0);
}

TEST_F(ServiceTest, TagFlagsCombineCallerAndDriverBits) {
    ServicePtr service = MakeService(CoreDriver(), 8);
    struct Case {
        const char* name;
        unsigned callerFlags;
        double low, high;
        unsigned expected;
    };
    // Caller bits 8..14 stay; driver bits 0x2300 join; conversion and ask-driver need their
    // callbacks; no range means 0x8000.
    const Case cases[] = {
        {"plain", 0, 0, 100, 0x200},
        {"callerBits", 0x4400 | 0x1, 0, 100, 0x4600},
        {"noCallbacks", 0x1800, 0, 100, 0x200},
        {"noRange", 0, 5, 5, 0x8200},
    };
    for (const Case& c : cases) {
        VARIANT canonical = I4(0);
        unsigned index = 0;
        ASSERT_EQ(opc::daAddRealTag_a(service.get(), &index, 7, c.name, c.callerFlags, 1,
                                      &canonical, c.low, c.high),
                  0)
            << c.name;
        EXPECT_EQ(service->tags[index].flags, c.expected) << c.name;
        EXPECT_EQ(service->tags[index].driverHandle, 7u);
        EXPECT_EQ(service->tags[index].accessRights, 1u);
    }
}

TEST_F(ServiceTest, NamelessTagsNeedTheItemIdCallbackAndAType) {
    opc::daDriverRecord driver = CoreDriver();
    driver.itemId = [](const opc::daCallerRecord*, const WCHAR*, const WCHAR*, unsigned*) {
        return 0;
    };
    ServicePtr service = MakeService(driver, 4);
    VARIANT typed = I4(1);
    VARIANT untyped;
    VariantInit(&untyped);
    unsigned index = 0;
    EXPECT_EQ(
        opc::daAddTag(service.get(), &index, 0, "", nullptr, 0x1000, 3, &untyped, 0, nullptr, 0),
        opc::daE_INVAL);
    ASSERT_EQ(
        opc::daAddTag(service.get(), &index, 0, "", nullptr, 0x1000, 3, &typed, 0, nullptr, 0), 0);
    EXPECT_EQ(service->tags[index].flags & opc::daTF_ASK_DRIVER, opc::daTF_ASK_DRIVER);
    // Nameless tags never collide with each other.
    unsigned second = 0;
    EXPECT_EQ(
        opc::daAddTag(service.get(), &second, 0, nullptr, OLESTR(""), 0, 3, &typed, 0, nullptr, 0),
        0);
    EXPECT_NE(second, index);
}

TEST_F(ServiceTest, WideNameWinsAndBaseTagLendsItsType) {
    ServicePtr service = MakeService(CoreDriver(), 4);
    const unsigned base = AddTag(service.get(), "Base", 5);
    unsigned index = 0;
    ASSERT_EQ(opc::daAddTag(service.get(), &index, 0, "narrow", OLESTR("Wide"), 0, 3, nullptr, 0,
                            nullptr, base),
              0);
    unsigned found = 0;
    EXPECT_EQ(opc::daFindTag(service.get(), OLESTR("wide"), &found), 0);
    EXPECT_EQ(found, index);
    const opc::daAttributes* attributes = service->tags[index].attributes;
    EXPECT_EQ(attributes->canonical.vt, VT_I4);
    EXPECT_EQ(attributes->euType, opc::daEU_ANALOG);
    EXPECT_DOUBLE_EQ(attributes->onePercent, 1.0);

    VARIANT canonical = I4(0);
    EXPECT_EQ(
        opc::daAddTag(service.get(), &index, 0, "x", nullptr, 0, 3, &canonical, 0, nullptr, base),
        opc::daE_INVAL);
    EXPECT_EQ(opc::daAddTag(service.get(), &index, 0, "y", nullptr, 0, 3, nullptr, 0, nullptr, 3),
              opc::daE_NOENT);
}

TEST_F(ServiceTest, AnalogRangeMustBeTwoDoubles) {
    ServicePtr service = MakeService(CoreDriver(), 4);
    VARIANT canonical = I4(0);
    unsigned index = 0;
    EXPECT_EQ(opc::daAddTag(service.get(), &index, 0, "missing", nullptr, 0, 3, &canonical, 1,
                            nullptr, 0),
              opc::daE_INVAL);

    struct Case {
        const char* name;
        VARTYPE elementType;
        ULONG elements;
        const char* logged;
    };
    const Case cases[] = {
        {"ints", VT_I4, 2, "daAddRealTag->EUinfo.vt = 0x2003"},
        {"three", VT_R8, 3, "daAddRealTag->EUinfo.bound = [0, 2]"},
        {"one", VT_R8, 1, "daAddRealTag->EUinfo.bound = [0, 0]"},
    };
    for (const Case& c : cases) {
        VARIANT info;
        VariantInit(&info);
        info.vt = VT_ARRAY | c.elementType;
        info.parray = SafeArrayCreateVector(c.elementType, 0, c.elements);
        EXPECT_EQ(
            opc::daAddTag(service.get(), &index, 0, c.name, nullptr, 0, 3, &canonical, 1, &info, 0),
            opc::daE_INVAL)
            << c.name;
        EXPECT_TRUE(log_.Contains(c.logged)) << c.name << "\n" << log_.Text();
        VariantClear(&info);
    }

    SAFEARRAYBOUND bounds[2] = {{1, 0}, {2, 0}};
    VARIANT matrix;
    VariantInit(&matrix);
    matrix.vt = VT_ARRAY | VT_R8;
    matrix.parray = SafeArrayCreate(VT_R8, 2, bounds);
    EXPECT_EQ(
        opc::daAddTag(service.get(), &index, 0, "matrix", nullptr, 0, 3, &canonical, 1, &matrix, 0),
        opc::daE_INVAL);
    EXPECT_TRUE(log_.Contains("daAddRealTag->EUinfo.dim = 2 .size = 8 != 8"));
    VariantClear(&matrix);

    ASSERT_EQ(opc::daAddRealTag_a(service.get(), &index, 0, "good", 0, 3, &canonical, 20, -30), 0);
    EXPECT_DOUBLE_EQ(service->tags[index].attributes->onePercent, 0.5);
}

// The granularity is determined once per process, so a fresh process shows its log line.
KARVEX_TEST_CHILD(first_service_logs_granularity) {
    LogCapture log;
    opc::daDriverRecord driver = CoreDriver();
    opc::daService* service = nullptr;
    if (opc::daCreate(&service, &driver, 1) != 0) return 1;
    opc::daServiceDestroy(service);
    uint32_t increment = 0;
    char expected[96];
    if (!platform::ClockIncrement(&increment)) {
        std::snprintf(expected, sizeof(expected), "Timer granularity default 5.0000ms");
    } else if (increment > 0 && increment < 1000000) {
        std::snprintf(expected, sizeof(expected),
                      "Timer granularity determined %u.%04ums; use: %ums", increment / 10000,
                      increment % 10000, opc::daTimerGranularity());
    } else {
        std::snprintf(expected, sizeof(expected), "Timer granularity is suspicious %u.%04ums",
                      increment / 10000, increment % 10000);
    }
    if (!log.Contains(expected)) {
        std::fprintf(stderr, "missing <%s> in:\n%s\n", expected, log.Text().c_str());
        return 2;
    }
    return 0;
}

TEST(TimerGranularity, LoggedOnceWithTheValueInUse) {
    EXPECT_EQ(testing_support::RunChild("first_service_logs_granularity", {}), 0);
    const unsigned granularity = opc::daTimerGranularity();
    EXPECT_GE(granularity, 1u);
    EXPECT_LE(granularity, 100u);
}

struct HashCase {
    const WCHAR* name;
    uint16_t plain;
    uint16_t noCase;
};

TEST(NameHash, KnownValues) {
    // CRC-16 0x1021 from 0, MSB first, over the low byte of each unit; the case-insensitive
    // hash lower-cases A-Z and XORs the hashes of 32-unit chunks.
    const HashCase cases[] = {
        {OLESTR("123456789"), 0x31C3, 0x31C3},
        {OLESTR("A"), 0x58E5, 0x7C87},
        {OLESTR("a"), 0x7C87, 0x7C87},
        {OLESTR("Boiler/T1"), 0xDA81, 0x7B9B},
        {OLESTR("\x0441"), 0x58E5, 0x58E5},  // only the low byte counts; not folded
        {OLESTR("Boiler/Section1/Temperature/Sensor/Value"), 0x5502, 0x4217},
        {OLESTR("BOILER/SECTION1/TEMPERATURE/SENSOR/VALUE"), 0xF523, 0x4217},
        {OLESTR(""), 0, 0},
    };
    for (const HashCase& c : cases) {
        EXPECT_EQ(opc::daNameHash(c.name), c.plain);
        EXPECT_EQ(opc::daNameHashNoCase(c.name), c.noCase);
    }
    EXPECT_EQ(opc::daNameCompareNoCase(OLESTR("Boiler/t1"), OLESTR("BOILER/T1")), 0);
    EXPECT_NE(opc::daNameCompare(OLESTR("Boiler/t1"), OLESTR("BOILER/T1")), 0);
    EXPECT_LT(opc::daNameCompareNoCase(OLESTR("a"), OLESTR("B")), 0);
    EXPECT_NE(opc::daNameCompareNoCase(OLESTR("a"), OLESTR("ab")), 0);
}

class CacheTest : public ServiceTest {
protected:
    void SetUp() override {
        service_ = MakeService(CoreDriver(), 1024);
        for (unsigned i = 1; i <= 8; ++i)
            AddTag(service_.get(), ("T" + std::to_string(i)).c_str(), 0);
    }
    // The pipe cannot publish while the test holds the published table.
    void HoldPipe() { service_->lkPrim.LockExclusive(); }
    void ReleasePipe() { service_->lkPrim.UnlockExclusive(); }

    ServicePtr service_;
};

TEST_F(CacheTest, OnlyElementsWithATagIndexChangeTheirTag) {
    std::vector<opc::daCacheValue> values(1024);
    for (opc::daCacheValue& element : values)
        VariantInit(&element.value);
    values[5] = CacheValue(5, 77, 0xC0, 123);
    const unsigned number = opc::daCacheUpdate(service_.get(), 1024, values.data(), nullptr);
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), number), 1);
    for (unsigned tag = 1; tag <= 8; ++tag) {
        opc::daPublishedValue value = Published(service_.get(), tag);
        if (tag == 5) {
            EXPECT_EQ(value.value.lVal, 77);
            EXPECT_EQ(value.quality, 0xC0u);
            EXPECT_EQ(value.error, S_OK);
            EXPECT_EQ(value.timeStamp.dwLowDateTime, 123u);
            EXPECT_EQ(value.updateNumber, number);
        } else {
            EXPECT_EQ(value.quality, 0x20u) << tag;
            EXPECT_EQ(value.updateNumber, 0u) << tag;
        }
    }
}

TEST_F(CacheTest, UpdatesBeforeThePipeRunsShareOneNumber) {
    opc::daCacheValue first = CacheValue(1, 10);
    opc::daCacheValue second = CacheValue(2, 20);
    HoldPipe();
    const unsigned a = opc::daCacheUpdate(service_.get(), 1, &first, nullptr);
    const unsigned b = opc::daCacheUpdate(service_.get(), 1, &second, nullptr);
    EXPECT_EQ(a, 4u);
    EXPECT_EQ(b, 4u);
    {
        std::lock_guard<std::mutex> lock(service_->lock);
        EXPECT_EQ(service_->publishedNumber, 0u);
        EXPECT_EQ(service_->staging[1].tagIndex, 1u);  // both still staged
        EXPECT_EQ(service_->staging[2].tagIndex, 2u);
    }
    ReleasePipe();
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), 4), 1);
    EXPECT_EQ(opc::daPublishedUpdateNumber(service_.get()), 4u);
    EXPECT_EQ(Published(service_.get(), 1).updateNumber, 4u);
    EXPECT_EQ(Published(service_.get(), 2).updateNumber, 4u);
    EXPECT_EQ(Published(service_.get(), 2).value.lVal, 20);

    opc::daCacheValue third = CacheValue(1, 11);
    const unsigned c = opc::daCacheUpdate(service_.get(), 1, &third, nullptr);
    EXPECT_EQ(c, 5u);
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), c), 1);
    EXPECT_EQ(Published(service_.get(), 1).value.lVal, 11);
    EXPECT_EQ(Published(service_.get(), 2).updateNumber, 4u);
}

TEST_F(CacheTest, DriverTimeAloneCommits) {
    FILETIME driverTime{5, 6};
    EXPECT_EQ(opc::daCacheUpdate(service_.get(), 0, nullptr, nullptr), 0u);
    const unsigned number = opc::daCacheUpdate(service_.get(), 0, nullptr, &driverTime);
    EXPECT_EQ(number, 4u);
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), number), 1);
    std::lock_guard<std::mutex> lock(service_->lock);
    EXPECT_EQ(service_->driverTimes[0].dwLowDateTime, 5u);
    EXPECT_EQ(service_->driverTimes[0].dwHighDateTime, 6u);
}

TEST_F(CacheTest, BadIndexIsSkippedAndLogged) {
    opc::daCacheValue values[3] = {CacheValue(2, 1), CacheValue(9, 2), CacheValue(3, 3)};
    const unsigned number = opc::daCacheUpdate(service_.get(), 3, values, nullptr);
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), number), 1);
    EXPECT_TRUE(log_.Contains("daCacheUpdate(BAD ti:1)"));
    EXPECT_EQ(Published(service_.get(), 2).value.lVal, 1);
    EXPECT_EQ(Published(service_.get(), 3).value.lVal, 3);
    unsigned nine = 9;
    opc::daPublishedValue unused{};
    EXPECT_EQ(opc::daReadPublished(service_.get(), 1, &nine, &unused), opc::daE_NOENT);
}

TEST_F(CacheTest, UncopyableValueLosesItsGoodQuality) {
    opc::daCacheValue first = CacheValue(1, 10);
    opc::daCacheUpdate(service_.get(), 1, &first, nullptr);
    opc::daCacheValue broken = CacheValue(1, 0, 0xC0, 99);
    broken.value.vt = 15;  // no such VARTYPE
    const unsigned number = opc::daCacheUpdate(service_.get(), 1, &broken, nullptr);
    ASSERT_EQ(opc::daCacheWaitTransfer(service_.get(), number), 1);
    opc::daPublishedValue value = Published(service_.get(), 1);
    EXPECT_EQ(value.error, DISP_E_BADVARTYPE);
    EXPECT_EQ(value.quality, 0u);
    EXPECT_EQ(value.timeStamp.dwLowDateTime, 99u);
    EXPECT_TRUE(log_.Contains("daCacheUpdate(VariantCopy())"));
}

TEST_F(CacheTest, WaitTransferRefusesLowNumbers) {
    EXPECT_EQ(opc::daCacheWaitTransfer(service_.get(), 3), -1);
    EXPECT_EQ(opc::daCacheWaitTransfer(nullptr, 4), -1);
}

TEST_F(ServiceTest, DestroyWithoutClientsThenAgain) {
    opc::daService* service = nullptr;
    opc::daDriverRecord driver = CoreDriver();
    ASSERT_EQ(opc::daCreate(&service, &driver, 16), 0);
    AddTag(service, "T");
    EXPECT_EQ(opc::daServiceDestroy(service), 0);
    EXPECT_TRUE(log_.Contains("daUpdatePipe() finished"));
    EXPECT_TRUE(log_.Contains("daDelete() finished"));
    // Freed: known dead from the live-service list, not from its memory.
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BADF);
    EXPECT_EQ(opc::daCacheUpdate(service, 0, nullptr, nullptr), 0u);
    VARIANT canonical = I4(0);
    unsigned index = 0;
    EXPECT_EQ(opc::daAddRealTag_a(service, &index, 0, "U", 0, 3, &canonical, 0, 1), opc::daE_BADF);
    EXPECT_EQ(opc::daCacheWaitTransfer(service, 4), -1);
}

struct RecordedClient {
    opc::daClientLink link;
    unsigned operations = 0;
};

void RecordOperation(opc::daClientLink* link, unsigned operation) {
    reinterpret_cast<RecordedClient*>(link)->operations |= operation;
}

TEST_F(ServiceTest, ShutdownWaitsForTheLastClient) {
    opc::daService* service = nullptr;
    opc::daDriverRecord driver = CoreDriver();
    ASSERT_EQ(opc::daCreate(&service, &driver, 4), 0);
    RecordedClient first, second;
    for (RecordedClient* client : {&first, &second}) {
        client->link.applyState = RecordOperation;
        ASSERT_EQ(opc::daServiceAttachClient(service, &client->link), 0);
    }
    EXPECT_EQ(first.link.number, 1u);
    EXPECT_EQ(second.link.number, 2u);

    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BUSY);
    EXPECT_EQ(first.operations, 0x0Eu);
    EXPECT_EQ(second.operations, 0x0Eu);
    EXPECT_TRUE(log_.Contains("shutdown started"));
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BADF);
    EXPECT_TRUE(log_.Contains("shutdown started again"));
    opc::daCacheValue value = CacheValue(1, 1);
    EXPECT_EQ(opc::daCacheUpdate(service, 1, &value, nullptr), 0u);
    RecordedClient late;
    late.link.applyState = RecordOperation;
    EXPECT_EQ(opc::daServiceAttachClient(service, &late.link), opc::daE_BADF);

    std::snprintf(first.link.logTag, sizeof(first.link.logTag), "[001:002]");
    opc::daServiceDetachClient(service, &first.link);
    EXPECT_TRUE(opc::daServiceIsLive(service, false));
    opc::daServiceDetachClient(service, &second.link);
    EXPECT_FALSE(opc::daServiceIsLive(service, false));
    EXPECT_TRUE(log_.Contains("going down"));
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BADF);
}

TEST_F(ServiceTest, ClientNumbersSkipThoseInUseAndNeverZero) {
    ServicePtr service = MakeService(CoreDriver(), 4);
    RecordedClient held, wrapped, next;
    service->lastClientNumber = 0xFFFFFFFEu;
    ASSERT_EQ(opc::daServiceAttachClient(service.get(), &held.link), 0);
    EXPECT_EQ(held.link.number, 0xFFFFFFFFu);
    service->lastClientNumber = 0xFFFFFFFEu;
    ASSERT_EQ(opc::daServiceAttachClient(service.get(), &wrapped.link), 0);
    EXPECT_EQ(wrapped.link.number, 1u);  // 0xFFFFFFFF is taken, 0 is never issued
    ASSERT_EQ(opc::daServiceAttachClient(service.get(), &next.link), 0);
    EXPECT_EQ(next.link.number, 2u);
    for (RecordedClient* client : {&held, &wrapped, &next})
        opc::daServiceDetachClient(service.get(), &client->link);
}

}  // namespace
