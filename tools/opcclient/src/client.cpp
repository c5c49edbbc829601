#include "client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "dastream.h"
#include "format.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"
#include "platform/com_ptr.h"

namespace opcclient {

namespace {

// Lines go out whole, also when callbacks print from several RPC threads.
std::mutex outputLock;

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> hold(outputLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& line) {
    std::lock_guard<std::mutex> hold(outputLock);
    std::fprintf(stderr, "opcclient: %s\n", line.c_str());
    std::fflush(stderr);
}

int Usage(const std::string& problem) {
    PrintError(problem + " (opcclient --help shows the usage)");
    return kExitUsage;
}

// Ends the process with a message when the server does not answer a call in time, so that no
// wait of the tool is unbounded.
class Watchdog {
public:
    Watchdog() : thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Arm(unsigned timeoutMs, const char* what) {
        std::lock_guard<std::mutex> hold(mutex_);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        timeoutMs_ = timeoutMs;
        what_ = what;
        armed_ = true;
        changed_.notify_all();
    }
    void Disarm() {
        std::lock_guard<std::mutex> hold(mutex_);
        armed_ = false;
        changed_.notify_all();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> hold(mutex_);
        while (!quit_) {
            if (!armed_) {
                changed_.wait(hold);
                continue;
            }
            if (changed_.wait_until(hold, deadline_) == std::cv_status::timeout && armed_ &&
                std::chrono::steady_clock::now() >= deadline_) {
                PrintError(std::string(what_) + ": no answer from the server within " +
                           std::to_string(timeoutMs_) + " ms");
                TerminateProcess(GetCurrentProcess(), kExitOpcError);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point deadline_;
    unsigned timeoutMs_ = 0;
    const char* what_ = "";
    bool armed_ = false;
    bool quit_ = false;
    std::thread thread_;
};

template <typename Interface>
using Ptr = platform::ComPtr<Interface>;

// A string the server allocated; freed with CoTaskMemFree.
struct TaskString {
    wchar_t* text = nullptr;
    ~TaskString() { CoTaskMemFree(text); }
};

class Connection {
public:
    explicit Connection(const Options& options) : options_(options) {}
    ~Connection() {
        server_.Reset();
        if (initialised_) CoUninitialize();
    }

    // Prints what failed; false then.
    bool Open() {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
            PrintError("COM could not be initialised");
            return false;
        }
        initialised_ = true;
        // Callbacks from a server of another account must reach us.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                             RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
        CLSID classId{};
        const std::wstring& name = options_.classId.empty() ? options_.progId : options_.classId;
        HRESULT found =
            options_.classId.empty()
                ? CLSIDFromProgID(options_.progId.c_str(), &classId)
                : CLSIDFromString(const_cast<wchar_t*>(options_.classId.c_str()), &classId);
        if (FAILED(found)) {
            PrintError("no OPC server class \"" + Utf8(name.c_str()) +
                       "\" is registered: " + CodeText(found) + ' ' + CodeName(found));
            return false;
        }
        const HRESULT created = Call("connecting", [&] {
            return CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                    server_.outVoid());
        });
        if (FAILED(created)) {
            PrintError("cannot connect to \"" + Utf8(name.c_str()) + "\": " + ErrorText(created));
            return false;
        }
        Ptr<IOPCCommon> common;
        if (SUCCEEDED(server_->QueryInterface(IID_IOPCCommon, common.outVoid())))
            Call("SetClientName", [&] { return common->SetClientName(L"opcclient"); });
        return true;
    }

    IOPCServer* server() const { return server_.get(); }
    const Options& options() const { return options_; }

    template <typename Function>
    HRESULT Call(const char* what, Function function) {
        watchdog_.Arm(options_.timeoutMs, what);
        const HRESULT result = function();
        watchdog_.Disarm();
        return result;
    }

    // "0xC0040007 <the server's text>", or, before the server is connected or when it has no
    // text for the code, the code's name and the system's text.
    std::string ErrorText(HRESULT code) {
        std::string out = CodeText(code);
        if (server_.get() != nullptr) {
            TaskString text;
            const HRESULT got = Call("GetErrorString", [&] {
                return server_->GetErrorString(code, LOCALE_SYSTEM_DEFAULT, &text.text);
            });
            if (SUCCEEDED(got)) return out + ' ' + OneLine(Utf8(text.text));
        }
        const std::string name = CodeName(code);
        if (!name.empty()) out += ' ' + name;
        wchar_t* system = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, DWORD(code), 0, reinterpret_cast<wchar_t*>(&system), 0,
                           nullptr) != 0 &&
            system != nullptr) {
            const std::string text = OneLine(Utf8(system));
            if (!text.empty())
                out += (name.empty() ? " " : " (") + text + (name.empty() ? "" : ")");
        }
        if (system != nullptr) LocalFree(system);
        return out;
    }

private:
    static std::string OneLine(std::string text) {
        for (char& c : text)
            if (c == '\r' || c == '\n' || c == '\t') c = ' ';
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    }

    Options options_;
    Watchdog watchdog_;
    Ptr<IOPCServer> server_;
    bool initialised_ = false;
};

int Failed(Connection& connection, const std::string& what, HRESULT code) {
    PrintError(what + " failed: " + connection.ErrorText(code));
    return kExitOpcError;
}

struct Item {
    std::wstring id;
    OPCHANDLE server = 0;
    VARTYPE canonical = VT_EMPTY;
    DWORD rights = 0;
    HRESULT error = S_OK;
};

// One private group of the tool's items; removed again when it goes.
class Group {
public:
    explicit Group(Connection& connection) : connection_(connection) {}
    ~Group() {
        items_.Reset();
        if (handle_ != 0)
            connection_.Call("RemoveGroup",
                             [&] { return connection_.server()->RemoveGroup(handle_, FALSE); });
    }

    HRESULT Create(DWORD rate, bool active) {
        DWORD revised = 0;
        return connection_.Call("AddGroup", [&] {
            return connection_.server()->AddGroup(L"", active, rate, 1, nullptr, nullptr, 0,
                                                  &handle_, &revised, IID_IOPCItemMgt,
                                                  reinterpret_cast<IUnknown**>(items_.out()));
        });
    }

    // Client handles are positions in `ids`. Failed items keep their error and stay out of
    // the calls that follow.
    HRESULT Add(const std::vector<std::wstring>& ids) {
        std::vector<OPCITEMDEF> definitions(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            definitions[i] = OPCITEMDEF{};
            definitions[i].szAccessPath = const_cast<wchar_t*>(L"");
            definitions[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            definitions[i].bActive = TRUE;
            definitions[i].hClient = OPCHANDLE(i);
            definitions[i].vtRequestedDataType = VT_EMPTY;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT added = connection_.Call("AddItems", [&] {
            return items_->AddItems(DWORD(ids.size()), definitions.data(), &results, &errors);
        });
        if (FAILED(added)) return added;
        list_.resize(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            list_[i].id = ids[i];
            list_[i].error = errors != nullptr ? errors[i] : E_FAIL;
            if (results != nullptr) {
                list_[i].server = results[i].hServer;
                list_[i].canonical = results[i].vtCanonicalDataType;
                list_[i].rights = results[i].dwAccessRights;
                CoTaskMemFree(results[i].pBlob);
            }
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return added;
    }

    template <typename Interface>
    HRESULT Query(REFIID iid, Ptr<Interface>* result) {
        return items_->QueryInterface(iid, result->outVoid());
    }

    const std::vector<Item>& items() const { return list_; }
    std::vector<Item>& items() { return list_; }
    // Server handles of the items that were added, and their client handles.
    void Added(std::vector<OPCHANDLE>* servers, std::vector<size_t>* positions) const {
        for (size_t i = 0; i < list_.size(); ++i) {
            if (FAILED(list_[i].error)) continue;
            servers->push_back(list_[i].server);
            positions->push_back(i);
        }
    }

private:
    Connection& connection_;
    Ptr<IOPCItemMgt> items_;
    OPCHANDLE handle_ = 0;
    std::vector<Item> list_;
};

std::string ValueLine(const std::wstring& id, const VARIANT& value, WORD quality,
                      const FILETIME& time) {
    return Utf8(id.c_str()) + '\t' + ValueText(value) + '\t' + TypeName(value.vt) + '\t' +
           QualityText(quality) + '\t' + TimeText(time);
}

std::string ErrorLine(Connection& connection, const std::wstring& id, HRESULT error) {
    return Utf8(id.c_str()) + "\tERROR\t" + connection.ErrorText(error);
}

// Prints the items that AddItems refused; true when there were any.
bool PrintRefused(Connection& connection, const Group& group) {
    bool any = false;
    for (const Item& item : group.items()) {
        if (FAILED(item.error)) {
            PrintLine(ErrorLine(connection, item.id, item.error));
            any = true;
        }
    }
    return any;
}

// Splits "--name value" options from positional arguments. An unknown option is a usage error.
struct Parsed {
    std::vector<std::wstring> positional;
    std::vector<std::pair<std::wstring, std::wstring>> options;
    std::string problem;
    const std::wstring* Find(const wchar_t* name) const {
        for (const auto& option : options)
            if (option.first == name) return &option.second;
        return nullptr;
    }
};

Parsed Parse(const std::vector<std::wstring>& arguments,
             std::initializer_list<const wchar_t*> flags,
             std::initializer_list<const wchar_t*> valued) {
    Parsed parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument.size() < 3 || argument.compare(0, 2, L"--") != 0) {
            parsed.positional.push_back(argument);
            continue;
        }
        bool known = false;
        for (const wchar_t* flag : flags) {
            if (argument == flag) {
                parsed.options.emplace_back(argument, L"");
                known = true;
            }
        }
        for (const wchar_t* name : valued) {
            if (argument != name) continue;
            known = true;
            if (i + 1 >= arguments.size()) {
                parsed.problem = Utf8(name) + " needs a value";
                return parsed;
            }
            parsed.options.emplace_back(argument, arguments[++i]);
        }
        if (!known) {
            parsed.problem = "unknown option " + Utf8(argument.c_str());
            return parsed;
        }
    }
    return parsed;
}

bool ParseNumber(const std::wstring& text, unsigned long maximum, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + unsigned(c - L'0');
    }
    if (number > maximum) return false;
    *value = static_cast<unsigned long>(number);
    return true;
}

// --- the data callbacks of watch and of asynchronous writes ---

// Item IDs by client handle; the sinks keep their own copy, since a server may still call
// them while the command winds down.
class Names {
public:
    explicit Names(const std::vector<Item>& items) {
        for (const Item& item : items)
            ids_.push_back(item.id);
    }
    std::wstring operator()(OPCHANDLE clientHandle) const {
        return clientHandle < ids_.size() ? ids_[clientHandle]
                                          : L"#" + std::to_wstring(clientHandle);
    }

private:
    std::vector<std::wstring> ids_;
};

class DataCallback : public IOPCDataCallback {
public:
    // Data changes and read completions are printed when `printValues` says so.
    DataCallback(Connection& connection, const Names& names, bool printValues)
        : connection_(connection), names_(names), printValues_(printValues) {
        writeDone_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    virtual ~DataCallback() { CloseHandle(writeDone_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback)) {
            *result = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                              VARIANT* values, WORD* qualities, FILETIME* times,
                              HRESULT* errors) override {
        PrintValues(count, handles, values, qualities, times, errors);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                                VARIANT* values, WORD* qualities, FILETIME* times,
                                HRESULT* errors) override {
        PrintValues(count, handles, values, qualities, times, errors);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transaction, OPCHANDLE, HRESULT, DWORD count,
                                 OPCHANDLE* handles, HRESULT* errors) override {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (transaction != expectedTransaction_) return S_OK;
            for (DWORD i = 0; i < count && handles != nullptr && errors != nullptr; ++i)
                written_.emplace_back(handles[i], errors[i]);
        }
        SetEvent(writeDone_);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    void ExpectWrite(DWORD transaction) {
        std::lock_guard<std::mutex> hold(mutex_);
        expectedTransaction_ = transaction;
    }
    // The per-item results of the expected write, or false when none came within the timeout.
    bool WaitWrite(unsigned timeoutMs, std::vector<std::pair<OPCHANDLE, HRESULT>>* results) {
        if (WaitForSingleObject(writeDone_, timeoutMs) != WAIT_OBJECT_0) return false;
        std::lock_guard<std::mutex> hold(mutex_);
        *results = written_;
        return true;
    }

private:
    void PrintValues(DWORD count, const OPCHANDLE* handles, const VARIANT* values,
                     const WORD* qualities, const FILETIME* times, const HRESULT* errors) {
        if (!printValues_ || handles == nullptr || values == nullptr || qualities == nullptr ||
            times == nullptr)
            return;
        for (DWORD i = 0; i < count; ++i) {
            const std::wstring name = names_(handles[i]);
            if (errors != nullptr && FAILED(errors[i]))
                PrintLine(ErrorLine(connection_, name, errors[i]));
            else
                PrintLine(ValueLine(name, values[i], qualities[i], times[i]));
        }
    }

    Connection& connection_;
    const Names names_;
    const bool printValues_;
    std::atomic<ULONG> references_{1};
    std::mutex mutex_;
    DWORD expectedTransaction_ = 0;
    std::vector<std::pair<OPCHANDLE, HRESULT>> written_;
    HANDLE writeDone_ = nullptr;
};

// DA 1.0 delivery: the OPCSTMFORMATDATATIME block taken apart.
class StreamSink : public IAdviseSink {
public:
    explicit StreamSink(const Names& names) : names_(names) {}
    virtual ~StreamSink() = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAdviseSink)) {
            *result = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        if (medium == nullptr || medium->tymed != TYMED_HGLOBAL || medium->hGlobal == nullptr) {
            PrintError("stream delivery without a memory block");
            return;
        }
        const void* bytes = GlobalLock(medium->hGlobal);
        if (bytes == nullptr) return;
        opc::daStreamData data;
        const HRESULT parsed =
            opc::daStreamParseData(bytes, GlobalSize(medium->hGlobal), true, &data);
        GlobalUnlock(medium->hGlobal);
        if (FAILED(parsed)) {
            PrintError("a stream block that does not parse: " + CodeText(parsed));
            return;
        }
        for (const opc::daStreamItem& item : data.items) {
            const std::wstring name = names_(item.clientHandle);
            PrintLine(ValueLine(name, item.value, item.quality, item.timeStamp));
        }
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    const Names names_;
    std::atomic<ULONG> references_{1};
};

// Set by Ctrl-C (and by a closing console) to end a watch early.
HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (stopEvent != nullptr) SetEvent(stopEvent);
    return TRUE;
}

// --- browsing ---

// Strings of an enumerator (null: none); bounded so that a broken server cannot run us out.
std::vector<std::wstring> Strings(Connection& connection, IEnumString* strings) {
    std::vector<std::wstring> out;
    if (strings == nullptr) return out;
    constexpr size_t kMaximum = 1000000;
    while (out.size() < kMaximum) {
        LPOLESTR batch[64] = {};
        ULONG fetched = 0;
        const HRESULT got = connection.Call("IEnumString::Next",
                                            [&] { return strings->Next(64, batch, &fetched); });
        if (FAILED(got)) break;
        for (ULONG i = 0; i < fetched && i < 64; ++i) {
            if (batch[i] != nullptr) out.emplace_back(batch[i]);
            CoTaskMemFree(batch[i]);
        }
        if (got != S_OK || fetched == 0) break;
    }
    return out;
}

struct Browser {
    Connection& connection;
    IOPCBrowseServerAddressSpace* space;
    const std::wstring& filter;
    HRESULT failure = S_OK;

    std::vector<std::wstring> List(OPCBROWSETYPE type, const std::wstring& criteria) {
        Ptr<IEnumString> strings;
        const HRESULT got = connection.Call("BrowseOPCItemIDs", [&] {
            return space->BrowseOPCItemIDs(type, criteria.c_str(), VT_EMPTY, 0, strings.out());
        });
        if (FAILED(got)) {
            failure = got;
            return {};
        }
        return Strings(connection, strings.get());
    }

    // Prints the server's item ID of a leaf at the current position.
    void PrintItemId(const std::wstring& leaf) {
        TaskString id;
        HRESULT got = connection.Call("GetItemID", [&] {
            return space->GetItemID(const_cast<wchar_t*>(leaf.c_str()), &id.text);
        });
        if (SUCCEEDED(got) && id.text == nullptr) got = E_POINTER;
        if (FAILED(got)) {
            failure = got;
            return;
        }
        PrintLine(Utf8(id.text));
    }

    void Tree(unsigned depth) {
        for (const std::wstring& leaf : List(OPC_LEAF, filter))
            PrintItemId(leaf);
        if (depth >= 64) return;  // deeper than any real address space
        for (const std::wstring& branch : List(OPC_BRANCH, L"")) {
            HRESULT moved = connection.Call("ChangeBrowsePosition", [&] {
                return space->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str());
            });
            if (FAILED(moved)) {
                failure = moved;
                continue;
            }
            Tree(depth + 1);
            moved = connection.Call("ChangeBrowsePosition", [&] {
                return space->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
            });
            if (FAILED(moved)) {
                failure = moved;
                return;
            }
        }
    }
};

}  // namespace

int RunStatus(const Options& options, const std::vector<std::wstring>& arguments) {
    if (!arguments.empty()) return Usage("status takes no arguments");
    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT got =
        connection.Call("GetStatus", [&] { return connection.server()->GetStatus(&status); });
    if (FAILED(got) || status == nullptr) return Failed(connection, "GetStatus", got);
    PrintLine("state\t" + ServerStateName(status->dwServerState));
    PrintLine("start_time\t" + TimeText(status->ftStartTime));
    PrintLine("current_time\t" + TimeText(status->ftCurrentTime));
    PrintLine("last_update_time\t" + TimeText(status->ftLastUpdateTime));
    PrintLine("groups\t" + std::to_string(status->dwGroupCount));
    PrintLine("bandwidth\t" + (status->dwBandWidth == 0xFFFFFFFFu
                                   ? std::string("unknown")
                                   : std::to_string(status->dwBandWidth)));
    PrintLine("version\t" + std::to_string(status->wMajorVersion) + '.' +
              std::to_string(status->wMinorVersion) + '.' + std::to_string(status->wBuildNumber));
    PrintLine("vendor\t" + Utf8(status->szVendorInfo));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return kExitOk;
}

int RunBrowse(const Options& options, const std::vector<std::wstring>& arguments) {
    const Parsed parsed = Parse(arguments, {L"--flat"}, {});
    if (!parsed.problem.empty()) return Usage(parsed.problem);
    if (parsed.positional.size() > 1) return Usage("browse takes at most one filter");
    const std::wstring filter = parsed.positional.empty() ? L"" : parsed.positional[0];
    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    Ptr<IOPCBrowseServerAddressSpace> space;
    HRESULT got =
        connection.server()->QueryInterface(IID_IOPCBrowseServerAddressSpace, space.outVoid());
    if (FAILED(got)) return Failed(connection, "browsing", got);
    OPCNAMESPACETYPE organisation = OPC_NS_FLAT;
    got = connection.Call("QueryOrganization",
                          [&] { return space->QueryOrganization(&organisation); });
    if (FAILED(got)) return Failed(connection, "QueryOrganization", got);

    Browser browser{connection, space.get(), filter};
    if (organisation == OPC_NS_FLAT || parsed.Find(L"--flat") != nullptr) {
        if (organisation == OPC_NS_HIERARCHIAL)
            connection.Call("ChangeBrowsePosition",
                            [&] { return space->ChangeBrowsePosition(OPC_BROWSE_TO, L""); });
        for (const std::wstring& id : browser.List(OPC_FLAT, filter))
            PrintLine(Utf8(id.c_str()));
    } else {
        got = connection.Call("ChangeBrowsePosition",
                              [&] { return space->ChangeBrowsePosition(OPC_BROWSE_TO, L""); });
        if (FAILED(got)) return Failed(connection, "ChangeBrowsePosition to the root", got);
        browser.Tree(0);
    }
    if (FAILED(browser.failure)) return Failed(connection, "browsing", browser.failure);
    return kExitOk;
}

int RunRead(const Options& options, const std::vector<std::wstring>& arguments) {
    const Parsed parsed = Parse(arguments, {L"--device"}, {});
    if (!parsed.problem.empty()) return Usage(parsed.problem);
    if (parsed.positional.empty()) return Usage("read needs at least one item");
    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    Group group(connection);
    HRESULT got = group.Create(1000, true);
    if (FAILED(got)) return Failed(connection, "AddGroup", got);
    got = group.Add(parsed.positional);
    if (FAILED(got)) return Failed(connection, "AddItems", got);
    bool anyFailed = PrintRefused(connection, group);

    std::vector<OPCHANDLE> handles;
    std::vector<size_t> positions;
    group.Added(&handles, &positions);
    if (handles.empty()) return kExitOpcError;
    Ptr<IOPCSyncIO> io;
    got = group.Query(IID_IOPCSyncIO, &io);
    if (FAILED(got)) return Failed(connection, "IOPCSyncIO", got);
    const OPCDATASOURCE source = parsed.Find(L"--device") != nullptr ? OPC_DS_DEVICE : OPC_DS_CACHE;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    got = connection.Call("Read", [&] {
        return io->Read(source, DWORD(handles.size()), handles.data(), &states, &errors);
    });
    if (FAILED(got)) return Failed(connection, "Read", got);
    for (size_t i = 0; i < handles.size(); ++i) {
        const std::wstring& id = group.items()[positions[i]].id;
        if (errors != nullptr && FAILED(errors[i])) {
            PrintLine(ErrorLine(connection, id, errors[i]));
            anyFailed = true;
        } else if (states != nullptr) {
            PrintLine(
                ValueLine(id, states[i].vDataValue, states[i].wQuality, states[i].ftTimeStamp));
        }
        if (states != nullptr) VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return anyFailed ? kExitOpcError : kExitOk;
}

int RunWrite(const Options& options, const std::vector<std::wstring>& arguments) {
    const Parsed parsed = Parse(arguments, {L"--async"}, {});
    if (!parsed.problem.empty()) return Usage(parsed.problem);
    if (parsed.positional.empty()) return Usage("write needs at least one item=value");
    std::vector<std::wstring> ids;
    std::vector<std::string> texts;
    for (const std::wstring& pair : parsed.positional) {
        const size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos || equals == 0)
            return Usage("write takes item=value, not \"" + Utf8(pair.c_str()) + '"');
        ids.push_back(pair.substr(0, equals));
        texts.push_back(Utf8(pair.substr(equals + 1).c_str()));
    }
    const bool async = parsed.Find(L"--async") != nullptr;

    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    Group group(connection);
    // Inactive: a write needs no data changes.
    HRESULT got = group.Create(1000, false);
    if (FAILED(got)) return Failed(connection, "AddGroup", got);
    got = group.Add(ids);
    if (FAILED(got)) return Failed(connection, "AddItems", got);
    bool anyFailed = PrintRefused(connection, group);

    // The texts become values of each item's own type before anything is sent.
    std::vector<OPCHANDLE> handles;
    std::vector<size_t> positions;
    std::vector<VARIANT> values;
    for (size_t i = 0; i < ids.size(); ++i) {
        Item& item = group.items()[i];
        if (FAILED(item.error)) continue;
        VARIANT value;
        const HRESULT parsedValue = ParseValue(texts[i], item.canonical, &value);
        if (FAILED(parsedValue)) {
            PrintLine(Utf8(item.id.c_str()) + "\tERROR\t" + CodeText(parsedValue) + " \"" +
                      texts[i] + "\" is not a " + TypeName(item.canonical) + " value");
            anyFailed = true;
            continue;
        }
        handles.push_back(item.server);
        positions.push_back(i);
        values.push_back(value);
    }
    auto clearValues = [&] {
        for (VARIANT& value : values)
            VariantClear(&value);
    };
    if (handles.empty()) return kExitOpcError;

    std::vector<std::pair<OPCHANDLE, HRESULT>> results;  // client handle, result
    if (!async) {
        Ptr<IOPCSyncIO> io;
        got = group.Query(IID_IOPCSyncIO, &io);
        HRESULT* errors = nullptr;
        if (SUCCEEDED(got))
            got = connection.Call("Write", [&] {
                return io->Write(DWORD(handles.size()), handles.data(), values.data(), &errors);
            });
        clearValues();
        if (FAILED(got)) return Failed(connection, "Write", got);
        for (size_t i = 0; i < handles.size(); ++i)
            results.emplace_back(OPCHANDLE(positions[i]), errors != nullptr ? errors[i] : E_FAIL);
        CoTaskMemFree(errors);
    } else {
        const Names names(group.items());
        DataCallback* callback = new DataCallback(connection, names, false);
        Ptr<IConnectionPointContainer> container;
        Ptr<IConnectionPoint> point;
        DWORD cookie = 0;
        got = group.Query(IID_IConnectionPointContainer, &container);
        if (SUCCEEDED(got)) got = container->FindConnectionPoint(IID_IOPCDataCallback, point.out());
        if (SUCCEEDED(got))
            got = connection.Call("Advise", [&] { return point->Advise(callback, &cookie); });
        Ptr<IOPCAsyncIO2> io;
        if (SUCCEEDED(got)) got = group.Query(IID_IOPCAsyncIO2, &io);
        constexpr DWORD kTransaction = 0x4B56;
        callback->ExpectWrite(kTransaction);
        DWORD cancelId = 0;
        HRESULT* errors = nullptr;
        if (SUCCEEDED(got))
            got = connection.Call("Write", [&] {
                return io->Write(DWORD(handles.size()), handles.data(), values.data(), kTransaction,
                                 &cancelId, &errors);
            });
        clearValues();
        bool completed = false;
        if (SUCCEEDED(got)) {
            // Items refused at once are not part of the completion.
            for (size_t i = 0; i < handles.size(); ++i) {
                if (errors != nullptr && FAILED(errors[i])) {
                    results.emplace_back(OPCHANDLE(positions[i]), errors[i]);
                }
            }
            completed = results.size() == handles.size() ||
                        callback->WaitWrite(options.timeoutMs, &results);
        }
        CoTaskMemFree(errors);
        if (cookie != 0) connection.Call("Unadvise", [&] { return point->Unadvise(cookie); });
        callback->Release();
        if (FAILED(got)) return Failed(connection, "asynchronous Write", got);
        if (!completed) {
            PrintError("the write was not confirmed within " + std::to_string(options.timeoutMs) +
                       " ms");
            return kExitOpcError;
        }
    }
    for (const auto& [position, result] : results) {
        const std::wstring& id =
            position < group.items().size() ? group.items()[position].id : L"?";
        if (FAILED(result))
            PrintLine(ErrorLine(connection, id, result));
        else
            PrintLine(Utf8(id.c_str()) + '\t' +
                      (result == S_OK ? CodeText(result) + " S_OK" : connection.ErrorText(result)));
        anyFailed = anyFailed || FAILED(result);
    }
    return anyFailed ? kExitOpcError : kExitOk;
}

int RunWatch(const Options& options, const std::vector<std::wstring>& arguments) {
    const Parsed parsed = Parse(arguments, {L"--stream"}, {L"--rate", L"--seconds"});
    if (!parsed.problem.empty()) return Usage(parsed.problem);
    if (parsed.positional.empty()) return Usage("watch needs at least one item");
    unsigned long rate = 1000, seconds = 0;
    if (const std::wstring* text = parsed.Find(L"--rate");
        text && !ParseNumber(*text, 3600000, &rate))
        return Usage("--rate takes milliseconds (0 to 3600000)");
    if (const std::wstring* text = parsed.Find(L"--seconds");
        text && !ParseNumber(*text, 31536000, &seconds))
        return Usage("--seconds takes a whole number of seconds");
    const bool stream = parsed.Find(L"--stream") != nullptr;

    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    Group group(connection);
    HRESULT got = group.Create(DWORD(rate), true);
    if (FAILED(got)) return Failed(connection, "AddGroup", got);
    got = group.Add(parsed.positional);
    if (FAILED(got)) return Failed(connection, "AddItems", got);
    const bool anyRefused = PrintRefused(connection, group);

    const Names names(group.items());
    Ptr<IConnectionPointContainer> container;
    Ptr<IConnectionPoint> point;
    Ptr<IDataObject> data;
    DWORD cookie = 0;
    IUnknown* sink = nullptr;
    if (stream) {
        sink = new StreamSink(names);
        got = group.Query(IID_IDataObject, &data);
        FORMATETC format{CLIPFORMAT(RegisterClipboardFormatA(OPC_CLIPBOARD_FORMAT_DATATIME)),
                         nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        if (SUCCEEDED(got))
            got = connection.Call("DAdvise", [&] {
                return data->DAdvise(&format, 0, static_cast<StreamSink*>(sink), &cookie);
            });
    } else {
        sink = new DataCallback(connection, names, true);
        got = group.Query(IID_IConnectionPointContainer, &container);
        if (SUCCEEDED(got)) got = container->FindConnectionPoint(IID_IOPCDataCallback, point.out());
        if (SUCCEEDED(got))
            got = connection.Call(
                "Advise", [&] { return point->Advise(static_cast<DataCallback*>(sink), &cookie); });
    }
    if (FAILED(got)) {
        sink->Release();
        return Failed(connection, stream ? "DAdvise" : "Advise", got);
    }

    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    WaitForSingleObject(stopEvent, seconds == 0 ? INFINITE : DWORD(seconds * 1000));
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);

    if (stream)
        connection.Call("DUnadvise", [&] { return data->DUnadvise(cookie); });
    else
        connection.Call("Unadvise", [&] { return point->Unadvise(cookie); });
    sink->Release();
    CloseHandle(stopEvent);
    stopEvent = nullptr;
    return anyRefused ? kExitOpcError : kExitOk;
}

int RunProps(const Options& options, const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 1) return Usage("props takes one item");
    std::wstring id = arguments[0];
    Connection connection(options);
    if (!connection.Open()) return kExitOpcError;
    Ptr<IOPCItemProperties> properties;
    HRESULT got = connection.server()->QueryInterface(IID_IOPCItemProperties, properties.outVoid());
    if (FAILED(got)) return Failed(connection, "item properties", got);
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    got = connection.Call("QueryAvailableProperties", [&] {
        return properties->QueryAvailableProperties(id.data(), &count, &ids, &descriptions, &types);
    });
    if (FAILED(got)) return Failed(connection, "QueryAvailableProperties", got);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    if (count > 0)
        got = connection.Call("GetItemProperties", [&] {
            return properties->GetItemProperties(id.data(), count, ids, &values, &errors);
        });
    if (FAILED(got)) Failed(connection, "GetItemProperties", got);
    for (DWORD i = 0; i < count && SUCCEEDED(got); ++i) {
        std::string line = std::to_string(ids[i]) + '\t' +
                           Utf8(descriptions != nullptr ? descriptions[i] : nullptr) + '\t';
        if (values != nullptr && errors != nullptr && SUCCEEDED(errors[i]))
            line += ValueText(values[i]) + '\t' + TypeName(values[i].vt);
        else
            line += "ERROR\t" + connection.ErrorText(errors != nullptr ? errors[i] : E_FAIL);
        PrintLine(line);
        if (values != nullptr) VariantClear(&values[i]);
    }
    for (DWORD i = 0; i < count && descriptions != nullptr; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    return FAILED(got) ? kExitOpcError : kExitOk;
}

}  // namespace opcclient
