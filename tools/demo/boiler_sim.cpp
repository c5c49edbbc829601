// boiler-sim: a boiler house for the demo. One Modbus-TCP field device: temperatures and
// pressure follow the burner, the pumps take turns, a counter runs; the master may write the
// temperature setpoint. SIGUSR1 takes that device off the network (connections closed, port
// refused), SIGUSR2 brings it back; SIGINT or SIGTERM ends the simulator. On request two
// Modbus-RTU devices more (see Usage): the burner controller on a serial line (a pty pair of
// socat), and the water-treatment unit behind a serial-to-Ethernet converter. The simulator
// starts and ends their socat itself, so nothing of them outlives it.

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "boiler_house.h"
#include "modbus_testing/peers.h"
#include "modbus_testing/rtu_peers.h"

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

template <typename Slave>
void SetFloat(Slave* slave, uint16_t address, float value) {
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

    bool Burning() const { return burning_; }

    void Step(unsigned tick) {
        const double setpoint = slave_->Holding(demo::kSetpoint) / 10.0;
        const bool burning = water_ < setpoint;
        burning_ = burning;
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
    bool burning_ = false;
    double water_ = 55.0;
    uint32_t operatingSeconds_ = 36000;
    uint16_t setpoint_ = demo::kInitialSetpoint;
    float pressureLimit_ = demo::kInitialPressureLimit;
    uint16_t mode_ = 0;
};

// The burner controller: the flame follows the boiler house's demand, the power runs up to the
// setpoint that a master may write and down to 0 without the flame, the fuel follows the power.
class Burner {
public:
    explicit Burner(modbus_testing::RtuSlave* slave) : slave_(slave) {
        slave_->SetHolding(demo::burner::kPowerSetpoint, demo::burner::kInitialPowerSetpoint);
    }

    void Step(unsigned tick, bool demand) {
        const double setpoint =
            std::min<uint16_t>(slave_->Holding(demo::burner::kPowerSetpoint), 100);
        power_ = demand ? std::min(setpoint, power_ + 10) : std::max(0.0, power_ - 20);
        const double wave = std::sin(tick / 5.0);
        slave_->SetCoil(demo::burner::kFlame, power_ > 0);
        slave_->SetHolding(demo::burner::kPower, uint16_t(power_));
        slave_->SetHolding(demo::burner::kFuelValve,
                           uint16_t(power_ * 9 + (power_ > 0 ? 5 * wave : 0)));
        SetFloat(slave_, demo::burner::kFuelFlow,
                 float(power_ > 0 ? power_ * 0.45 + 0.2 * wave : 0));
    }

    void ReportWrites() {
        const uint16_t setpoint = slave_->Holding(demo::burner::kPowerSetpoint);
        if (setpoint != setpoint_)
            Say("burner power setpoint written by the master: %u %%", unsigned(setpoint));
        setpoint_ = setpoint;
    }

private:
    modbus_testing::RtuSlave* slave_;
    double power_ = 0;
    uint16_t setpoint_ = demo::burner::kInitialPowerSetpoint;
};

// The water-treatment unit: the pH drifts down without dosing and up with it; in automatic mode
// the pump doses below pH 7.2 and stops above 7.5.
class WaterTreatment {
public:
    explicit WaterTreatment(modbus_testing::RtuSlave* slave) : slave_(slave) {
        slave_->SetHolding(demo::water::kDosingMode, 1);
    }

    void Step(unsigned tick) {
        const uint16_t mode = slave_->Holding(demo::water::kDosingMode);
        if (mode == 0)
            dosing_ = false;
        else if (mode == 2)
            dosing_ = true;
        else if (ph_ < 7.2)
            dosing_ = true;
        else if (ph_ > 7.5)
            dosing_ = false;
        ph_ += dosing_ ? 0.04 : -0.02;
        slave_->SetCoil(demo::water::kDosingPump, dosing_);
        slave_->SetInput(demo::water::kPh, uint16_t(ph_ * 100));
        slave_->SetInput(demo::water::kConductivity, uint16_t(450 + 25 * std::sin(tick / 9.0)));
    }

    void ReportWrites() {
        const uint16_t mode = slave_->Holding(demo::water::kDosingMode);
        if (mode != mode_) Say("dosing pump mode written by the master: %u", unsigned(mode));
        mode_ = mode;
    }

private:
    modbus_testing::RtuSlave* slave_;
    double ph_ = 7.35;
    bool dosing_ = false;
    uint16_t mode_ = 1;
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: boiler-sim [--burner-line PATH] [--water-converter PORT]\n"
        "  (none)                    the boiler house: Modbus-TCP, unit %u, on 127.0.0.1 at\n"
        "                            a port the system picks (printed as \"port N\")\n"
        "  --burner-line PATH        also the burner controller: Modbus-RTU, unit %u, on a\n"
        "                            serial line whose port end appears at PATH (a pty link;\n"
        "                            for the server under Wine e.g. $WINEPREFIX/dosdevices/com1,\n"
        "                            natively the registry value COM1 names it)\n"
        "  --water-converter PORT    also the water-treatment unit: Modbus-RTU, unit %u,\n"
        "                            behind a serial-to-Ethernet converter on 127.0.0.1:PORT\n"
        "                            (0: the system picks; printed)\n"
        "Signals: SIGUSR1 takes the Modbus-TCP device off the network, SIGUSR2 brings it\n"
        "back; SIGINT or SIGTERM ends the simulator and its serial lines.\n",
        unsigned(demo::kUnit), unsigned(demo::burner::kUnit), unsigned(demo::water::kUnit));
}

struct Options {
    std::string burnerLine;
    bool water = false;
    uint16_t waterPort = 0;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") return false;
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (option == "--burner-line" && !value.empty()) {
            options->burnerLine = value;
        } else if (option == "--water-converter") {
            char* end = nullptr;
            const unsigned long port = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port > 65535) return false;
            options->water = true;
            options->waterPort = uint16_t(port);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
                  ? stdout
                  : stderr);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGUSR1, OnSignal);
    std::signal(SIGUSR2, OnSignal);
    modbus_testing::LibmodbusSlave slave;
    BoilerHouse plant(&slave);
    plant.Step(0);
    Say("boiler house on 127.0.0.1 port %u, unit 1", unsigned(slave.port()));

    std::unique_ptr<modbus_testing::RtuSlave> burnerLine;
    std::unique_ptr<Burner> burner;
    if (!options.burnerLine.empty()) {
        burnerLine =
            std::make_unique<modbus_testing::RtuSlave>(demo::burner::kUnit, options.burnerLine);
        if (!burnerLine->Plugged()) {
            Say("cannot make the burner controller's serial line at %s",
                options.burnerLine.c_str());
            return 1;
        }
        burner = std::make_unique<Burner>(burnerLine.get());
        burner->Step(0, plant.Burning());
        Say("burner controller on the serial line %s, unit %u (Modbus-RTU)",
            burnerLine->path().c_str(), unsigned(demo::burner::kUnit));
    }
    std::unique_ptr<modbus_testing::RtuConverter> converter;
    std::unique_ptr<WaterTreatment> water;
    if (options.water) {
        converter =
            std::make_unique<modbus_testing::RtuConverter>(demo::water::kUnit, options.waterPort);
        if (!converter->Plugged()) {
            Say("cannot start the water treatment's converter on 127.0.0.1:%u",
                unsigned(options.waterPort));
            return 1;
        }
        water = std::make_unique<WaterTreatment>(&converter->slave());
        water->Step(0);
        Say("water treatment behind a converter on 127.0.0.1:%u, unit %u (Modbus-RTU over TCP)",
            unsigned(converter->port()), unsigned(demo::water::kUnit));
    }

    for (unsigned tick = 1; g_stop == 0; ++tick) {
        // One plant step a second, the setpoint watched every 100 ms.
        for (int i = 0; i < 10 && g_stop == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            plant.ReportWrites();
            if (burner) burner->ReportWrites();
            if (water) water->ReportWrites();
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
        if (burner) burner->Step(tick, plant.Burning());
        if (water) water->Step(tick);
    }
    Say("stopped");
    return 0;
}
