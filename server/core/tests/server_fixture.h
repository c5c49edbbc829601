#pragma once
// A server made as the program makes it, for the core's tests: a settings key of the test's own
// naming a configuration written with the configurator's store, a core::Server made by
// core::Init with a captured log, an in-process OPC client reading its items, and the cache
// cycle run on a thread of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../opc/tests/group_test_support.h"
#include "captured_log.h"
#include "config_builders.h"
#include "config/scf_file.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "testing/support.h"

namespace core_test {

constexpr unsigned kWaitMs = 20000;  // generous: a busy 2-core machine

// An item as a client reads it from the cache.
struct ItemState {
    opc_test::Variant value;
    WORD quality = 0;
    uint64_t time = 0;  // FILETIME
    HRESULT error = E_FAIL;
};

class TestServer {
public:
    // Log lines are kept from the function prefix given (for example "Process:") on.
    explicit TestServer(const std::string& logPrefix, int logLevel = kvlog::kDebug)
        : root_("Software\\KB Karvex\\Test\\" + testing_support::UniqueName("server")),
          log_(logPrefix, logLevel),
          server_(log_.handle()) {
        server_.settingsKey = root_ + "\\Settings";
    }
    ~TestServer() {
        StopProcess();
        group_.Reset();
        client_.reset();
        if (server_.service) opc::daServiceDestroy(server_.service);
        platform::reg::DeleteTree(platform::reg::Hive::CurrentUser, root_);
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    config::CKarvexOPCCfgDoc& doc() { return doc_; }
    core::Server& server() { return server_; }
    core::RuntimeTables& tables() { return server_.tables; }
    const CapturedLog& log() const { return log_; }
    IOPCServer* opcServer() const { return client_ ? client_->server() : nullptr; }

    void SetSetting(const std::string& name, const platform::reg::Value& value) {
        ASSERT_EQ(platform::reg::SetValue(platform::reg::Hive::CurrentUser, server_.settingsKey,
                                          name, value),
                  0u)
            << name;
    }

    // Writes the document, makes it the active configuration and makes the server; then a
    // client connects. Init's result.
    int Init() {
        const std::string path = dir_.File("active.scf");
        EXPECT_EQ(config::SaveDocument(path, &doc_), 0u);
        SetSetting("datafile", platform::reg::Value::String(path));
        const int result = core::Init(&server_);
        if (result != 0 || server_.service == nullptr) return result;
        client_ = std::make_unique<opc_test::Client>(server_.service);
        EXPECT_EQ(client_->result(), 0);
        group_ = client_->AddGroup(u"test", true, 100);
        return result;
    }

    // Server handles of the client's items (0 for a name the server does not know).
    std::vector<OPCHANDLE> AddItems(const std::vector<std::string>& names) {
        return opc_test::AddItems(group_.get(), names);
    }
    OPCHANDLE AddItem(const std::string& name) { return AddItems({name})[0]; }

    ItemState Read(OPCHANDLE handle) {
        opc_test::ComPtr<IOPCSyncIO> io;
        EXPECT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.outVoid()), S_OK);
        opc_test::TaskArray<OPCITEMSTATE> states;
        opc_test::TaskArray<HRESULT> errors;
        ItemState item;
        if (FAILED(io->Read(OPC_DS_CACHE, 1, &handle, states.out(), errors.out()))) return item;
        item.value = opc_test::Variant(states[0].vDataValue);
        VariantClear(&states[0].vDataValue);
        item.quality = states[0].wQuality;
        item.time = (uint64_t{states[0].ftTimeStamp.dwHighDateTime} << 32) |
                    states[0].ftTimeStamp.dwLowDateTime;
        item.error = errors[0];
        return item;
    }

    // A synchronous write of one item; its item error.
    HRESULT Write(OPCHANDLE handle, opc_test::Variant value) {
        opc_test::ComPtr<IOPCSyncIO> io;
        EXPECT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.outVoid()), S_OK);
        opc_test::TaskArray<HRESULT> errors;
        if (FAILED(io->Write(1, &handle, value.get(), errors.out()))) return E_FAIL;
        return errors[0];
    }

    // Waits (bounded) until the item read satisfies the condition; its last state either way.
    ItemState WaitFor(OPCHANDLE handle, const std::function<bool(const ItemState&)>& condition,
                      unsigned timeoutMs = kWaitMs) {
        const auto start = std::chrono::steady_clock::now();
        ItemState item = Read(handle);
        while (!condition(item) && testing_support::MsSince(start) < timeoutMs) {
            platform::SleepMs(5);
            item = Read(handle);
        }
        return item;
    }
    ItemState WaitForValue(OPCHANDLE handle, double value, WORD quality = 0xC0) {
        return WaitFor(handle, [&](const ItemState& item) {
            return item.quality == quality && item.value.AsDouble() == value;
        });
    }

    // Runs Process on a thread, with "lock server" on unless the test says otherwise and the
    // start wait shortened.
    void StartProcess(uint32_t delay = 10, bool lockServer = true) {
        server_.pauses.processStart = 10;
        server_.pauses.emptyConfiguration = 10;
        if (lockServer) server_.lockServer = 1;
        processEnded_ = false;
        process_ = std::thread([this, delay] {
            core::Process(&server_, delay);
            processEnded_ = true;
        });
    }
    // True once Process returned within the timeout.
    bool WaitProcessEnd(unsigned timeoutMs = kWaitMs) {
        const auto start = std::chrono::steady_clock::now();
        while (!processEnded_ && testing_support::MsSince(start) < timeoutMs)
            platform::SleepMs(5);
        return processEnded_;
    }
    void StopProcess() {
        if (!process_.joinable()) return;
        server_.lockServer = 0;
        server_.serverCount = 0;
        {
            std::lock_guard hold(server_.factoryLock);
            server_.factoryReferences = 0;
        }
        EXPECT_TRUE(WaitProcessEnd()) << "Process did not end";
        process_.join();
    }

    // Waits (bounded) until `count` more cycles have started than had at the call.
    bool WaitCycles(size_t count, unsigned timeoutMs = kWaitMs) {
        const std::string line = "D Process: cycle started.";
        const size_t target = log_.Count(line) + count;
        const auto start = std::chrono::steady_clock::now();
        while (log_.Count(line) < target) {
            if (testing_support::MsSince(start) > timeoutMs) return false;
            platform::SleepMs(10);
        }
        return true;
    }

private:
    testing_support::TempDir dir_;
    std::string root_;
    CapturedLog log_;
    config::CKarvexOPCCfgDoc doc_;
    core::Server server_;
    std::unique_ptr<opc_test::Client> client_;
    opc_test::ComPtr<IOPCItemMgt> group_;
    std::thread process_;
    std::atomic<bool> processEnded_{false};
};

}  // namespace core_test
