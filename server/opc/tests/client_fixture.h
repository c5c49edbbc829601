#pragma once
// Clients of the OPC service for the server object's tests: a client made as the class factory
// makes one, a shutdown sink and an aggregating outer object of the tests' own.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../src/daserver.h"
#include "opc_test_support.h"
#include "test_driver.h"

namespace opc_test {

inline const opc::daVendorRecord& Vendor() {
    static const opc::daVendorRecord vendor{6, 1, 16, 6127, "KarvexOPC-Modbus OPC Server"};
    return vendor;
}

inline std::u16string U16(const WCHAR* text) {
    return opc::daWideToU16(text);
}

// Counts the release callbacks it receives.
struct ReleaseCounter {
    std::atomic<int> count{0};
    std::atomic<int> made{0};  // clients made by MakeClient with this counter
    static void Callback(void* argument) { ++static_cast<ReleaseCounter*>(argument)->count; }

    // A client whose last reference goes on its scheduler thread ends there, after the test's
    // own release: what it still uses (the counter, the log, the service) must outlive that.
    bool WaitAllEnded(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (count.load() < made.load()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
};

// A client as the class factory hands it out: the IOPCServer is the only reference.
inline IOPCServer* MakeClient(opc::daService* service, ReleaseCounter* released, unsigned flags = 0,
                              opc::daServer** made = nullptr) {
    opc::daServer* client = nullptr;
    const int error = opc::daClientCreate(service, &client, nullptr, nullptr, flags, &Vendor(),
                                          ReleaseCounter::Callback, released);
    EXPECT_EQ(error, 0);
    if (error != 0) return nullptr;
    if (released != nullptr) ++released->made;
    IUnknown* unknown = opc::daClientUnknown(client);
    IOPCServer* server = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)), S_OK);
    unknown->Release();
    if (made) *made = client;
    return server;
}

template <typename Interface>
Interface* Query(IUnknown* object, REFIID iid) {
    Interface* result = nullptr;
    if (FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(&result)))) return nullptr;
    return result;
}

// Records the reasons of ShutdownRequest.
class ShutdownSink : public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IOPCShutdown) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IOPCShutdown*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reasons_.push_back(U16(reason));
        arrived_.notify_all();
        return S_OK;
    }

    // True once `count` requests arrived within the timeout.
    bool WaitFor(size_t count, unsigned timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return reasons_.size() >= count; });
    }
    std::vector<std::u16string> Reasons() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reasons_;
    }
    // References held by others (the sink lives on the test's stack with one of its own).
    ULONG HeldByOthers() const { return references_ - 1; }

private:
    std::atomic<ULONG> references_{1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::u16string> reasons_;
};

// Waits, bounded, for a condition that another thread makes true.
template <typename Condition>
bool Eventually(Condition condition, unsigned timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::SleepMs(5);
    }
    return true;
}

}  // namespace opc_test
