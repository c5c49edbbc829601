// Polls per second against the libmodbus slave, one request at a time: a libmodbus master is
// the reference for what the engine's own poll loop achieves on the same link. The engine runs
// with no pauses, its log at a chosen level into a file of a temporary folder (with the
// registry the log keeps its settings in).
//
// The comparison measures the two poll loops, not the machine. Where the scheduler wakes the
// threads of a request and its answer decides a loopback round trip more than either loop's
// code (a wake-up on the other core costs more than a whole poll on one), and it places a fresh
// pair of threads differently from a long-running one; so the master, the engine and the slave
// share one core for the comparison. The machine is shared and its load changes from one
// second to the next: the engine and the master poll the same slave in short alternating
// windows, and the comparison is the median of the rounds' ratios, so that noise hits both
// alike and a disturbed round does not decide it.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "modbus_testing/rtu_peers.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStart = 0;
constexpr int kCount = 10;
constexpr uint8_t kUnit = 1;
constexpr auto kWindow = std::chrono::milliseconds(200);
constexpr int kRounds = 12;    // each a window of the master's and one of the engine's
constexpr int kIntervals = 5;  // windows of the 64 channels
constexpr auto kFirstPollLimit = std::chrono::seconds(20);

// Medians of the rounds by log level, for the comparison printed at the end.
struct Comparison {
    double engine = 0;  // polls/s
    double master = 0;
    double ratio = 0;
};
std::map<int, Comparison> gComparisons;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <typename Slave>
void FillRegisters(Slave* slave) {
    for (int i = 0; i < kCount; ++i)
        slave->SetHolding(static_cast<uint16_t>(kStart + i), static_cast<uint16_t>(100 + i));
}

// Polls answered in a stretch of real time, and the CPU time of the whole process meanwhile
// (the slave's threads included, for the master as for the engine).
struct Window {
    double polls = 0;
    double seconds = 0;
    double cpuSeconds = 0;

    double Rate() const { return polls / seconds; }
    double CpuMicrosecondsPerPoll() const { return 1e6 * cpuSeconds / polls; }
    void Add(const Window& other) {
        polls += other.polls;
        seconds += other.seconds;
        cpuSeconds += other.cpuSeconds;
    }
};

class WindowClock {
public:
    WindowClock() : start_(Clock::now()), cpuStart_(std::clock()) {}
    void Stop(double polls, Window* window) const {
        window->seconds = SecondsSince(start_);
        window->cpuSeconds = static_cast<double>(std::clock() - cpuStart_) / CLOCKS_PER_SEC;
        window->polls = polls;
    }
    bool Elapsed(Clock::duration length) const { return Clock::now() - start_ >= length; }

private:
    Clock::time_point start_;
    std::clock_t cpuStart_;
};

// Keeps the calling thread, and the threads it starts meanwhile, on the core it runs on.
class OneCore {
public:
    OneCore() {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        pinned_ = sched_getaffinity(0, sizeof(before_), &before_) == 0 &&
                  sched_setaffinity(0, sizeof(one), &one) == 0;
    }
    ~OneCore() {
        if (pinned_) sched_setaffinity(0, sizeof(before_), &before_);
    }
    OneCore(const OneCore&) = delete;
    OneCore& operator=(const OneCore&) = delete;

private:
    cpu_set_t before_;
    bool pinned_ = false;
};

// The libmodbus master, connected to the slave for the whole comparison.
class Master {
public:
    explicit Master(uint16_t port) : context_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(context_, kUnit);
        modbus_set_response_timeout(context_, 2, 0);
        connected_ = modbus_connect(context_) == 0;
    }
    ~Master() {
        modbus_close(context_);
        modbus_free(context_);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool connected() const { return connected_; }

    // False when a poll went unanswered.
    bool Poll(Window* window) {
        uint16_t registers[kCount] = {};
        double polls = 0;
        const WindowClock clock;
        while (!clock.Elapsed(kWindow)) {
            if (modbus_read_registers(context_, kStart, kCount, registers) != kCount) return false;
            benchmark::DoNotOptimize(registers);
            ++polls;
        }
        clock.Stop(polls, window);
        return true;
    }

private:
    modbus_t* context_;
    bool connected_ = false;
};

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

// Where a channel polls: the kind's type letter, and a TCP port or a COM port.
struct Line {
    uint8_t type = 'd';
    uint16_t port = 0;
    uint8_t com = 1;
};

// Channels 0..n-1 of a server of the benchmark's own, each polling ten 16-bit registers of one
// slave in one request with no pauses but the kind's own, each worker on its thread.
class PollingServer {
public:
    PollingServer(kvlog::Handle log, size_t channels, const Line& line) : server_(log) {
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
            channel.m_ucType = line.type;
            channel.m_wPort = line.port;
            channel.m_ucComPort = line.com;
            channel.m_wTimeout = 1000;
            channel.m_wCyclePause = 0;
            channel.m_wPacketPause = 0;
            channel.thread = 1;
            server_.tables.AddChannel(channel);
            size_t index = 0;
            server_.tables.AttachFieldDevice(id, kUnit, &index);
        }
        modbus::WorkerTimings timings = modbus::DefaultTimings(line.type);
        timings.listingDelayMs = 0;
        server_.serverCount = 1;
        for (size_t c = 0; c < channels; ++c) {
            workers_.emplace_back([this, c, timings, type = line.type] {
                modbus::RunWorker(&server_, type, static_cast<uint8_t>(c), timings);
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

// A slave's answers over `windows` windows of real time on a server started for them, counted
// once it has answered as many polls as there are channels.
template <typename Slave>
bool EngineWindow(kvlog::Handle log, const Slave& slave, size_t channels, const Line& line,
                  int windows, Window* window) {
    const size_t before = slave.Requests();
    PollingServer server(log, channels, line);
    const Clock::time_point waitStart = Clock::now();
    while (slave.Requests() < before + channels) {
        if (Clock::now() - waitStart > kFirstPollLimit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t first = slave.Requests();
    const WindowClock clock;
    std::this_thread::sleep_for(windows * kWindow);
    clock.Stop(static_cast<double>(slave.Requests() - first), window);
    return window->polls > 0;
}

bool EngineWindow(kvlog::Handle log, const modbus_testing::LibmodbusSlave& slave, size_t channels,
                  int windows, Window* window) {
    return EngineWindow(log, slave, channels, Line{.type = 'd', .port = slave.port()}, windows,
                        window);
}

// One channel, one request: the engine's poll loop against the master's on one core, in
// alternating windows, the master first in every other round. Argument: log level.
void BM_EnginePolls(benchmark::State& state) {
    const int level = static_cast<int>(state.range(0));
    const OneCore core;
    modbus_testing::LibmodbusSlave slave;
    FillRegisters(&slave);
    Master master(slave.port());
    if (!master.connected()) {
        state.SkipWithError("the master cannot connect to the slave");
        return;
    }
    std::vector<double> engineRates;
    std::vector<double> masterRates;
    std::vector<double> ratios;
    Window engineTotal;
    Window masterTotal;
    for (auto _ : state) {
        const bool masterFirst = ratios.size() % 2 == 0;
        Window engine;
        Window reference;
        bool polled = !masterFirst || master.Poll(&reference);
        polled = polled && EngineWindow(Folder().Log(level), slave, 1, 1, &engine);
        polled = polled && (masterFirst || master.Poll(&reference));
        if (!polled) {
            state.SkipWithError("a poll went unanswered");
            return;
        }
        state.SetIterationTime(engine.seconds);
        engineRates.push_back(engine.Rate());
        masterRates.push_back(reference.Rate());
        ratios.push_back(engine.Rate() / reference.Rate());
        engineTotal.Add(engine);
        masterTotal.Add(reference);
    }
    const Comparison comparison{Median(engineRates), Median(masterRates), Median(ratios)};
    gComparisons[level] = comparison;
    state.counters["polls/s"] = comparison.engine;
    state.counters["master polls/s"] = comparison.master;
    state.counters["vs master"] = comparison.ratio;
    state.counters["CPU us/poll"] = engineTotal.CpuMicrosecondsPerPoll();
    state.counters["master CPU us/poll"] = masterTotal.CpuMicrosecondsPerPoll();
}
BENCHMARK(BM_EnginePolls)
    ->Arg(kvlog::kWarning)
    ->Arg(kvlog::kDebug)
    ->UseManualTime()
    ->Iterations(kRounds);

// 64 channels at once against one slave that serves each connection on its own thread.
void BM_Engine64Channels(benchmark::State& state) {
    constexpr size_t kChannels = 64;
    modbus_testing::LibmodbusSlave slave;
    FillRegisters(&slave);
    Window window;
    for (auto _ : state) {
        if (!EngineWindow(Folder().Log(kvlog::kWarning), slave, kChannels, kIntervals, &window)) {
            state.SkipWithError("the engine did not poll the slave in time");
            return;
        }
        state.SetIterationTime(window.seconds);
    }
    state.counters["polls/s"] = window.Rate();
    state.counters["CPU us/poll"] = window.CpuMicrosecondsPerPoll();
}
BENCHMARK(BM_Engine64Channels)->UseManualTime()->Iterations(1);

// The RTU kinds wait by their timing, not by their code: a serial line ends a frame by 30 ms of
// silence, and RTU over TCP pauses 25 ms after each request. Their bound is one poll per
// (turnaround + that wait); the turnaround is what a master that waits for nothing measures on
// the same line just before the engine's window (a pty moves bytes faster than any baud rate).
constexpr double kFrameGapSeconds = 0.030;
constexpr double kRequestPauseSeconds = 0.025;
constexpr uint8_t kBenchCom = 61;
constexpr int kRtuWindows = 5;  // of the engine per round
constexpr size_t kAnswerBytes = 5 + 2 * kCount;
constexpr int kRoundTripLimitMs = 2000;

struct BoundComparison {
    double polls = 0;  // polls/s
    double bound = 0;
    double turnaroundMs = 0;
    double ratio = 0;
};
std::map<std::string, BoundComparison> gBounds;

// Median round trip in seconds of polls in one window; negative when a poll went unanswered.
template <typename PollOnce>
double MedianRoundTrip(PollOnce pollOnce) {
    std::vector<double> trips;
    const WindowClock window;
    while (!window.Elapsed(kWindow)) {
        const Clock::time_point start = Clock::now();
        if (!pollOnce()) return -1;
        trips.push_back(SecondsSince(start));
    }
    return Median(trips);
}

// A libmodbus RTU master on the master's end of a pty pair: it knows an answer's length and
// waits for no gap.
class RtuMaster {
public:
    explicit RtuMaster(const std::string& path)
        : context_(modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1)) {
        modbus_set_slave(context_, kUnit);
        modbus_set_response_timeout(context_, 2, 0);
        connected_ = modbus_connect(context_) == 0;
    }
    ~RtuMaster() {
        modbus_close(context_);
        modbus_free(context_);
    }
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

    double RoundTrip() {
        if (!connected_) return -1;
        return MedianRoundTrip([this] {
            uint16_t registers[kCount] = {};
            return modbus_read_registers(context_, kStart, kCount, registers) == kCount;
        });
    }

private:
    modbus_t* context_;
    bool connected_ = false;
};

// RTU frames over a TCP connection to the converter, one request at a time.
class RtuTcpMaster {
public:
    explicit RtuTcpMaster(uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = socket_ >= 0 && ::connect(socket_, reinterpret_cast<const sockaddr*>(&address),
                                               sizeof(address)) == 0;
    }
    ~RtuTcpMaster() {
        if (socket_ >= 0) ::close(socket_);
    }
    RtuTcpMaster(const RtuTcpMaster&) = delete;
    RtuTcpMaster& operator=(const RtuTcpMaster&) = delete;

    double RoundTrip() {
        if (!connected_) return -1;
        const std::vector<uint8_t> request = modbus_testing::WithRtuCrc(
            {kUnit, 3, 0, static_cast<uint8_t>(kStart), 0, static_cast<uint8_t>(kCount)});
        return MedianRoundTrip([&] {
            if (::send(socket_, request.data(), request.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(request.size()))
                return false;
            return ReceiveAnswer();
        });
    }

private:
    bool ReceiveAnswer() {
        uint8_t answer[kAnswerBytes];
        size_t received = 0;
        while (received < kAnswerBytes) {
            pollfd ready{socket_, POLLIN, 0};
            if (::poll(&ready, 1, kRoundTripLimitMs) != 1) return false;
            const ssize_t got = ::recv(socket_, answer + received, kAnswerBytes - received, 0);
            if (got <= 0) return false;
            received += static_cast<size_t>(got);
        }
        return true;
    }

    int socket_;
    bool connected_ = false;
};

// Rounds of a master's turnaround and then an engine window on the same line.
template <typename Slave, typename Turnaround>
void PollsAgainstTheBound(benchmark::State& state, const std::string& label, const Slave& slave,
                          const Line& line, double wait, Turnaround turnaround) {
    std::vector<double> rates, bounds, trips, ratios;
    for (auto _ : state) {
        const double trip = turnaround();
        Window engine;
        if (trip < 0 ||
            !EngineWindow(Folder().Log(kvlog::kWarning), slave, 1, line, kRtuWindows, &engine)) {
            state.SkipWithError("a poll went unanswered");
            return;
        }
        state.SetIterationTime(engine.seconds);
        const double bound = 1 / (wait + trip);
        rates.push_back(engine.Rate());
        bounds.push_back(bound);
        trips.push_back(trip);
        ratios.push_back(engine.Rate() / bound);
    }
    const BoundComparison comparison{Median(rates), Median(bounds), 1000 * Median(trips),
                                     Median(ratios)};
    gBounds[label] = comparison;
    state.counters["polls/s"] = comparison.polls;
    state.counters["bound polls/s"] = comparison.bound;
    state.counters["vs bound"] = comparison.ratio;
}

// One 'e' channel on a pty pair polling a libmodbus RTU slave.
void BM_RtuSerialPolls(benchmark::State& state) {
    Folder();  // the registry the port is mapped in
    modbus_testing::RtuSlave slave(kUnit);
    if (!slave.Plugged()) {
        state.SkipWithError("no pty pair");
        return;
    }
    FillRegisters(&slave);
    platform::reg::SetValue(platform::reg::Hive::CurrentUser, platform::kSerialPortsKey,
                            "COM" + std::to_string(kBenchCom),
                            platform::reg::Value::String(slave.path()));
    PollsAgainstTheBound(state, "RTU serial", slave, Line{.type = 'e', .com = kBenchCom},
                         kFrameGapSeconds, [&] { return RtuMaster(slave.path()).RoundTrip(); });
}
BENCHMARK(BM_RtuSerialPolls)->UseManualTime()->Iterations(5);

// One 'f' channel polling the libmodbus RTU slave behind a converter.
void BM_RtuOverTcpPolls(benchmark::State& state) {
    modbus_testing::RtuConverter converter(kUnit);
    if (!converter.Plugged()) {
        state.SkipWithError("no converter");
        return;
    }
    FillRegisters(&converter.slave());
    PollsAgainstTheBound(state, "RTU over TCP", converter.slave(),
                         Line{.type = 'f', .port = converter.port()}, kRequestPauseSeconds,
                         [&] { return RtuTcpMaster(converter.port()).RoundTrip(); });
}
BENCHMARK(BM_RtuOverTcpPolls)->UseManualTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The goal is for a log at WARNING; at DEBUG every poll writes its lines to the file.
    for (const auto& [level, comparison] : gComparisons) {
        std::printf("engine polls/s at log level %d: %.0f, %.2f of the libmodbus master's %.0f%s\n",
                    level, comparison.engine, comparison.ratio, comparison.master,
                    level == 2 ? " (goal: at least 0.95)" : "");
    }
    for (const auto& [label, bound] : gBounds) {
        std::printf(
            "%s polls/s: %.1f, %.2f of the bound %.1f (turnaround %.2f ms; goal: at least "
            "0.9)\n",
            label.c_str(), bound.polls, bound.ratio, bound.bound, bound.turnaroundMs);
    }
    return 0;
}
