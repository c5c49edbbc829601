// opc_test_server.exe: the OPC service with the tests' driver behind a small class factory, as
// a COM local server for the out-of-process tests.
//
//   opc_test_server /r [--clsid C] [--progid P] [--dir D]
//                        registers the class; COM then starts it with "--clsid C --dir D"
//   opc_test_server /u [--clsid C] [--progid P]
//                        removes the registration
//   opc_test_server [--clsid C] [--dir D] ...
//                        serves (COM adds its own switch); with D it writes its pid to
//                        D\server.pid and the "opcservice" log to D\opcservice.log
//
// It ends once every client object and every LockServer lock is gone, when no client comes
// within a minute of its start, or when the file D\stop appears. When D\shutdown appears it
// asks every client to shut down, once, and serves on.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "../test_driver.h"
#include "opc/daregister.h"
#include "opc/daservice.h"
#include "opcconst.h"
#include "opcda.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "test_server_ids.h"

#include <shellapi.h>

namespace {

namespace reg = platform::reg;

constexpr unsigned kUpdatePeriodMs = 200;
constexpr DWORD kFirstClientWaitMs = 60000;

opc::daService* service = nullptr;
std::atomic<long> clients{0};
std::atomic<long> locks{0};
std::atomic<bool> used{false};
HANDLE idle = nullptr;  // set whenever the last client or lock goes
std::string stopFile;   // empty: none
std::string shutdownFile;

const opc::daVendorRecord kVendor{1, 2, 3, 0, "Karvex OPC test server"};

void CheckIdle() {
    if (clients.load() == 0 && locks.load() == 0) SetEvent(idle);
}

void OnClientReleased(void*) {
    --clients;
    CheckIdle();
}

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_INVALIDARG;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *result = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: COM's references do not decide its life.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        ++clients;  // before creation, so that a failing QueryInterface balances it
        used = true;
        opc::daServer* client = nullptr;
        if (opc::daClientCreate(service, &client, nullptr, nullptr, 0, &kVendor, OnClientReleased,
                                nullptr) != 0) {
            --clients;
            CheckIdle();
            return E_OUTOFMEMORY;
        }
        IUnknown* unknown = opc::daClientUnknown(client);
        const HRESULT queried = unknown->QueryInterface(iid, result);
        if (SUCCEEDED(queried))
            opc::daClientSetState(service, client, opc::daCS_OPERATE, OPC_STATUS_RUNNING, nullptr);
        unknown->Release();
        return queried;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            ++locks;
            used = true;
        } else {
            --locks;
            CheckIdle();
        }
        return S_OK;
    }
};

Factory factory;

HRESULT LookupItemId(const opc::daCallerRecord*, unsigned, DWORD propertyId, WCHAR** itemId) {
    if (propertyId != opc_test::kVendorPropertyId) return OPC_E_INVALID_PID;
    const std::string text = opc_test::kVendorPropertyItemId;
    *itemId = static_cast<WCHAR*>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (*itemId == nullptr) return E_OUTOFMEMORY;
    std::copy(text.begin(), text.end(), *itemId);
    (*itemId)[text.size()] = 0;
    return S_OK;
}

opc::daDriverRecord DriverRecord() {
    opc::daDriverRecord record = opc_test::TestDriver::CoreRecord();
    record.lookupItemIds = LookupItemId;
    return record;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The log settings are the ones the in-process tests of the prefix write too (debugger
// output, everything), so that parallel tests never see each other's; this process catches its
// debugger output into the folder.
void PrepareFolder(const std::string& dir) {
    const std::string key = "Software\\kvlog.dll\\opcservice";
    reg::SetValue(reg::Hive::LocalMachine, key, "path", reg::Value::String("?"));
    reg::SetValue(reg::Hive::LocalMachine, key, "level", reg::Value::String("DEBUG"));
    reg::SetValue(reg::Hive::LocalMachine, key, "size", reg::Value::String("0"));
    static std::mutex logLock;
    static std::ofstream log(dir + "\\" + opc_test::kLogFile, std::ios::app);
    platform::SetDebugOutputHook([](const std::string& text) {
        std::lock_guard<std::mutex> hold(logLock);
        log << text << std::flush;
    });
    std::ofstream(dir + "\\" + opc_test::kPidFile) << GetCurrentProcessId() << '\n';
}

bool Exists(const std::string& file) {
    return !file.empty() && GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool StopRequested() {
    return Exists(stopFile);
}

void RequestShutdownWhenAsked() {
    static bool sent = false;
    if (sent || !Exists(shutdownFile)) return;
    sent = true;
    opc::daClientSetState(service, nullptr, opc::daCS_REQUEST_SHUTDOWN, 0, L"test shutdown");
}

// Waits until no client object and no lock is left (after the first client), until no client
// came in time, or until told to stop; true in the last case.
bool WaitUntilUnused() {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        WaitForSingleObject(idle, 200);
        if (StopRequested()) return true;
        RequestShutdownWhenAsked();
        if (used && clients.load() == 0 && locks.load() == 0) return false;
        if (!used && GetTickCount64() - start > kFirstClientWaitMs) return false;
    }
}

int Serve(const CLSID& classId) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    idle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    int result = 0;
    {
        opc_test::TestDriver driver(DriverRecord());
        service = driver.service();
        DWORD cookie = 0;
        if (driver.createResult() != 0 ||
            FAILED(CoRegisterClassObject(classId, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                         &cookie))) {
            result = 1;
        } else {
            driver.StartUpdater(kUpdatePeriodMs);
            bool stop = WaitUntilUnused();
            CoRevokeClassObject(cookie);
            // A client that came between the last release and the revocation is served out.
            while (!stop && (clients.load() != 0 || locks.load() != 0))
                stop = WaitUntilUnused();
            driver.StopUpdater();
        }
    }
    CloseHandle(idle);
    CoUninitialize();
    return result;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments(words + (count > 0 ? 1 : 0), words + count);
    LocalFree(words);
    bool doRegister = false, doUnregister = false;
    std::string dir, progId = opc_test::kTestServerProgId;
    std::wstring classText;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const bool valued = i + 1 < arguments.size();
        if (arguments[i] == L"/r") doRegister = true;
        if (arguments[i] == L"/u") doUnregister = true;
        if (arguments[i] == L"--dir" && valued) dir = Narrow(arguments[++i]);
        if (arguments[i] == L"--progid" && valued) progId = Narrow(arguments[++i]);
        if (arguments[i] == L"--clsid" && valued) classText = arguments[++i];
    }
    CLSID classId = opc_test::kTestServerClassId;
    if (!classText.empty() && FAILED(CLSIDFromString(classText.c_str(), &classId))) {
        std::printf("Bad class identifier %s\n", Narrow(classText).c_str());
        return 2;
    }
    if (doRegister) {
        std::string command = "\"" + platform::ModulePath() + "\"";
        if (!classText.empty()) command += " --clsid " + Narrow(classText);
        if (!dir.empty()) command += " --dir \"" + dir + "\"";
        const int registered = opc::daServerRegister(
            classId, progId.c_str(), "Karvex OPC test server", command.c_str(), nullptr);
        std::printf("Registration %s %s\n", command.c_str(), registered == 0 ? "Ok" : "Failed");
        return registered == 0 ? 0 : 1;
    }
    if (doUnregister) {
        const int removed = opc::daUnRegisterServer(classId, progId.c_str());
        std::printf("Unregistration %s %s\n", progId.c_str(), removed == 0 ? "Ok" : "Failed");
        return removed == 0 ? 0 : 1;
    }
    if (!dir.empty()) {
        PrepareFolder(dir);
        stopFile = dir + "\\" + opc_test::kStopFile;
        shutdownFile = dir + "\\" + opc_test::kShutdownFile;
    }
    return Serve(classId);
}
