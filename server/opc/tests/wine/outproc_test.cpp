// The service layer as a real COM local server under Wine: clients in other processes connect
// through the proxy/stub DLL, read, write, subscribe, browse and go away (also by being
// killed), and the command-line client tool does the same.

#include "platform/com.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../test_driver.h"
#include "dastream.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"
#include "platform/com_ptr.h"
#include "platform/process.h"
#include "platform/system.h"
#include "test_server_ids.h"
#include "testing/support.h"
#include "wine_support.h"

namespace {

using opc_test::Variant;
using testing_support::MsSince;
using namespace wine_test;

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

template <typename Interface>
using Ptr = platform::ComPtr<Interface>;

// What the server sent to one sink, kept for the test to wait on.
struct Delivery {
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    std::vector<OPCHANDLE> handles;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
};

// One sink for every kind of delivery: IOPCDataCallback and the IAdviseSink stream formats.
class Sink : public IOPCDataCallback, public IAdviseSink {
public:
    Sink()
        : dataTime_(RegisterClipboardFormatA(OPC_CLIPBOARD_FORMAT_DATATIME)),
          writeComplete_(RegisterClipboardFormatA(OPC_CLIPBOARD_FORMAT_WRITECOMPLETE)) {}
    virtual ~Sink() = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback)) {
            *result = static_cast<IOPCDataCallback*>(this);
        } else if (IsEqualIID(iid, IID_IAdviseSink)) {
            *result = static_cast<IAdviseSink*>(this);
        } else {
            *result = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // A call in flight keeps the sink alive after the test has let go of it.
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                              OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* times,
                              HRESULT* errors) override {
        Record(&changes, transaction, group, count, handles, values, qualities, times, errors);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                FILETIME* times, HRESULT* errors) override {
        Record(&reads, transaction, group, count, handles, values, qualities, times, errors);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT, DWORD count,
                                 OPCHANDLE* handles, HRESULT* errors) override {
        Delivery delivery;
        delivery.transaction = transaction;
        delivery.group = group;
        delivery.handles.assign(handles, handles + count);
        delivery.errors.assign(errors, errors + count);
        Add(&writes, std::move(delivery));
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD transaction, OPCHANDLE group) override {
        Delivery delivery;
        delivery.transaction = transaction;
        delivery.group = group;
        Add(&cancels, std::move(delivery));
        return S_OK;
    }

    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        if (format == nullptr || medium == nullptr || medium->tymed != TYMED_HGLOBAL) return;
        const void* bytes = GlobalLock(medium->hGlobal);
        if (bytes == nullptr) return;
        const size_t size = GlobalSize(medium->hGlobal);
        Delivery delivery;
        bool parsed = false;
        if (format->cfFormat == dataTime_) {
            opc::daStreamData data;
            parsed = SUCCEEDED(opc::daStreamParseData(bytes, size, true, &data));
            delivery.transaction = data.header.dwTransactionID;
            delivery.group = data.header.hClientGroup;
            for (const opc::daStreamItem& item : data.items) {
                delivery.handles.push_back(item.clientHandle);
                delivery.values.emplace_back(item.value);
                delivery.qualities.push_back(item.quality);
                delivery.times.push_back(item.timeStamp);
            }
        } else if (format->cfFormat == writeComplete_) {
            opc::daStreamWriteComplete data;
            parsed = SUCCEEDED(opc::daStreamParseWriteComplete(bytes, size, &data));
            delivery.transaction = data.header.dwTransactionID;
            delivery.group = data.header.hClientGroup;
            for (const OPCITEMHEADERWRITE& item : data.items) {
                delivery.handles.push_back(item.hClient);
                delivery.errors.push_back(item.dwError);
            }
        }
        GlobalUnlock(medium->hGlobal);
        if (!parsed) {
            ++badBlocks_;
            return;
        }
        Add(format->cfFormat == dataTime_ ? &streamed : &streamWrites, std::move(delivery));
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    using List = std::vector<Delivery>;
    // Waits (bounded) until `done` holds for the list; returns a copy of it.
    List WaitFor(const List Sink::*list, const std::function<bool(const List&)>& done,
                 DWORD timeoutMs = kLongWaitMs) {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                          [&] { return done(this->*list); });
        return this->*list;
    }
    List Get(const List Sink::*list) {
        std::lock_guard<std::mutex> hold(mutex_);
        return this->*list;
    }
    int badBlocks() const { return badBlocks_; }

    List changes, reads, writes, cancels, streamed, streamWrites;

private:
    void Record(List* list, DWORD transaction, OPCHANDLE group, DWORD count,
                const OPCHANDLE* handles, const VARIANT* values, const WORD* qualities,
                const FILETIME* times, const HRESULT* errors) {
        Delivery delivery;
        delivery.transaction = transaction;
        delivery.group = group;
        for (DWORD i = 0; i < count; ++i) {
            delivery.handles.push_back(handles[i]);
            delivery.values.emplace_back(values[i]);
            delivery.qualities.push_back(qualities[i]);
            delivery.times.push_back(times[i]);
            delivery.errors.push_back(errors[i]);
        }
        Add(list, std::move(delivery));
    }
    void Add(List* list, Delivery delivery) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            list->push_back(std::move(delivery));
        }
        changed_.notify_all();
    }

    const CLIPFORMAT dataTime_;
    const CLIPFORMAT writeComplete_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<int> badBlocks_{0};
    std::atomic<ULONG> references_{1};
};

// The test's reference to a new sink.
class SinkRef {
public:
    SinkRef() : sink_(new Sink) {}
    ~SinkRef() { sink_->Release(); }
    SinkRef(const SinkRef&) = delete;
    SinkRef& operator=(const SinkRef&) = delete;
    Sink* operator->() const { return sink_; }
    Sink* get() const { return sink_; }

private:
    Sink* sink_;
};

// The values one item received over a list of deliveries, in order.
std::vector<double> ValuesOf(const Sink::List& list, OPCHANDLE clientHandle) {
    std::vector<double> values;
    for (const Delivery& delivery : list)
        for (size_t i = 0; i < delivery.handles.size(); ++i)
            if (delivery.handles[i] == clientHandle)
                values.push_back(delivery.values[i].AsDouble());
    return values;
}

// A strictly rising run of at least `count` values: the updater's changes, each seen once.
bool RisesAtLeast(const std::vector<double>& values, size_t count) {
    size_t run = values.empty() ? 0 : 1;
    for (size_t i = 1; i < values.size(); ++i)
        run = values[i] > values[i - 1] ? run + 1 : 1;
    return run >= count;
}

struct ItemDef {
    const wchar_t* id;
    VARTYPE requested = VT_EMPTY;
};

// One group of a client with its items (client handle = position).
struct Group {
    Ptr<IOPCItemMgt> items;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
    HRESULT added = E_FAIL;
    std::vector<OPCHANDLE> serverHandles;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;

    template <typename Interface>
    HRESULT Query(REFIID iid, Ptr<Interface>* result) {
        return items->QueryInterface(iid, result->outVoid());
    }
};

HRESULT AddGroup(IOPCServer* server, DWORD rate, bool active, Group* group, OPCHANDLE client = 7) {
    return server->AddGroup(L"", active, rate, client, nullptr, nullptr, 0, &group->handle,
                            &group->revisedRate, IID_IOPCItemMgt, group->items.outUnknown());
}

HRESULT AddItems(Group* group, const std::vector<ItemDef>& defs) {
    std::vector<OPCITEMDEF> definitions(defs.size());
    for (size_t i = 0; i < defs.size(); ++i) {
        definitions[i] = OPCITEMDEF{};
        definitions[i].szAccessPath = const_cast<LPWSTR>(L"");
        definitions[i].szItemID = const_cast<LPWSTR>(defs[i].id);
        definitions[i].bActive = TRUE;
        definitions[i].hClient = OPCHANDLE(i);
        definitions[i].vtRequestedDataType = defs[i].requested;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    group->added =
        group->items->AddItems(DWORD(defs.size()), definitions.data(), &results, &errors);
    if (FAILED(group->added)) return group->added;
    for (size_t i = 0; i < defs.size(); ++i) {
        group->results.push_back(results[i]);
        group->errors.push_back(errors[i]);
        group->serverHandles.push_back(results[i].hServer);
        CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return group->added;
}

struct ReadResult {
    HRESULT result = E_FAIL;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
};

ReadResult SyncRead(Group& group, OPCDATASOURCE source, std::vector<OPCHANDLE> handles) {
    ReadResult read;
    Ptr<IOPCSyncIO> io;
    read.result = group.Query(IID_IOPCSyncIO, &io);
    if (FAILED(read.result)) return read;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    read.result = io->Read(source, DWORD(handles.size()), handles.data(), &states, &errors);
    if (FAILED(read.result)) return read;
    for (size_t i = 0; i < handles.size(); ++i) {
        read.values.emplace_back(states[i].vDataValue);
        read.qualities.push_back(states[i].wQuality);
        read.times.push_back(states[i].ftTimeStamp);
        read.errors.push_back(errors[i]);
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return read;
}

// Reads from the cache until every item is good (the updater has stepped once); bounded.
ReadResult ReadWhenGood(Group& group, std::vector<OPCHANDLE> handles) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        ReadResult read = SyncRead(group, OPC_DS_CACHE, handles);
        const bool good = SUCCEEDED(read.result) &&
                          std::all_of(read.qualities.begin(), read.qualities.end(),
                                      [](WORD q) { return (q & OPC_QUALITY_MASK) == 0xC0; });
        if (good || MsSince(start) > kLongWaitMs) return read;
        Sleep(50);
    }
}

HRESULT Advise(Group& group, IOPCDataCallback* sink, Ptr<IConnectionPoint>* point, DWORD* cookie) {
    Ptr<IConnectionPointContainer> container;
    HRESULT result = group.Query(IID_IConnectionPointContainer, &container);
    if (SUCCEEDED(result))
        result = container->FindConnectionPoint(IID_IOPCDataCallback, point->out());
    if (SUCCEEDED(result)) result = (*point)->Advise(sink, cookie);
    return result;
}

HRESULT StreamAdvise(Group& group, const char* format, IAdviseSink* sink, Ptr<IDataObject>* data,
                     DWORD* connection) {
    HRESULT result = group.Query(IID_IDataObject, data);
    FORMATETC wanted{CLIPFORMAT(RegisterClipboardFormatA(format)), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
    if (SUCCEEDED(result)) result = (*data)->DAdvise(&wanted, 0, sink, connection);
    return result;
}

FILETIME Now() {
    return opc_test::TestDriver::Now();
}

uint64_t Ticks(const FILETIME& time) {
    return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Within a minute of now: stamped by the running server, not left at zero.
bool Recent(const FILETIME& time) {
    const uint64_t now = Ticks(Now());
    const uint64_t minute = 600000000ULL;
    return Ticks(time) + minute > now && Ticks(time) < now + minute;
}

// Takes a string the server handed out (the caller frees it); "<null>" for none.
std::wstring Taken(LPWSTR text) {
    if (text == nullptr) return L"<null>";
    std::wstring copy = text;
    CoTaskMemFree(text);
    return copy;
}

std::wstring ServerProgram() {
    return WinePath(KARVEX_TEST_SERVER);
}
std::wstring ToolProgram() {
    return WinePath(KARVEX_OPCCLIENT);
}

HRESULT Connect(const CLSID& classId, Ptr<IOPCServer>* server) {
    return CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            server->outVoid());
}

class OutOfProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() { proxy_ = std::make_unique<ProxyRegistration>(); }
    static void TearDownTestSuite() { proxy_.reset(); }

    // Every test registers a class of its own: a server that died without revoking its class
    // object stays registered with Wine's COM service, so a class is never used twice.
    void SetUp() override {
        ASSERT_EQ(CoCreateGuid(&classId_), S_OK);
        wchar_t text[40] = {};
        ASSERT_EQ(StringFromGUID2(classId_, text, 40), 39);
        classText_ = text;
        wchar_t suffix[16];
        swprintf(suffix, 16, L"%08lX", static_cast<unsigned long>(classId_.Data1));
        progId_ = std::wstring(L"Karvex.OPCTest.T") + suffix;
        const Finished registered = RunProgram(
            ServerProgram(),
            {L"/r", L"--clsid", classText_, L"--progid", progId_, L"--dir", Wide(dir_.path())},
            dir_.path());
        ASSERT_EQ(registered.code, 0) << registered.out << registered.err;
        registered_ = true;
    }

    // Every test leaves no server behind: it must end by itself after its last client unless
    // the test says it cannot (a killed client stays attached), then it is told to stop.
    void TearDown() override {
        if (HANDLE process = OpenServerProcess(); process != nullptr) {
            if (serverMustEnd_) {
                EXPECT_EQ(WaitForSingleObject(process, kLongWaitMs), WAIT_OBJECT_0)
                    << "the server did not end after its last client";
            } else {
                std::fclose(std::fopen(dir_.File(opc_test::kStopFile).c_str(), "w"));
                EXPECT_EQ(WaitForSingleObject(process, kLongWaitMs), WAIT_OBJECT_0)
                    << "the server did not stop when told to";
            }
            if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 10000);
            }
            CloseHandle(process);
        }
        if (HasFailure()) {
            PrintLog(testing_support::ReadFile(dir_.File(opc_test::kLogFile)));
        }
        if (registered_)
            RunProgram(ServerProgram(), {L"/u", L"--clsid", classText_, L"--progid", progId_},
                       dir_.path());
    }

    // The server's log without the lines that repeat for ever (calls to a killed client).
    static void PrintLog(const std::string& log) {
        std::string kept;
        for (const std::string& line : Lines(log))
            if (line.find("OnDataChange2") == std::string::npos &&
                line.find("RPC server unavailable") == std::string::npos)
                kept += line + '\n';
        std::printf("--- server log (last part) ---\n%s\n",
                    kept.substr(kept.size() > 12000 ? kept.size() - 12000 : 0).c_str());
    }

    // The server process of the last start, or null when it is gone.
    HANDLE OpenServerProcess() {
        const std::string pid = testing_support::ReadFile(dir_.File(opc_test::kPidFile));
        if (pid.empty()) return nullptr;
        return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, DWORD(std::stoul(pid)));
    }

    HRESULT Connect(Ptr<IOPCServer>* server) { return ::Connect(classId_, server); }

    Finished Tool(const std::vector<std::wstring>& arguments) {
        std::vector<std::wstring> all{L"--progid", progId_, L"--timeout", L"60000"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return RunProgram(ToolProgram(), all, dir_.path());
    }

    testing_support::TempDir dir_;
    CLSID classId_{};
    std::wstring classText_;
    std::wstring progId_;
    bool registered_ = false;
    bool serverMustEnd_ = true;

private:
    static std::unique_ptr<ProxyRegistration> proxy_;
};

std::unique_ptr<ProxyRegistration> OutOfProcess::proxy_;

TEST_F(OutOfProcess, ServesStatusAndEndsWhenItsLastClientGoes) {
    Ptr<IOPCServer> first, second;
    ASSERT_EQ(Connect(&first), S_OK);
    HANDLE process = OpenServerProcess();
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(Connect(&second), S_OK);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(second->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->wMajorVersion, 1);
    EXPECT_EQ(status->wMinorVersion, 2);
    EXPECT_EQ(status->wBuildNumber, 3);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Karvex OPC test server");
    EXPECT_TRUE(Recent(status->ftStartTime));
    EXPECT_LE(Ticks(status->ftStartTime), Ticks(status->ftCurrentTime));
    EXPECT_EQ(status->dwGroupCount, 0u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    // One process serves both; it stays while either holds it.
    first.Reset();
    EXPECT_EQ(WaitForSingleObject(process, 500), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(second->GetStatus(&status), S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    second.Reset();
    EXPECT_EQ(WaitForSingleObject(process, kLongWaitMs), WAIT_OBJECT_0);
    CloseHandle(process);
}

TEST_F(OutOfProcess, AddsItemsAndReadsFromCacheAndDevice) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    ASSERT_EQ(AddGroup(server.get(), 0, true, &group), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(group.revisedRate, 50u);
    ASSERT_EQ(AddItems(&group, {{L"Boiler/Temp"},
                                {L"Counter", VT_R8},
                                {L"Name"},
                                {L"No/Such"},
                                {L"Pump/Run", VT_BSTR}}),
              S_FALSE);
    EXPECT_EQ(group.errors[0], S_OK);
    EXPECT_EQ(group.results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(group.results[0].dwAccessRights, DWORD(OPC_READABLE));
    EXPECT_EQ(group.results[1].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(group.results[2].vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(group.results[2].dwAccessRights, DWORD(OPC_READABLE | OPC_WRITEABLE));
    EXPECT_EQ(group.errors[3], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(group.errors[4], S_OK);

    const std::vector<OPCHANDLE> handles{group.serverHandles[0], group.serverHandles[1],
                                         group.serverHandles[2], group.serverHandles[4]};
    const ReadResult cache = ReadWhenGood(group, handles);
    ASSERT_EQ(cache.result, S_OK);
    EXPECT_EQ(cache.values[0].vt(), VT_R4);
    EXPECT_GE(cache.values[0].AsDouble(), 20.0);
    EXPECT_EQ(cache.values[1].vt(), VT_R8);  // as requested, not canonical
    EXPECT_GE(cache.values[1].AsDouble(), 1.0);
    ASSERT_EQ(cache.values[2].vt(), VT_BSTR);
    EXPECT_EQ(std::wstring((*cache.values[2]).bstrVal).rfind(L"step ", 0), 0u);
    EXPECT_EQ(cache.values[3].vt(), VT_BSTR);
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(cache.qualities[i], OPC_QUALITY_GOOD) << i;
        EXPECT_EQ(cache.errors[i], S_OK) << i;
        EXPECT_TRUE(Recent(cache.times[i])) << i;
    }

    const ReadResult device = SyncRead(group, OPC_DS_DEVICE, handles);
    ASSERT_EQ(device.result, S_OK);
    EXPECT_EQ(device.values[1].vt(), VT_R8);
    EXPECT_GE(device.values[1].AsDouble(), cache.values[1].AsDouble());
    EXPECT_EQ(device.qualities[0], OPC_QUALITY_GOOD);

    EXPECT_EQ(SyncRead(group, OPCDATASOURCE(3), handles).result, E_INVALIDARG);
}

TEST_F(OutOfProcess, WritesThroughSyncAsyncAndDa1Interfaces) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    ASSERT_EQ(AddGroup(server.get(), 1000, true, &group), S_OK);
    ASSERT_EQ(AddItems(&group, {{L"Setpoint"}, {L"Counter"}}), S_OK);
    const OPCHANDLE setpoint = group.serverHandles[0];

    Ptr<IOPCSyncIO> sync;
    ASSERT_EQ(group.Query(IID_IOPCSyncIO, &sync), S_OK);
    {
        OPCHANDLE handles[2] = {setpoint, group.serverHandles[1]};
        VARIANT values[2] = {*Variant::R8(42.5), *Variant::I4(1)};
        HRESULT* errors = nullptr;
        ASSERT_EQ(sync->Write(2, handles, values, &errors), S_FALSE);
        EXPECT_EQ(errors[0], OPC_S_CLAMP);  // taken into the cache by the service
        EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
        CoTaskMemFree(errors);
    }
    // The written value carries its write's result until the next update replaces it.
    ReadResult read = SyncRead(group, OPC_DS_CACHE, {setpoint});
    ASSERT_EQ(read.result, S_FALSE);
    EXPECT_EQ(read.errors[0], OPC_S_CLAMP);
    EXPECT_EQ(read.values[0].vt(), VT_R4);
    EXPECT_EQ(read.values[0].AsDouble(), 42.5);
    EXPECT_EQ(read.qualities[0], OPC_QUALITY_LOCAL_OVERRIDE);

    // DA 2.0: completion through IOPCDataCallback.
    SinkRef sink;
    Ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(Advise(group, sink.get(), &point, &cookie), S_OK);
    Ptr<IOPCAsyncIO2> async2;
    ASSERT_EQ(group.Query(IID_IOPCAsyncIO2, &async2), S_OK);
    {
        VARIANT value = *Variant::R4(43.5f);
        DWORD cancelId = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(
            async2->Write(1, const_cast<OPCHANDLE*>(&setpoint), &value, 77, &cancelId, &errors),
            S_OK);
        EXPECT_EQ(errors[0], S_OK);
        CoTaskMemFree(errors);
    }
    const Sink::List writes =
        sink->WaitFor(&Sink::writes, [](const Sink::List& l) { return !l.empty(); });
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].transaction, 77u);
    EXPECT_EQ(writes[0].group, 7u);
    ASSERT_EQ(writes[0].handles.size(), 1u);
    EXPECT_EQ(writes[0].handles[0], 0u);
    EXPECT_EQ(writes[0].errors[0], OPC_S_CLAMP);
    EXPECT_EQ(SyncRead(group, OPC_DS_CACHE, {setpoint}).values[0].AsDouble(), 43.5);

    // DA 1.0: completion as an OPCSTMFORMATWRITECOMPLETE block to the IAdviseSink.
    Ptr<IDataObject> data;
    DWORD connection = 0;
    ASSERT_EQ(
        StreamAdvise(group, OPC_CLIPBOARD_FORMAT_WRITECOMPLETE, sink.get(), &data, &connection),
        S_OK);
    Ptr<IOPCAsyncIO> async1;
    ASSERT_EQ(group.Query(IID_IOPCAsyncIO, &async1), S_OK);
    {
        VARIANT value = *Variant::R8(44.5);
        DWORD transaction = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(async1->Write(connection, 1, const_cast<OPCHANDLE*>(&setpoint), &value,
                                &transaction, &errors),
                  S_OK);
        EXPECT_EQ(errors[0], S_OK);
        CoTaskMemFree(errors);
        const Sink::List blocks =
            sink->WaitFor(&Sink::streamWrites, [](const Sink::List& l) { return !l.empty(); });
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].transaction, transaction);
        EXPECT_EQ(blocks[0].group, 7u);
        ASSERT_EQ(blocks[0].handles.size(), 1u);
        EXPECT_EQ(blocks[0].handles[0], 0u);
        EXPECT_EQ(blocks[0].errors[0], OPC_S_CLAMP);
    }
    EXPECT_EQ(SyncRead(group, OPC_DS_CACHE, {setpoint}).values[0].AsDouble(), 44.5);
    EXPECT_EQ(sink->badBlocks(), 0);
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(OutOfProcess, ReportsTheServerUpdatersChangesThroughTheCallback) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    ASSERT_EQ(AddGroup(server.get(), 100, true, &group), S_OK);
    SinkRef sink;
    Ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(Advise(group, sink.get(), &point, &cookie), S_OK);
    ASSERT_EQ(AddItems(&group, {{L"Counter"}}), S_OK);

    const Sink::List changes = sink->WaitFor(
        &Sink::changes, [](const Sink::List& l) { return RisesAtLeast(ValuesOf(l, 0), 3); });
    EXPECT_TRUE(RisesAtLeast(ValuesOf(changes, 0), 3)) << ValuesOf(changes, 0).size();
    ASSERT_FALSE(changes.empty());
    const Delivery& last = changes.back();
    EXPECT_EQ(last.transaction, 0u);
    EXPECT_EQ(last.group, 7u);
    EXPECT_EQ(last.qualities[0], OPC_QUALITY_GOOD);
    EXPECT_EQ(last.values[0].vt(), VT_I4);
    EXPECT_TRUE(Recent(last.times[0]));
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(OutOfProcess, DeliversTheDataTimeStream) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    ASSERT_EQ(AddGroup(server.get(), 100, true, &group, 9), S_OK);
    ASSERT_EQ(AddItems(&group, {{L"Counter"}, {L"Name"}}), S_OK);
    SinkRef sink;
    Ptr<IDataObject> data;
    DWORD connection = 0;
    ASSERT_EQ(StreamAdvise(group, OPC_CLIPBOARD_FORMAT_DATATIME, sink.get(), &data, &connection),
              S_OK);

    const Sink::List blocks = sink->WaitFor(
        &Sink::streamed, [](const Sink::List& l) { return RisesAtLeast(ValuesOf(l, 0), 3); });
    EXPECT_TRUE(RisesAtLeast(ValuesOf(blocks, 0), 3)) << ValuesOf(blocks, 0).size();
    EXPECT_EQ(sink->badBlocks(), 0);
    ASSERT_FALSE(blocks.empty());
    const Delivery& last = blocks.back();
    EXPECT_EQ(last.group, 9u);
    ASSERT_EQ(last.handles.size(), 2u);  // both items change at every step
    EXPECT_EQ(last.values[0].vt(), VT_I4);
    ASSERT_EQ(last.values[1].vt(), VT_BSTR);
    EXPECT_EQ(std::wstring((*last.values[1]).bstrVal),
              L"step " + std::to_wstring(long(last.values[0].AsDouble())));
    EXPECT_EQ(last.qualities[1], OPC_QUALITY_GOOD);
    EXPECT_TRUE(Recent(last.times[0]));
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
}

TEST_F(OutOfProcess, BrowsesTheAddressSpaceAndReadsProperties) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Ptr<IOPCBrowseServerAddressSpace> space;
    ASSERT_EQ(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, space.outVoid()), S_OK);
    OPCNAMESPACETYPE organisation = OPC_NS_FLAT;
    ASSERT_EQ(space->QueryOrganization(&organisation), S_OK);
    EXPECT_EQ(organisation, OPC_NS_HIERARCHIAL);

    auto browse = [&](OPCBROWSETYPE type, const wchar_t* filter) {
        std::vector<std::string> names;
        Ptr<IEnumString> strings;
        if (FAILED(space->BrowseOPCItemIDs(type, filter, VT_EMPTY, 0, strings.out())) ||
            strings.get() == nullptr)
            return names;
        LPOLESTR batch[16];
        ULONG fetched = 0;
        while (SUCCEEDED(strings->Next(16, batch, &fetched)) && fetched > 0) {
            for (ULONG i = 0; i < fetched; ++i) {
                names.push_back(Narrow(batch[i]));
                CoTaskMemFree(batch[i]);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(browse(OPC_BRANCH, L""), (Names{"Boiler", "Pump"}));
    EXPECT_EQ(browse(OPC_LEAF, L""), (Names{"Counter", "Name", "Setpoint"}));
    EXPECT_EQ(browse(OPC_FLAT, L"B*"), (Names{"Boiler/Pressure", "Boiler/Temp"}));
    // The full item ID of a name at the current position: a leaf or a branch.
    auto itemId = [&](const wchar_t* name, HRESULT expected) {
        std::wstring copy = name;
        LPWSTR id = reinterpret_cast<LPWSTR>(1);  // must come back as a string or null
        EXPECT_EQ(space->GetItemID(copy.data(), &id), expected) << Narrow(name);
        return Taken(id);
    };
    EXPECT_EQ(itemId(L"Counter", S_OK), L"Counter");
    EXPECT_EQ(itemId(L"Boiler", S_OK), L"Boiler");
    EXPECT_EQ(itemId(L"Temp", E_INVALIDARG), L"<null>");
    ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Boiler"), S_OK);
    EXPECT_EQ(browse(OPC_LEAF, L"T?m*"), (Names{"Temp"}));
    EXPECT_EQ(browse(OPC_BRANCH, L""), Names{});
    EXPECT_EQ(itemId(L"Temp", S_OK), L"Boiler/Temp");
    EXPECT_EQ(itemId(L"Nowhere", E_INVALIDARG), L"<null>");
    EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Nowhere"), E_INVALIDARG);
    EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);

    Ptr<IOPCItemProperties> properties;
    ASSERT_EQ(server->QueryInterface(IID_IOPCItemProperties, properties.outVoid()), S_OK);
    wchar_t temp[] = L"Boiler/Temp";
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(properties->QueryAvailableProperties(temp, &count, &ids, &descriptions, &types),
              S_OK);
    ASSERT_EQ(count, 8u);
    const wchar_t* const kDescriptions[] = {
        L"Item Canonical DataType", L"Item Value",       L"Item Quality", L"Item Timestamp",
        L"Item Access Rights",      L"Server Scan Rate", L"Item EU Type", L"Item EU Info"};
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(ids[i], i + 1);
        EXPECT_EQ(Taken(descriptions[i]), kDescriptions[i]) << i;
    }
    EXPECT_EQ(types[1], VT_R4);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);

    DWORD wanted[] = {1, 5, 7, 8, 999};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties->GetItemProperties(temp, 5, wanted, &values, &errors), S_FALSE);
    EXPECT_EQ(values[0].vt, VT_I2);
    EXPECT_EQ(values[0].iVal, VT_R4);
    EXPECT_EQ(values[1].lVal, OPC_READABLE);
    EXPECT_EQ(values[2].lVal, OPC_ANALOG);
    ASSERT_EQ(values[3].vt, VT_ARRAY | VT_R8);
    double* range = nullptr;
    ASSERT_EQ(SafeArrayAccessData(values[3].parray, reinterpret_cast<void**>(&range)), S_OK);
    EXPECT_EQ(range[0], 0.0);
    EXPECT_EQ(range[1], 150.0);
    SafeArrayUnaccessData(values[3].parray);
    EXPECT_EQ(errors[4], OPC_E_INVALID_PID);
    for (int i = 0; i < 5; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // The standard properties have no item IDs: every slot null with its error, also beside
    // unknown IDs and the one the test server's driver answers.
    struct Lookup {
        std::vector<DWORD> ids;
        std::vector<std::wstring> newIds;
        std::vector<HRESULT> errors;
    };
    const std::wstring vendorId(
        opc_test::kVendorPropertyItemId,
        opc_test::kVendorPropertyItemId + strlen(opc_test::kVendorPropertyItemId));
    const Lookup lookups[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8},
         std::vector<std::wstring>(8, L"<null>"),
         std::vector<HRESULT>(8, OPC_E_INVALID_PID)},
        {{999, 2, opc_test::kVendorPropertyId, 0},
         {L"<null>", L"<null>", vendorId, L"<null>"},
         {OPC_E_INVALID_PID, OPC_E_INVALID_PID, S_OK, OPC_E_INVALID_PID}},
    };
    for (const Lookup& lookup : lookups) {
        std::vector<DWORD> asked = lookup.ids;
        LPWSTR* newIds = nullptr;
        HRESULT* idErrors = nullptr;
        ASSERT_EQ(
            properties->LookupItemIDs(temp, DWORD(asked.size()), asked.data(), &newIds, &idErrors),
            S_FALSE);
        ASSERT_NE(newIds, nullptr);
        ASSERT_NE(idErrors, nullptr);
        for (size_t i = 0; i < asked.size(); ++i) {
            EXPECT_EQ(Taken(newIds[i]), lookup.newIds[i]) << asked[i];
            EXPECT_EQ(idErrors[i], lookup.errors[i]) << asked[i];
        }
        CoTaskMemFree(newIds);
        CoTaskMemFree(idErrors);
    }
}

// Every top-level string result crosses the proxy with its text: the error texts of both
// interfaces and a group's name.
TEST_F(OutOfProcess, ReturnsErrorTextsAndTheGroupName) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Ptr<IOPCCommon> common;
    ASSERT_EQ(server->QueryInterface(IID_IOPCCommon, common.outVoid()), S_OK);
    struct Text {
        HRESULT code;
        const wchar_t* text;
    };
    const Text texts[] = {
        {OPC_E_INVALIDHANDLE,
         L"The value of the handle is invalid. /OPC_E_INVALIDHANDLE =0xC0040001(-1073479679)"},
        {OPC_S_UNSUPPORTEDRATE,
         L"The server does not support the requested data rate but will use the closest "
         L"available rate. /OPC_S_UNSUPPORTEDRATE =0x4000D(262157)"},
        {S_OK, L"The operation successed. /S_OK =0x0(0)"},
    };
    for (const Text& text : texts) {
        LPWSTR fromServer = nullptr;
        EXPECT_EQ(server->GetErrorString(text.code, 0, &fromServer), S_OK);
        EXPECT_EQ(Taken(fromServer), text.text);
        LPWSTR fromCommon = nullptr;
        EXPECT_EQ(common->GetErrorString(text.code, &fromCommon), S_OK);
        EXPECT_EQ(Taken(fromCommon), text.text);
    }
    // A code of no table: the system's text, or "<UNKNOWN ERROR>", and the code.
    LPWSTR other = nullptr;
    EXPECT_EQ(server->GetErrorString(HRESULT(0x8004FF42), 0, &other), S_OK);
    const std::wstring otherText = Taken(other);
    const std::wstring suffix = L" =0x8004FF42(-2147156158)";
    ASSERT_GT(otherText.size(), suffix.size()) << Narrow(otherText);
    EXPECT_EQ(otherText.substr(otherText.size() - suffix.size()), suffix);

    Group named;
    DWORD rate = 0;
    ASSERT_EQ(server->AddGroup(L"Boiler \x0433\x0440\x0443\x043F\x043F\x0430", FALSE, 500, 11,
                               nullptr, nullptr, 0, &named.handle, &rate, IID_IOPCItemMgt,
                               named.items.outUnknown()),
              S_OK);
    Group generated;
    ASSERT_EQ(AddGroup(server.get(), 1000, true, &generated), S_OK);
    // The name, active flag and server handle of a group, as GetState reports them.
    auto stateOf = [](Group& group, BOOL* active, OPCHANDLE* serverHandle) {
        Ptr<IOPCGroupStateMgt> state;
        if (FAILED(group.Query(IID_IOPCGroupStateMgt, &state))) return std::wstring(L"<none>");
        DWORD updateRate = 0, locale = 0;
        LPWSTR name = reinterpret_cast<LPWSTR>(1);
        LONG bias = 0;
        FLOAT deadband = 0;
        OPCHANDLE client = 0;
        const HRESULT got = state->GetState(&updateRate, active, &name, &bias, &deadband, &locale,
                                            &client, serverHandle);
        return SUCCEEDED(got) ? Taken(name) : L"<failed>";
    };
    BOOL active = TRUE;
    OPCHANDLE serverHandle = 0;
    EXPECT_EQ(stateOf(named, &active, &serverHandle),
              L"Boiler \x0433\x0440\x0443\x043F\x043F\x0430");
    EXPECT_EQ(active, FALSE);
    EXPECT_EQ(serverHandle, named.handle);
    const std::wstring generatedName = stateOf(generated, &active, &serverHandle);
    EXPECT_EQ(generatedName.rfind(L"G-", 0), 0u) << Narrow(generatedName);
    EXPECT_GT(generatedName.size(), 2u);
    EXPECT_EQ(active, TRUE);
    EXPECT_EQ(serverHandle, generated.handle);
}

TEST_F(OutOfProcess, RefreshesAndCancelsThroughAsyncIO2) {
    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    // A slow rate, so that the refresh is the only delivery with its transaction id.
    ASSERT_EQ(AddGroup(server.get(), 60000, true, &group), S_OK);
    ASSERT_EQ(AddItems(&group, {{L"Counter"}, {L"Boiler/Temp"}}), S_OK);
    SinkRef sink;
    Ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(Advise(group, sink.get(), &point, &cookie), S_OK);
    Ptr<IOPCAsyncIO2> io;
    ASSERT_EQ(group.Query(IID_IOPCAsyncIO2, &io), S_OK);

    DWORD cancelId = 0;
    ASSERT_EQ(io->Refresh2(OPC_DS_CACHE, 5, &cancelId), S_OK);
    const Sink::List refreshed = sink->WaitFor(&Sink::changes, [](const Sink::List& l) {
        return std::any_of(l.begin(), l.end(),
                           [](const Delivery& d) { return d.transaction == 5; });
    });
    const auto refresh = std::find_if(refreshed.begin(), refreshed.end(),
                                      [](const Delivery& d) { return d.transaction == 5; });
    ASSERT_NE(refresh, refreshed.end());
    EXPECT_EQ(refresh->handles.size(), 2u);  // a refresh sends every active item
    EXPECT_EQ(io->Cancel2(cancelId + 1000), E_FAIL);

    // A read cancelled while queued completes as a cancel, one that ran first as a read:
    // exactly one completion either way, and the one Cancel2 announced.
    std::vector<OPCHANDLE> handles = group.serverHandles;
    DWORD readIds[3] = {};
    for (DWORD i = 0; i < 3; ++i) {
        HRESULT* errors = nullptr;
        ASSERT_EQ(io->Read(DWORD(handles.size()), handles.data(), 20 + i, &readIds[i], &errors),
                  S_OK);
        CoTaskMemFree(errors);
    }
    const HRESULT cancelled = io->Cancel2(readIds[2]);
    ASSERT_TRUE(cancelled == S_OK || cancelled == E_FAIL) << std::hex << cancelled;
    auto has = [](const Sink::List& list, DWORD transaction) {
        return std::any_of(list.begin(), list.end(),
                           [&](const Delivery& d) { return d.transaction == transaction; });
    };
    sink->WaitFor(&Sink::reads, [&](const Sink::List& l) { return has(l, 20) && has(l, 21); });
    sink->WaitFor(cancelled == S_OK ? &Sink::cancels : &Sink::reads,
                  [&](const Sink::List& l) { return has(l, 22); });
    EXPECT_TRUE(has(sink->Get(&Sink::reads), 20));
    EXPECT_TRUE(has(sink->Get(&Sink::reads), 21));
    EXPECT_EQ(has(sink->Get(&Sink::cancels), 22), cancelled == S_OK);
    EXPECT_EQ(has(sink->Get(&Sink::reads), 22), cancelled == E_FAIL);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

// A second client in another process: subscribes, says so in a file, then waits to be killed.
KARVEX_TEST_CHILD(subscriber) {
    if (args.size() != 2 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    CLSID classId{};
    if (FAILED(CLSIDFromString(Wide(args[1]).c_str(), &classId))) return 2;
    Ptr<IOPCServer> server;
    if (FAILED(::Connect(classId, &server))) return 3;
    Group group;
    SinkRef sink;
    Ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (FAILED(AddGroup(server.get(), 100, true, &group)) ||
        FAILED(Advise(group, sink.get(), &point, &cookie)) ||
        FAILED(AddItems(&group, {{L"Counter"}})))
        return 4;
    if (sink->WaitFor(&Sink::changes, [](const Sink::List& l) { return !l.empty(); }).empty())
        return 5;
    std::FILE* ready = std::fopen(args[0].c_str(), "w");
    if (ready == nullptr) return 6;
    std::fclose(ready);
    Sleep(120000);  // killed long before
    return 0;
}

TEST_F(OutOfProcess, AKilledClientDoesNotStopTheServerServingAnother) {
    serverMustEnd_ = false;  // the killed client's objects stay until COM gives up on them
    const std::string ready = dir_.File("subscriber.ready");
    platform::ChildProcess child;
    ASSERT_EQ(child.Start(platform::ModulePath(),
                          {"--karvex-child", "subscriber", ready, Narrow(classText_)}),
              0u);
    const auto start = std::chrono::steady_clock::now();
    while (GetFileAttributesA(ready.c_str()) == INVALID_FILE_ATTRIBUTES && MsSince(start) < 60000) {
        int code = 0;
        ASSERT_NE(child.Wait(100, &code), 0u) << "the subscriber ended early: " << code;
    }
    ASSERT_NE(GetFileAttributesA(ready.c_str()), INVALID_FILE_ATTRIBUTES);

    Ptr<IOPCServer> server;
    ASSERT_EQ(Connect(&server), S_OK);
    Group group;
    ASSERT_EQ(AddGroup(server.get(), 100, true, &group), S_OK);
    SinkRef sink;
    Ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(Advise(group, sink.get(), &point, &cookie), S_OK);
    ASSERT_EQ(AddItems(&group, {{L"Counter"}}), S_OK);
    sink->WaitFor(&Sink::changes, [](const Sink::List& l) { return !l.empty(); });

    child.Kill();
    int code = 0;
    ASSERT_EQ(child.Wait(kLongWaitMs, &code), 0u);
    const size_t before = sink->Get(&Sink::changes).size();
    const Sink::List after =
        sink->WaitFor(&Sink::changes, [&](const Sink::List& l) { return l.size() >= before + 3; });
    EXPECT_GE(after.size(), before + 3) << "OnDataChange stopped after the other client died";
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

// --- the client tool against the test server ---

class ClientTool : public OutOfProcess {
protected:
    // A client of the test's own keeps one server for all the tool's runs and waits until the
    // updater has published, so the tool sees good values.
    void SetUp() override {
        OutOfProcess::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Connect(&holder_), S_OK);
        ASSERT_EQ(AddGroup(holder_.get(), 1000, true, &group_), S_OK);
        ASSERT_EQ(AddItems(&group_, {{L"Counter"}}), S_OK);
        const ReadResult read = ReadWhenGood(group_, group_.serverHandles);
        ASSERT_EQ(read.result, S_OK);
        ASSERT_EQ(read.qualities[0], OPC_QUALITY_GOOD);
    }
    void TearDown() override {
        group_.items.Reset();
        holder_.Reset();
        OutOfProcess::TearDown();
    }

    // The fields of the output line that starts with `first`, or none.
    static std::vector<std::string> LineOf(const Finished& run, const std::string& first) {
        for (const std::string& line : Lines(run.out)) {
            std::vector<std::string> fields = Fields(line);
            if (fields[0] == first) return fields;
        }
        return {};
    }
    // One field of that line, "" when there is no such line or field.
    static std::string FieldOf(const Finished& run, const std::string& first, size_t index) {
        const std::vector<std::string> fields = LineOf(run, first);
        return index < fields.size() ? fields[index] : std::string();
    }

    Ptr<IOPCServer> holder_;
    Group group_;
};

TEST_F(ClientTool, ShowsStatusBrowsesAndListsProperties) {
    const Finished status = Tool({L"status"});
    ASSERT_EQ(status.code, 0) << status.err;
    EXPECT_EQ(LineOf(status, "state"), (std::vector<std::string>{"state", "running"}));
    EXPECT_EQ(LineOf(status, "version"), (std::vector<std::string>{"version", "1.2.3"}));
    EXPECT_EQ(LineOf(status, "vendor"),
              (std::vector<std::string>{"vendor", "Karvex OPC test server"}));

    const Finished tree = Tool({L"browse"});
    ASSERT_EQ(tree.code, 0) << tree.err;
    std::vector<std::string> names = Lines(tree.out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Boiler/Pressure", "Boiler/Temp", "Counter", "Name",
                                               "Pump/Run", "Setpoint"}));
    const Finished flat = Tool({L"browse", L"--flat", L"*/?e*"});
    ASSERT_EQ(flat.code, 0) << flat.err;
    EXPECT_EQ(Lines(flat.out), std::vector<std::string>{"Boiler/Temp"});

    const Finished properties = Tool({L"props", L"Boiler/Temp"});
    ASSERT_EQ(properties.code, 0) << properties.err;
    EXPECT_EQ(LineOf(properties, "1"),
              (std::vector<std::string>{"1", "Item Canonical DataType", "4", "I2"}));
    EXPECT_EQ(LineOf(properties, "8"),
              (std::vector<std::string>{"8", "Item EU Info", "[0,150]", "R8[]"}));

    const Finished unknown =
        RunProgram(ToolProgram(), {L"--progid", L"Karvex.NoSuchServer.1", L"status"}, dir_.path());
    EXPECT_EQ(unknown.code, 1);
    EXPECT_NE(unknown.err.find("no OPC server class \"Karvex.NoSuchServer.1\""), std::string::npos)
        << unknown.err;
    const Finished noCommand = Tool({});
    EXPECT_EQ(noCommand.code, 2);
    EXPECT_NE(noCommand.err.find("no command"), std::string::npos) << noCommand.err;
    const Finished help = RunProgram(ToolProgram(), {L"--help"}, dir_.path());
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: opcclient"), std::string::npos);
}

TEST_F(ClientTool, ReadsAndWritesSyncAndAsync) {
    const Finished read = Tool({L"read", L"Counter", L"No/Such", L"Boiler/Temp"});
    EXPECT_EQ(read.code, 1) << read.err;  // one item failed
    const std::vector<std::string> counter = LineOf(read, "Counter");
    ASSERT_EQ(counter.size(), 5u) << read.out;
    EXPECT_GE(std::stol(counter[1]), 1);
    EXPECT_EQ(counter[2], "I4");
    EXPECT_EQ(counter[3], "0xC0 good");
    EXPECT_EQ(counter[4].size(), 24u);  // 2026-12-10T01:40:00.123Z
    EXPECT_EQ(counter[4].back(), 'Z');
    const std::vector<std::string> missing = LineOf(read, "No/Such");
    ASSERT_EQ(missing.size(), 3u) << read.out;
    EXPECT_EQ(missing[1], "ERROR");
    EXPECT_NE(missing[2].find("0xC0040007"), std::string::npos);
    EXPECT_NE(missing[2].find("OPC_E_UNKNOWNITEMID"), std::string::npos);
    // The server's own text, through GetErrorString.
    EXPECT_NE(missing[2].find("The item is no longer available in the server address space "
                              "/OPC_E_UNKNOWNITEMID =0xC0040007(-1073479673)"),
              std::string::npos)
        << missing[2];

    const Finished written = Tool({L"write", L"Setpoint=12.5", L"Name=hello there"});
    ASSERT_EQ(written.code, 0) << written.out << written.err;
    EXPECT_NE(FieldOf(written, "Setpoint", 1).find("0x0004000E"), std::string::npos) << written.out;
    EXPECT_NE(FieldOf(written, "Name", 1).find("0x0004000E"), std::string::npos) << written.out;
    Finished after = Tool({L"read", L"Setpoint"});
    ASSERT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(FieldOf(after, "Setpoint", 1), "12.5");
    EXPECT_EQ(FieldOf(after, "Setpoint", 3), "0xD8 good/local override");

    const Finished async = Tool({L"write", L"--async", L"Setpoint=13.25"});
    ASSERT_EQ(async.code, 0) << async.out << async.err;
    EXPECT_NE(FieldOf(async, "Setpoint", 1).find("OPC_S_CLAMP"), std::string::npos) << async.out;
    after = Tool({L"read", L"--device", L"Setpoint"});
    ASSERT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(FieldOf(after, "Setpoint", 1), "13.25");

    const Finished refused = Tool({L"write", L"Counter=5", L"Setpoint=warm"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(FieldOf(refused, "Counter", 1), "ERROR") << refused.out;
    EXPECT_NE(FieldOf(refused, "Counter", 2).find("OPC_E_BADRIGHTS"), std::string::npos)
        << refused.out;
    EXPECT_NE(FieldOf(refused, "Setpoint", 2).find("is not a R4 value"), std::string::npos)
        << refused.out;
}

TEST_F(ClientTool, WatchesThroughTheCallbackAndTheStream) {
    for (const bool stream : {false, true}) {
        std::vector<std::wstring> arguments{L"watch", L"--rate", L"100", L"--seconds", L"3"};
        if (stream) arguments.push_back(L"--stream");
        arguments.push_back(L"Counter");
        const Finished watched = Tool(arguments);
        ASSERT_EQ(watched.code, 0) << watched.err;
        std::vector<double> values;
        for (const std::string& line : Lines(watched.out)) {
            const std::vector<std::string> fields = Fields(line);
            ASSERT_EQ(fields.size(), 5u) << line;
            EXPECT_EQ(fields[0], "Counter");
            EXPECT_EQ(fields[3], "0xC0 good");
            values.push_back(std::stod(fields[1]));
        }
        EXPECT_TRUE(RisesAtLeast(values, 2)) << (stream ? "stream: " : "callback: ") << watched.out;
    }
}

}  // namespace
