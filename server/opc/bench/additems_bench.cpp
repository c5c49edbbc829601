// AddItems of a large group in one call, and what the client's other calls meet meanwhile:
// another thread asks GetStatus, which takes the group table shared, every 0.1 ms while the
// items go in, and the longest of those calls is reported.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"

#include "opc/daservice.h"
#include "opcda.h"

namespace {

constexpr unsigned kTags = 10000;
constexpr unsigned kMostItems = 1000000;

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A service of kTags tags, one client, and item definitions naming the tags in turn.
class Plant {
public:
    Plant() {
        opc::daDriverRecord driver;
        driver.rateGranularity = 50;
        driver.flags = 0x288;  // as the server core
        driver.branchSeparator = '/';
        ok_ = opc::daCreate(&service_, &driver, kTags) == 0 && RegisterTags() && Connect();
        definitions_.resize(kMostItems);
        for (unsigned i = 0; i < kMostItems; ++i) {
            OPCITEMDEF& definition = definitions_[i];
            definition = OPCITEMDEF{};
            definition.szItemID =
                const_cast<LPWSTR>(reinterpret_cast<const WCHAR*>(names_[i % kTags].c_str()));
            definition.bActive = TRUE;
            definition.hClient = i;
            definition.vtRequestedDataType = VT_EMPTY;
        }
    }
    ~Plant() {
        if (server_) server_->Release();
        if (service_) opc::daServiceDestroy(service_);
    }
    bool ok() const { return ok_; }
    IOPCServer* server() const { return server_; }

    // An empty active group; its IOPCItemMgt and server handle.
    IOPCItemMgt* AddGroup(OPCHANDLE* handle) {
        DWORD revised = 0;
        IUnknown* unknown = nullptr;
        if (FAILED(server_->AddGroup(nullptr, TRUE, 1000, 0, nullptr, nullptr, 0, handle, &revised,
                                     IID_IOPCItemMgt, &unknown)))
            return nullptr;
        return static_cast<IOPCItemMgt*>(static_cast<void*>(unknown));
    }
    void RemoveGroup(IOPCItemMgt* group, OPCHANDLE handle) {
        group->Release();
        server_->RemoveGroup(handle, TRUE);
    }
    // True when every one of the first `count` definitions was added.
    bool AddItems(IOPCItemMgt* group, unsigned count) {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT added = group->AddItems(count, definitions_.data(), &results, &errors);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return added == S_OK;
    }

private:
    bool RegisterTags() {
        for (unsigned i = 0; i < kTags; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Plant/Unit%02u/T%05u", i / 1000, i);
            VARIANT initial;
            VariantInit(&initial);
            initial.vt = VT_R8;
            initial.dblVal = 0;
            unsigned index = 0;
            if (opc::daAddRealTag_a(service_, &index, i, name, 0, 1, &initial, 0, 1) != 0)
                return false;
            names_.push_back(std::u16string(name, name + std::char_traits<char>::length(name)));
        }
        return true;
    }
    bool Connect() {
        opc::daVendorRecord vendor;
        vendor.vendor = "benchmark";
        opc::daServer* client = nullptr;
        if (opc::daClientCreate(service_, &client, nullptr, nullptr, 0, &vendor, nullptr,
                                nullptr) != 0)
            return false;
        IUnknown* unknown = opc::daClientUnknown(client);
        const HRESULT found =
            unknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server_));
        unknown->Release();
        return SUCCEEDED(found);
    }

    opc::daService* service_ = nullptr;
    IOPCServer* server_ = nullptr;
    bool ok_ = false;
    std::vector<std::u16string> names_;
    std::vector<OPCITEMDEF> definitions_;
};

// Calls GetStatus until stopped; the longest call.
class StatusProbe {
public:
    explicit StatusProbe(IOPCServer* server)
        : thread_([this, server] {
              while (!stop_) {
                  const Clock::time_point start = Clock::now();
                  OPCSERVERSTATUS* status = nullptr;
                  if (SUCCEEDED(server->GetStatus(&status))) {
                      CoTaskMemFree(status->szVendorInfo);
                      CoTaskMemFree(status);
                  }
                  longest_ = std::max(longest_, MsBetween(start, Clock::now()));
                  std::this_thread::sleep_for(std::chrono::microseconds(100));
              }
          }) {}
    double Stop() {
        stop_ = true;
        thread_.join();
        return longest_;
    }

private:
    std::atomic<bool> stop_{false};
    double longest_ = 0;
    std::thread thread_;
};

void BM_AddItems(benchmark::State& state) {
    Plant plant;
    if (!plant.ok()) {
        state.SkipWithError("the plant could not be set up");
        return;
    }
    const auto count = static_cast<unsigned>(state.range(0));
    double longestStatus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        OPCHANDLE handle = 0;
        IOPCItemMgt* group = plant.AddGroup(&handle);
        if (!group) {
            state.SkipWithError("AddGroup failed");
            return;
        }
        StatusProbe probe(plant.server());
        state.ResumeTiming();
        const bool added = plant.AddItems(group, count);
        state.PauseTiming();
        longestStatus = std::max(longestStatus, probe.Stop());
        plant.RemoveGroup(group, handle);
        if (!added) {
            state.SkipWithError("an item was refused");
            return;
        }
        state.ResumeTiming();
    }
    state.counters["items/s"] =
        benchmark::Counter(double(state.iterations()) * count, benchmark::Counter::kIsRate);
    state.counters["longest GetStatus ms"] = longestStatus;
}

BENCHMARK(BM_AddItems)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(kMostItems)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
