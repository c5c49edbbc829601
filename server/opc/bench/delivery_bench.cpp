// One cache cycle of a large plant: every tag gets a new value through daCacheUpdate, the pipe
// publishes it, and every client's groups detect the changes and deliver them to an
// IOPCDataCallback sink. A cycle ends when every client has received every item.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com.h"

#include "opc/daservice.h"
#include "opcda.h"

namespace {

constexpr unsigned kTags = 10000;
constexpr unsigned kClients = 10;
constexpr unsigned kGroupsPerClient = 10;
constexpr unsigned kItemsPerGroup = kTags / kGroupsPerClient;
constexpr DWORD kGroupRateMs = 10;
constexpr auto kCycleTimeout = std::chrono::seconds(60);

// Counts the items delivered to every group of every client.
class CountingSink final : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback)) {
            *object = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The benchmark owns the sink for the whole run.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        received_ += count;
        if (received_ >= expected_) arrived_.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    void Expect(uint64_t items) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_ = 0;
        expected_ = items;
    }
    bool WaitForAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, kCycleTimeout, [this] { return received_ >= expected_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    uint64_t received_ = 0;
    uint64_t expected_ = 0;
};

class Plant {
public:
    Plant() {
        opc::daDriverRecord driver;
        driver.rateGranularity = kGroupRateMs;
        driver.minUpdateRate = kGroupRateMs;
        driver.flags = 0x288;  // as the server core: no case, every update sent
        driver.branchSeparator = '/';
        ok_ = opc::daCreate(&service_, &driver, kTags) == 0 && RegisterTags() && ConnectClients();
    }
    ~Plant() {
        for (IOPCServer* server : servers_)
            server->Release();
        if (service_) opc::daServiceDestroy(service_);
    }
    bool ok() const { return ok_; }

    // Gives every tag a new value and waits until every client has it.
    bool Cycle(double stamp) {
        for (unsigned i = 0; i < kTags; ++i)
            values_[i].value.dblVal = stamp + i;
        sink_.Expect(uint64_t(kTags) * kClients);
        if (opc::daCacheUpdate(service_, kTags, values_.data(), nullptr) == 0) return false;
        return sink_.WaitForAll();
    }

private:
    bool RegisterTags() {
        values_.resize(kTags);
        for (unsigned i = 0; i < kTags; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Plant/Unit%02u/T%05u", i / kItemsPerGroup, i);
            VARIANT initial;
            VariantInit(&initial);
            initial.vt = VT_R8;
            initial.dblVal = 0;
            unsigned index = 0;
            if (opc::daAddRealTag_a(service_, &index, i, name, 0, 1, &initial, 0, 1e9) != 0)
                return false;
            names_.push_back(std::u16string(name, name + std::char_traits<char>::length(name)));
            opc::daCacheValue& value = values_[i];
            VariantInit(&value.value);
            value.value.vt = VT_R8;
            value.quality = 0xC0;
            value.error = S_OK;
            value.tagIndex = index;
        }
        return true;
    }

    bool ConnectClients() {
        opc::daVendorRecord vendor;
        vendor.vendor = "benchmark";
        for (unsigned c = 0; c < kClients; ++c) {
            opc::daServer* client = nullptr;
            if (opc::daClientCreate(service_, &client, nullptr, nullptr, 0, &vendor, nullptr,
                                    nullptr) != 0)
                return false;
            IUnknown* unknown = opc::daClientUnknown(client);
            IOPCServer* server = nullptr;
            const HRESULT found =
                unknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server));
            unknown->Release();
            if (FAILED(found)) return false;
            servers_.push_back(server);
            for (unsigned g = 0; g < kGroupsPerClient; ++g)
                if (!AddGroup(server, g)) return false;
        }
        // The first evaluation reports every item once (nothing sent yet): let it pass.
        return Cycle(0);
    }

    bool AddGroup(IOPCServer* server, unsigned group) {
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        IUnknown* unknown = nullptr;
        if (FAILED(server->AddGroup(nullptr, TRUE, kGroupRateMs, group, nullptr, nullptr, 0,
                                    &serverHandle, &revised, IID_IOPCItemMgt, &unknown)))
            return false;
        auto* items = static_cast<IOPCItemMgt*>(static_cast<void*>(unknown));
        std::vector<OPCITEMDEF> definitions(kItemsPerGroup);
        for (unsigned i = 0; i < kItemsPerGroup; ++i) {
            OPCITEMDEF& definition = definitions[i];
            definition = OPCITEMDEF{};
            definition.szItemID = const_cast<LPWSTR>(
                reinterpret_cast<const WCHAR*>(names_[group * kItemsPerGroup + i].c_str()));
            definition.szAccessPath = const_cast<LPWSTR>(reinterpret_cast<const WCHAR*>(u""));
            definition.bActive = TRUE;
            definition.hClient = i;
            definition.vtRequestedDataType = VT_EMPTY;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT added =
            items->AddItems(kItemsPerGroup, definitions.data(), &results, &errors);
        bool ok = added == S_OK;
        if (results) CoTaskMemFree(results);
        if (errors) CoTaskMemFree(errors);
        IConnectionPointContainer* container = nullptr;
        IConnectionPoint* point = nullptr;
        DWORD cookie = 0;
        ok = ok &&
             SUCCEEDED(items->QueryInterface(IID_IConnectionPointContainer,
                                             reinterpret_cast<void**>(&container))) &&
             SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)) &&
             SUCCEEDED(point->Advise(&sink_, &cookie));
        if (point) point->Release();
        if (container) container->Release();
        items->Release();
        return ok;
    }

    opc::daService* service_ = nullptr;
    bool ok_ = false;
    std::vector<std::u16string> names_;
    std::vector<opc::daCacheValue> values_;
    std::vector<IOPCServer*> servers_;
    CountingSink sink_;
};

void BM_CacheCycle(benchmark::State& state) {
    Plant plant;
    if (!plant.ok()) {
        state.SkipWithError("the plant could not be set up");
        return;
    }
    double stamp = 1;
    for (auto _ : state) {
        if (!plant.Cycle(stamp)) {
            state.SkipWithError("a cycle was not delivered in time");
            return;
        }
        stamp += kTags;
    }
    state.counters["items/s"] = benchmark::Counter(double(state.iterations()) * kTags * kClients,
                                                   benchmark::Counter::kIsRate);
}

BENCHMARK(BM_CacheCycle)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
