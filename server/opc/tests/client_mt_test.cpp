// The server object under concurrent use: releases while the scheduler delivers, calls racing
// termination and service shutdown, and the queued paths of multithreaded clients.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client_fixture.h"
#include "opcconst.h"

namespace {

using namespace opc_test;

// Counts data changes.
class DataSink : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IOPCDataCallback) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IOPCDataCallback*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) override {
        if (count > 0 && ++changes == 1 && onFirstChange) onFirstChange();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    ULONG HeldByOthers() const { return references_ - 1; }
    std::atomic<int> changes{0};
    std::function<void()> onFirstChange;  // set before advising

private:
    std::atomic<ULONG> references_{1};
};

// An active group of every standard tag, advised to `sink`.
IOPCItemMgt* AddDeliveringGroup(IOPCServer* server, DataSink* sink, OPCHANDLE* handle) {
    IOPCItemMgt* items = nullptr;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 50, 1, nullptr, nullptr, 0, handle, &revised,
                               IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items)),
              S_OK);
    if (!items) return nullptr;
    std::vector<std::basic_string<WCHAR>> names;
    for (const char* tag : {TestDriver::kTemp, TestDriver::kPressure, TestDriver::kRun,
                            TestDriver::kCounter, TestDriver::kName}) {
        names.emplace_back(tag, tag + std::char_traits<char>::length(tag));
    }
    std::vector<OPCITEMDEF> definitions(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        definitions[i] = OPCITEMDEF{};
        definitions[i].szItemID = names[i].data();
        definitions[i].bActive = TRUE;
        definitions[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(items->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results,
                              &errors),
              S_OK);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    auto* points = Query<IConnectionPointContainer>(items, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(points->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
    point->Release();
    points->Release();
    return items;
}

class ClientConcurrencyTest : public ::testing::Test {
protected:
    // As the server's main thread: clients call in from the multithreaded apartment.
    ClientConcurrencyTest() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ClientConcurrencyTest() override { CoUninitialize(); }
    void TearDown() override { EXPECT_TRUE(released_.WaitAllEnded()); }

    LogCapture log_;
    TestDriver driver_;
    ReleaseCounter released_;
};

TEST_F(ClientConcurrencyTest, ReleasedWhileItsSchedulerDelivers) {
    driver_.StartUpdater(5);
    for (int round = 0; round < 3; ++round) {
        IOPCServer* server = MakeClient(driver_.service(), &released_);
        ASSERT_NE(server, nullptr);
        DataSink sink;
        OPCHANDLE handle = 0;
        IOPCItemMgt* group = AddDeliveringGroup(server, &sink, &handle);
        ASSERT_NE(group, nullptr);
        ASSERT_TRUE(Eventually([&] { return sink.changes >= 2; })) << round;
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(server->GetStatus(&status), S_OK);
        EXPECT_NE(status->ftLastUpdateTime.dwHighDateTime, 0u) << "deliveries are noted";
        EXPECT_LE(status->dwBandWidth, 100u);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        // Gone without RemoveGroup, in either order.
        if (round % 2 == 0) {
            group->Release();
            server->Release();
        } else {
            server->Release();
            group->Release();
        }
        ASSERT_TRUE(Eventually([&] { return released_.count == round + 1; })) << round;
        EXPECT_EQ(sink.HeldByOthers(), 0u) << round;
    }
    driver_.StopUpdater();
}

TEST_F(ClientConcurrencyTest, CallsRacingTerminationEndCleanly) {
    opc::daServer* client = nullptr;
    IOPCServer* server = MakeClient(driver_.service(), &released_, 0, &client);
    ASSERT_NE(server, nullptr);
    std::atomic<HRESULT> unexpected{S_OK};  // the first result out of place
    std::atomic<int> refused{0};
    auto worker = [&] {
        for (int i = 0; i < 2000 && refused < 20; ++i) {
            IUnknown* group = nullptr;
            OPCHANDLE handle = 0;
            DWORD revised = 0;
            // With a time bias given, no thread asks the C library for the zone (whose
            // internal lock the thread checker cannot see).
            LONG bias = 0;
            const HRESULT added =
                server->AddGroup(nullptr, TRUE, 100, 1, &bias, nullptr, 0, &handle, &revised,
                                 IID_IOPCGroupStateMgt, &group);
            if (added == E_UNEXPECTED) {
                ++refused;
                continue;
            }
            if (added != S_OK) unexpected = added;
            if (group) group->Release();
            const HRESULT removed = server->RemoveGroup(handle, FALSE);
            if (removed != S_OK && removed != E_UNEXPECTED) unexpected = removed;
            OPCSERVERSTATUS* status = nullptr;
            if (SUCCEEDED(server->GetStatus(&status))) {
                CoTaskMemFree(status->szVendorInfo);
                CoTaskMemFree(status);
            }
        }
    };
    std::thread first(worker);
    std::thread second(worker);
    platform::SleepMs(20);
    EXPECT_EQ(opc::daClientSetState(driver_.service(), client, opc::daCS_TERMINATE, 0, nullptr), 0);
    first.join();
    second.join();
    EXPECT_EQ(unexpected, S_OK);
    ASSERT_TRUE(Eventually([&] { return log_.Contains("Self terminating thr_async"); }));
    server->Release();
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
}

TEST_F(ClientConcurrencyTest, ServiceShutdownWithBusyClients) {
    auto driver = std::make_unique<TestDriver>();
    driver->StartUpdater(5);
    IOPCServer* servers[2] = {};
    DataSink sinks[2];
    IOPCItemMgt* groups[2] = {};
    for (int i = 0; i < 2; ++i) {
        servers[i] = MakeClient(driver->service(), &released_);
        ASSERT_NE(servers[i], nullptr);
        OPCHANDLE handle = 0;
        groups[i] = AddDeliveringGroup(servers[i], &sinks[i], &handle);
        ASSERT_NE(groups[i], nullptr);
    }
    ASSERT_TRUE(Eventually([&] { return sinks[0].changes >= 1 && sinks[1].changes >= 1; }));
    driver->StopUpdater();
    opc::daService* service = driver->ReleaseService();
    EXPECT_EQ(opc::daServiceDestroy(service), opc::daE_BUSY);
    std::vector<std::thread> releasers;
    for (int i = 0; i < 2; ++i) {
        releasers.emplace_back([&, i] {
            groups[i]->Release();
            servers[i]->Release();
        });
    }
    for (std::thread& releaser : releasers)
        releaser.join();
    ASSERT_TRUE(Eventually([&] { return released_.count == 2; }));
    UINT formats[3];
    EXPECT_EQ(opc::daClipboardFormats(service, formats), opc::daE_BADF);
}

TEST_F(ClientConcurrencyTest, MultithreadedClientAdvisesAndRemovesOnTheCallersThread) {
    driver_.StartUpdater(5);
    IOPCServer* server = MakeClient(driver_.service(), &released_, opc::daCF_MULTITHREADED);
    ASSERT_NE(server, nullptr);
    DataSink sink;
    OPCHANDLE handle = 0;
    IOPCItemMgt* group = AddDeliveringGroup(server, &sink, &handle);
    ASSERT_NE(group, nullptr);
    ASSERT_TRUE(Eventually([&] { return sink.changes >= 1; }));
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_E_INVALIDHANDLE);
    group->Release();
    server->Release();
    // A delivery in flight may hold the group a little longer.
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
    EXPECT_EQ(sink.HeldByOthers(), 0u);
    driver_.StopUpdater();
}

TEST_F(ClientConcurrencyTest, MultithreadedClientRemovesAGroupFromItsCallback) {
    driver_.StartUpdater(5);
    IOPCServer* server = MakeClient(driver_.service(), &released_, opc::daCF_MULTITHREADED);
    ASSERT_NE(server, nullptr);
    DataSink sink;
    OPCHANDLE handle = 0;
    constexpr HRESULT kNotYet = 0x7FFFFFFF;
    std::atomic<HRESULT> removed{kNotYet};
    // On the scheduler thread, inside its callback.
    sink.onFirstChange = [&] { removed = server->RemoveGroup(handle, FALSE); };
    IOPCItemMgt* group = AddDeliveringGroup(server, &sink, &handle);
    ASSERT_NE(group, nullptr);
    ASSERT_TRUE(Eventually([&] { return removed != kNotYet; }));
    EXPECT_EQ(removed, OPC_S_INUSE);
    group->Release();
    server->Release();
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
    driver_.StopUpdater();
}

TEST_F(ClientConcurrencyTest, EnumeratorsReleasedWhileTheClientIsDisconnected) {
    IOPCServer* server = MakeClient(driver_.service(), &released_);
    ASSERT_NE(server, nullptr);
    constexpr int kEnumerators = 200;
    std::vector<IUnknown*> enumerators;
    for (int i = 0; i < kEnumerators; ++i) {
        IUnknown* enumerator = nullptr;
        ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &enumerator), S_OK);
        enumerators.push_back(enumerator);
    }
    // The client's final releases race the scheduler's walk over the open enumerators.
    std::thread releaser([&] {
        for (IUnknown* enumerator : enumerators)
            enumerator->Release();
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(
            opc::daClientSetState(driver_.service(), nullptr, opc::daCS_DISCONNECT, 0, nullptr), 0);
        std::this_thread::yield();
    }
    releaser.join();
    server->Release();
    EXPECT_TRUE(Eventually([&] { return released_.count == 1; }));
}

}  // namespace
