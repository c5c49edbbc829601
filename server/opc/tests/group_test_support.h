#pragma once
// What the group tests share: interface pointers that release themselves, a client connected
// to a test driver's service, and sinks of the tests' own (IOPCDataCallback, IAdviseSink) that
// record every call and let a test wait for one with a bounded wait, or hold the scheduler
// thread inside a callback.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/com.h"

#include "opcconst.h"
#include "opcda.h"

#include "../src/dastream.h"
#include "opc/daservice.h"
#include "platform/com_ptr.h"
#include "test_driver.h"

namespace opc_test {

constexpr unsigned kDeliveryTimeoutMs = 10000;

using platform::ComPtr;

// A CoTaskMemAlloc'ed result array that frees itself.
template <typename T>
class TaskArray {
public:
    TaskArray() = default;
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;
    ~TaskArray() { CoTaskMemFree(p_); }
    T** out() { return &p_; }
    T& operator[](size_t i) const { return p_[i]; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

// Reference counting shared by the sinks.
class SinkBase {
protected:
    ULONG AddRefCount() { return ++references_; }
    ULONG ReleaseCount() { return --references_; }
    std::atomic<ULONG> references_{1};

    // Waits until `ready` holds, with `mutex_` held; false after the timeout.
    bool WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                   unsigned timeoutMs) {
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    // Holds the calling (scheduler) thread while the gate is closed.
    void PassGate(std::unique_lock<std::mutex>& lock) {
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !closed_; });
    }

public:
    virtual ~SinkBase() = default;
    void CloseGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    void OpenGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = false;
        changed_.notify_all();
    }
    // True once a callback is waiting at (or went through) the gate.
    bool WaitEntered(unsigned timeoutMs = kDeliveryTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return WaitUntil(
            lock, [this] { return entered_ > 0; }, timeoutMs);
    }

protected:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    unsigned entered_ = 0;
};

struct ItemValue {
    OPCHANDLE clientHandle = 0;
    Variant value;
    WORD quality = 0;
    HRESULT error = S_OK;
};

// One call of IOPCDataCallback.
struct CallbackCall {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete } kind = DataChange;
    DWORD transactionId = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<ItemValue> items;

    const ItemValue* Find(OPCHANDLE clientHandle) const {
        for (const ItemValue& item : items)
            if (item.clientHandle == clientHandle) return &item;
        return nullptr;
    }
};

class DataCallback : public IOPCDataCallback, public SinkBase {
public:
    using Calls = std::vector<CallbackCall>;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *object = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = ReleaseCount();
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transactionId, OPCHANDLE group,
                                           HRESULT masterQuality, HRESULT masterError, DWORD count,
                                           OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                           FILETIME*, HRESULT* errors) override {
        return Record(CallbackCall::DataChange, transactionId, group, masterQuality, masterError,
                      count, handles, values, qualities, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transactionId, OPCHANDLE group,
                                             HRESULT masterQuality, HRESULT masterError,
                                             DWORD count, OPCHANDLE* handles, VARIANT* values,
                                             WORD* qualities, FILETIME*, HRESULT* errors) override {
        return Record(CallbackCall::ReadComplete, transactionId, group, masterQuality, masterError,
                      count, handles, values, qualities, errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transactionId, OPCHANDLE group,
                                              HRESULT masterError, DWORD count, OPCHANDLE* handles,
                                              HRESULT* errors) override {
        return Record(CallbackCall::WriteComplete, transactionId, group, S_OK, masterError, count,
                      handles, nullptr, nullptr, errors);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transactionId, OPCHANDLE group) override {
        return Record(CallbackCall::CancelComplete, transactionId, group, S_OK, S_OK, 0, nullptr,
                      nullptr, nullptr, nullptr);
    }

    Calls Snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Waits (bounded) until `ready` holds for the calls recorded so far.
    bool WaitFor(const std::function<bool(const Calls&)>& ready,
                 unsigned timeoutMs = kDeliveryTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return WaitUntil(
            lock, [&] { return ready(calls_); }, timeoutMs);
    }
    // Waits for a call of that kind after the first `skip` calls; a copy of it, or kind -1.
    bool WaitForKind(CallbackCall::Kind kind, size_t skip, CallbackCall* found,
                     unsigned timeoutMs = kDeliveryTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto match = [&] {
            for (size_t i = skip; i < calls_.size(); ++i) {
                if (calls_[i].kind != kind) continue;
                if (found) *found = calls_[i];
                return true;
            }
            return false;
        };
        return WaitUntil(lock, match, timeoutMs);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_.size();
    }
    // What every call returns from now on.
    void AnswerWith(HRESULT result) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = result;
    }
    // Runs in every call, on the calling (scheduler) thread, before the call is recorded.
    void OnEachCall(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }

private:
    HRESULT Record(CallbackCall::Kind kind, DWORD transactionId, OPCHANDLE group,
                   HRESULT masterQuality, HRESULT masterError, DWORD count,
                   const OPCHANDLE* handles, const VARIANT* values, const WORD* qualities,
                   const HRESULT* errors) {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hook = hook_;
        }
        if (hook) hook();
        CallbackCall call;
        call.kind = kind;
        call.transactionId = transactionId;
        call.group = group;
        call.masterQuality = masterQuality;
        call.masterError = masterError;
        for (DWORD i = 0; i < count; ++i) {
            ItemValue item;
            item.clientHandle = handles[i];
            if (values) item.value = Variant(values[i]);
            if (qualities) item.quality = qualities[i];
            item.error = errors[i];
            call.items.push_back(std::move(item));
        }
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
        changed_.notify_all();
        if (closed_) PassGate(lock);
        return answer_;
    }

    Calls calls_;
    HRESULT answer_ = S_OK;
    std::function<void()> hook_;
};

// One block an IAdviseSink received, taken apart.
struct StreamBlock {
    UINT format = 0;
    OPCHANDLE group = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    std::vector<ItemValue> items;
    bool parsed = false;
};

class AdviseSink : public IAdviseSink, public SinkBase {
public:
    // The service's format numbers: DATA, DATATIME, WRITECOMPLETE.
    explicit AdviseSink(opc::daService* service) { opc::daClipboardFormats(service, formats_); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IAdviseSink))
            return E_NOINTERFACE;
        *object = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = ReleaseCount();
        if (left == 0) delete this;
        return left;
    }

    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        StreamBlock block;
        block.format = format->cfFormat;
        const void* bytes = GlobalLock(medium->hGlobal);
        const size_t size = GlobalSize(medium->hGlobal);
        if (block.format == formats_[2]) {
            opc::daStreamWriteComplete parsed;
            block.parsed = SUCCEEDED(opc::daStreamParseWriteComplete(bytes, size, &parsed));
            block.group = parsed.header.hClientGroup;
            block.transactionId = parsed.header.dwTransactionID;
            block.status = parsed.header.hrStatus;
            for (const OPCITEMHEADERWRITE& item : parsed.items) {
                ItemValue value;
                value.clientHandle = item.hClient;
                value.error = item.dwError;
                block.items.push_back(std::move(value));
            }
        } else {
            opc::daStreamData parsed;
            block.parsed = SUCCEEDED(
                opc::daStreamParseData(bytes, size, block.format == formats_[1], &parsed));
            block.group = parsed.header.hClientGroup;
            block.transactionId = parsed.header.dwTransactionID;
            block.status = parsed.header.hrStatus;
            for (const opc::daStreamItem& item : parsed.items) {
                ItemValue value;
                value.clientHandle = item.clientHandle;
                value.value = Variant(item.value);
                value.quality = item.quality;
                block.items.push_back(std::move(value));
            }
        }
        GlobalUnlock(medium->hGlobal);
        std::unique_lock<std::mutex> lock(mutex_);
        blocks_.push_back(std::move(block));
        changed_.notify_all();
        if (closed_) PassGate(lock);
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    UINT DataFormat() const { return formats_[0]; }
    UINT DataTimeFormat() const { return formats_[1]; }
    UINT WriteCompleteFormat() const { return formats_[2]; }

    std::vector<StreamBlock> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    bool WaitFor(const std::function<bool(const std::vector<StreamBlock>&)>& ready,
                 unsigned timeoutMs = kDeliveryTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return WaitUntil(
            lock, [&] { return ready(blocks_); }, timeoutMs);
    }

private:
    UINT formats_[3] = {};
    std::vector<StreamBlock> blocks_;
};

inline FORMATETC StreamFormat(UINT format, DWORD tymed = TYMED_HGLOBAL) {
    FORMATETC result{};
    result.cfFormat = static_cast<CLIPFORMAT>(format);
    result.dwAspect = DVASPECT_CONTENT;
    result.lindex = -1;
    result.tymed = tymed;
    return result;
}

// One OPC connection to a driver's service, as a class factory would make it. Its end waits
// (bounded) for the client object's release callback, so no scheduler thread outlives a test.
class Client {
public:
    explicit Client(opc::daService* service, unsigned flags = 0) {
        opc::daVendorRecord vendor;
        vendor.major = 6;
        vendor.vendor = "test";
        opc::daServer* made = nullptr;
        // The callback owns one reference to the signal: it may come after a timed-out wait.
        auto* signalReference = new std::shared_ptr<ReleaseSignal>(released_);
        result_ = opc::daClientCreate(service, &made, nullptr, nullptr, flags, &vendor,
                                      &Client::OnRelease, signalReference);
        if (result_ != 0) {
            delete signalReference;
            return;
        }
        object_ = made;
        IUnknown* unknown = opc::daClientUnknown(made);
        unknown->QueryInterface(IID_IOPCServer, server_.outVoid());
        unknown->Release();
        opc::daClientSetState(service, made, opc::daCS_OPERATE, OPC_STATUS_RUNNING, nullptr);
    }
    ~Client() {
        if (result_ != 0) return;
        server_.Reset();
        std::unique_lock<std::mutex> lock(released_->mutex);
        EXPECT_TRUE(released_->done.wait_for(lock, std::chrono::milliseconds(kDeliveryTimeoutMs),
                                             [this] { return released_->released; }))
            << "the client object was not released";
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int result() const { return result_; }
    IOPCServer* server() const { return server_.get(); }
    opc::daServer* object() const { return object_; }

    // A group's IOPCItemMgt (the other interfaces through QueryInterface).
    ComPtr<IOPCItemMgt> AddGroup(const char16_t* name, bool active, DWORD rate,
                                 FLOAT* deadband = nullptr, OPCHANDLE clientHandle = 7,
                                 OPCHANDLE* serverHandle = nullptr) {
        ComPtr<IOPCItemMgt> group;
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        const HRESULT hr = server_->AddGroup(
            reinterpret_cast<LPCWSTR>(name), active, rate, clientHandle, nullptr, deadband, 0,
            &handle, &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(group.out()));
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        if (serverHandle) *serverHandle = handle;
        return group;
    }

private:
    struct ReleaseSignal {
        std::mutex mutex;
        std::condition_variable done;
        bool released = false;
    };
    static void OnRelease(void* argument) {
        auto* signal = static_cast<std::shared_ptr<ReleaseSignal>*>(argument);
        {
            std::lock_guard<std::mutex> lock((*signal)->mutex);
            (*signal)->released = true;
            (*signal)->done.notify_all();
        }
        delete signal;
    }

    std::shared_ptr<ReleaseSignal> released_ = std::make_shared<ReleaseSignal>();
    int result_ = -1;
    opc::daServer* object_ = nullptr;
    ComPtr<IOPCServer> server_;
};

inline std::basic_string<WCHAR> Wide(const std::string& text) {
    return std::basic_string<WCHAR>(text.begin(), text.end());
}

// Adds items by name; client handle i + 1, the server handles returned in order (0 for items
// that failed, with the error in *errors when given).
inline std::vector<OPCHANDLE> AddItems(IOPCItemMgt* group, const std::vector<std::string>& names,
                                       bool active = true, VARTYPE type = VT_EMPTY,
                                       std::vector<HRESULT>* errors = nullptr) {
    std::vector<std::basic_string<WCHAR>> ids;
    for (const std::string& name : names)
        ids.push_back(Wide(name));
    std::vector<OPCITEMDEF> definitions(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        definitions[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        definitions[i].szAccessPath = nullptr;
        definitions[i].bActive = active;
        definitions[i].hClient = static_cast<OPCHANDLE>(i + 1);
        definitions[i].vtRequestedDataType = type;
    }
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> itemErrors;
    std::vector<OPCHANDLE> handles(names.size(), 0);
    if (FAILED(group->AddItems(static_cast<DWORD>(names.size()), definitions.data(), results.out(),
                               itemErrors.out())))
        return handles;
    for (size_t i = 0; i < names.size(); ++i) {
        if (SUCCEEDED(itemErrors[i])) handles[i] = results[i].hServer;
        if (errors) errors->push_back(itemErrors[i]);
    }
    return handles;
}

}  // namespace opc_test
