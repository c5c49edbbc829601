// Out of process under Wine: sinks that call the server back from inside its callbacks (a
// synchronous device read and write from OnDataChange, OnReadComplete and OnWriteComplete) and
// a client that lets go of everything from inside ShutdownRequest, while a second client is
// served throughout. Every call has a bound; a deadlock shows as a call that does not return.

#include "platform/com.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../test_driver.h"
#include "opccomn.h"
#include "opcda.h"
#include "platform/com_ptr.h"
#include "test_server_ids.h"
#include "testing/support.h"
#include "wine_support.h"

namespace {

using opc_test::Variant;
using namespace wine_test;
template <typename Interface>
using Ptr = platform::ComPtr<Interface>;

constexpr DWORD kNestedBoundMs = 15000;

enum Kind { DataChange, ReadComplete, WriteComplete, Shutdown, kKinds };

// IOPCDataCallback and IOPCShutdown; `hook` runs with the kind of each call, on the RPC thread
// that carries it, before the call is counted.
class Sink final : public IOPCDataCallback, public IOPCShutdown {
public:
    std::function<void(Kind)> hook;

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback)) {
            *result = static_cast<IOPCDataCallback*>(this);
        } else if (IsEqualIID(iid, IID_IOPCShutdown)) {
            *result = static_cast<IOPCShutdown*>(this);
        } else {
            *result = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                              WORD*, FILETIME*, HRESULT*) override {
        return Called(DataChange);
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                WORD*, FILETIME*, HRESULT*) override {
        return Called(ReadComplete);
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return Called(WriteComplete);
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return Called(Shutdown); }

    int Calls(Kind kind) const { return calls_[kind]; }
    bool WaitFor(Kind kind, DWORD timeoutMs = kLongWaitMs) const {
        const auto start = std::chrono::steady_clock::now();
        while (calls_[kind] == 0) {
            if (testing_support::MsSince(start) > timeoutMs) return false;
            Sleep(20);
        }
        return true;
    }

private:
    HRESULT Called(Kind kind) {
        if (hook) hook(kind);
        ++calls_[kind];
        return S_OK;
    }
    std::atomic<int> calls_[kKinds] = {};
    std::atomic<ULONG> references_{1};
};

// What a nested call returned and how long it took.
struct Nested {
    std::atomic<bool> done{false};
    HRESULT read = E_UNEXPECTED;
    HRESULT write = E_UNEXPECTED;
    int64_t ms = -1;
};

void ReadAndWrite(IOPCSyncIO* io, OPCHANDLE item, float value, Nested* out) {
    const auto start = std::chrono::steady_clock::now();
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    out->read = io->Read(OPC_DS_DEVICE, 1, &item, &states, &errors);
    if (SUCCEEDED(out->read)) {
        VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    VARIANT written = *Variant::R4(value);
    errors = nullptr;
    out->write = io->Write(1, &item, &written, &errors);
    if (SUCCEEDED(out->write)) CoTaskMemFree(errors);
    out->ms = testing_support::MsSince(start);
    out->done = true;
}

bool WaitDone(const Nested& nested) {
    const auto start = std::chrono::steady_clock::now();
    while (!nested.done) {
        if (testing_support::MsSince(start) > kNestedBoundMs) return false;
        Sleep(20);
    }
    return true;
}

HRESULT AddGroup(IOPCServer* server, Ptr<IOPCItemMgt>* group, OPCHANDLE* handle) {
    DWORD revised = 0;
    return server->AddGroup(L"", TRUE, 100, 7, nullptr, nullptr, 0, handle, &revised,
                            IID_IOPCItemMgt, group->outUnknown());
}

// Server handles of the items, in order; 0 for one that failed.
std::vector<OPCHANDLE> AddItems(IOPCItemMgt* group, const std::vector<const wchar_t*>& ids) {
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        definitions[i] = OPCITEMDEF{};
        definitions[i].szAccessPath = const_cast<LPWSTR>(L"");
        definitions[i].szItemID = const_cast<LPWSTR>(ids[i]);
        definitions[i].bActive = TRUE;
        definitions[i].hClient = OPCHANDLE(i + 1);
    }
    std::vector<OPCHANDLE> handles(ids.size(), 0);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (FAILED(group->AddItems(DWORD(ids.size()), definitions.data(), &results, &errors)))
        return handles;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (SUCCEEDED(errors[i])) handles[i] = results[i].hServer;
        CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return handles;
}

HRESULT Advise(IUnknown* object, REFIID iid, IUnknown* sink) {
    Ptr<IConnectionPointContainer> container;
    HRESULT result = object->QueryInterface(IID_IConnectionPointContainer, container.outVoid());
    Ptr<IConnectionPoint> point;
    if (SUCCEEDED(result)) result = container->FindConnectionPoint(iid, point.out());
    DWORD cookie = 0;
    if (SUCCEEDED(result)) result = point->Advise(sink, &cookie);
    return result;
}

// A second client, served throughout: status and cache reads on a thread of its own; the
// longest call and every failure are kept.
class Bystander {
public:
    explicit Bystander(IOPCServer* server) : server_(server) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Bystander() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int64_t longestMs() const { return longest_; }
    int failures() const { return failures_; }
    int calls() const { return calls_; }

private:
    void Run() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!stop_) {
            const auto start = std::chrono::steady_clock::now();
            OPCSERVERSTATUS* status = nullptr;
            if (SUCCEEDED(server_->GetStatus(&status))) {
                CoTaskMemFree(status->szVendorInfo);
                CoTaskMemFree(status);
            } else {
                ++failures_;
            }
            const int64_t took = testing_support::MsSince(start);
            if (took > longest_) longest_ = took;
            ++calls_;
            Sleep(50);
        }
        CoUninitialize();
    }
    IOPCServer* server_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> longest_{0};
    std::atomic<int> failures_{0};
    std::atomic<int> calls_{0};
};

class Reentry : public ::testing::Test {
protected:
    static void SetUpTestSuite() { proxy_ = std::make_unique<ProxyRegistration>(); }
    static void TearDownTestSuite() { proxy_.reset(); }

    // A class of its own per test (a server that died unrevoked stays registered with Wine).
    void SetUp() override {
        ASSERT_EQ(CoCreateGuid(&classId_), S_OK);
        wchar_t text[40] = {};
        ASSERT_EQ(StringFromGUID2(classId_, text, 40), 39);
        classText_ = text;
        wchar_t suffix[16];
        swprintf(suffix, 16, L"%08lX", static_cast<unsigned long>(classId_.Data1));
        progId_ = std::wstring(L"Karvex.OPCReentry.T") + suffix;
        const Finished registered = RunProgram(
            WinePath(KARVEX_TEST_SERVER),
            {L"/r", L"--clsid", classText_, L"--progid", progId_, L"--dir", Wide(dir_.path())},
            dir_.path());
        ASSERT_EQ(registered.code, 0) << registered.out << registered.err;
        registered_ = true;
    }

    // The server must end by itself after its last client: every client object was released.
    void TearDown() override {
        if (HANDLE process = ServerProcess(); process != nullptr) {
            EXPECT_EQ(WaitForSingleObject(process, kLongWaitMs), WAIT_OBJECT_0)
                << "the server did not end after its last client";
            if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 10000);
            }
            CloseHandle(process);
        }
        if (HasFailure()) {
            const std::string log = testing_support::ReadFile(dir_.File(opc_test::kLogFile));
            std::printf("--- server log (last part) ---\n%s\n",
                        log.substr(log.size() > 12000 ? log.size() - 12000 : 0).c_str());
        }
        if (registered_)
            RunProgram(WinePath(KARVEX_TEST_SERVER),
                       {L"/u", L"--clsid", classText_, L"--progid", progId_}, dir_.path());
    }

    HANDLE ServerProcess() {
        const std::string pid = testing_support::ReadFile(dir_.File(opc_test::kPidFile));
        if (pid.empty()) return nullptr;
        return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, DWORD(std::stoul(pid)));
    }
    HRESULT Connect(Ptr<IOPCServer>* server) {
        return CoCreateInstance(classId_, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                server->outVoid());
    }

    testing_support::TempDir dir_;
    CLSID classId_{};
    std::wstring classText_;
    std::wstring progId_;
    bool registered_ = false;

private:
    static std::unique_ptr<ProxyRegistration> proxy_;
};

std::unique_ptr<ProxyRegistration> Reentry::proxy_;

TEST_F(Reentry, SinksReadAndWriteTheDeviceFromInsideTheirCallbacks) {
    Ptr<IOPCServer> server, other;
    ASSERT_EQ(Connect(&server), S_OK);
    ASSERT_EQ(Connect(&other), S_OK);
    Bystander bystander(other.get());
    Ptr<IOPCItemMgt> group;
    OPCHANDLE groupHandle = 0;
    ASSERT_EQ(AddGroup(server.get(), &group, &groupHandle), S_OK);
    const std::vector<OPCHANDLE> items = AddItems(group.get(), {L"Setpoint", L"Counter"});
    ASSERT_NE(items[0], 0u);
    Ptr<IOPCSyncIO> io;
    ASSERT_EQ(group->QueryInterface(IID_IOPCSyncIO, io.outVoid()), S_OK);

    Nested nested[kKinds];
    auto* sink = new Sink;
    sink->hook = [&](Kind kind) {
        if (kind == Shutdown || sink->Calls(kind) != 0) return;
        ReadAndWrite(io.get(), items[0], 10.0f + float(int(kind)), &nested[kind]);
    };
    ASSERT_EQ(Advise(group.get(), IID_IOPCDataCallback, static_cast<IOPCDataCallback*>(sink)),
              S_OK);
    ASSERT_TRUE(WaitDone(nested[DataChange])) << "a nested call from OnDataChange deadlocked";

    Ptr<IOPCAsyncIO2> async;
    ASSERT_EQ(group->QueryInterface(IID_IOPCAsyncIO2, async.outVoid()), S_OK);
    OPCHANDLE counter = items[1], setpoint = items[0];
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(async->Read(1, &counter, 1, &cancelId, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(WaitDone(nested[ReadComplete])) << "a nested call from OnReadComplete deadlocked";
    VARIANT value = *Variant::R4(1);
    errors = nullptr;
    ASSERT_EQ(async->Write(1, &setpoint, &value, 2, &cancelId, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(WaitDone(nested[WriteComplete])) << "a nested call from OnWriteComplete deadlocked";

    for (Kind kind : {DataChange, ReadComplete, WriteComplete}) {
        SCOPED_TRACE(kind);
        EXPECT_TRUE(SUCCEEDED(nested[kind].read)) << std::hex << nested[kind].read;
        EXPECT_EQ(nested[kind].write, S_FALSE) << std::hex << nested[kind].write;  // cached
        EXPECT_TRUE(sink->WaitFor(kind)) << "the callback itself came back";
    }
    // The last nested write is in the cache, read back by a plain call.
    OPCITEMSTATE* states = nullptr;
    errors = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, &setpoint, &states, &errors), S_FALSE);
    EXPECT_DOUBLE_EQ(Variant(states[0].vDataValue).AsDouble(), 10.0 + int(WriteComplete));
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    bystander.Stop();
    EXPECT_EQ(bystander.failures(), 0);
    EXPECT_GT(bystander.calls(), 0);
    EXPECT_LT(bystander.longestMs(), int64_t(kNestedBoundMs));
    // The hook stays: a late callback finds its kind already served and touches nothing.
    async.Reset();
    io.Reset();
    group.Reset();
    server.Reset();
    other.Reset();
    sink->Release();
}

TEST_F(Reentry, AClientReleasesEverythingFromInsideShutdownRequest) {
    Ptr<IOPCServer> other;
    ASSERT_EQ(Connect(&other), S_OK);
    Bystander bystander(other.get());
    IOPCServer* server = nullptr;
    ASSERT_EQ(CoCreateInstance(classId_, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(&server)),
              S_OK);
    Ptr<IOPCItemMgt> group;
    OPCHANDLE groupHandle = 0;
    ASSERT_EQ(AddGroup(server, &group, &groupHandle), S_OK);
    ASSERT_NE(AddItems(group.get(), {L"Counter"})[0], 0u);
    IOPCItemMgt* groupRef = group.get();
    groupRef->AddRef();
    group.Reset();

    auto* sink = new Sink;
    std::atomic<int64_t> releaseMs{-1};
    // Once, as OPC clients are told to: let go of the server from inside the request.
    sink->hook = [&](Kind kind) {
        if (kind != Shutdown || releaseMs >= 0) return;
        const auto start = std::chrono::steady_clock::now();
        groupRef->Release();
        server->Release();
        releaseMs = testing_support::MsSince(start);
    };
    ASSERT_EQ(Advise(groupRef, IID_IOPCDataCallback, static_cast<IOPCDataCallback*>(sink)), S_OK);
    ASSERT_EQ(Advise(server, IID_IOPCShutdown, static_cast<IOPCShutdown*>(sink)), S_OK);
    ASSERT_TRUE(sink->WaitFor(DataChange));
    std::fclose(std::fopen(dir_.File(opc_test::kShutdownFile).c_str(), "w"));
    ASSERT_TRUE(sink->WaitFor(Shutdown)) << "ShutdownRequest did not come back";
    EXPECT_GE(releaseMs.load(), 0);
    EXPECT_LT(releaseMs.load(), int64_t(kNestedBoundMs));

    // The other client is still served, and once it goes the server ends (TearDown): the first
    // client's objects are all gone.
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(other->GetStatus(&status), S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    bystander.Stop();
    EXPECT_EQ(bystander.failures(), 0);
    EXPECT_LT(bystander.longestMs(), int64_t(kNestedBoundMs));
    other.Reset();
    sink->Release();
}

}  // namespace
