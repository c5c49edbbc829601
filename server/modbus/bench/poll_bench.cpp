// Polls per second against the libmodbus slave, one request at a time: a libmodbus master is
// the reference for what the engine's own poll loop achieves on the same link.

#include <benchmark/benchmark.h>
#include <modbus.h>

#include <cstdint>

#include "modbus_testing/peers.h"

namespace {

constexpr int kStart = 0;
constexpr int kCount = 10;

void BM_LibmodbusMasterPolls(benchmark::State& state) {
    modbus_testing::LibmodbusSlave slave;
    for (int i = 0; i < kCount; ++i)
        slave.SetHolding(static_cast<uint16_t>(i), 100 + i);
    modbus_t* master = modbus_new_tcp("127.0.0.1", slave.port());
    modbus_set_slave(master, 1);
    modbus_set_response_timeout(master, 2, 0);
    if (modbus_connect(master) != 0) {
        state.SkipWithError("the master cannot connect to the slave");
        modbus_free(master);
        return;
    }
    uint16_t registers[kCount] = {};
    for (auto _ : state) {
        if (modbus_read_registers(master, kStart, kCount, registers) != kCount) {
            state.SkipWithError("a poll went unanswered");
            break;
        }
        benchmark::DoNotOptimize(registers);
    }
    state.counters["polls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    modbus_close(master);
    modbus_free(master);
}
BENCHMARK(BM_LibmodbusMasterPolls)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
