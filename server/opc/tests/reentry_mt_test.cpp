// Callbacks that call back: sinks doing synchronous device reads and writes, or releasing
// everything, from inside the server's callbacks, on the scheduler thread (in process) and from
// another thread while the callback waits (as an out-of-process client's nested call arrives);
// and requests accepted with S_OK that must complete, also on a group that RemoveGroup left
// alive or whose state changed before the request was served.

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client_fixture.h"
#include "group_test_support.h"

namespace {

using namespace opc_test;

// Waits for a nested call at most this long; without the fix it would wait for ever.
constexpr auto kNestedBound = std::chrono::seconds(10);

// Runs `call` on this thread or on another one while this one waits (bounded), as an RPC
// thread of the server would serve a nested call from an out-of-process sink. False when it
// did not come back in time.
bool RunNested(bool otherThread, const std::function<void()>& call) {
    if (!otherThread) {
        call();
        return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    return finished.wait_for(kNestedBound) == std::future_status::ready;
}

struct SyncResults {
    HRESULT read = E_UNEXPECTED;
    HRESULT write = E_UNEXPECTED;
    bool inTime = false;
};

// A synchronous device read and write of Setpoint through `group`.
SyncResults ReadAndWrite(IOPCItemMgt* group, OPCHANDLE setpoint, float value) {
    SyncResults results;
    ComPtr<IOPCSyncIO> io;
    if (FAILED(group->QueryInterface(IID_IOPCSyncIO, io.outVoid()))) return results;
    OPCHANDLE handle = setpoint;
    TaskArray<OPCITEMSTATE> states;
    TaskArray<HRESULT> readErrors;
    results.read = io->Read(OPC_DS_DEVICE, 1, &handle, states.out(), readErrors.out());
    if (SUCCEEDED(results.read)) VariantClear(&states[0].vDataValue);
    VARIANT written = *Variant::R4(value);
    TaskArray<HRESULT> writeErrors;
    results.write = io->Write(1, &handle, &written, writeErrors.out());
    return results;
}

// Calls `hook` with the kind of every IOPCDataCallback call, on the calling thread, before it
// counts the call.
class HookedSink : public IOPCDataCallback {
public:
    using Kind = CallbackCall::Kind;
    explicit HookedSink(std::function<void(Kind)> hook) : hook_(std::move(hook)) {}

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
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT error, DWORD count,
                                           OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) override {
        lastCount = count;
        lastError = error;
        return Called(CallbackCall::DataChange);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*, HRESULT*) override {
        return Called(CallbackCall::ReadComplete);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) override {
        return Called(CallbackCall::WriteComplete);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override {
        return Called(CallbackCall::CancelComplete);
    }

    int Calls(Kind kind) const { return calls_[kind]; }
    ULONG HeldByOthers() const { return references_ - 1; }
    std::atomic<DWORD> lastCount{0};
    std::atomic<HRESULT> lastError{S_OK};

private:
    HRESULT Called(Kind kind) {
        if (hook_) hook_(kind);
        ++calls_[kind];
        return S_OK;
    }
    std::function<void(Kind)> hook_;
    std::atomic<int> calls_[4] = {};
    std::atomic<ULONG> references_{1};
};

class Reentry : public ::testing::Test {
protected:
    Reentry() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Reentry() override { CoUninitialize(); }
    void TearDown() override { EXPECT_TRUE(released_.WaitAllEnded()); }

    static HRESULT Advise(IUnknown* group, IOPCDataCallback* sink) {
        ComPtr<IConnectionPointContainer> container;
        HRESULT result = group->QueryInterface(IID_IConnectionPointContainer, container.outVoid());
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(result))
            result = container->FindConnectionPoint(IID_IOPCDataCallback, point.out());
        DWORD cookie = 0;
        if (SUCCEEDED(result)) result = point->Advise(sink, &cookie);
        return result;
    }

    LogCapture log_;
    TestDriver driver_;
    ReleaseCounter released_;
};

TEST_F(Reentry, SinksReadAndWriteTheDeviceFromEveryCallback) {
    using Kind = CallbackCall::Kind;
    for (const bool multithreaded : {false, true}) {
        for (const Kind kind :
             {CallbackCall::DataChange, CallbackCall::ReadComplete, CallbackCall::WriteComplete}) {
            for (const bool otherThread : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "callback " << kind << " other thread " << otherThread
                             << " flag 0x20000 " << multithreaded);
                IOPCServer* server = MakeClient(driver_.service(), &released_,
                                                multithreaded ? opc::daCF_MULTITHREADED : 0);
                ASSERT_NE(server, nullptr);
                ComPtr<IOPCItemMgt> group;
                OPCHANDLE groupHandle = 0;
                DWORD revised = 0;
                ASSERT_EQ(server->AddGroup(nullptr, TRUE, 50, 7, nullptr, nullptr, 0, &groupHandle,
                                           &revised, IID_IOPCItemMgt,
                                           reinterpret_cast<LPUNKNOWN*>(group.out())),
                          S_OK);
                const auto handles = AddItems(group.get(), {"Setpoint", "Counter"});
                std::promise<SyncResults> results;
                std::atomic<bool> nested{false};
                HookedSink sink([&](Kind called) {
                    if (called != kind || nested.exchange(true)) return;
                    SyncResults got;
                    got.inTime = RunNested(otherThread, [&] {
                        const SyncResults done = ReadAndWrite(group.get(), handles[0], 42.5f);
                        got.read = done.read;
                        got.write = done.write;
                    });
                    results.set_value(got);
                });
                ASSERT_EQ(Advise(group.get(), &sink), S_OK);
                ASSERT_TRUE(Eventually([&] { return sink.Calls(CallbackCall::DataChange) > 0; }));
                ComPtr<IOPCAsyncIO2> async;
                ASSERT_EQ(group->QueryInterface(IID_IOPCAsyncIO2, async.outVoid()), S_OK);
                OPCHANDLE item = kind == CallbackCall::ReadComplete ? handles[1] : handles[0];
                DWORD cancelId = 0;
                TaskArray<HRESULT> errors;
                if (kind == CallbackCall::ReadComplete) {
                    ASSERT_EQ(async->Read(1, &item, 5, &cancelId, errors.out()), S_OK);
                } else if (kind == CallbackCall::WriteComplete) {
                    VARIANT value = *Variant::R4(7);
                    ASSERT_EQ(async->Write(1, &item, &value, 6, &cancelId, errors.out()), S_OK);
                }
                std::future<SyncResults> nestedResults = results.get_future();
                ASSERT_EQ(nestedResults.wait_for(kNestedBound), std::future_status::ready);
                const SyncResults got = nestedResults.get();
                EXPECT_TRUE(got.inTime) << "the nested call waited for the scheduler";
                EXPECT_TRUE(SUCCEEDED(got.read)) << std::hex << got.read;
                EXPECT_EQ(got.write, S_FALSE) << std::hex << got.write;  // OPC_S_CLAMP: cached
                ASSERT_FALSE(driver_.Writes().empty());
                EXPECT_DOUBLE_EQ(driver_.Writes().back().values[0].AsDouble(), 42.5);
                EXPECT_TRUE(Eventually([&] { return sink.Calls(kind) > 0; }));
                async.Reset();
                group.Reset();
                server->Release();
                ASSERT_TRUE(released_.WaitAllEnded());
                EXPECT_EQ(sink.HeldByOthers(), 0u);
            }
        }
    }
}

// A sink that does not come back holds up none of its client's synchronous I/O.
TEST_F(Reentry, ABlockedSinkStallsNoSynchronousIo) {
    IOPCServer* server = MakeClient(driver_.service(), &released_);
    ASSERT_NE(server, nullptr);
    ComPtr<IOPCItemMgt> group;
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    ASSERT_EQ(server->AddGroup(nullptr, TRUE, 50, 7, nullptr, nullptr, 0, &groupHandle, &revised,
                               IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(group.out())),
              S_OK);
    const auto handles = AddItems(group.get(), {"Setpoint"});
    platform::Event release{true, false};
    std::atomic<bool> blocked{false};
    HookedSink sink([&](CallbackCall::Kind) {
        if (blocked.exchange(true)) return;
        release.Wait(60000);
    });
    ASSERT_EQ(Advise(group.get(), &sink), S_OK);
    ASSERT_TRUE(Eventually([&] { return blocked.load(); }));
    const SyncResults got = ReadAndWrite(group.get(), handles[0], 3.0f);
    EXPECT_EQ(sink.Calls(CallbackCall::DataChange), 0) << "served while the sink still blocks";
    release.Set();
    EXPECT_TRUE(SUCCEEDED(got.read)) << std::hex << got.read;
    EXPECT_EQ(got.write, S_FALSE) << std::hex << got.write;
    // The sink and the event live on this stack: the callback ends first, then the client.
    EXPECT_TRUE(Eventually([&] { return sink.Calls(CallbackCall::DataChange) > 0; }));
    group.Reset();
    server->Release();
    EXPECT_TRUE(released_.WaitAllEnded());
}

// A client lets go of everything from inside a callback: the scheduler making the call must not
// be joined by the release (in process on its own thread, out of process from another thread).
TEST_F(Reentry, ClientReleasesEverythingFromInsideACallback) {
    for (const bool fromShutdown : {true, false}) {
        for (const bool otherThread : {false, true}) {
            SCOPED_TRACE(testing::Message() << (fromShutdown ? "ShutdownRequest" : "OnDataChange")
                                            << " other thread " << otherThread);
            opc::daServer* client = nullptr;
            IOPCServer* server = MakeClient(driver_.service(), &released_, 0, &client);
            ASSERT_NE(server, nullptr);
            IOPCItemMgt* group = nullptr;
            OPCHANDLE groupHandle = 0;
            DWORD revised = 0;
            ASSERT_EQ(
                server->AddGroup(nullptr, TRUE, 50, 7, nullptr, nullptr, 0, &groupHandle, &revised,
                                 IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&group)),
                S_OK);
            AddItems(group, {"Counter"});
            std::atomic<bool> gone{false};
            std::atomic<bool> inTime{false};
            auto releaseAll = [&] {
                if (gone.exchange(true)) return;
                inTime = RunNested(otherThread, [&] {
                    group->Release();
                    server->Release();
                });
            };
            HookedSink sink([&](CallbackCall::Kind) {
                if (!fromShutdown) releaseAll();
            });
            struct ReleasingShutdown : ShutdownSink {
                std::function<void()> onRequest;
                HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
                    onRequest();
                    return ShutdownSink::ShutdownRequest(reason);
                }
            } shutdown;
            shutdown.onRequest = releaseAll;
            if (fromShutdown) {
                ComPtr<IConnectionPointContainer> container;
                ASSERT_EQ(
                    server->QueryInterface(IID_IConnectionPointContainer, container.outVoid()),
                    S_OK);
                ComPtr<IConnectionPoint> point;
                ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.out()), S_OK);
                DWORD cookie = 0;
                ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(&shutdown), &cookie), S_OK);
                point.Reset();
                container.Reset();
                ASSERT_EQ(opc::daClientSetState(driver_.service(), client,
                                                opc::daCS_REQUEST_SHUTDOWN, 0, OLESTR("bye")),
                          0);
            } else {
                ASSERT_EQ(Advise(group, &sink), S_OK);
            }
            ASSERT_TRUE(released_.WaitAllEnded());
            EXPECT_TRUE(inTime) << "the release waited for the scheduler making the call";
            EXPECT_EQ(shutdown.HeldByOthers(), 0u);
            EXPECT_EQ(sink.HeldByOthers(), 0u);
        }
    }
}

TEST_F(Reentry, AGroupKeptByItsClientCompletesWhatItAccepts) {
    Client client(driver_.service());
    OPCHANDLE serverHandle = 0;
    auto group = client.AddGroup(u"kept", true, 1000, nullptr, 7, &serverHandle);
    const auto handles = AddItems(group.get(), {"Setpoint", "Counter"});
    ComPtr<DataCallback> sink(new DataCallback);
    ASSERT_EQ(Advise(group.get(), static_cast<IOPCDataCallback*>(sink.get())), S_OK);
    ASSERT_EQ(client.server()->RemoveGroup(serverHandle, FALSE), OPC_S_INUSE);

    ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(group->QueryInterface(IID_IOPCAsyncIO2, async.outVoid()), S_OK);
    OPCHANDLE items[2] = {handles[0], handles[1]};
    DWORD cancelId = 0;
    TaskArray<HRESULT> readErrors, writeErrors;
    ASSERT_EQ(async->Read(2, items, 11, &cancelId, readErrors.out()), S_OK);
    VARIANT value = *Variant::R4(5);
    ASSERT_EQ(async->Write(1, items, &value, 12, &cancelId, writeErrors.out()), S_OK);
    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 13, &cancelId), S_OK);
    auto completed = [&](CallbackCall::Kind kind, DWORD transaction) {
        return sink->WaitFor([&](const DataCallback::Calls& calls) {
            for (const CallbackCall& call : calls)
                if (call.kind == kind && call.transactionId == transaction) return true;
            return false;
        });
    };
    EXPECT_TRUE(completed(CallbackCall::ReadComplete, 11));
    EXPECT_TRUE(completed(CallbackCall::WriteComplete, 12));
    EXPECT_TRUE(completed(CallbackCall::DataChange, 13));
    const SyncResults sync = ReadAndWrite(group.get(), handles[0], 9.0f);
    EXPECT_TRUE(SUCCEEDED(sync.read)) << std::hex << sync.read;
    EXPECT_EQ(sync.write, S_FALSE) << std::hex << sync.write;
}

TEST_F(Reentry, RefreshWithNothingReadableIsRefused) {
    ASSERT_NE(driver_.AddPlain("WriteOnly", Variant::I4(0), OPC_WRITEABLE), 0u);
    Client client(driver_.service());
    auto group = client.AddGroup(u"wo", true, 1000);
    ASSERT_NE(AddItems(group.get(), {"WriteOnly"})[0], 0u);
    ComPtr<DataCallback> sink(new DataCallback);
    ASSERT_EQ(Advise(group.get(), static_cast<IOPCDataCallback*>(sink.get())), S_OK);
    ComPtr<AdviseSink> stream(new AdviseSink(driver_.service()));
    UINT formats[3] = {};
    ASSERT_EQ(opc::daClipboardFormats(driver_.service(), formats), 0);
    ComPtr<IDataObject> data;
    ASSERT_EQ(group->QueryInterface(IID_IDataObject, data.outVoid()), S_OK);
    FORMATETC format = StreamFormat(formats[1]);
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, stream.get(), &connection), S_OK);

    ComPtr<IOPCAsyncIO2> async2;
    ASSERT_EQ(group->QueryInterface(IID_IOPCAsyncIO2, async2.outVoid()), S_OK);
    DWORD id = 0;
    EXPECT_EQ(async2->Refresh2(OPC_DS_CACHE, 1, &id), E_FAIL);
    EXPECT_EQ(async2->Refresh2(OPC_DS_DEVICE, 1, &id), E_FAIL);
    ComPtr<IOPCAsyncIO> async1;
    ASSERT_EQ(group->QueryInterface(IID_IOPCAsyncIO, async1.outVoid()), S_OK);
    EXPECT_EQ(async1->Refresh(connection, OPC_DS_CACHE, &id), E_FAIL);
}

// A refresh queued while the scheduler is held in another group's callback; the group or its
// items change before it is served, and it still completes.
TEST_F(Reentry, AQueuedRefreshCompletesWhateverChangedMeanwhile) {
    enum Change { GroupInactive, ItemsInactive, ItemsRemoved, Nothing };
    for (const Change change : {GroupInactive, ItemsInactive, ItemsRemoved, Nothing}) {
        SCOPED_TRACE(testing::Message() << "change " << change);
        Client client(driver_.service());
        auto target = client.AddGroup(u"target", true, 1000);
        auto handles = AddItems(target.get(), {"Counter", "Setpoint"});
        ComPtr<DataCallback> sink(new DataCallback);
        ASSERT_EQ(Advise(target.get(), static_cast<IOPCDataCallback*>(sink.get())), S_OK);
        ASSERT_TRUE(sink->WaitForKind(CallbackCall::DataChange, 0, nullptr));
        auto blocker = client.AddGroup(u"blocker", true, 1000);
        AddItems(blocker.get(), {"Counter"});
        ComPtr<DataCallback> gate(new DataCallback);
        gate->CloseGate();
        ASSERT_EQ(Advise(blocker.get(), static_cast<IOPCDataCallback*>(gate.get())), S_OK);
        ASSERT_TRUE(gate->WaitEntered());

        ComPtr<IOPCAsyncIO2> async;
        ASSERT_EQ(target->QueryInterface(IID_IOPCAsyncIO2, async.outVoid()), S_OK);
        DWORD cancelId = 0;
        ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 21, &cancelId), S_OK);
        TaskArray<HRESULT> errors;
        if (change == GroupInactive) {
            ComPtr<IOPCGroupStateMgt> state;
            ASSERT_EQ(target->QueryInterface(IID_IOPCGroupStateMgt, state.outVoid()), S_OK);
            BOOL inactive = FALSE;
            DWORD revised = 0;
            EXPECT_EQ(
                state->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr),
                S_OK);
        } else if (change == ItemsInactive) {
            EXPECT_EQ(target->SetActiveState(2, handles.data(), FALSE, errors.out()), S_OK);
        } else if (change == ItemsRemoved) {
            EXPECT_EQ(target->RemoveItems(2, handles.data(), errors.out()), S_OK);
        }
        gate->OpenGate();
        CallbackCall refresh;
        ASSERT_TRUE(sink->WaitFor([&](const DataCallback::Calls& calls) {
            for (const CallbackCall& call : calls) {
                if (call.kind != CallbackCall::DataChange || call.transactionId != 21) continue;
                refresh = call;
                return true;
            }
            return false;
        }));
        if (change == Nothing) {
            EXPECT_EQ(refresh.items.size(), 2u);
            EXPECT_NE(refresh.masterError, E_FAIL);
        } else {
            EXPECT_TRUE(refresh.items.empty());
            EXPECT_EQ(refresh.masterError, E_FAIL);
        }
        EXPECT_EQ(async->Cancel2(cancelId), E_FAIL) << "already completed";
    }
}

}  // namespace
