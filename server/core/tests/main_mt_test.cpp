// The server's life in-process: registration from the command line, start-up and shutdown
// with and without clients, LockServer, and the channel threads by type letter.

#include "core/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "../../opc/tests/group_test_support.h"
#include "captured_log.h"
#include "config/scf_file.h"
#include "config_builders.h"
#include "core/runtime.h"
#include "log_lines.h"
#include "opc/daregister.h"
#include "opcda.h"
#include "platform/clock.h"
#include "platform/com_ptr.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "testing/support.h"

namespace {

namespace reg = platform::reg;
using Lines = std::vector<std::string>;
using core_test::ChannelConfig;

constexpr auto kBound = std::chrono::seconds(30);

// A fresh class identifier per run: under Wine class objects are visible machine-wide.
CLSID FreshClassId() {
    static std::atomic<uint32_t> sequence{0};
    CLSID id = core::kServerClassId;
    id.Data1 ^= platform::CurrentProcessId();
    id.Data2 = static_cast<uint16_t>(++sequence);
    return id;
}

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        platform::SleepMs(5);
    return condition();
}

// A field device and its worker, of the test's own: while a client holds the server the worker
// stores the device's value in its channel's polled tags (when the device answers) and takes
// single-register writes, as a Modbus worker does; then it ends as every worker does.
struct TestDevice {
    std::atomic<int> starts{0};
    std::atomic<bool> answers{true};
    std::atomic<int32_t> value{42};
    std::atomic<int> written{-1};  // the last 16-bit value written
};
TestDevice testDevice;

void TestDeviceWorker(core::Server* server, uint8_t channelId) {
    ++testDevice.starts;
    size_t channel = 0;
    server->tables.FindChannel(channelId, &channel);
    while (server->ClientsPresent()) {
        for (size_t i = 0; testDevice.answers && i < server->tables.TagCount(); ++i) {
            server->tables.UpdateTag(i, [&](core::TagRecord& tag) {
                if (tag.m_ucDevice != channelId || tag.m_ucFunction == 0) return;
                tag.rawValue = testDevice.value;
                tag.state = core::kTagFresh;
                tag.faultCount = 0;
            });
        }
        core::WriteCommand command;
        if (server->tables.GetWrite(channel, &command) == core::kOk &&
            command.commandState == core::kCommandWrite16) {
            testDevice.written = command.value16;
            server->tables.SetCommandState(channel, core::kCommandIdle);
        }
        platform::SleepMs(5);
    }
    core::ChannelThreadEnded(server, channelId);
}

// One item in an active group of a client's own, read from the cache and written as a client
// does.
class ClientItem {
public:
    ClientItem(IOPCServer* server, const std::string& name) {
        OPCHANDLE groupHandle = 0;
        DWORD revised = 0;
        const HRESULT added = server->AddGroup(
            reinterpret_cast<LPCWSTR>(u"life"), TRUE, 20, 1, nullptr, nullptr, 0, &groupHandle,
            &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(group_.out()));
        EXPECT_TRUE(SUCCEEDED(added)) << std::hex << added;
        if (!group_) return;
        handle_ = opc_test::AddItems(group_.get(), {name})[0];
        EXPECT_NE(handle_, 0u);
        EXPECT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io_.outVoid()), S_OK);
    }

    struct State {
        double value = 0;
        WORD quality = 0xFFFF;
    };
    State Read() {
        State state;
        opc_test::TaskArray<OPCITEMSTATE> states;
        opc_test::TaskArray<HRESULT> errors;
        if (!io_ || FAILED(io_->Read(OPC_DS_CACHE, 1, &handle_, states.out(), errors.out()))) {
            return state;
        }
        state.value = opc_test::Variant(states[0].vDataValue).AsDouble();
        state.quality = states[0].wQuality;
        VariantClear(&states[0].vDataValue);
        return state;
    }
    State WaitFor(const std::function<bool(const State&)>& condition) {
        State state = Read();
        WaitUntil([&] { return condition(state = Read()); });
        return state;
    }
    HRESULT Write(double value) {
        opc_test::Variant written = opc_test::Variant::R8(value);
        opc_test::TaskArray<HRESULT> errors;
        if (!io_) return E_FAIL;
        const HRESULT result = io_->Write(1, &handle_, written.get(), errors.out());
        return FAILED(result) ? result : errors[0];
    }

private:
    opc_test::ComPtr<IOPCItemMgt> group_;
    opc_test::ComPtr<IOPCSyncIO> io_;
    OPCHANDLE handle_ = 0;
};

// Main on a thread of its own, with a settings key, a log file and a class id of the test's own.
class MainTest : public ::testing::Test {
protected:
    MainTest()
        : root_("Software\\KB Karvex\\Test\\" + testing_support::UniqueName("main")),
          logBase_(testing_support::UniqueName("mainlog")),
          logPath_(dir_.File("server.log")) {
        options_.settingsKey = root_ + "\\Settings";
        options_.classId = FreshClassId();
        options_.logBaseName = logBase_;
        options_.logPath = logPath_;
        options_.pauses = {100, 100, 100, 10, 20, 100};
        Set("cache update delay", reg::Value::Dword(20));
        Set("lock server", reg::Value::Dword(0));
    }
    ~MainTest() override {
        if (main_.joinable()) main_.join();
        reg::DeleteTree(reg::Hive::CurrentUser, root_);
        reg::DeleteTree(reg::Hive::LocalMachine, "Software\\kvlog.dll\\" + logBase_);
        platform::SetBeepHook(nullptr);
    }

    void Set(const std::string& name, const reg::Value& value) {
        ASSERT_EQ(reg::SetValue(reg::Hive::CurrentUser, options_.settingsKey, name, value), 0u);
    }
    void Activate(config::CKarvexOPCCfgDoc* doc) {
        const std::string path = dir_.File("active.scf");
        ASSERT_EQ(config::SaveDocument(path, doc), 0u);
        Set("datafile", reg::Value::String(path));
    }

    void Start(const std::string& commandLine) {
        auto started = std::make_shared<std::promise<void>>();
        startedFuture_ = started->get_future();
        options_.started = [this, started](core::Server& server) {
            running_ = &server;
            started->set_value();
        };
        main_ = std::thread([this, commandLine] {
            core::Main(commandLine, options_);
            ended_ = true;
        });
    }
    bool WaitStarted() { return startedFuture_.wait_for(kBound) == std::future_status::ready; }
    bool WaitEnded() {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!ended_ && std::chrono::steady_clock::now() < deadline)
            platform::SleepMs(10);
        if (ended_) main_.join();
        return ended_;
    }
    void RunToEnd(const std::string& commandLine) {
        Start(commandLine);
        ASSERT_TRUE(WaitEnded());
    }

    Lines Log() const { return core_test::LogLines(logPath_); }
    size_t CountStartingWith(const std::string& start) const {
        const Lines lines = Log();
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(start, 0) == 0; }));
    }
    core::ChannelRecord Channel(size_t index) const {
        core::ChannelRecord channel;
        EXPECT_EQ(running_->tables.GetChannel(index, &channel), core::kOk);
        return channel;
    }
    size_t Count(const std::string& line) const {
        const Lines lines = Log();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    bool InOrder(const Lines& expected) const { return core_test::InOrder(Log(), expected); }

    template <typename Interface>
    platform::ComPtr<Interface> Create(REFIID iid) {
        platform::ComPtr<Interface> object;
        EXPECT_EQ(
            CoCreateInstance(options_.classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                             iid, object.outVoid()),
            S_OK);
        return object;
    }
    // COM's activation holds the class object from its registration on; so do the tests.
    platform::ComPtr<IClassFactory> WaitClassObject() {
        platform::ComPtr<IClassFactory> factory;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!ended_ && std::chrono::steady_clock::now() < deadline &&
               FAILED(CoGetClassObject(options_.classId, CLSCTX_INPROC_SERVER, nullptr,
                                       IID_IClassFactory, factory.outVoid()))) {
            platform::SleepMs(5);
        }
        return factory;
    }
    platform::ComPtr<IClassFactory> Factory() {
        platform::ComPtr<IClassFactory> factory;
        EXPECT_EQ(CoGetClassObject(options_.classId, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                   nullptr, IID_IClassFactory, factory.outVoid()),
                  S_OK);
        return factory;
    }

    testing_support::TempDir dir_;
    std::string root_;
    std::string logBase_;
    std::string logPath_;
    core::MainOptions options_;
    std::thread main_;
    std::future<void> startedFuture_;
    std::atomic<bool> ended_{false};
    core::Server* running_ = nullptr;  // set once the server runs
};

// The test program itself initialises COM so that its clients can call in.
class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
};

TEST_F(MainTest, StartedByHandWithoutClientsEndsWithoutACycle) {
    config::CKarvexOPCCfgDoc doc;
    doc.Devices() = {ChannelConfig("Boiler", 3, 100), ChannelConfig("CWT", 4, 104),
                     ChannelConfig("RemoteA", 5, 103, "10.0.0.1", 7000),
                     ChannelConfig("RemoteB", 6, 103, "10.0.0.1", 7000),
                     ChannelConfig("Odd", 7, 200)};
    Activate(&doc);
    for (uint8_t type : {'d', 'g'})
        core::RegisterChannelWorker(type, core::IdleChannelWorker);
    RunToEnd("");

    EXPECT_TRUE(
        InOrder({"M Start: KarvexOPC-Modbus OPC Server 6.1.16.6127", "W Ignore unknown option <>",
                 "I LoadConfig: reading configuration finished.",
                 "T Main: Started thread for device Boiler, id 3",
                 "I Main: creating polling thread for device Boiler",
                 "T Main: Started thread for device CWT, id 4",
                 "E Main: Failed to create polling thread for device CWT!",
                 "I Main: Starting receiving thread (10.0.0.1:7000) from remote clients",
                 "I Main: creating polling thread for device RemoteA",
                 "E Main: Failed to create polling thread for device RemoteB!",
                 "E Main: Failed to create polling thread for device Odd!",
                 "I Main: ready to start processing routine",
                 "D Destroy: waiting to finish writedata threads...", "I Finish"}));
    EXPECT_EQ(Count("I Main: Starting receiving thread (10.0.0.1:7000) from remote clients"), 1u);
    EXPECT_EQ(Count("T Process: started OK."), 0u);
    const Lines lines = Log();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("D Destroy: threads info: thread 0 - 0, thread 1 - 0,", 0) == 0;
    }));
}

TEST_F(MainTest, ACommandLineRegistersOrUnregistersAndEnds) {
    std::vector<std::pair<uint32_t, uint32_t>> beeps;
    platform::SetBeepHook([&](uint32_t hz, uint32_t ms) { beeps.emplace_back(hz, ms); });
    const std::string classKey = "CLSID\\" + opc::daClassIdText(options_.classId);
    const std::string module = platform::ModulePath();
    struct Case {
        const char* commandLine;
        bool registered;
        const char* line;
    };
    const Case cases[] = {
        {"/u", false, "I UnReg <KarvexOPC-modbus> <%s> Ok"},
        {"/r", true, "I Registration <KarvexOPC-modbus> <%s> Ok"},
        {"-Embedding /u /r", true, "I Registration <KarvexOPC-modbus> <%s> Ok"},
        {"/u", false, "I UnReg <KarvexOPC-modbus> <%s> Ok"},
        {"/r", true, "I Registration <KarvexOPC-modbus> <%s> Ok"},
        {"/r", true, "I Registration <KarvexOPC-modbus> <%s> Ok"},
    };
    size_t step = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(step++) + ": " + c.commandLine);
        beeps.clear();
        RunToEnd(c.commandLine);
        ended_ = false;
        EXPECT_EQ(reg::KeyExists(reg::Hive::ClassesRoot, classKey), c.registered);
        std::string expected = c.line;
        expected.replace(expected.find("%s"), 2, module);
        // The log starts afresh with every run (no size limit set).
        EXPECT_EQ(Log(), (Lines{"M Start: KarvexOPC-Modbus OPC Server 6.1.16.6127", expected,
                                "I Finish"}));
        EXPECT_EQ(beeps, (std::vector<std::pair<uint32_t, uint32_t>>{{1000, 100}}));
    }
    reg::DeleteTree(reg::Hive::ClassesRoot, classKey);
    opc::daUnRegisterServer(options_.classId, core::kServerProgId);
}

TEST_F(MainTest, AClientKeepsTheServerRunningUntilItReleasesIt) {
    ComScope com;
    Start("-Embedding");
    {
        platform::ComPtr<IOPCServer> server;
        {
            platform::ComPtr<IClassFactory> factory = WaitClassObject();
            ASSERT_TRUE(factory);
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, server.outVoid()), S_OK);
        }
        ASSERT_TRUE(WaitStarted());
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(server->GetStatus(&status), S_OK);
        EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
        EXPECT_EQ(status->wMajorVersion, 6);
        EXPECT_EQ(status->wBuildNumber, 16);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        platform::SleepMs(300);
        EXPECT_FALSE(ended_);
    }
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(
        InOrder({"W Ignore unknown option <-Embedding>", "D myClassFactory::server_count = 1",
                 "T Process: started OK.", "D a_server_finished(0)", "I Finish"}));
}

TEST_F(MainTest, AClientSlowerThanTheRegistrationWaitIsServed) {
    ComScope com;
    Start("-Embedding");
    // Later than the registration wait and the shutdown wait together.
    platform::SleepMs(options_.pauses.afterClassRegistration + options_.pauses.beforeShutdown +
                      500);
    {
        platform::ComPtr<IOPCServer> server = Create<IOPCServer>(IID_IOPCServer);
        ASSERT_TRUE(server);
        ASSERT_TRUE(WaitStarted());
        platform::SleepMs(300);
        EXPECT_FALSE(ended_);
    }
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(
        InOrder({"D myClassFactory::server_count = 1", "I Main: ready to start processing routine",
                 "T Process: started OK.", "D a_server_finished(0)", "I Finish"}));
}

TEST_F(MainTest, StartedByComWithoutAClientItEndsAfterTheActivationLimit) {
    options_.pauses.activationLimit = 200;
    RunToEnd("-Embedding");
    EXPECT_TRUE(InOrder({"W Main: started by COM, but no client came within 200 ms",
                         "I Main: ready to start processing routine", "I Finish"}));
    EXPECT_EQ(Count("T Process: started OK."), 0u);
}

TEST_F(MainTest, LockServerKeepsTheServerAfterEveryObjectIsReleased) {
    ComScope com;
    Start("");
    {
        platform::ComPtr<IClassFactory> factory = WaitClassObject();
        ASSERT_TRUE(factory);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    }
    ASSERT_TRUE(WaitStarted());
    { platform::ComPtr<IOPCServer> server = Create<IOPCServer>(IID_IOPCServer); }
    platform::SleepMs(500);
    EXPECT_FALSE(ended_);
    {
        platform::ComPtr<IClassFactory> factory = Factory();
        ASSERT_TRUE(factory);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    }
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(InOrder({"D myClassFactory::LockServer(1)", "D a_server_finished(0)",
                         "D myClassFactory::LockServer(0)", "I Finish"}));
}

TEST_F(MainTest, LockServerSettingKeepsTheServerWithoutClients) {
    Set("lock server", reg::Value::Dword(1));
    Start("");
    ASSERT_TRUE(WaitStarted());
    platform::SleepMs(300);
    EXPECT_FALSE(ended_);
    running_->lockServer = 0;  // as if the setting were off, to end the test
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(
        InOrder({"I LoadConfig: setting b_lockserver=1", "T Process: started OK.", "I Finish"}));
}

// A client that gives back more locks than it took must not end the server under another
// client, nor keep it running once every client has gone.
TEST_F(MainTest, AnUnlockWithoutALockLeavesTheCountAlone) {
    ComScope com;
    Start("");
    {
        platform::ComPtr<IClassFactory> factory = WaitClassObject();
        ASSERT_TRUE(factory);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    }
    ASSERT_TRUE(WaitStarted());
    {
        platform::ComPtr<IOPCServer> server = Create<IOPCServer>(IID_IOPCServer);
        ASSERT_TRUE(server);
        {
            platform::ComPtr<IClassFactory> factory = Factory();
            ASSERT_TRUE(factory);
            EXPECT_EQ(factory->LockServer(FALSE), S_OK);
            EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // one too many
        }
        EXPECT_GE(running_->FactoryReferences(), 1);
        platform::SleepMs(300);
        EXPECT_FALSE(ended_);
    }
    const bool ended = WaitUntil([this] { return ended_.load(); });
    if (!ended) {  // a count below zero keeps Main running: end the test
        std::lock_guard hold(running_->factoryLock);
        running_->factoryReferences = 0;
    }
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(ended);
    EXPECT_EQ(CountStartingWith("W myClassFactory::LockServer(0): no lock to release"), 1u);
}

// "lock server" keeps the server without clients, but the workers end whenever no client holds
// it: a client that comes later must find them polling again, and no old value shown as good.
TEST_F(MainTest, ChannelThreadsRunAgainWhenAClientComesBack) {
    ComScope com;
    testDevice.starts = 0;
    testDevice.answers = true;
    testDevice.written = -1;
    core::RegisterChannelWorker('f', TestDeviceWorker);
    config::CKarvexOPCCfgDoc doc;
    config::opcDeviceInfo line = ChannelConfig("Line", 3, 102);
    line.m_ucFailThreshold = 2;
    line.m_ucQualityReset = 0;
    doc.Devices() = {line, ChannelConfig("CWT", 4, 104)};
    config::opcTagInfo level = core_test::TagConfig(1, "Level", 3, 1, VT_R8);
    level.m_ucFunction = 3;
    level.m_ucSize = 16;
    level.m_ucWriteFunction = 6;
    level.m_dwWriteRegister = 10;
    level.m_ucAccess = config::kAccessReadWrite;
    doc.Elements() = {level};
    Activate(&doc);
    Set("lock server", reg::Value::Dword(1));
    Start("");
    ASSERT_TRUE(WaitStarted());
    // Nobody holds the server yet: the thread started at start-up ends at once.
    ASSERT_TRUE(WaitUntil([this] { return Channel(0).thread == 0; }));
    EXPECT_EQ(testDevice.starts.load(), 1);

    {
        platform::ComPtr<IOPCServer> server = Create<IOPCServer>(IID_IOPCServer);
        ASSERT_TRUE(server);
        ClientItem item(server.get(), "Level");
        const ClientItem::State state =
            item.WaitFor([](const auto& s) { return s.quality == 0xC0 && s.value == 42; });
        EXPECT_EQ(state.quality, 0xC0);
        EXPECT_EQ(state.value, 42);
        EXPECT_TRUE(SUCCEEDED(item.Write(7)));
        EXPECT_TRUE(WaitUntil([] { return testDevice.written == 7; }));
        EXPECT_EQ(testDevice.starts.load(), 2);
    }
    ASSERT_TRUE(WaitUntil([this] { return Channel(0).thread == 0; }));
    core::TagRecord tag;
    ASSERT_EQ(running_->tables.GetTag(0, &tag), core::kOk);
    EXPECT_EQ(tag.state, core::kTagNoFreshValue);
    EXPECT_GE(tag.faultCount, 2);
    core::StatisticsBlock statistics;
    ASSERT_EQ(running_->tables.GetStatistics(0, 0, &statistics), core::kOk);
    EXPECT_EQ(statistics.connected, 0u);

    testDevice.answers = false;  // the device went silent while nobody held the server
    {
        platform::ComPtr<IOPCServer> server = Create<IOPCServer>(IID_IOPCServer);
        ASSERT_TRUE(server);
        ClientItem item(server.get(), "Level");
        // Within a cycle of the worker's end the old value shows the link's loss.
        EXPECT_EQ(item.WaitFor([](const auto& s) { return s.quality == 0x00; }).quality, 0x00);
        // The worker starts again within a cycle of the client's arrival; its writes go out.
        EXPECT_TRUE(WaitUntil([] { return testDevice.starts == 3; }));
        EXPECT_TRUE(SUCCEEDED(item.Write(9)));
        EXPECT_TRUE(WaitUntil([] { return testDevice.written == 9; }));
    }
    EXPECT_EQ(Count("I Main: restarting polling thread for device Line"), 2u);
    EXPECT_EQ(Count("E Main: Failed to create polling thread for device CWT!"), 1u);
    running_->lockServer = 0;
    ASSERT_TRUE(WaitEnded());
}

// A worker that never ends must not keep the process alive for ever.
TEST(DestroyTest, AThreadThatDoesNotEndIsGivenUpAfterTheBound) {
    core_test::CapturedLog log("Destroy:");
    core::Server server(log.handle());
    server.pauses.destroyPoll = 10;
    server.pauses.workerEnd = 200;
    core::ChannelRecord ended;
    ended.m_strName = "Ended";
    ended.m_ucID = 1;
    ended.m_wTimeout = 100;
    core::ChannelRecord stuck;
    stuck.m_strName = "Stuck";
    stuck.m_ucID = 2;
    stuck.m_wTimeout = 300;
    stuck.thread = 7;
    server.tables.AddChannel(ended);
    server.tables.AddChannel(stuck);

    const auto start = std::chrono::steady_clock::now();
    std::future<void> destroyed = std::async(std::launch::async, [&] { core::Destroy(&server); });
    const bool returned = destroyed.wait_for(kBound) == std::future_status::ready;
    if (!returned) server.tables.UpdateChannel(1, [](core::ChannelRecord& c) { c.thread = 0; });
    destroyed.wait();
    EXPECT_TRUE(returned);
    EXPECT_GE(testing_support::MsSince(start), 500);  // the bound: 200 and the longest timeout
    EXPECT_EQ(log.Messages().back(),
              "W Destroy: thread of device Stuck (id 2) did not end within 500 ms, not waiting "
              "for it");
    EXPECT_EQ(log.Count("W Destroy: thread of device Ended (id 1) did not end within 500 ms, not "
                        "waiting for it"),
              0u);
}

}  // namespace
