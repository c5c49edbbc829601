// KarvexOPC-Modbus.exe under Wine: registration from the command line, a start by hand without
// clients, activation by COM with a client reading the server's items, and LockServer.
// The program reads the fixed settings key and writes the fixed log, so these tests run one at
// a time with the other out-of-process tests.

#include "platform/com.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "config/scf_file.h"
#include "config_builders.h"
#include "log_lines.h"
#include "core/main.h"
#include "opc/daregister.h"
#include "opccomn.h"
#include "opcda.h"
#include "platform/clock.h"
#include "platform/com_ptr.h"
#include "platform/registry.h"
#include "testing/support.h"
#include "wine_support.h"

namespace {

namespace reg = platform::reg;
using namespace wine_test;
using LogLines = std::vector<std::string>;
using core_test::ChannelConfig;
using core_test::TagConfig;

const std::string kLogKey = "Software\\kvlog.dll\\KarvexOPC-modbus";
constexpr uint16_t kUnusedPort = 1;  // nothing listens on tcpmux

std::wstring ServerProgram() {
    return WinePath(KARVEX_SERVER_EXE);
}

class Program : public ::testing::Test {
protected:
    static void SetUpTestSuite() { proxy_ = std::make_unique<ProxyRegistration>(); }
    static void TearDownTestSuite() { proxy_.reset(); }

    void SetUp() override {
        reg::DeleteTree(reg::Hive::CurrentUser, core::kSettingsKey);
        logPath_ = dir_.File("server.log");
        ASSERT_EQ(
            reg::SetValue(reg::Hive::LocalMachine, kLogKey, "path", reg::Value::String(logPath_)),
            0u);
        reg::SetValue(reg::Hive::LocalMachine, kLogKey, "level", reg::Value::String("DEBUG"));
        reg::SetValue(reg::Hive::LocalMachine, kLogKey, "size", reg::Value::String("0"));
        SetSetting("lock server", reg::Value::Dword(0));
        SetSetting("cache update delay", reg::Value::Dword(50));
        config::CKarvexOPCCfgDoc doc;
        doc.Devices() = {ChannelConfig("Boiler", 3, 100, "127.0.0.1", kUnusedPort),
                         ChannelConfig("CWT", 4, 104)};
        // Temp is polled by no worker, so every cycle publishes it; Pump waits for its device.
        doc.Elements() = {TagConfig(1, "Boiler/Temp", 3, 1, VT_R4),
                          TagConfig(2, "Boiler/Pump", 3, 2, VT_BOOL)};
        doc.Elements()[0].m_ucFunction = 0;
        doc.Elements()[1].m_ucFunction = 1;
        const std::string path = dir_.File("active.scf");
        ASSERT_EQ(config::SaveDocument(path, &doc), 0u);
        SetSetting("datafile", reg::Value::String(path));
        const Finished registered = RunProgram(ServerProgram(), {L"/r"}, dir_.path());
        ASSERT_EQ(registered.code, 0) << registered.out;
    }
    void TearDown() override {
        RunProgram(ServerProgram(), {L"/u"}, dir_.path());
        reg::DeleteTree(reg::Hive::CurrentUser, core::kSettingsKey);
        reg::DeleteTree(reg::Hive::LocalMachine, kLogKey);
    }

    void SetSetting(const std::string& name, const reg::Value& value) {
        ASSERT_EQ(reg::SetValue(reg::Hive::CurrentUser, core::kSettingsKey, name, value), 0u);
    }

    // "<level letter> <text>" of every line the server wrote.
    LogLines Log() const { return core_test::LogLines(logPath_); }
    bool Logged(const std::string& line) const {
        const LogLines lines = Log();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool InOrder(const LogLines& expected) const { return core_test::InOrder(Log(), expected); }
    // True once the server wrote its last line.
    bool WaitFinished(DWORD timeoutMs = kLongWaitMs) const {
        const uint64_t start = platform::TickCount64();
        while (platform::TickCount64() - start < timeoutMs) {
            if (Logged("I Finish")) return true;
            Sleep(100);
        }
        return false;
    }

    testing_support::TempDir dir_;
    std::string logPath_;
    static std::unique_ptr<ProxyRegistration> proxy_;
};

std::unique_ptr<ProxyRegistration> Program::proxy_;

TEST_F(Program, RegistersAndUnregistersFromTheCommandLine) {
    const std::string module = Narrow(ServerProgram());
    const std::string classKey = "CLSID\\" + opc::daClassIdText(core::kServerClassId);
    struct Step {
        const wchar_t* option;
        const char* printed;
        const char* logged;
        bool registered;
    };
    const Step steps[] = {
        {L"/u", "Unregistration", "UnReg", false},
        {L"/r", "Registration", "Registration", true},
        {L"/r", "Registration", "Registration", true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(Narrow(step.option));
        const Finished run = RunProgram(ServerProgram(), {step.option}, dir_.path());
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(Lines(run.out),
                  (std::vector<std::string>{std::string(step.printed) + " <KarvexOPC-modbus> <" +
                                            module + "> Ok"}));
        EXPECT_EQ(reg::KeyExists(reg::Hive::ClassesRoot, classKey + "\\LocalServer32"),
                  step.registered);
        // The log starts afresh with every run (no size limit set).
        EXPECT_EQ(Log(), (LogLines{"M Start: KarvexOPC-Modbus OPC Server 6.1.16.6127",
                                   "I " + std::string(step.logged) + " <KarvexOPC-modbus> <" +
                                       module + "> Ok",
                                   "I Finish"}));
    }
}

TEST_F(Program, StartedByHandWithoutClientsItEndsWithoutACycle) {
    const Finished run = RunProgram(ServerProgram(), {}, dir_.path(), kLongWaitMs);
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(
        InOrder({"M Start: KarvexOPC-Modbus OPC Server 6.1.16.6127", "W Ignore unknown option <>",
                 "I LoadConfig: tags count: 2", "T Main: Started thread for device Boiler, id 3",
                 "I Main: creating polling thread for device Boiler",
                 "E Main: Failed to create polling thread for device CWT!",
                 "I Main: ready to start processing routine",
                 "D Destroy: waiting to finish writedata threads...", "I Finish"}));
    EXPECT_FALSE(Logged("T Process: started OK."));
}

// Reads the items through one group, from the cache; NaN for an item without a value.
std::vector<double> ReadItems(IOPCServer* server, const std::vector<std::wstring>& names) {
    platform::ComPtr<IOPCItemMgt> items;
    OPCHANDLE group = 0;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(L"read", TRUE, 100, 1, nullptr, nullptr, 0, &group, &revised,
                               IID_IOPCItemMgt, items.outUnknown()),
              S_OK);
    std::vector<OPCITEMDEF> definitions(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        definitions[i].szItemID = const_cast<LPWSTR>(names[i].c_str());
        definitions[i].bActive = TRUE;
        definitions[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(
        items->AddItems(static_cast<DWORD>(names.size()), definitions.data(), &results, &errors),
        S_OK);
    std::vector<OPCHANDLE> handles;
    for (size_t i = 0; i < names.size(); ++i)
        handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    platform::ComPtr<IOPCSyncIO> io = items.As<IOPCSyncIO>(IID_IOPCSyncIO);
    OPCITEMSTATE* states = nullptr;
    EXPECT_TRUE(SUCCEEDED(io->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(),
                                   &states, &errors)));
    std::vector<double> values;
    for (size_t i = 0; i < handles.size(); ++i) {
        VARIANT number;
        VariantInit(&number);
        const bool good = SUCCEEDED(errors[i]) && states[i].wQuality == OPC_QUALITY_GOOD &&
                          SUCCEEDED(VariantChangeType(&number, &states[i].vDataValue, 0, VT_R8));
        values.push_back(good ? number.dblVal : std::nan(""));
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    items.Reset();
    server->RemoveGroup(group, FALSE);
    return values;
}

TEST_F(Program, ActivatedByAClientItServesItsItemsAndEndsAfterIt) {
    {
        platform::ComPtr<IOPCServer> server;
        ASSERT_EQ(CoCreateInstance(core::kServerClassId, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IOPCServer, server.outVoid()),
                  S_OK);
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(server->GetStatus(&status), S_OK);
        EXPECT_EQ(status->wMajorVersion, 6);
        EXPECT_EQ(status->wMinorVersion, 1);
        EXPECT_EQ(status->wBuildNumber, 16);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        // "Server version" is published by the first cycle, a second after it starts.
        std::vector<double> values;
        const uint64_t start = platform::TickCount64();
        do {
            Sleep(100);
            values = ReadItems(server.get(), {L"Server version", L"Stats/Boiler(3)-1/tx count",
                                              L"Stats/Boiler(3)/Connection status", L"Boiler/Temp",
                                              L"Boiler/Pump"});
        } while (values[0] != 601 && platform::TickCount64() - start < kLongWaitMs);
        ASSERT_EQ(values.size(), 5u);
        EXPECT_EQ(values[0], 601);
        EXPECT_EQ(values[1], 0);
        // Before the channel's first connection attempt, or refused: nothing listens there.
        EXPECT_TRUE(values[2] == -1 || values[2] == 10061) << values[2];
        EXPECT_EQ(values[3], 0);
        EXPECT_TRUE(std::isnan(values[4]));
    }
    ASSERT_TRUE(WaitFinished());
    const LogLines lines = Log();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("W Ignore unknown option <", 0) == 0 &&
               line != "W Ignore unknown option <>";
    }));
    EXPECT_TRUE(InOrder({"D myClassFactory::server_count = 1", "T Process: started OK.",
                         "D a_server_finished(0)", "I Finish"}));
}

platform::ComPtr<IClassFactory> ClassObject() {
    platform::ComPtr<IClassFactory> factory;
    EXPECT_EQ(CoGetClassObject(core::kServerClassId, CLSCTX_LOCAL_SERVER, nullptr,
                               IID_IClassFactory, factory.outVoid()),
              S_OK);
    return factory;
}

// Wine's class-object proxy answers LockServer with E_NOTIMPL (the in-process tests cover the
// factory's LockServer); what keeps a local server alive here is a client holding its class
// object, as COM's own activation does.
TEST_F(Program, AHeldClassObjectKeepsItRunningAfterEveryOtherObjectIsReleased) {
    platform::ComPtr<IClassFactory> factory = ClassObject();
    ASSERT_TRUE(factory);
    {
        platform::ComPtr<IOPCServer> server;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, server.outVoid()), S_OK);
    }
    Sleep(3000);
    EXPECT_FALSE(Logged("I Finish"));
    factory.Reset();
    ASSERT_TRUE(WaitFinished());
    EXPECT_TRUE(InOrder({"D a_server_finished(0)", "D myClassFactory::Release(0)", "I Finish"}));
}

}  // namespace

// The proxy/stub DLL takes only the interfaces that no other proxy serves: another vendor's entry
// for IOPCServer survives regsvr32 of the DLL, its /u, and the server's own /u and /r, while the
// DLL's own entries come and go.
TEST_F(Program, AnotherVendorsProxyEntrySurvivesEveryRegistration) {
    using GetProxyDllInfoFunction = void(WINAPI*)(const void***, const CLSID**);
    const std::wstring dll = WinePath(KARVEX_PROXY_DLL);
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr);
    auto info = reinterpret_cast<GetProxyDllInfoFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetProxyDllInfo")));
    ASSERT_NE(info, nullptr);
    const void** files = nullptr;
    const CLSID* clsid = nullptr;
    info(&files, &clsid);
    const std::string own = opc::daClassIdText(*clsid);
    FreeLibrary(module);

    const std::string other = "{5C8E2D1A-7B3F-4E60-9A41-0D2B6C7E8F90}";
    const std::string server = "Interface\\" + opc::daClassIdText(IID_IOPCServer);
    const std::string common = "Interface\\" + opc::daClassIdText(IID_IOPCCommon);
    auto text = [](const std::string& key) {
        reg::Value value;
        return reg::QueryValue(reg::Hive::ClassesRoot, key, "", &value) == 0 ? value.AsString()
                                                                             : "<none>";
    };
    const std::wstring regsvr32 = L"C:\\windows\\system32\\regsvr32.exe";
    ASSERT_EQ(RunProgram(regsvr32, {L"/s", L"/u", dll}, dir_.path()).code, 0);
    ASSERT_EQ(reg::SetValue(reg::Hive::ClassesRoot, server, "", reg::Value::String("IOPCServer")),
              0u);
    ASSERT_EQ(reg::SetValue(reg::Hive::ClassesRoot, server + "\\ProxyStubClsid32", "",
                            reg::Value::String(other)),
              0u);

    struct Step {
        const char* what;
        std::wstring program;
        std::vector<std::wstring> arguments;
        bool dllRegistered;
    };
    const Step steps[] = {
        {"regsvr32", regsvr32, {L"/s", dll}, true},
        {"regsvr32 /u", regsvr32, {L"/s", L"/u", dll}, false},
        {"regsvr32 again", regsvr32, {L"/s", dll}, true},
        {"server /u", ServerProgram(), {L"/u"}, true},
        {"server /r", ServerProgram(), {L"/r"}, true},
        {"regsvr32 /u again", regsvr32, {L"/s", L"/u", dll}, false},
        {"server /u without the DLL", ServerProgram(), {L"/u"}, false},
        {"server /r without the DLL", ServerProgram(), {L"/r"}, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(RunProgram(step.program, step.arguments, dir_.path()).code, 0);
        EXPECT_EQ(text(server), "IOPCServer");
        EXPECT_EQ(text(server + "\\ProxyStubClsid32"), other);
        EXPECT_EQ(text(common + "\\ProxyStubClsid32"), step.dllRegistered ? own : "<none>");
        EXPECT_EQ(reg::KeyExists(reg::Hive::ClassesRoot, "CLSID\\" + own + "\\InProcServer32"),
                  step.dllRegistered);
    }

    // As the suite found it: the DLL serves every interface again.
    reg::DeleteTree(reg::Hive::ClassesRoot, server);
    EXPECT_EQ(RunProgram(regsvr32, {L"/s", dll}, dir_.path()).code, 0);
    EXPECT_EQ(text(server + "\\ProxyStubClsid32"), own);
}
