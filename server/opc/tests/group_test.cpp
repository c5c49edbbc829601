// The group object through its OPC interfaces, in-process, against a test driver's service and
// the client's real scheduler thread: items, state, reads and writes, change detection and
// delivery to IOPCDataCallback and IAdviseSink sinks of the test's own.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "group_test_support.h"
#include "opc_test_support.h"
#include "platform/clock.h"

namespace {

using opc_test::AdviseSink;
using opc_test::CallbackCall;
using opc_test::Client;
using opc_test::ComPtr;
using opc_test::DataCallback;
using opc_test::StreamFormat;
using opc_test::TaskArray;
using opc_test::TestDriver;
using opc_test::Variant;
using opc_test::Wide;

constexpr WORD kGood = 0xC0;
constexpr WORD kOutOfService = 0x1C;
constexpr WORD kLocalOverride = 0xD8;

opc::daDriverRecord WithFlags(unsigned flags) {
    opc::daDriverRecord driver = TestDriver::CoreRecord();
    driver.flags = flags;
    return driver;
}

class GroupTest : public ::testing::Test {
protected:
    GroupTest() : GroupTest(TestDriver::CoreRecord()) {}
    explicit GroupTest(opc::daDriverRecord driver) : driver_(driver), client_(driver_.service()) {}

    void SetUp() override {
        ASSERT_EQ(driver_.createResult(), 0);
        ASSERT_EQ(client_.result(), 0);
    }

    // Advises a recording IOPCDataCallback on the group.
    ComPtr<DataCallback> Advise(IUnknown* group) {
        ComPtr<DataCallback> sink(new DataCallback);
        auto container = ComPtrOf<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.out()), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie), S_OK);
        EXPECT_EQ(cookie, 0x10u);
        return sink;
    }
    ComPtr<AdviseSink> DAdvise(IUnknown* group, UINT format) {
        ComPtr<AdviseSink> sink(new AdviseSink(driver_.service()));
        auto data = ComPtrOf<IDataObject>(group, IID_IDataObject);
        FORMATETC formatEtc = StreamFormat(format);
        DWORD connection = 0;
        EXPECT_EQ(data->DAdvise(&formatEtc, 0, sink.get(), &connection), S_OK);
        return sink;
    }
    template <typename T>
    static ComPtr<T> ComPtrOf(IUnknown* object, REFIID iid) {
        ComPtr<T> result;
        EXPECT_EQ(object->QueryInterface(iid, result.outVoid()), S_OK);
        return result;
    }

    // A synchronous read of one item: its state and error.
    struct ReadResult {
        Variant value;
        WORD quality = 0;
        HRESULT error = E_FAIL;
        HRESULT result = E_FAIL;
    };
    static ReadResult ReadOne(IUnknown* group, OPCHANDLE handle,
                              OPCDATASOURCE source = OPC_DS_CACHE) {
        auto io = ComPtrOf<IOPCSyncIO>(group, IID_IOPCSyncIO);
        TaskArray<OPCITEMSTATE> states;
        TaskArray<HRESULT> errors;
        ReadResult read;
        read.result = io->Read(source, 1, &handle, states.out(), errors.out());
        if (FAILED(read.result)) return read;
        read.value = Variant(states[0].vDataValue);
        VariantClear(&states[0].vDataValue);
        read.quality = states[0].wQuality;
        read.error = errors[0];
        return read;
    }
    static HRESULT WriteOne(IUnknown* group, OPCHANDLE handle, const Variant& value,
                            HRESULT* error) {
        auto io = ComPtrOf<IOPCSyncIO>(group, IID_IOPCSyncIO);
        TaskArray<HRESULT> errors;
        VARIANT copy = *value;
        const HRESULT result = io->Write(1, &handle, &copy, errors.out());
        if (SUCCEEDED(result)) *error = errors[0];
        return result;
    }

    opc_test::LogCapture log_;  // before the service, which opens the log
    TestDriver driver_;
    Client client_;
};

// --- items ---------------------------------------------------------------------------------

TEST_F(GroupTest, AddItemsReportsEachItemsVerdict) {
    auto group = client_.AddGroup(u"g", true, 1000);
    std::vector<HRESULT> errors;
    auto handles = opc_test::AddItems(group.get(), {"Boiler/Temp", "", "No/Such", "Name"}, true,
                                      VT_EMPTY, &errors);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDITEMID);
    EXPECT_EQ(errors[2], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(errors[3], S_OK);
    EXPECT_EQ(handles[0], 1u);
    EXPECT_EQ(handles[3], 2u);

    // A BSTR tag whose text is no number cannot be delivered as VT_I4.
    errors.clear();
    opc_test::AddItems(group.get(), {"Name"}, true, VT_I4, &errors);
    EXPECT_TRUE(FAILED(errors.at(0)));
}

TEST_F(GroupTest, ValidateItemsGivesCanonicalTypeAndRightsWithoutAddingItems) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto id = Wide("Setpoint");
    OPCITEMDEF definition{};
    definition.szItemID = const_cast<LPWSTR>(id.c_str());
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->ValidateItems(1, &definition, FALSE, results.out(), errors.out()), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(results[0].dwAccessRights, 3u);
    // Nothing was added: the first added item still gets handle 1.
    EXPECT_EQ(opc_test::AddItems(group.get(), {"Counter"}).at(0), 1u);
}

TEST_F(GroupTest, RemovedHandlesAreGivenOutAgainAndUnknownOnesAreReported) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Name", "Pump/Run"});
    ASSERT_EQ(handles, (std::vector<OPCHANDLE>{1, 2, 3}));

    OPCHANDLE remove[] = {2, 77};
    TaskArray<HRESULT> errors;
    EXPECT_EQ(group->RemoveItems(2, remove, errors.out()), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);

    EXPECT_EQ(opc_test::AddItems(group.get(), {"Setpoint", "Boiler/Temp"}),
              (std::vector<OPCHANDLE>{2, 4}));
    EXPECT_EQ(ReadOne(group.get(), 2).value.vt(), VT_R4) << "handle 2 now names Setpoint";
}

// Removals in any order and call, failed items and clones: a new item always takes the lowest
// free position, past the end only when none is free.
TEST_F(GroupTest, NewItemsTakeTheLowestFreePosition) {
    struct Case {
        const char* what;
        size_t initial;
        std::vector<std::vector<OPCHANDLE>> removals;  // one RemoveItems call each
        std::vector<std::string> added;
        bool clone;  // the additions go to a clone made after the removals
        std::vector<OPCHANDLE> expected;
    };
    const std::vector<std::string> three = {"Counter", "Name", "Setpoint"};
    const Case cases[] = {
        {"holes first, lowest first", 5, {{4, 2}}, three, false, {2, 4, 6}},
        {"removed in separate calls", 5, {{4}, {1}, {3}}, three, false, {1, 3, 4}},
        {"the last one", 5, {{5}}, three, false, {5, 6, 7}},
        {"all of them", 3, {{3, 1, 2}}, three, false, {1, 2, 3}},
        {"a failed item takes none",
         4,
         {{3, 1}},
         {"Counter", "No/Such", "Name", "Name"},
         false,
         {1, 0, 3, 5}},
        {"past a table that grew", 40, {{33, 17}}, three, false, {17, 33, 41}},
        {"a clone keeps the holes", 5, {{2, 4}}, three, true, {2, 4, 6}},
        {"a clone of a group whose end was removed", 5, {{4, 5}}, three, true, {4, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto group = client_.AddGroup(nullptr, true, 1000);
        opc_test::AddItems(group.get(), std::vector<std::string>(c.initial, "Counter"));
        for (std::vector<OPCHANDLE> handles : c.removals) {
            TaskArray<HRESULT> errors;
            ASSERT_EQ(group->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(),
                                         errors.out()),
                      S_OK);
        }
        ComPtr<IUnknown> clone;
        if (c.clone) {
            auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
            ASSERT_EQ(state->CloneGroup(nullptr, IID_IOPCItemMgt, clone.out()), S_OK);
        }
        IOPCItemMgt* target =
            c.clone ? static_cast<IOPCItemMgt*>(static_cast<void*>(clone.get())) : group.get();
        EXPECT_EQ(opc_test::AddItems(target, c.added), c.expected);
    }
}

TEST_F(GroupTest, TableGrowsPastManyItems) {
    auto group = client_.AddGroup(u"g", true, 1000);
    std::vector<std::string> names(40, "Counter");
    auto handles = opc_test::AddItems(group.get(), names);
    for (size_t i = 0; i < handles.size(); ++i)
        EXPECT_EQ(handles[i], i + 1);
}

TEST_F(GroupTest, SetClientHandlesAndDatatypesChangeWhatReadsDeliver) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Boiler/Temp"});
    ASSERT_NE(driver_.Publish(driver_.temp(), Variant::R4(42.5f)), 0u);

    VARTYPE text = VT_BSTR;
    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->SetDatatypes(1, &handles[0], &text, errors.out()), S_OK);
    ReadResult read = ReadOne(group.get(), handles[0]);
    ASSERT_EQ(read.value.vt(), VT_BSTR);
    EXPECT_DOUBLE_EQ(read.value.AsDouble(), 42.5);

    VARTYPE integer = VT_I4;
    TaskArray<HRESULT> errors2;
    ASSERT_EQ(group->SetDatatypes(1, &handles[0], &integer, errors2.out()), S_OK);
    read = ReadOne(group.get(), handles[0]);
    EXPECT_EQ(read.value.vt(), VT_I4);

    OPCHANDLE unknown = 9;
    TaskArray<HRESULT> errors3;
    EXPECT_EQ(group->SetDatatypes(1, &unknown, &integer, errors3.out()), S_FALSE);
    EXPECT_EQ(errors3[0], OPC_E_INVALIDHANDLE);

    OPCHANDLE client = 1234;
    TaskArray<HRESULT> errors4;
    ASSERT_EQ(group->SetClientHandles(1, &handles[0], &client, errors4.out()), S_OK);
    auto io = ComPtrOf<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    TaskArray<OPCITEMSTATE> states;
    TaskArray<HRESULT> errors5;
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, &handles[0], states.out(), errors5.out()), S_OK);
    EXPECT_EQ(states[0].hClient, 1234u);
    VariantClear(&states[0].vDataValue);
}

TEST_F(GroupTest, EnumeratorListsTheItems) {
    auto group = client_.AddGroup(u"g", true, 1000);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.out()), S_FALSE);
    opc_test::AddItems(group.get(), {"Counter", "Setpoint"});
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumString, unknown.out()), E_NOINTERFACE);
    ASSERT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.out()), S_OK);
    auto enumerator = ComPtrOf<IEnumOPCItemAttributes>(unknown.get(), IID_IEnumOPCItemAttributes);
    OPCITEMATTRIBUTES* attributes = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(enumerator->Next(5, &attributes, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(attributes[1].hServer, 2u);
    EXPECT_EQ(attributes[1].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(attributes[1].dwEUType, OPC_ANALOG);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attributes[i].szItemID);
        CoTaskMemFree(attributes[i].szAccessPath);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
}

// --- group state ---------------------------------------------------------------------------

TEST_F(GroupTest, QueryInterfaceAnswersExactlyTheGroupInterfaces) {
    auto group = client_.AddGroup(u"g", true, 1000);
    for (REFIID iid : {IID_IUnknown, IID_IOPCGroupStateMgt, IID_IOPCPublicGroupStateMgt,
                       IID_IOPCItemMgt, IID_IOPCSyncIO, IID_IOPCAsyncIO, IID_IOPCAsyncIO2,
                       IID_IDataObject, IID_IConnectionPointContainer, IID_IConnectionPoint}) {
        ComPtr<IUnknown> answer;
        EXPECT_EQ(group->QueryInterface(iid, answer.outVoid()), S_OK);
    }
    for (REFIID iid : {IID_IOPCServer, IID_IOPCItemProperties, IID_IAdviseSink, IID_IMarshal}) {
        ComPtr<IUnknown> answer;
        EXPECT_EQ(group->QueryInterface(iid, answer.outVoid()), E_NOINTERFACE);
        EXPECT_FALSE(answer);
    }
    auto isPublic = ComPtrOf<IOPCPublicGroupStateMgt>(group.get(), IID_IOPCPublicGroupStateMgt);
    BOOL flag = TRUE;
    EXPECT_EQ(isPublic->GetState(&flag), S_OK);
    EXPECT_FALSE(flag);
    EXPECT_EQ(isPublic->MoveToPublic(), E_NOTIMPL);
}

TEST_F(GroupTest, SetStateAppliesEveryGivenFieldAndRevisesTheRate) {
    auto group = client_.AddGroup(u"g", false, 1000);
    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD rate = 70, revised = 0;
    BOOL active = TRUE;
    LONG bias = -180;
    FLOAT badDeadband = 150;
    OPCHANDLE clientGroup = 99;
    // The bad deadband is refused while the other fields still take effect.
    EXPECT_EQ(state->SetState(&rate, &revised, &active, &bias, &badDeadband, nullptr, &clientGroup),
              E_INVALIDARG);
    EXPECT_EQ(revised, 100u);
    FLOAT deadband = 12.5f;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, &deadband, nullptr, nullptr),
              OPC_S_UNSUPPORTEDRATE);
    rate = 1000;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);

    DWORD gotRate = 0, locale = 1;
    BOOL gotActive = FALSE;
    LPWSTR name = nullptr;
    LONG gotBias = 0;
    FLOAT gotDeadband = 0;
    OPCHANDLE gotClient = 0, gotServer = 0;
    ASSERT_EQ(state->GetState(&gotRate, &gotActive, &name, &gotBias, &gotDeadband, &locale,
                              &gotClient, &gotServer),
              S_OK);
    EXPECT_EQ(gotRate, 1000u);
    EXPECT_TRUE(gotActive);
    EXPECT_EQ(std::basic_string<WCHAR>(name), Wide("g"));
    CoTaskMemFree(name);
    EXPECT_EQ(gotBias, -180);
    EXPECT_FLOAT_EQ(gotDeadband, 12.5f);
    EXPECT_EQ(gotClient, 99u);
    EXPECT_NE(gotServer, 0u);
}

TEST_F(GroupTest, SetNameRefusesAnotherGroupsName) {
    auto first = client_.AddGroup(u"first", true, 1000);
    auto second = client_.AddGroup(u"second", true, 1000);
    auto state = ComPtrOf<IOPCGroupStateMgt>(second.get(), IID_IOPCGroupStateMgt);
    EXPECT_EQ(state->SetName(Wide("first").c_str()), OPC_E_DUPLICATENAME);
    EXPECT_EQ(state->SetName(Wide("second").c_str()), S_OK);
    EXPECT_EQ(state->SetName(Wide("third").c_str()), S_OK);
    ComPtr<IUnknown> found;
    EXPECT_EQ(client_.server()->GetGroupByName(Wide("third").c_str(), IID_IUnknown, found.out()),
              S_OK);
}

TEST_F(GroupTest, CloneCopiesStateAndItemsAndStartsInactive) {
    FLOAT deadband = 5;
    auto group = client_.AddGroup(u"orig", true, 500, &deadband, 31);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Setpoint"});
    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, errors.out()), S_OK);

    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(state->CloneGroup(Wide("orig").c_str(), IID_IUnknown, unknown.out()),
              OPC_E_DUPLICATENAME);
    ASSERT_EQ(state->CloneGroup(Wide("copy").c_str(), IID_IOPCGroupStateMgt, unknown.out()), S_OK);
    auto clone = ComPtrOf<IOPCGroupStateMgt>(unknown.get(), IID_IOPCGroupStateMgt);
    DWORD rate = 0, locale = 0;
    BOOL active = TRUE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT gotDeadband = 0;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    ASSERT_EQ(clone->GetState(&rate, &active, &name, &bias, &gotDeadband, &locale, &clientGroup,
                              &serverGroup),
              S_OK);
    EXPECT_EQ(std::basic_string<WCHAR>(name), Wide("copy"));
    CoTaskMemFree(name);
    EXPECT_EQ(rate, 500u);
    EXPECT_FALSE(active);
    EXPECT_FLOAT_EQ(gotDeadband, 5);
    EXPECT_EQ(clientGroup, 31u);

    auto items = ComPtrOf<IOPCItemMgt>(unknown.get(), IID_IOPCItemMgt);
    ComPtr<IUnknown> enumUnknown;
    ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, enumUnknown.out()), S_OK);
    auto enumerator =
        ComPtrOf<IEnumOPCItemAttributes>(enumUnknown.get(), IID_IEnumOPCItemAttributes);
    OPCITEMATTRIBUTES* attributes = nullptr;
    ULONG fetched = 0;
    enumerator->Next(5, &attributes, &fetched);
    ASSERT_EQ(fetched, 2u);
    EXPECT_TRUE(attributes[0].bActive);
    EXPECT_FALSE(attributes[1].bActive);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attributes[i].szItemID);
        CoTaskMemFree(attributes[i].szAccessPath);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
}

// --- synchronous reads and writes ----------------------------------------------------------

TEST_F(GroupTest, CacheReadOfAnInactiveItemOrGroupIsOutOfServiceADeviceReadIsNot) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Pump/Run"});
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(17)), 0u);

    ReadResult active = ReadOne(group.get(), handles[0]);
    EXPECT_EQ(active.result, S_OK);
    EXPECT_EQ(active.quality, kGood);
    EXPECT_EQ(active.value.AsDouble(), 17);

    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &handles[0], FALSE, errors.out()), S_OK);
    ReadResult inactive = ReadOne(group.get(), handles[0]);
    EXPECT_EQ(inactive.result, S_FALSE);
    EXPECT_EQ(inactive.error, S_FALSE);
    EXPECT_EQ(inactive.quality, kOutOfService);
    EXPECT_EQ(inactive.value.vt(), VT_EMPTY);
    ReadResult device = ReadOne(group.get(), handles[0], OPC_DS_DEVICE);
    EXPECT_EQ(device.result, S_OK);
    EXPECT_EQ(device.quality, kGood);
    EXPECT_EQ(device.value.AsDouble(), 17);

    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    BOOL off = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(ReadOne(group.get(), handles[1]).quality, kOutOfService);

    EXPECT_EQ(ReadOne(group.get(), 55).error, OPC_E_INVALIDHANDLE);
    auto io = ComPtrOf<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    TaskArray<OPCITEMSTATE> states;
    TaskArray<HRESULT> readErrors;
    EXPECT_EQ(
        io->Read(static_cast<OPCDATASOURCE>(3), 1, &handles[0], states.out(), readErrors.out()),
        E_INVALIDARG);
}

TEST_F(GroupTest, AWriteOnlyTagIsNeitherReadNorReported) {
    const unsigned tag = driver_.AddPlain("Command", Variant::I4(0), OPC_WRITEABLE);
    ASSERT_NE(tag, 0u);
    auto group = client_.AddGroup(u"g", true, 50);
    auto handles = opc_test::AddItems(group.get(), {"Command", "Counter"});
    EXPECT_EQ(ReadOne(group.get(), handles[0]).error, OPC_E_BADRIGHTS);
    auto sink = Advise(group.get());
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancelId = 0;
    TaskArray<HRESULT> errors;
    EXPECT_EQ(async2->Read(1, &handles[0], 1, &cancelId, errors.out()), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADRIGHTS);
    CallbackCall first;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, &first));
    EXPECT_EQ(first.items.size(), 1u);
    EXPECT_EQ(first.Find(1), nullptr);
    HRESULT error = E_FAIL;
    EXPECT_EQ(WriteOne(group.get(), handles[0], Variant::I4(1), &error), S_FALSE);
    EXPECT_EQ(error, OPC_S_CLAMP);
}

TEST_F(GroupTest, DeviceReadIsServedFromTheCacheByTheScheduler) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Boiler/Pressure"});
    ASSERT_NE(driver_.Publish(driver_.pressure(), Variant::R8(3.25)), 0u);
    ReadResult read = ReadOne(group.get(), handles[0], OPC_DS_DEVICE);
    EXPECT_EQ(read.result, S_OK);
    EXPECT_EQ(read.value.AsDouble(), 3.25);
    EXPECT_EQ(read.quality, kGood);
}

TEST_F(GroupTest, WriteTheDriverLeavesToTheServiceIsInTheCacheAtOnce) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Setpoint", "Counter"});
    HRESULT error = E_FAIL;
    // The core's write callback returns 1: the service stores the value itself.
    EXPECT_EQ(WriteOne(group.get(), handles[0], Variant::I4(33), &error), S_FALSE);
    EXPECT_EQ(error, OPC_S_CLAMP);
    ASSERT_TRUE(driver_.WaitForWrites(1, 0));
    EXPECT_EQ(driver_.Writes()[0].tags, std::vector<unsigned>{driver_.setpoint()});
    EXPECT_EQ(driver_.Writes()[0].values[0].vt(), VT_I4) << "values arrive as the client sent them";

    ReadResult read = ReadOne(group.get(), handles[0]);
    EXPECT_EQ(read.quality, kLocalOverride);
    EXPECT_EQ(read.error, OPC_S_CLAMP);
    EXPECT_EQ(read.value.vt(), VT_R4) << "stored in the canonical type";
    EXPECT_EQ(read.value.AsDouble(), 33);

    EXPECT_EQ(WriteOne(group.get(), handles[1], Variant::I4(1), &error), S_FALSE);
    EXPECT_EQ(error, OPC_E_BADRIGHTS);
    EXPECT_EQ(WriteOne(group.get(), 42, Variant::I4(1), &error), S_FALSE);
    EXPECT_EQ(error, OPC_E_INVALIDHANDLE);
    VARIANT broken;
    VariantInit(&broken);
    broken.vt = 0x7FFF;  // no such type: the value cannot be copied
    auto io = ComPtrOf<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    TaskArray<HRESULT> errors;
    EXPECT_EQ(io->Write(1, &handles[0], &broken, errors.out()), S_FALSE);
    EXPECT_TRUE(FAILED(errors[0]));
    EXPECT_EQ(driver_.Writes().size(), 1u) << "refused items never reach the driver";
}

TEST_F(GroupTest, WriteHandledByTheDriverReportsItsErrors) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Setpoint"});
    TestDriver::WriteBehaviour handled;
    handled.result = 0;
    handled.itemError = E_FAIL;
    driver_.SetWriteBehaviour(handled);
    HRESULT error = S_OK;
    EXPECT_EQ(WriteOne(group.get(), handles[0], Variant::R4(5), &error), S_FALSE);
    EXPECT_EQ(error, E_FAIL);
    EXPECT_EQ(ReadOne(group.get(), handles[0]).quality, 0x20) << "nothing went into the cache";

    handled.itemError = S_OK;
    driver_.SetWriteBehaviour(handled);
    EXPECT_EQ(WriteOne(group.get(), handles[0], Variant::R4(5), &error), S_OK);
    EXPECT_EQ(error, S_OK);
}

// --- delivery ------------------------------------------------------------------------------

bool HasDataChangeWith(const DataCallback::Calls& calls, OPCHANDLE clientHandle, double value) {
    for (const CallbackCall& call : calls) {
        if (call.kind != CallbackCall::DataChange) continue;
        const opc_test::ItemValue* item = call.Find(clientHandle);
        if (item && item->value.AsDouble() == value) return true;
    }
    return false;
}

TEST_F(GroupTest, AdviseReportsActiveItemsThenOnlyTheItemOfTheUpdatedTag) {
    auto group = client_.AddGroup(u"g", true, 50, nullptr, 5);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Boiler/Temp", "Pump/Run"});
    auto sink = Advise(group.get());
    CallbackCall first;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, &first));
    EXPECT_EQ(first.items.size(), 3u);
    EXPECT_EQ(first.group, 5u);
    EXPECT_EQ(first.transactionId, 0u);
    EXPECT_EQ(first.masterQuality, S_FALSE) << "waiting for initial data is not good";

    // The core pushes its whole array every cycle; only element 5 names a tag.
    std::vector<opc::daCacheValue> elements(1024);
    for (auto& element : elements) {
        VariantInit(&element.value);
        element.tagIndex = 0;
    }
    elements[5].value.vt = VT_I4;
    elements[5].value.lVal = 99;
    elements[5].quality = kGood;
    elements[5].tagIndex = driver_.counter();
    const size_t before = sink->Count();
    const unsigned number = opc::daCacheUpdate(driver_.service(), 1024, elements.data(), nullptr);
    ASSERT_NE(number, 0u);
    CallbackCall next;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, before, &next));
    ASSERT_EQ(next.items.size(), 1u);
    EXPECT_EQ(next.items[0].clientHandle, 1u);
    EXPECT_EQ(next.items[0].value.AsDouble(), 99);
    EXPECT_EQ(next.masterQuality, S_OK);
}

TEST_F(GroupTest, DeactivatedItemsAreNotReportedAndReactivatedOnesAre) {
    auto group = client_.AddGroup(u"g", true, 50);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Pump/Run"});
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &handles[0], FALSE, errors.out()), S_OK);
    // Run's report comes from a pass that has seen Counter's update too.
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(5)), 0u);
    ASSERT_NE(driver_.Publish(driver_.run(), Variant::Bool(true)), 0u);
    ASSERT_TRUE(sink->WaitFor([](const DataCallback::Calls& calls) {
        return HasDataChangeWith(calls, 2, -1);  // VARIANT_TRUE as a double
    }));
    EXPECT_FALSE(HasDataChangeWith(sink->Snapshot(), 1, 5));

    TaskArray<HRESULT> errors2;
    ASSERT_EQ(group->SetActiveState(1, &handles[0], TRUE, errors2.out()), S_OK);
    EXPECT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 5); }));
}

TEST_F(GroupTest, ReactivatingTheGroupReportsEveryItemAgain) {
    auto group = client_.AddGroup(u"g", true, 50);
    opc_test::AddItems(group.get(), {"Counter", "Pump/Run"});
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD revised = 0;
    BOOL off = FALSE, on = TRUE;
    ASSERT_EQ(state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    const size_t before = sink->Count();
    ASSERT_EQ(state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    CallbackCall again;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, before, &again));
    EXPECT_EQ(again.items.size(), 2u) << "nothing changed, yet both are reported";
}

class DeadbandTest : public GroupTest {
protected:
    DeadbandTest() : GroupTest(WithFlags(0x88)) {}  // not daDF_SEND_ALL_UPDATES
};

TEST_F(DeadbandTest, TenPercentOfTheRangeSuppressesSmallChangesMeasuredFromTheLastSent) {
    FLOAT deadband = 10;
    auto group = client_.AddGroup(u"g", true, 50, &deadband);
    // Setpoint has the range 0..100; Counter marks passes that have seen what came before it.
    opc_test::AddItems(group.get(), {"Setpoint", "Counter"});
    ASSERT_NE(driver_.Publish(driver_.setpoint(), Variant::R4(50)), 0u);
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 50); }));

    ASSERT_NE(driver_.Publish(driver_.setpoint(), Variant::R4(55)), 0u);
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(1)), 0u);
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 2, 1); }));
    EXPECT_FALSE(HasDataChangeWith(sink->Snapshot(), 1, 55));

    ASSERT_NE(driver_.Publish(driver_.setpoint(), Variant::R4(61)), 0u);
    EXPECT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 61); }));
}

TEST_F(DeadbandTest, UnchangedValuesAreNotReportedAgain) {
    auto group = client_.AddGroup(u"g", true, 50);
    opc_test::AddItems(group.get(), {"Counter", "Boiler/Pressure"});
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(8)), 0u);
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 8); }));
    const size_t before = sink->Count();
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(8)), 0u);
    ASSERT_NE(driver_.Publish(driver_.pressure(), Variant::R8(2)), 0u);
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 2, 2); }));
    auto calls = sink->Snapshot();
    for (size_t i = before; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].Find(1), nullptr) << "8 again is no change";
    }
}

TEST_F(GroupTest, SendAllUpdatesReportsAnUnchangedValueToEveryActiveGroup) {
    auto first = client_.AddGroup(u"a", true, 50);
    auto second = client_.AddGroup(u"b", true, 100);
    opc_test::AddItems(first.get(), {"Counter"});
    opc_test::AddItems(second.get(), {"Counter"});
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(4)), 0u);
    auto sinkA = Advise(first.get());
    auto sinkB = Advise(second.get());
    for (DataCallback* sink : {sinkA.get(), sinkB.get()}) {
        ASSERT_TRUE(sink->WaitFor(
            [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 4); }));
    }
    const size_t beforeA = sinkA->Count(), beforeB = sinkB->Count();
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(4)), 0u);
    for (auto [sink, before] : {std::pair{sinkA.get(), beforeA}, std::pair{sinkB.get(), beforeB}}) {
        CallbackCall again;
        ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, before, &again));
        ASSERT_NE(again.Find(1), nullptr);
        EXPECT_EQ(again.Find(1)->value.AsDouble(), 4);
    }
}

TEST_F(GroupTest, SetEnableFalseStopsTheCallbackWhileAdviseSinksKeepReceiving) {
    auto group = client_.AddGroup(u"g", true, 50, nullptr, 3);
    opc_test::AddItems(group.get(), {"Counter"});
    auto callback = Advise(group.get());
    ComPtr<AdviseSink> probe(new AdviseSink(driver_.service()));
    auto stream = DAdvise(group.get(), probe->DataTimeFormat());
    ASSERT_TRUE(callback->WaitForKind(CallbackCall::DataChange, 0, nullptr));

    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    BOOL enabled = FALSE;
    ASSERT_EQ(async2->GetEnable(&enabled), S_OK);
    EXPECT_TRUE(enabled);
    ASSERT_EQ(async2->SetEnable(FALSE), S_OK);
    ASSERT_EQ(async2->GetEnable(&enabled), S_OK);
    EXPECT_FALSE(enabled);
    const size_t before = callback->Count();

    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(123)), 0u);
    ASSERT_TRUE(stream->WaitFor([](const std::vector<opc_test::StreamBlock>& blocks) {
        for (const auto& block : blocks) {
            if (block.parsed && block.items.size() == 1 && block.items[0].value.AsDouble() == 123)
                return true;
        }
        return false;
    }));
    const auto blocks = stream->Snapshot();
    EXPECT_EQ(blocks.back().group, 3u);
    EXPECT_EQ(blocks.back().format, probe->DataTimeFormat());
    EXPECT_EQ(callback->Count(), before);
}

TEST_F(GroupTest, DataObjectTakesOneSinkPerRegisteredFormat) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto data = ComPtrOf<IDataObject>(group.get(), IID_IDataObject);
    ComPtr<AdviseSink> sink(new AdviseSink(driver_.service()));
    DWORD connection = 0;
    FORMATETC unknownFormat = StreamFormat(1);
    EXPECT_EQ(data->DAdvise(&unknownFormat, 0, sink.get(), &connection), DV_E_FORMATETC);
    FORMATETC wrongMedium = StreamFormat(sink->DataFormat(), TYMED_ISTREAM);
    EXPECT_EQ(data->DAdvise(&wrongMedium, 0, sink.get(), &connection), DV_E_FORMATETC);

    struct Case {
        UINT format;
        DWORD connection;
    } cases[] = {{sink->WriteCompleteFormat(), 0x02},
                 {sink->DataTimeFormat(), 0x04},
                 {sink->DataFormat(), 0x08}};
    for (const Case& c : cases) {
        FORMATETC format = StreamFormat(c.format);
        ASSERT_EQ(data->DAdvise(&format, 0, sink.get(), &connection), S_OK);
        EXPECT_EQ(connection, c.connection);
        EXPECT_EQ(data->DAdvise(&format, 0, sink.get(), &connection), CONNECT_E_ADVISELIMIT);
    }
    for (const Case& c : cases) {
        EXPECT_EQ(data->DUnadvise(c.connection), S_OK);
        EXPECT_EQ(data->DUnadvise(c.connection), OLE_E_NOCONNECTION);
    }
}

TEST_F(GroupTest, BothKindsOfSinksAreServedAndTheCombinationIsLogged) {
    auto group = client_.AddGroup(u"both", true, 50);
    opc_test::AddItems(group.get(), {"Counter"});
    ComPtr<AdviseSink> probe(new AdviseSink(driver_.service()));
    auto stream = DAdvise(group.get(), probe->DataFormat());
    auto callback = Advise(group.get());
    EXPECT_TRUE(
        log_.Contains("icpAdvise(both/18) IAdviseSink & IOPCDataCallback both are advised"));
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(6)), 0u);
    EXPECT_TRUE(callback->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 6); }));
    EXPECT_TRUE(stream->WaitFor([](const std::vector<opc_test::StreamBlock>& blocks) {
        return !blocks.empty() && blocks.back().items.size() == 1 &&
               blocks.back().items[0].value.AsDouble() == 6;
    }));
}

TEST_F(GroupTest, AFailingCallbackIsLogged) {
    auto group = client_.AddGroup(u"g", true, 50);
    opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    sink->AnswerWith(E_FAIL);
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(2)), 0u);
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 2); }));
    // The log line is written after the call returned.
    for (int i = 0; i < 1000 && !log_.Contains("OnDataChange2(0x0) FAILED"); ++i)
        platform::SleepMs(10);
    EXPECT_TRUE(log_.Contains("OnDataChange2(0x0) FAILED"));
}

TEST_F(GroupTest, ASinkMayReadAndWriteSynchronouslyFromItsCallback) {
    auto group = client_.AddGroup(u"g", true, 50);
    auto handles = opc_test::AddItems(group.get(), {"Setpoint"});
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    std::atomic<bool> once{false};
    std::atomic<HRESULT> read{E_FAIL}, written{E_FAIL};
    IOPCItemMgt* raw = group.get();
    OPCHANDLE handle = handles[0];
    sink->OnEachCall([&] {
        if (once.exchange(true)) return;
        // On the scheduler thread: these must not wait for the scheduler.
        read = ReadOne(raw, handle, OPC_DS_DEVICE).result;
        HRESULT error = E_FAIL;
        written = WriteOne(raw, handle, Variant::R4(9), &error) == S_FALSE ? error : E_FAIL;
    });
    ASSERT_NE(driver_.Publish(driver_.setpoint(), Variant::R4(4)), 0u);
    ASSERT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 9); }));
    EXPECT_EQ(read.load(), S_OK);
    EXPECT_EQ(written.load(), OPC_S_CLAMP);
}

TEST_F(GroupTest, AFasterRateTakesEffectAtOnce) {
    auto group = client_.AddGroup(u"g", true, 60000);
    opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD rate = 50, revised = 0;
    ASSERT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(3)), 0u);
    // Without the wake-up the scheduler would sleep out the old minute.
    EXPECT_TRUE(sink->WaitFor(
        [](const DataCallback::Calls& calls) { return HasDataChangeWith(calls, 1, 3); }));
}

TEST_F(GroupTest, AStoppedClientsGroupsRefuseCalls) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Counter"});
    ASSERT_EQ(
        opc::daClientSetState(driver_.service(), client_.object(), opc::daCS_STOP, 0, nullptr), 0);
    TaskArray<HRESULT> errors;
    EXPECT_EQ(group->RemoveItems(1, &handles[0], errors.out()), E_UNEXPECTED);
    EXPECT_EQ(ReadOne(group.get(), handles[0]).result, E_UNEXPECTED);
    ASSERT_EQ(
        opc::daClientSetState(driver_.service(), client_.object(), opc::daCS_OPERATE, 0, nullptr),
        0);
    EXPECT_EQ(ReadOne(group.get(), handles[0]).quality, 0x20) << "no value yet, but answered";
}

// --- asynchronous IO -----------------------------------------------------------------------

TEST_F(GroupTest, AsyncReadAndWriteCompleteThroughTheCallback) {
    auto group = client_.AddGroup(u"g", true, 1000, nullptr, 8);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Setpoint"});
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(21)), 0u);
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancelId = 0;
    TaskArray<HRESULT> errors;
    EXPECT_EQ(async2->Read(2, handles.data(), 11, &cancelId, errors.out()), CONNECT_E_NOCONNECTION);
    auto sink = Advise(group.get());

    OPCHANDLE readHandles[] = {handles[0], 99};
    TaskArray<HRESULT> readErrors;
    ASSERT_EQ(async2->Read(2, readHandles, 11, &cancelId, readErrors.out()), S_FALSE);
    EXPECT_EQ(readErrors[1], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(cancelId % 2, 1u) << "requests that go to the device get odd ids";
    CallbackCall read;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::ReadComplete, 0, &read));
    EXPECT_EQ(read.transactionId, 11u);
    EXPECT_EQ(read.group, 8u);
    ASSERT_EQ(read.items.size(), 1u);
    EXPECT_EQ(read.items[0].value.AsDouble(), 21);

    VARIANT value = *Variant::R4(7);
    TaskArray<HRESULT> writeErrors;
    ASSERT_EQ(async2->Write(1, &handles[1], &value, 12, &cancelId, writeErrors.out()), S_OK);
    CallbackCall write;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::WriteComplete, 0, &write));
    EXPECT_EQ(write.transactionId, 12u);
    ASSERT_EQ(write.items.size(), 1u);
    EXPECT_EQ(write.items[0].clientHandle, 2u);
    EXPECT_EQ(write.items[0].error, OPC_S_CLAMP);
    EXPECT_EQ(write.masterError, S_FALSE);
}

TEST_F(GroupTest, Refresh2ReportsEveryActiveItemAndNeedsAnActiveItem) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    DWORD cancelId = 0;
    EXPECT_EQ(async2->Refresh2(OPC_DS_CACHE, 1, &cancelId), CONNECT_E_NOCONNECTION);
    auto sink = Advise(group.get());
    EXPECT_EQ(async2->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL) << "no active item";
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Pump/Run", "Name"});
    TaskArray<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &handles[2], FALSE, errors.out()), S_OK);
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));

    const size_t before = sink->Count();
    ASSERT_EQ(async2->Refresh2(OPC_DS_CACHE, 77, &cancelId), S_OK);
    EXPECT_EQ(cancelId % 2, 0u) << "cache refreshes get even ids";
    ASSERT_TRUE(sink->WaitFor([before](const DataCallback::Calls& calls) {
        for (size_t i = before; i < calls.size(); ++i)
            if (calls[i].transactionId == 77) return true;
        return false;
    }));
    for (const CallbackCall& call : sink->Snapshot()) {
        if (call.transactionId != 77) continue;
        EXPECT_EQ(call.kind, CallbackCall::DataChange);
        EXPECT_EQ(call.items.size(), 2u) << "both active items, unchanged or not";
    }

    auto state = ComPtrOf<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    BOOL off = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(async2->Refresh2(OPC_DS_DEVICE, 78, &cancelId), E_FAIL);
}

// Holds the scheduler thread inside a callback, so that requests stay queued.
class HeldSchedulerTest : public GroupTest {
protected:
    void HoldScheduler(DataCallback* sink, IOPCAsyncIO2* async2) {
        // After the first report nothing else is delivered, so the refresh is what holds it.
        ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
        sink->CloseGate();
        DWORD cancelId = 0;
        ASSERT_EQ(async2->Refresh2(OPC_DS_CACHE, 500, &cancelId), S_OK);
        ASSERT_TRUE(sink->WaitEntered());
    }
};

TEST_F(HeldSchedulerTest, AFifthQueuedAsyncReadIsRefused) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    HoldScheduler(sink.get(), async2.get());

    DWORD cancelId = 0;
    for (DWORD i = 1; i <= 4; ++i) {
        TaskArray<HRESULT> errors;
        EXPECT_EQ(async2->Read(1, &handles[0], i, &cancelId, errors.out()), S_OK) << i;
    }
    TaskArray<HRESULT> errors;
    EXPECT_EQ(async2->Read(1, &handles[0], 5, &cancelId, errors.out()), CONNECT_E_ADVISELIMIT);
    sink->OpenGate();
    ASSERT_TRUE(sink->WaitFor([](const DataCallback::Calls& calls) {
        return std::count_if(calls.begin(), calls.end(), [](const CallbackCall& call) {
                   return call.kind == CallbackCall::ReadComplete;
               }) == 4;
    }));
}

TEST_F(HeldSchedulerTest, Cancel2ReplacesTheCompletionByOnCancelComplete) {
    auto group = client_.AddGroup(u"g", true, 1000, nullptr, 6);
    auto handles = opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    HoldScheduler(sink.get(), async2.get());

    DWORD cancelId = 0;
    TaskArray<HRESULT> errors;
    ASSERT_EQ(async2->Read(1, &handles[0], 41, &cancelId, errors.out()), S_OK);
    EXPECT_EQ(async2->Cancel2(cancelId), S_OK);
    EXPECT_EQ(async2->Cancel2(cancelId + 2), E_FAIL);
    sink->OpenGate();
    CallbackCall cancelled;
    ASSERT_TRUE(sink->WaitForKind(CallbackCall::CancelComplete, 0, &cancelled));
    EXPECT_EQ(cancelled.transactionId, 41u);
    EXPECT_EQ(cancelled.group, 6u);
    EXPECT_EQ(async2->Cancel2(cancelId), E_FAIL) << "no longer queued";
    for (const CallbackCall& call : sink->Snapshot())
        EXPECT_NE(call.kind, CallbackCall::ReadComplete);
}

TEST_F(HeldSchedulerTest, AGroupOnlyADeliveryHoldsIsNotInUse) {
    OPCHANDLE serverHandle = 0;
    auto group = client_.AddGroup(u"g", true, 1000, nullptr, 7, &serverHandle);
    opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    HoldScheduler(sink.get(), async2.get());  // the refresh's delivery holds the group
    async2.Reset();
    group.Reset();
    EXPECT_EQ(client_.server()->RemoveGroup(serverHandle, FALSE), S_OK);
    sink->OpenGate();
}

TEST_F(HeldSchedulerTest, CancelDropsAQueuedDataAccessOneRead) {
    auto group = client_.AddGroup(u"g", true, 1000);
    auto handles = opc_test::AddItems(group.get(), {"Counter"});
    auto sink = Advise(group.get());
    ComPtr<AdviseSink> probe(new AdviseSink(driver_.service()));
    auto data = DAdvise(group.get(), probe->DataFormat());
    auto async = ComPtrOf<IOPCAsyncIO>(group.get(), IID_IOPCAsyncIO);
    auto async2 = ComPtrOf<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    HoldScheduler(sink.get(), async2.get());

    DWORD cancelled = 0, kept = 0;
    TaskArray<HRESULT> errors, errors2;
    ASSERT_EQ(async->Read(0x08, OPC_DS_CACHE, 1, &handles[0], &cancelled, errors.out()), S_OK);
    EXPECT_EQ(async->Cancel(cancelled), S_OK);
    ASSERT_EQ(async->Read(0x08, OPC_DS_CACHE, 1, &handles[0], &kept, errors2.out()), S_OK);
    sink->OpenGate();
    ASSERT_TRUE(data->WaitFor([kept](const std::vector<opc_test::StreamBlock>& blocks) {
        for (const auto& block : blocks)
            if (block.transactionId == kept) return true;
        return false;
    }));
    for (const auto& block : data->Snapshot())
        EXPECT_NE(block.transactionId, cancelled);
}

TEST_F(GroupTest, AsyncIOOfDataAccessOneCompletesThroughTheStreams) {
    auto group = client_.AddGroup(u"g", true, 1000, nullptr, 4);
    auto handles = opc_test::AddItems(group.get(), {"Counter", "Setpoint"});
    ASSERT_NE(driver_.Publish(driver_.counter(), Variant::I4(64)), 0u);
    auto async = ComPtrOf<IOPCAsyncIO>(group.get(), IID_IOPCAsyncIO);
    ComPtr<AdviseSink> probe(new AdviseSink(driver_.service()));
    DWORD transaction = 0;
    TaskArray<HRESULT> errors;
    EXPECT_EQ(async->Read(0x08, OPC_DS_CACHE, 1, &handles[0], &transaction, errors.out()),
              CONNECT_E_NOCONNECTION);
    auto data = DAdvise(group.get(), probe->DataFormat());
    auto written = DAdvise(group.get(), probe->WriteCompleteFormat());

    TaskArray<HRESULT> readErrors;
    ASSERT_EQ(async->Read(0x08, OPC_DS_CACHE, 1, &handles[0], &transaction, readErrors.out()),
              S_OK);
    ASSERT_TRUE(data->WaitFor([transaction](const std::vector<opc_test::StreamBlock>& blocks) {
        for (const auto& block : blocks)
            if (block.transactionId == transaction) return true;
        return false;
    }));
    for (const auto& block : data->Snapshot()) {
        if (block.transactionId != transaction) continue;
        EXPECT_TRUE(block.parsed);
        EXPECT_EQ(block.group, 4u);
        EXPECT_EQ(block.status, S_OK);
        ASSERT_EQ(block.items.size(), 1u);
        EXPECT_EQ(block.items[0].value.AsDouble(), 64);
        EXPECT_EQ(block.items[0].quality, kGood);
    }

    VARIANT value = *Variant::R4(3);
    TaskArray<HRESULT> writeErrors;
    EXPECT_EQ(async->Write(0x08, 1, &handles[1], &value, &transaction, writeErrors.out()),
              CONNECT_E_NOCONNECTION);
    TaskArray<HRESULT> writeErrors2;
    ASSERT_EQ(async->Write(0x02, 1, &handles[1], &value, &transaction, writeErrors2.out()), S_OK);
    ASSERT_TRUE(written->WaitFor([transaction](const std::vector<opc_test::StreamBlock>& blocks) {
        return !blocks.empty() && blocks.back().transactionId == transaction;
    }));
    const auto block = written->Snapshot().back();
    EXPECT_TRUE(block.parsed);
    ASSERT_EQ(block.items.size(), 1u);
    EXPECT_EQ(block.items[0].clientHandle, 2u);
    EXPECT_EQ(block.items[0].error, OPC_S_CLAMP);

    EXPECT_EQ(async->Cancel(transaction), E_FAIL) << "already completed";
    EXPECT_EQ(async->Refresh(0x04, OPC_DS_CACHE, &transaction), CONNECT_E_NOCONNECTION);
}

// With client flag 0x20000 the scheduler enters the multithreaded apartment; sinks are
// attached on the caller's thread as without it.
class MultithreadedClientTest : public ::testing::Test {
protected:
    // As in the server process, callers are in the multithreaded apartment.
    struct Apartment {
        Apartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
        ~Apartment() { CoUninitialize(); }
    } apartment_;
    TestDriver driver_;
    Client client_{driver_.service(), opc::daCF_MULTITHREADED};
};

TEST_F(MultithreadedClientTest, SinksAreAttachedOnTheCallersThread) {
    ASSERT_EQ(client_.result(), 0);
    auto group = client_.AddGroup(u"mt", true, 50);
    opc_test::AddItems(group.get(), {"Counter"});
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(group->QueryInterface(IID_IConnectionPointContainer, container.outVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.out()), S_OK);
    ComPtr<DataCallback> sink(new DataCallback);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie), S_OK);
    EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie),
              CONNECT_E_ADVISELIMIT);
    EXPECT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

}  // namespace
