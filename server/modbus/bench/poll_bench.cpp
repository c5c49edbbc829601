// Polls per second against the libmodbus slave, one request at a time: a libmodbus master is
// the reference for what the engine's own poll loop achieves on the same link. The engine runs
// with no pauses, its log at a chosen level into a file of a temporary folder (with the
// registry the log keeps its settings in).

#include <benchmark/benchmark.h>
#include <modbus.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/server.h"
#include "log/kvlog.h"
#include "modbus/worker.h"
#include "modbus_testing/peers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStart = 0;
constexpr int kCount = 10;
constexpr uint8_t kUnit = 1;
constexpr auto kInterval = std::chrono::milliseconds(200);  // one iteration of the engine's
constexpr int kIntervals = 5;
constexpr auto kFirstPollLimit = std::chrono::seconds(20);

// Rates of this run, for the comparison printed at the end.
double gMasterPollsPerSecond = 0;
std::map<int, double> gEnginePollsPerSecond;  // by log level

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void FillRegisters(modbus_testing::LibmodbusSlave* slave) {
    for (int i = 0; i < kCount; ++i)
        slave->SetHolding(static_cast<uint16_t>(kStart + i), static_cast<uint16_t>(100 + i));
}

void BM_LibmodbusMasterPolls(benchmark::State& state) {
    modbus_testing::LibmodbusSlave slave;
    FillRegisters(&slave);
    modbus_t* master = modbus_new_tcp("127.0.0.1", slave.port());
    modbus_set_slave(master, 1);
    modbus_set_response_timeout(master, 2, 0);
    if (modbus_connect(master) != 0) {
        state.SkipWithError("the master cannot connect to the slave");
        modbus_free(master);
        return;
    }
    uint16_t registers[kCount] = {};
    const Clock::time_point start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        if (modbus_read_registers(master, kStart, kCount, registers) != kCount) {
            state.SkipWithError("a poll went unanswered");
            break;
        }
        benchmark::DoNotOptimize(registers);
    }
    const auto polls = static_cast<double>(state.iterations());
    if (polls > 0) {
        gMasterPollsPerSecond = polls / SecondsSince(start);
        state.counters["CPU us/poll"] =
            1e6 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC / polls;
    }
    state.counters["polls/s"] = benchmark::Counter(polls, benchmark::Counter::kIsRate);
    modbus_close(master);
    modbus_free(master);
}
BENCHMARK(BM_LibmodbusMasterPolls)->UseRealTime();

// A registry folder of the benchmark's own, and a log per level in it.
class BenchFolder {
public:
    BenchFolder() {
        char pattern[] = "/tmp/karvex-poll-bench-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("KARVEX_REGISTRY_DIR", folder_.c_str(), 1);
    }
    ~BenchFolder() {
        for (const auto& [level, log] : logs_)
            kvlog::Close(log);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    // The log keeps its level in the registry under its name, so each level has its own.
    kvlog::Handle Log(int level) {
        kvlog::Handle& log = logs_[level];
        if (log == nullptr) {
            const std::string name = "PollBench" + std::to_string(level);
            log = kvlog::Open(name.c_str(), (folder_ + "/" + name + ".log").c_str(), nullptr, 0,
                              level);
        }
        return log;
    }

private:
    std::string folder_;
    std::map<int, kvlog::Handle> logs_;
};

BenchFolder& Folder() {
    static BenchFolder folder;
    return folder;
}

// Channels 0..n-1 of a server of the benchmark's own, each polling ten 16-bit registers of one
// slave in one request with no pauses, each worker on its thread.
class PollingServer {
public:
    PollingServer(kvlog::Handle log, size_t channels, uint16_t port) : server_(log) {
        for (size_t c = 0; c < channels; ++c) {
            const auto id = static_cast<uint8_t>(c);
            for (int i = 0; i < kCount; ++i) {
                core::TagRecord tag;
                tag.m_strName = "Line" + std::to_string(c) + "/T" + std::to_string(i);
                tag.m_ucDevice = id;
                tag.m_ucDeviceNo = kUnit;
                tag.m_ucFunction = 3;
                tag.m_dwRegister = static_cast<uint32_t>(kStart + i);
                tag.m_ucSize = 16;
                server_.tables.AddTag(std::move(tag));
            }
            core::ChannelRecord channel;
            channel.m_ucID = id;
            channel.m_strName = "Line" + std::to_string(c);
            channel.m_wPort = port;
            channel.m_wTimeout = 1000;
            channel.m_wCyclePause = 0;
            channel.m_wPacketPause = 0;
            channel.thread = 1;
            server_.tables.AddChannel(channel);
            size_t index = 0;
            server_.tables.AttachFieldDevice(id, kUnit, &index);
        }
        modbus::WorkerTimings timings;
        timings.listingDelayMs = 0;
        server_.serverCount = 1;
        for (size_t c = 0; c < channels; ++c) {
            workers_.emplace_back([this, c, timings] {
                modbus::RunModbusTcpWorker(&server_, static_cast<uint8_t>(c), timings);
            });
        }
    }
    ~PollingServer() {
        server_.serverCount = 0;
        for (std::thread& worker : workers_)
            worker.join();
    }
    PollingServer(const PollingServer&) = delete;
    PollingServer& operator=(const PollingServer&) = delete;

private:
    core::Server server_;
    std::vector<std::thread> workers_;
};

struct Figures {
    double polls = 0;
    double seconds = 0;
    double cpuSeconds = 0;  // of the whole process, the slave's threads included
};

// Counts the slave's answers over fixed intervals of real time, one interval per iteration,
// once every channel has been answered at least once.
bool MeasurePolls(benchmark::State& state, const modbus_testing::LibmodbusSlave& slave,
                  size_t channels, Figures* figures) {
    const Clock::time_point waitStart = Clock::now();
    while (slave.Requests() < channels) {
        if (Clock::now() - waitStart > kFirstPollLimit) {
            state.SkipWithError("the engine did not poll the slave in time");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto _ : state) {
        const size_t before = slave.Requests();
        const std::clock_t cpuBefore = std::clock();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(kInterval);
        const double seconds = SecondsSince(start);
        figures->polls += static_cast<double>(slave.Requests() - before);
        figures->cpuSeconds += static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        figures->seconds += seconds;
        state.SetIterationTime(seconds);
    }
    return figures->polls > 0;
}

// One channel, one request: the engine's poll loop against the master's. Argument: log level.
void BM_EnginePolls(benchmark::State& state) {
    const int level = static_cast<int>(state.range(0));
    modbus_testing::LibmodbusSlave slave;
    FillRegisters(&slave);
    Figures figures;
    {
        PollingServer server(Folder().Log(level), 1, slave.port());
        if (!MeasurePolls(state, slave, 1, &figures)) return;
    }
    const double rate = figures.polls / figures.seconds;
    gEnginePollsPerSecond[level] = rate;
    state.counters["polls/s"] = rate;
    state.counters["CPU us/poll"] = 1e6 * figures.cpuSeconds / figures.polls;
    if (gMasterPollsPerSecond > 0) state.counters["vs master"] = rate / gMasterPollsPerSecond;
}
BENCHMARK(BM_EnginePolls)
    ->Arg(kvlog::kWarning)
    ->Arg(kvlog::kDebug)
    ->UseManualTime()
    ->Iterations(kIntervals);

// 64 channels at once against one slave that serves each connection on its own thread.
void BM_Engine64Channels(benchmark::State& state) {
    constexpr size_t kChannels = 64;
    modbus_testing::LibmodbusSlave slave;
    FillRegisters(&slave);
    Figures figures;
    {
        PollingServer server(Folder().Log(kvlog::kWarning), kChannels, slave.port());
        if (!MeasurePolls(state, slave, kChannels, &figures)) return;
    }
    state.counters["polls/s"] = figures.polls / figures.seconds;
    state.counters["CPU us/poll"] = 1e6 * figures.cpuSeconds / figures.polls;
}
BENCHMARK(BM_Engine64Channels)->UseManualTime()->Iterations(kIntervals);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gMasterPollsPerSecond > 0) {
        for (const auto& [level, rate] : gEnginePollsPerSecond) {
            std::printf(
                "engine polls/s at log level %d: %.0f, %.2f of the libmodbus master's %.0f "
                "(goal: at least 0.95)\n",
                level, rate, rate / gMasterPollsPerSecond, gMasterPollsPerSecond);
        }
    }
    return 0;
}
