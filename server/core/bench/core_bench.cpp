// Start-up and the cache cycle of the largest configuration the server takes: 10,000 tags on
// 64 channels of 64 field devices each, which with the statistics items makes 38,738 OPC items.
// The log runs at the shipped default level (everything) into a file, as in a plant.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cache_cycle.h"
#include "config/scf_file.h"
#include "core/server.h"
#include "log/kvlog.h"
#include "platform/registry.h"

namespace {

namespace reg = platform::reg;

constexpr unsigned kChannels = 64;
constexpr unsigned kAddressesPerChannel = 64;
constexpr unsigned kTags = 10000;
const std::string kSettingsKey = "Software\\KB Karvex\\Bench\\Settings";

// A registry, a configuration file and a log of the benchmark's own, in a temporary folder.
class LargePlant {
public:
    LargePlant() {
        char pattern[] = "/tmp/karvex-core-bench-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("KARVEX_REGISTRY_DIR", folder_.c_str(), 1);
        config::CKarvexOPCCfgDoc doc;
        for (unsigned c = 0; c < kChannels; ++c) {
            config::opcDeviceInfo device;
            device.m_strName = "Line" + std::to_string(c);
            device.m_ucID = static_cast<uint8_t>(c);
            doc.Devices().push_back(device);
        }
        for (unsigned i = 0; i < kTags; ++i) {
            config::opcTagInfo tag;
            tag.m_dwID = i + 1;
            tag.m_strName = "Line" + std::to_string(i % kChannels) + "/T" + std::to_string(i);
            tag.m_ucDevice = static_cast<uint8_t>(i % kChannels);
            tag.m_ucDeviceNo = static_cast<uint8_t>(1 + (i / kChannels) % kAddressesPerChannel);
            tag.m_ucFunction = 3;
            tag.m_dwRegister = i;
            tag.m_vtType = i % 2 ? VT_R4 : VT_UI2;
            tag.m_aCorrections = {{0, 2, 0.1}};  // a scale, as most analog tags have
            doc.Elements().push_back(tag);
        }
        const std::string file = folder_ + "/plant.scf";
        config::SaveDocument(file, &doc);
        reg::SetValue(reg::Hive::CurrentUser, kSettingsKey, "datafile", reg::Value::String(file));
        reg::SetValue(reg::Hive::CurrentUser, kSettingsKey, "lock server", reg::Value::Dword(0));
        log_ = kvlog::Open("KarvexBench", (folder_ + "/server.log").c_str(), nullptr, 0,
                           kvlog::kDebug);
    }
    ~LargePlant() {
        kvlog::Close(log_);
        std::filesystem::remove_all(folder_);
    }

    // Init of a fresh server; false when it failed.
    bool Start(core::Server* server) const {
        server->settingsKey = kSettingsKey;
        return core::Init(server) == 0 && server->service != nullptr;
    }
    kvlog::Handle log() const { return log_; }

private:
    std::string folder_;
    kvlog::Handle log_ = nullptr;
};

const LargePlant& Plant() {
    static const LargePlant plant;
    return plant;
}

// Init: the settings, the configuration file and the registration of every item.
void BM_StartUp(benchmark::State& state) {
    const LargePlant& plant = Plant();
    for (auto _ : state) {
        core::Server server(plant.log());
        if (!plant.Start(&server)) {
            state.SkipWithError("Init failed");
            break;
        }
        state.PauseTiming();
        opc::daServiceDestroy(server.service);
        state.ResumeTiming();
    }
    state.counters["items"] = 2 + kTags + kChannels * (kAddressesPerChannel * 7 + 1);
}
BENCHMARK(BM_StartUp)->Unit(benchmark::kMillisecond)->UseRealTime();

// One pass of the cache cycle: statistics, group lists, every tag and one daCacheUpdate. With
// argument 1 every tag holds a fresh value (as after a poll of every register), with 0 none.
void BM_ProcessCycle(benchmark::State& state) {
    const bool fresh = state.range(0) != 0;
    const LargePlant& plant = Plant();
    core::Server server(plant.log());
    if (!plant.Start(&server)) {
        state.SkipWithError("Init failed");
        return;
    }
    server.pauses.processStart = 0;
    server.lockServer = 1;
    int32_t raw = 0;
    {
        core::CacheCycle cycle(&server);
        cycle.Start();
        for (auto _ : state) {
            if (fresh) {
                state.PauseTiming();
                ++raw;
                for (size_t i = 0; i < kTags; ++i) {
                    server.tables.UpdateTag(i, [raw](core::TagRecord& tag) {
                        tag.rawValue = raw;
                        tag.state = core::kTagFresh;
                    });
                }
                state.ResumeTiming();
            }
            cycle.RunOnce();
        }
    }
    opc::daServiceDestroy(server.service);
}
BENCHMARK(BM_ProcessCycle)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
