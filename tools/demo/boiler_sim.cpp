// boiler-sim: a boiler house behind one Modbus-TCP field device, for the demo. Temperatures and
// pressure follow the burner, the pumps take turns, a counter runs; the master may write the
// temperature setpoint. SIGUSR1 takes the device off the network (connections closed, port
// refused), SIGUSR2 brings it back; SIGINT or SIGTERM ends it.

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "boiler_house.h"
#include "modbus_testing/peers.h"

namespace {

volatile std::sig_atomic_t g_request = 0;  // the last signal not yet handled
volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int signal) {
    if (signal == SIGINT || signal == SIGTERM)
        g_stop = 1;
    else
        g_request = signal;
}

template <typename... Values>
void Say(const char* format, Values... values) {
    std::printf("[simulator] ");
    std::printf(format, values...);
    std::printf("\n");
    std::fflush(stdout);
}

void SetFloat(modbus_testing::LibmodbusSlave* slave, uint16_t address, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    slave->SetHolding(address, uint16_t(bits >> 16));
    slave->SetHolding(address + 1, uint16_t(bits));
}

// The plant after `seconds` of running: the water approaches the setpoint while the burner
// runs, which it does below the setpoint.
class BoilerHouse {
public:
    explicit BoilerHouse(modbus_testing::LibmodbusSlave* slave) : slave_(slave) {
        slave_->SetHolding(demo::kSetpoint, demo::kInitialSetpoint);
        SetFloat(slave_, demo::kPressureLimit, demo::kInitialPressureLimit);
    }

    void Step(unsigned tick) {
        const double setpoint = slave_->Holding(demo::kSetpoint) / 10.0;
        const bool burning = water_ < setpoint;
        water_ += burning ? 0.4 : -0.25;
        ++operatingSeconds_;
        const double wave = std::sin(tick / 7.0);
        SetFloat(slave_, demo::kWaterTemperature, float(water_ + 0.1 * wave));
        slave_->SetHolding(demo::kFlueGasTemperature, uint16_t((burning ? 1650 : 900) + 30 * wave));
        slave_->SetHolding(demo::kSteamPressure, uint16_t(420 + water_ + 5 * wave));
        slave_->SetHolding(demo::kOperatingSeconds, uint16_t(operatingSeconds_ >> 16));
        slave_->SetHolding(demo::kOperatingSeconds + 1, uint16_t(operatingSeconds_));
        slave_->SetInput(demo::kOutsideTemperature, uint16_t(int16_t(-12 + tick / 20 % 3)));
        slave_->SetCoil(demo::kFeedPump, burning);
        const uint16_t mode = slave_->Holding(demo::kCirculationMode);
        const bool firstPumpsTurn = mode == 0 ? tick / 10 % 2 == 0 : mode == 1;
        slave_->SetCoil(demo::kCirculationPump1, firstPumpsTurn);
        slave_->SetCoil(demo::kCirculationPump2, !firstPumpsTurn);
    }

    // Says what a master has written since the last look.
    void ReportWrites() {
        const uint16_t setpoint = slave_->Holding(demo::kSetpoint);
        if (setpoint != setpoint_)
            Say("setpoint written by the master: %.1f degC", setpoint / 10.0);
        const float limit = Float(demo::kPressureLimit);
        if (limit != pressureLimit_) Say("pressure limit written by the master: %.2f bar", limit);
        const uint16_t mode = slave_->Holding(demo::kCirculationMode);
        if (mode != mode_) Say("circulation mode written by the master: %u", unsigned(mode));
        setpoint_ = setpoint;
        pressureLimit_ = limit;
        mode_ = mode;
    }

private:
    float Float(uint16_t address) const {
        const uint32_t bits =
            uint32_t(slave_->Holding(address)) << 16 | slave_->Holding(address + 1);
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    modbus_testing::LibmodbusSlave* slave_;
    double water_ = 55.0;
    uint32_t operatingSeconds_ = 36000;
    uint16_t setpoint_ = demo::kInitialSetpoint;
    float pressureLimit_ = demo::kInitialPressureLimit;
    uint16_t mode_ = 0;
};

}  // namespace

int main() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGUSR1, OnSignal);
    std::signal(SIGUSR2, OnSignal);
    modbus_testing::LibmodbusSlave slave;
    BoilerHouse plant(&slave);
    plant.Step(0);
    Say("boiler house on 127.0.0.1 port %u, unit 1", unsigned(slave.port()));
    for (unsigned tick = 1; g_stop == 0; ++tick) {
        // One plant step a second, the setpoint watched every 100 ms.
        for (int i = 0; i < 10 && g_stop == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            plant.ReportWrites();
            const int request = g_request;
            g_request = 0;
            if (request == SIGUSR1) {
                slave.Stop();
                Say("off the network: connections closed, port refused");
            } else if (request == SIGUSR2) {
                slave.Start();
                Say("back on the network");
            }
        }
        plant.Step(tick);
    }
    Say("stopped");
    return 0;
}
