#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client_fixture.h"
#include "opcconst.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

using namespace opc_test;
using opc::daServer;

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { MakeDriver(TestDriver::CoreRecord()); }
    void TearDown() override {
        if (server_) server_->Release();
        server_ = nullptr;
        EXPECT_TRUE(released_.WaitAllEnded());
        driver_.reset();
    }

    void MakeDriver(opc::daDriverRecord record) {
        if (server_) server_->Release();
        server_ = nullptr;
        driver_ = std::make_unique<TestDriver>(record);
        ASSERT_EQ(driver_->createResult(), 0);
    }
    IOPCServer* Server(unsigned flags = 0) {
        if (!server_) server_ = MakeClient(driver_->service(), &released_, flags, &client_);
        return server_;
    }
    HRESULT AddGroup(const WCHAR* name, DWORD rate, IOPCGroupStateMgt** group,
                     DWORD* revised = nullptr, FLOAT* deadband = nullptr,
                     OPCHANDLE* handle = nullptr) {
        OPCHANDLE serverHandle = 0;
        DWORD revisedRate = 0;
        return Server()->AddGroup(name, TRUE, rate, 7, nullptr, deadband, 0,
                                  handle ? handle : &serverHandle, revised ? revised : &revisedRate,
                                  IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(group));
    }
    std::vector<std::u16string> GroupNames(OPCENUMSCOPE scope = OPC_ENUM_ALL) {
        std::vector<std::u16string> names;
        IUnknown* made = nullptr;
        EXPECT_EQ(Server()->CreateGroupEnumerator(scope, IID_IEnumString, &made), S_OK);
        if (!made) return names;
        auto* strings = static_cast<IEnumString*>(made);
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (strings->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            names.push_back(U16(name));
            CoTaskMemFree(name);
        }
        strings->Release();
        return names;
    }
    OPCSERVERSTATUS Status(HRESULT expected = S_OK) {
        OPCSERVERSTATUS copy{};
        OPCSERVERSTATUS* status = nullptr;
        EXPECT_EQ(Server()->GetStatus(&status), expected);
        if (!status) return copy;
        copy = *status;
        vendorText_ = U16(status->szVendorInfo);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        copy.szVendorInfo = nullptr;
        return copy;
    }

    LogCapture log_;
    std::unique_ptr<TestDriver> driver_;
    ReleaseCounter released_;
    IOPCServer* server_ = nullptr;
    daServer* client_ = nullptr;
    std::u16string vendorText_;
};

TEST_F(ClientTest, CreateRefusesBadArguments) {
    opc::daServer* client = nullptr;
    IUnknown* inner = nullptr;
    ShutdownSink outer;  // any IUnknown will do as the outer object of a refused call
    struct Case {
        const char* what;
        opc::daServer** client;
        IUnknown* outer;
        IUnknown** inner;
        unsigned flags;
    } cases[] = {
        {"no client pointer", nullptr, nullptr, nullptr, 0},
        {"unknown flag 0x10", &client, nullptr, nullptr, 0x10},
        {"unknown flag 0x80000", &client, nullptr, nullptr, 0x80000},
        {"outer without inner", &client, &outer, nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(opc::daClientCreate(driver_->service(), c.client, c.outer, c.inner, c.flags,
                                      &Vendor(), nullptr, nullptr),
                  opc::daE_INVAL)
            << c.what;
    }
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(outer.HeldByOthers(), 0u);
    int notAService = 0;
    EXPECT_EQ(opc::daClientCreate(reinterpret_cast<opc::daService*>(&notAService), &client, nullptr,
                                  &inner, 0, &Vendor(), nullptr, nullptr),
              opc::daE_BADF);
    // Every accepted flag together.
    IOPCServer* server =
        MakeClient(driver_->service(), &released_, 0xF | 0x10000 | 0x20000 | 0x40000);
    ASSERT_NE(server, nullptr);
    server->Release();
    EXPECT_EQ(released_.count, 1);
}

// The outer object owns the identity: interfaces of the inner one count on it.
class Outer : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown) {
            AddRef();
            *object = this;
            return S_OK;
        }
        return inner->QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    std::atomic<ULONG> references{1};
    IUnknown* inner = nullptr;
};

TEST_F(ClientTest, AggregatedClientDelegatesToItsOuterObject) {
    Outer outer;
    opc::daServer* client = nullptr;
    ASSERT_EQ(opc::daClientCreate(driver_->service(), &client, &outer, &outer.inner, 0, &Vendor(),
                                  ReleaseCounter::Callback, &released_),
              0);
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_EQ(outer.inner, opc::daClientUnknown(client));

    IOPCCommon* common = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&common)), S_OK);
    EXPECT_EQ(outer.references, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(common->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    EXPECT_EQ(common->SetLocaleID(0x409), S_OK);
    common->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(released_.count, 0);

    outer.inner->Release();
    EXPECT_EQ(released_.count, 1);
}

TEST_F(ClientTest, ClientsGetConsecutiveNumbers) {
    daServer* first = nullptr;
    daServer* second = nullptr;
    IOPCServer* a = MakeClient(driver_->service(), &released_, 0, &first);
    IOPCServer* b = MakeClient(driver_->service(), &released_, 0, &second);
    ASSERT_TRUE(a && b);
    EXPECT_NE(first->ClientNumber(), 0u);
    EXPECT_EQ(second->ClientNumber(), first->ClientNumber() + 1);
    char tag[32];
    std::snprintf(tag, sizeof tag, "[%03X:%03X]", platform::CurrentProcessId() & 0xFFFFu,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(second) & 0xFFFFu));
    EXPECT_STREQ(second->LogTag(), tag);
    a->Release();
    b->Release();
    EXPECT_EQ(released_.count, 2);
}

TEST_F(ClientTest, AddGroupRevisesTheRate) {
    struct Case {
        DWORD requested;
        DWORD revised;
        HRESULT result;
    } cases[] = {
        {0, 50, OPC_S_UNSUPPORTEDRATE}, {70, 100, OPC_S_UNSUPPORTEDRATE}, {1000, 1000, S_OK}};
    for (const Case& c : cases) {
        IOPCGroupStateMgt* group = nullptr;
        DWORD revised = 0;
        EXPECT_EQ(AddGroup(nullptr, c.requested, &group, &revised), c.result) << c.requested;
        EXPECT_EQ(revised, c.revised) << c.requested;
        ASSERT_NE(group, nullptr);
        group->Release();
    }
}

TEST_F(ClientTest, GroupNamesAreGeneratedUniqueAndChecked) {
    IOPCGroupStateMgt* first = nullptr;
    IOPCGroupStateMgt* second = nullptr;
    ASSERT_EQ(AddGroup(nullptr, 1000, &first), S_OK);
    ASSERT_EQ(AddGroup(OLESTR(""), 1000, &second), S_OK);
    std::vector<std::u16string> names = GroupNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(0, 2), u"G-");
    EXPECT_EQ(names[1].substr(0, 2), u"G-");
    EXPECT_NE(names[0], names[1]);

    IOPCGroupStateMgt* named = nullptr;
    OPCHANDLE handle = 0;
    ASSERT_EQ(AddGroup(OLESTR("Boiler"), 1000, &named, nullptr, nullptr, &handle), S_OK);
    IOPCGroupStateMgt* twin = nullptr;
    EXPECT_EQ(AddGroup(OLESTR("Boiler"), 1000, &twin), OPC_E_DUPLICATENAME);
    EXPECT_EQ(twin, nullptr);

    IUnknown* found = nullptr;
    ASSERT_EQ(Server()->GetGroupByName(OLESTR("Boiler"), IID_IOPCGroupStateMgt, &found), S_OK);
    EXPECT_EQ(found, static_cast<IUnknown*>(named));
    found->Release();
    EXPECT_EQ(Server()->GetGroupByName(OLESTR("Nobody"), IID_IOPCGroupStateMgt, &found),
              E_INVALIDARG);
    EXPECT_EQ(Status().dwGroupCount, 3u);
    for (IOPCGroupStateMgt* group : {first, second, named})
        group->Release();
}

TEST_F(ClientTest, AddGroupWithBadDeadbandMakesNoGroup) {
    FLOAT deadband = 150;
    IOPCGroupStateMgt* group = nullptr;
    EXPECT_EQ(AddGroup(OLESTR("G"), 1000, &group, nullptr, &deadband), E_INVALIDARG);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(Status().dwGroupCount, 0u);
    EXPECT_EQ(Server()->AddGroup(OLESTR("G"), TRUE, 1000, 1, nullptr, nullptr, 0, nullptr, nullptr,
                                 IID_IOPCGroupStateMgt, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(Server()->AddGroup(OLESTR("G"), TRUE, 1000, 1, nullptr, nullptr, 0, nullptr, nullptr,
                                 IID_IOPCServer, reinterpret_cast<LPUNKNOWN*>(&group)),
              E_NOINTERFACE);
    EXPECT_EQ(Status().dwGroupCount, 0u);
}

TEST_F(ClientTest, RemoveGroupRules) {
    struct Case {
        const char* what;
        unsigned driverFlags;
        bool holdGroup;
        BOOL force;
        HRESULT result;
    } cases[] = {
        {"unreferenced", 0x280, false, FALSE, S_OK},
        {"held", 0x280, true, FALSE, OPC_S_INUSE},
        {"held, forced", 0x280, true, TRUE, S_OK},
        {"held, forced, no forced removal", 0x288, true, TRUE, OPC_S_INUSE},
    };
    for (const Case& c : cases) {
        opc::daDriverRecord record = TestDriver::CoreRecord();
        record.flags = c.driverFlags;
        MakeDriver(record);
        IOPCGroupStateMgt* group = nullptr;
        OPCHANDLE handle = 0;
        ASSERT_EQ(AddGroup(OLESTR("G"), 1000, &group, nullptr, nullptr, &handle), S_OK);
        if (!c.holdGroup) group->Release();
        EXPECT_EQ(Server()->RemoveGroup(handle + 100, FALSE), OPC_E_INVALIDHANDLE) << c.what;
        EXPECT_EQ(Server()->RemoveGroup(handle, c.force), c.result) << c.what;
        EXPECT_EQ(Status().dwGroupCount, 0u) << c.what;
        EXPECT_EQ(Server()->RemoveGroup(handle, FALSE), OPC_E_INVALIDHANDLE) << c.what;
        if (c.holdGroup) {
            // Unlisted, the group still answers its client until released.
            DWORD rate = 0;
            BOOL active = FALSE;
            LPWSTR name = nullptr;
            LONG bias = 0;
            FLOAT deadband = 0;
            DWORD locale = 0;
            OPCHANDLE clientHandle = 0, serverHandle = 0;
            EXPECT_EQ(group->GetState(&rate, &active, &name, &bias, &deadband, &locale,
                                      &clientHandle, &serverHandle),
                      S_OK)
                << c.what;
            EXPECT_EQ(rate, 1000u) << c.what;
            CoTaskMemFree(name);
            group->Release();
        }
    }
}

TEST_F(ClientTest, GetStatusReportsTheClient) {
    const uint64_t before = platform::SystemTimeAsFileTime();
    Server();
    OPCSERVERSTATUS status = Status();
    const auto asNumber = [](const FILETIME& time) {
        return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    };
    EXPECT_GE(asNumber(status.ftStartTime), before);
    EXPECT_GE(asNumber(status.ftCurrentTime), asNumber(status.ftStartTime));
    EXPECT_EQ(status.dwServerState, OPC_STATUS_NOCONFIG);
    EXPECT_EQ(status.dwGroupCount, 0u);
    EXPECT_EQ(status.dwBandWidth, 0xFFFFFFFFu);  // not scheduled yet
    EXPECT_EQ(status.wMajorVersion, 6);
    EXPECT_EQ(status.wMinorVersion, 1);
    EXPECT_EQ(status.wBuildNumber, 16);
    EXPECT_EQ(status.wReserved, 6127);
    EXPECT_EQ(vendorText_, u"KarvexOPC-Modbus OPC Server");

    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_OPERATE,
                                    OPC_STATUS_RUNNING, nullptr),
              0);
    EXPECT_EQ(Status().dwServerState, OPC_STATUS_RUNNING);

    // One pass of the scheduler gives it a load figure.
    client_->WakeScheduler();
    ASSERT_TRUE(Eventually([&] { return Status().dwBandWidth != 0xFFFFFFFFu; }));
    EXPECT_LE(Status().dwBandWidth, 100u);
    EXPECT_GE(opc::daClientBandwidth(driver_->service(), client_), 0);
    EXPECT_LE(opc::daClientBandwidth(driver_->service(), nullptr), 100);

    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_STOP, 0, nullptr), 0);
    EXPECT_EQ(Status().dwBandWidth, 0xFFFFFFFFu);
}

TEST_F(ClientTest, SetStateAndBandwidthRefuseBadArguments) {
    Server();
    opc::daService* service = driver_->service();
    EXPECT_EQ(opc::daClientSetState(service, client_, 32, 0, nullptr), opc::daE_INVAL);
    int notAService = 0;
    auto* bogus = reinterpret_cast<opc::daService*>(&notAService);
    EXPECT_EQ(opc::daClientSetState(bogus, nullptr, 1, 0, nullptr), opc::daE_BADF);
    EXPECT_EQ(opc::daClientBandwidth(bogus, nullptr), -1);
    auto* stranger = reinterpret_cast<daServer*>(&notAService);
    EXPECT_EQ(opc::daClientSetState(service, stranger, 1, 0, nullptr), opc::daE_NOENT);
    EXPECT_EQ(opc::daClientBandwidth(service, stranger), 0);
    EXPECT_EQ(opc::daClientBandwidth(service, client_), 0);  // never scheduled
    EXPECT_EQ(opc::daClientSetStateA(service, nullptr, 1, 2, "reason"), 0);
    EXPECT_EQ(Status().dwServerState, 2);
}

TEST_F(ClientTest, StoppedClientAnswersOnlyStatusAndErrorTexts) {
    Server();
    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_STOP, 0, nullptr), 0);
    IOPCGroupStateMgt* group = nullptr;
    EXPECT_EQ(AddGroup(OLESTR("G"), 1000, &group), E_UNEXPECTED);
    EXPECT_TRUE(log_.Contains("Server::<AddGroup> interface IOPCServer closed: va=1 st=1 sd=0"));
    IOPCCommon* common = Query<IOPCCommon>(Server(), IID_IOPCCommon);
    ASSERT_NE(common, nullptr);
    EXPECT_EQ(common->SetLocaleID(0x409), E_UNEXPECTED);
    LPWSTR text = nullptr;
    EXPECT_EQ(common->GetErrorString(OPC_E_INVALIDHANDLE, &text), S_OK);
    CoTaskMemFree(text);
    EXPECT_EQ(Server()->GetErrorString(OPC_E_INVALIDHANDLE, 0, &text), S_OK);
    CoTaskMemFree(text);
    Status(S_OK);

    // With a shutdown request pending as well, only IUnknown is left.
    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_,
                                    opc::daCS_STOP | opc::daCS_REQUEST_SHUTDOWN, 0, nullptr),
              0);
    Status(E_UNEXPECTED);
    EXPECT_EQ(Server()->GetErrorString(OPC_E_INVALIDHANDLE, 0, &text), E_UNEXPECTED);
    EXPECT_EQ(Query<IOPCCommon>(Server(), IID_IOPCCommon), nullptr);
    IUnknown* unknown = Query<IUnknown>(Server(), IID_IUnknown);
    ASSERT_NE(unknown, nullptr);
    unknown->Release();

    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_OPERATE, 0, nullptr), 0);
    EXPECT_EQ(common->SetLocaleID(0x409), S_OK);
    EXPECT_EQ(AddGroup(OLESTR("G"), 1000, &group), S_OK);
    group->Release();
    common->Release();
}

TEST_F(ClientTest, ShutdownRequestReachesTheAdvisedSink) {
    Server();
    auto* points = Query<IConnectionPointContainer>(Server(), IID_IConnectionPointContainer);
    ASSERT_NE(points, nullptr);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(points->FindConnectionPoint(IID_IOPCDataCallback, &point), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(points->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    IID iid{};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(iid == IID_IOPCShutdown);

    Outer notASink;  // answers no IOPCShutdown
    notASink.inner = Query<IUnknown>(Server(), IID_IUnknown);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(&notASink, &cookie), CONNECT_E_CANNOTCONNECT);
    notASink.inner->Release();
    ShutdownSink sink;
    ShutdownSink second;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    EXPECT_EQ(cookie, 32u);
    EXPECT_EQ(point->Advise(&second, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second.HeldByOthers(), 0u);

    ASSERT_EQ(opc::daClientSetStateA(driver_->service(), client_, opc::daCS_REQUEST_SHUTDOWN, 0,
                                     "Going down"),
              0);
    ASSERT_TRUE(sink.WaitFor(1));
    EXPECT_EQ(sink.Reasons()[0], u"Going down");
    EXPECT_TRUE(log_.Contains("Going to ShutdownRequest(Going down)"));
    // Once per request: more passes send nothing more.
    client_->WakeScheduler();
    EXPECT_FALSE(sink.WaitFor(2, 300));

    EXPECT_EQ(point->Unadvise(32), S_OK);
    EXPECT_EQ(sink.HeldByOthers(), 0u);
    EXPECT_EQ(point->Unadvise(32), CONNECT_E_NOCONNECTION);
    point->Release();
    points->Release();
}

TEST_F(ClientTest, QueryInterfaceAnswersExactlyTheServerInterfaces) {
    struct Case {
        const char* name;
        const IID& iid;
        bool answered;
    } cases[] = {
        {"IUnknown", IID_IUnknown, true},
        {"IOPCServer", IID_IOPCServer, true},
        {"IOPCCommon", IID_IOPCCommon, true},
        {"IOPCBrowseServerAddressSpace", IID_IOPCBrowseServerAddressSpace, true},
        {"IOPCItemProperties", IID_IOPCItemProperties, true},
        {"IConnectionPointContainer", IID_IConnectionPointContainer, true},
        {"IConnectionPoint", IID_IConnectionPoint, true},
        {"IOPCShutdown", IID_IOPCShutdown, false},
        {"IOPCGroupStateMgt", IID_IOPCGroupStateMgt, false},
        {"IDataObject", IID_IDataObject, false},
        {"IMarshal", IID_IMarshal, false},  // no free-threaded marshaler without flag 0x10000
        {"IClassFactory", IID_IClassFactory, false},
    };
    for (const Case& c : cases) {
        void* object = reinterpret_cast<void*>(1);
        const HRESULT result = Server()->QueryInterface(c.iid, &object);
        EXPECT_EQ(result, c.answered ? S_OK : E_NOINTERFACE) << c.name;
        if (c.answered) {
            ASSERT_NE(object, nullptr) << c.name;
            static_cast<IUnknown*>(object)->Release();
        } else {
            EXPECT_EQ(object, nullptr) << c.name;
        }
    }
    EXPECT_EQ(Server()->QueryInterface(IID_IOPCServer, nullptr), E_POINTER);
}

TEST_F(ClientTest, FreeThreadedMarshalerOnlyWithItsFlag) {
    IOPCServer* server =
        MakeClient(driver_->service(), &released_, opc::daCF_FREE_THREADED_MARSHALER);
    ASSERT_NE(server, nullptr);
    IUnknown* marshal = nullptr;
    const HRESULT result = server->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal));
#ifdef _WIN32
    // The system's marshaler, aggregated: its identity is the server's.
    ASSERT_EQ(result, S_OK);
    IUnknown* identity = Query<IUnknown>(marshal, IID_IUnknown);
    IUnknown* serverIdentity = Query<IUnknown>(server, IID_IUnknown);
    EXPECT_EQ(identity, serverIdentity);
    identity->Release();
    serverIdentity->Release();
    marshal->Release();
#else
    // Nothing is marshalled in-process on POSIX, so there is no marshaler to aggregate.
    EXPECT_EQ(result, E_NOINTERFACE);
#endif
    server->Release();
    EXPECT_EQ(released_.count, 1);
}

TEST_F(ClientTest, LocaleRules) {
    IOPCCommon* common = Query<IOPCCommon>(Server(), IID_IOPCCommon);
    ASSERT_NE(common, nullptr);
    LCID locale = 1;
    EXPECT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0u);
    EXPECT_EQ(common->SetLocaleID(0x419), S_OK);
    EXPECT_EQ(common->SetLocaleID(0x00100419), E_INVALIDARG);
    EXPECT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x419u);
    DWORD count = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &locales), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(locales[0], 0u);
    EXPECT_EQ(locales[1], 9u);
    CoTaskMemFree(locales);
    EXPECT_EQ(common->SetClientName(OLESTR("Scada")), S_OK);
    EXPECT_TRUE(log_.Contains("Server::SetClientName(Scada)"));
    common->Release();

    // A driver's locale check decides instead.
    opc::daDriverRecord record = TestDriver::CoreRecord();
    record.localeCheck = [](const opc::daCallerRecord*, LCID wanted) {
        return wanted == 0x419 ? 1 : 0;
    };
    MakeDriver(record);
    common = Query<IOPCCommon>(Server(), IID_IOPCCommon);
    ASSERT_NE(common, nullptr);
    EXPECT_EQ(common->SetLocaleID(0x419), E_INVALIDARG);
    EXPECT_EQ(common->SetLocaleID(0x00100409), S_OK);
    common->Release();
}

TEST_F(ClientTest, GroupEnumerators) {
    IOPCGroupStateMgt* a = nullptr;
    IOPCGroupStateMgt* b = nullptr;
    ASSERT_EQ(AddGroup(OLESTR("A"), 1000, &a), S_OK);
    ASSERT_EQ(AddGroup(OLESTR("B"), 1000, &b), S_OK);
    EXPECT_EQ(GroupNames(), (std::vector<std::u16string>{u"A", u"B"}));
    EXPECT_EQ(GroupNames(OPC_ENUM_PRIVATE), (std::vector<std::u16string>{u"A", u"B"}));
    EXPECT_TRUE(GroupNames(OPC_ENUM_PUBLIC).empty());
    EXPECT_TRUE(GroupNames(OPC_ENUM_PUBLIC_CONNECTIONS).empty());

    IUnknown* made = nullptr;
    ASSERT_EQ(Server()->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumUnknown, &made),
              S_OK);
    auto* objects = static_cast<IEnumUnknown*>(made);
    IUnknown* found[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(objects->Next(3, found, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    for (IUnknown* object : {found[0], found[1]}) {
        auto* state = Query<IOPCGroupStateMgt>(object, IID_IOPCGroupStateMgt);
        EXPECT_TRUE(state == a || state == b);
        if (state) state->Release();
        object->Release();
    }
    objects->Release();
    EXPECT_EQ(Server()->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, &made), E_NOINTERFACE);
    EXPECT_EQ(Server()->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(7), IID_IEnumString, &made),
              E_INVALIDARG);
    a->Release();
    b->Release();
    Server()->Release();
    server_ = nullptr;
    EXPECT_EQ(released_.count, 1);
    EXPECT_FALSE(log_.Contains("Some Enumerators left unreleased"));
}

TEST_F(ClientTest, EmptyBrowseIsHandedOutAsTheDriverFlagsSay) {
    struct Case {
        unsigned flags;
        HRESULT result;
        bool enumerator;
    } cases[] = {{0x280, S_FALSE, true}, {0x281, S_OK, true}, {0x282, S_FALSE, false}};
    for (const Case& c : cases) {
        opc::daDriverRecord record = TestDriver::CoreRecord();
        record.flags = c.flags;
        MakeDriver(record);
        auto* browse =
            Query<IOPCBrowseServerAddressSpace>(Server(), IID_IOPCBrowseServerAddressSpace);
        ASSERT_NE(browse, nullptr);
        IEnumString* names = nullptr;
        EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, OLESTR("Nothing*"), VT_EMPTY, 0, &names),
                  c.result)
            << c.flags;
        EXPECT_EQ(names != nullptr, c.enumerator) << c.flags;
        if (names) names->Release();
        // Something found is S_OK whatever the flags.
        ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, OLESTR("Pump*"), VT_EMPTY, 0, &names), S_OK);
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        ASSERT_EQ(names->Next(1, &name, &fetched), S_OK);
        EXPECT_EQ(U16(name), u"Pump/Run");
        CoTaskMemFree(name);
        names->Release();
        browse->Release();
    }
}

TEST_F(ClientTest, BrowsePositionIsTheClients) {
    auto* browse = Query<IOPCBrowseServerAddressSpace>(Server(), IID_IOPCBrowseServerAddressSpace);
    ASSERT_NE(browse, nullptr);
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    EXPECT_EQ(browse->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Boiler")), S_OK);
    LPWSTR itemId = nullptr;
    ASSERT_EQ(browse->GetItemID(const_cast<LPWSTR>(OLESTR("Temp")), &itemId), S_OK);
    EXPECT_EQ(U16(itemId), u"Boiler/Temp");
    CoTaskMemFree(itemId);
    IEnumString* paths = nullptr;
    EXPECT_EQ(browse->BrowseAccessPaths(OLESTR("Boiler/Temp"), &paths), E_NOTIMPL);

    // Another client starts at the root.
    ReleaseCounter otherReleased;
    IOPCServer* other = MakeClient(driver_->service(), &otherReleased);
    auto* otherBrowse =
        Query<IOPCBrowseServerAddressSpace>(other, IID_IOPCBrowseServerAddressSpace);
    EXPECT_EQ(otherBrowse->GetItemID(const_cast<LPWSTR>(OLESTR("Temp")), &itemId), E_INVALIDARG);
    otherBrowse->Release();
    other->Release();
    EXPECT_EQ(otherReleased.count, 1);
    browse->Release();
}

TEST_F(ClientTest, ItemPropertiesComeFromTheAddressSpace) {
    auto* properties = Query<IOPCItemProperties>(Server(), IID_IOPCItemProperties);
    ASSERT_NE(properties, nullptr);
    DWORD ids[] = {1, 5};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties->GetItemProperties(const_cast<LPWSTR>(OLESTR("Pump/Run")), 2, ids, &values,
                                            &errors),
              S_OK);
    EXPECT_EQ(values[0].vt, VT_I2);
    EXPECT_EQ(values[0].iVal, VT_BOOL);
    EXPECT_EQ(values[1].lVal, 3);
    for (int i = 0; i < 2; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    properties->Release();
}

TEST_F(ClientTest, DestroyWithTwoClientsWaitsForBoth) {
    daServer* firstClient = nullptr;
    IOPCServer* first = MakeClient(driver_->service(), &released_, 0, &firstClient);
    IOPCServer* second = MakeClient(driver_->service(), &released_);
    ASSERT_TRUE(first && second);
    auto* points = Query<IConnectionPointContainer>(first, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(points->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    ShutdownSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    point->Release();
    points->Release();

    opc::daService* service = driver_->ReleaseService();
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BUSY);
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BADF);
    // The clients are stopped and asked to go.
    ASSERT_TRUE(sink.WaitFor(1));
    IOPCGroupStateMgt* group = nullptr;
    EXPECT_EQ(first->AddGroup(OLESTR("G"), TRUE, 1000, 1, nullptr, nullptr, 0, nullptr, nullptr,
                              IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(&group)),
              E_UNEXPECTED);
    // New clients are refused while the service waits.
    opc::daServer* late = nullptr;
    EXPECT_EQ(opc::daClientCreate(service, &late, nullptr, nullptr, 0, &Vendor(), nullptr, nullptr),
              opc::daE_BADF);

    // The scheduler disconnecting a client holds it for a moment, and may release it last.
    first->Release();
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
    UINT formats[3];
    EXPECT_EQ(opc::daClipboardFormats(service, formats), 0);  // still there for the second
    second->Release();
    EXPECT_TRUE(Eventually([&] { return released_.count == 2; }));
    EXPECT_EQ(opc::daClipboardFormats(service, formats), opc::daE_BADF);
    EXPECT_TRUE(log_.Contains("going down"));
}

TEST_F(ClientTest, TerminateReleasesTheClient) {
    IOPCGroupStateMgt* group = nullptr;
    ASSERT_EQ(AddGroup(OLESTR("G"), 1000, &group), S_OK);
    group->Release();  // the server alone holds it now
    ASSERT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_TERMINATE, 0, nullptr),
              0);
    ASSERT_TRUE(Eventually([&] { return log_.Contains("Self terminating thr_async"); }));
    IOPCGroupStateMgt* another = nullptr;
    EXPECT_EQ(AddGroup(OLESTR("H"), 1000, &another), E_UNEXPECTED);
    // Changes are ignored once terminating.
    EXPECT_EQ(opc::daClientSetState(driver_->service(), client_, opc::daCS_OPERATE, 0, nullptr), 0);
    EXPECT_EQ(AddGroup(OLESTR("H"), 1000, &another), E_UNEXPECTED);
    EXPECT_EQ(released_.count, 0);
    server_->Release();
    server_ = nullptr;
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
    EXPECT_FALSE(log_.Contains("Still unreleased"));
}

TEST_F(ClientTest, SchedulerDropsRequestsItCannotServe) {
    Server();
    for (const unsigned word : {0x800u, opc::daRQ_READ | opc::daCK_CALLBACK}) {
        auto request = std::make_unique<opc::daRequest>();
        request->word = word;  // and no group: nothing made by a group looks like this
        request->clientNumber = client_->ClientNumber();
        DWORD id = 0;
        ASSERT_EQ(client_->Queue().Push(std::move(request), &id), S_OK);
        client_->WakeScheduler();
        char expected[40];
        std::snprintf(expected, sizeof expected, "BAD REQUEST %x / %x", word, unsigned(id));
        EXPECT_TRUE(Eventually([&] { return log_.Contains(expected); })) << expected;
    }
    EXPECT_TRUE(client_->Queue().Empty());
}

TEST_F(ClientTest, ClientGoneWithoutRemovingItsGroupsIsReleased) {
    IOPCGroupStateMgt* first = nullptr;
    IOPCGroupStateMgt* second = nullptr;
    ASSERT_EQ(AddGroup(OLESTR("A"), 1000, &first), S_OK);
    ASSERT_EQ(AddGroup(OLESTR("B"), 1000, &second), S_OK);
    first->Release();
    second->Release();
    server_->Release();
    server_ = nullptr;
    EXPECT_EQ(released_.count, 1);
    EXPECT_TRUE(log_.Contains("Still unreleased 2 groups"));
}

}  // namespace
