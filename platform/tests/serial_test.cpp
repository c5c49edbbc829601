#include "platform/serial.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/system.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "testing/support.h"

namespace {

using platform::Parity;
using platform::SerialPort;
using platform::SerialSettings;
using platform::StopBits;
using Clock = std::chrono::steady_clock;
using testing_support::MsSince;

constexpr uint32_t kGenerousMs = 5000;

#ifndef _WIN32
void MapPort(unsigned comNumber, const std::string& device) {
    ASSERT_EQ(platform::reg::SetValue(platform::reg::Hive::CurrentUser, platform::kSerialPortsKey,
                                      "COM" + std::to_string(comNumber),
                                      platform::reg::Value::String(device)),
              platform::kErrorSuccess);
}
#endif

TEST(SerialDevicePath, NamesTheDeviceOfAPortNumber) {
    EXPECT_EQ(platform::SerialDevicePath(0), "");
#ifdef _WIN32
    EXPECT_EQ(platform::SerialDevicePath(3), "\\\\.\\COM3");
#else
    EXPECT_EQ(platform::SerialDevicePath(3), "/dev/ttyS2");
    MapPort(3, "/dev/pts/7");
    EXPECT_EQ(platform::SerialDevicePath(3), "/dev/pts/7");
#endif
}

TEST(SerialPort, ClosedPortRefusesOperations) {
    SerialPort port;
    uint8_t buffer[4] = {};
    size_t count = 0;
    SerialSettings line;
    EXPECT_EQ(port.Configure(line), platform::kErrorInvalidHandle);
    EXPECT_EQ(port.Write(buffer, sizeof(buffer), 10, &count), platform::kErrorInvalidHandle);
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), 10, 10, &count), platform::kErrorInvalidHandle);
    EXPECT_EQ(port.Purge(), platform::kErrorInvalidHandle);
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) {
    return bytes;
}

#ifdef _WIN32

// Under Wine: socat, a Unix program that Wine starts directly, links its two ptys as
// dosdevices/com<n>, which is where Wine looks for \\.\COM<n>. Wine gives no usable handle of
// a Unix child, so socat's pid goes through a file and Unix kill stops it. COM numbers depend
// on the process id because every test process shares the prefix.
class PtyPair {
public:
    PtyPair()
        : a_(100 + 2 * (platform::CurrentProcessId() / 4 % 70)),
          pidFile_("/tmp/" + testing_support::UniqueName("karvex-socat") + ".pid") {}
    ~PtyPair() { Stop(); }
    unsigned a() const { return a_; }
    unsigned b() const { return a_ + 1; }
    // socat ends, as a pulled-out adapter does: both ptys vanish.
    void Unplug() { Stop(); }

    // Returns an empty text, or why there is no pair.
    std::string Start() {
        const char* prefix = std::getenv("WINEPREFIX");
        if (!prefix) return "WINEPREFIX is not set";
        std::string links = std::string(prefix) + "/dosdevices/com";
        std::string script = "echo $$ > " + pidFile_ + "; exec timeout 120 /usr/bin/socat" +
                             " pty,raw,echo=0,link=" + links + std::to_string(a()) +
                             " pty,raw,echo=0,link=" + links + std::to_string(b()) +
                             " </dev/null >/dev/null 2>&1";
        platform::ChildProcess shell;
        if (shell.Start("Z:\\bin\\sh", {"-c", script}) != platform::kErrorSuccess) {
            return "cannot start /bin/sh";
        }
        if (!WaitForPort(a(), true) || !WaitForPort(b(), true)) return "socat made no pty pair";
        return {};
    }

private:
    static bool WaitForPort(unsigned comNumber, bool present) {
        auto start = Clock::now();
        for (;;) {
            SerialPort probe;
            uint32_t error = probe.Open(comNumber);
            if (present ? error == platform::kErrorSuccess
                        : error == platform::kErrorFileNotFound) {
                return true;
            }
            if (MsSince(start) > kGenerousMs) return false;
            platform::SleepMs(20);
        }
    }

    void Stop() {
        std::string pid = testing_support::ReadFile("Z:" + pidFile_);
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r'))
            pid.pop_back();
        if (pid.empty()) return;
        platform::ChildProcess kill;
        kill.Start("Z:\\bin\\kill", {pid});
        WaitForPort(a(), false);
        std::error_code ignored;
        std::filesystem::remove("Z:" + pidFile_, ignored);
    }

    unsigned a_;
    std::string pidFile_;
};

#else

// Two ptys joined by socat, mapped to COM57 and COM58 in the registry.
class PtyPair {
public:
    unsigned a() const { return 57; }
    unsigned b() const { return 58; }
    // socat ends, as a pulled-out adapter does: both ptys vanish. Killed, it leaves its links.
    void Unplug() {
        socat_.Kill();
        int ignored = 0;
        socat_.Wait(kGenerousMs, &ignored);
        std::error_code error;
        std::filesystem::remove(dir_.File("a"), error);
        std::filesystem::remove(dir_.File("b"), error);
    }

    // Returns an empty text, or why there is no pair.
    std::string Start() {
        std::string a = dir_.File("a");
        std::string b = dir_.File("b");
        if (socat_.Start("/usr/bin/socat",
                         {"pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}) !=
            platform::kErrorSuccess) {
            return "socat is needed for the serial tests";
        }
        auto start = Clock::now();
        while (!(std::filesystem::exists(a) && std::filesystem::exists(b))) {
            if (MsSince(start) > kGenerousMs) return "socat made no pty pair";
            platform::SleepMs(10);
        }
        MapPort(this->a(), a);
        MapPort(this->b(), b);
        return {};
    }

private:
    testing_support::TempDir dir_;
    platform::ChildProcess socat_;
};

#endif

// Two ports joined by a pty pair: what one writes, the other reads.
class PortPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pair_.Start(), "");
        ASSERT_EQ(a_.Open(pair_.a()), platform::kErrorSuccess);
        ASSERT_EQ(b_.Open(pair_.b()), platform::kErrorSuccess);
        SerialSettings line{9600, 8, Parity::Even, StopBits::One};
        ASSERT_EQ(a_.Configure(line), platform::kErrorSuccess);
        ASSERT_EQ(b_.Configure(line), platform::kErrorSuccess);
    }

    void Write(SerialPort& port, const std::vector<uint8_t>& frame) {
        size_t written = 0;
        ASSERT_EQ(port.Write(frame.data(), frame.size(), kGenerousMs, &written),
                  platform::kErrorSuccess);
        ASSERT_EQ(written, frame.size());
    }

    // One Read call: waits up to kGenerousMs for the first byte, then up to gapMs between bytes.
    std::vector<uint8_t> ReadFrame(SerialPort& port, uint32_t gapMs) {
        std::vector<uint8_t> frame(256);
        size_t received = 0;
        port.Read(frame.data(), frame.size(), kGenerousMs, gapMs, &received);
        frame.resize(received);
        return frame;
    }

    PtyPair pair_;
    SerialPort a_;
    SerialPort b_;
};

TEST_F(PortPair, FrameWrittenAtOneEndIsReadAtTheOther) {
    auto request = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD});
    Write(a_, request);
    EXPECT_EQ(ReadFrame(b_, 50), request);

    auto answer = Bytes({0x01, 0x83, 0x02, 0xC0, 0xF1});
    Write(b_, answer);
    EXPECT_EQ(ReadFrame(a_, 50), answer);
}

TEST_F(PortPair, ReadWithoutBytesTimesOut) {
    uint8_t buffer[16];
    size_t received = 99;
    auto start = Clock::now();
    EXPECT_EQ(b_.Read(buffer, sizeof(buffer), 200, 30, &received), platform::kErrorTimeout);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), kGenerousMs);
}

TEST_F(PortPair, BurstsCloserThanTheGapAreOneFrameAndALongerPauseSplitsThem) {
    auto first = Bytes({0x11, 0x03, 0x04});
    auto second = Bytes({0x00, 0x2A, 0x00, 0x2B});
    auto whole = Bytes({0x11, 0x03, 0x04, 0x00, 0x2A, 0x00, 0x2B});
    auto writeInTwoBursts = [&](uint32_t pauseMs) {
        return std::thread([this, first, second, pauseMs] {
            Write(a_, first);
            platform::SleepMs(pauseMs);
            Write(a_, second);
        });
    };

    std::thread writer = writeInTwoBursts(20);
    EXPECT_EQ(ReadFrame(b_, 300), whole);
    writer.join();

    writer = writeInTwoBursts(600);
    EXPECT_EQ(ReadFrame(b_, 50), first);
    EXPECT_EQ(ReadFrame(b_, 50), second);
    writer.join();
}

TEST_F(PortPair, ReadStopsWhenTheBufferIsFull) {
    Write(a_, Bytes({1, 2, 3, 4, 5, 6}));
    uint8_t buffer[4];
    size_t received = 0;
    ASSERT_EQ(b_.Read(buffer, sizeof(buffer), kGenerousMs, 300, &received),
              platform::kErrorSuccess);
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(ReadFrame(b_, 50), Bytes({5, 6}));
}

TEST_F(PortPair, PurgeDiscardsPendingInput) {
    Write(a_, Bytes({0xDE, 0xAD, 0xBE, 0xEF}));
    platform::SleepMs(500);  // socat has long passed the bytes on
    ASSERT_EQ(b_.Purge(), platform::kErrorSuccess);
    Write(a_, Bytes({0x42}));
    EXPECT_EQ(ReadFrame(b_, 50), Bytes({0x42}));
}

// Configured twice, as a worker that restarts does; a pty keeps its 8N1 frame whatever it is
// told, so only the speed reads back here.
TEST_F(PortPair, EveryLineSettingIsTakenAgainAndAgain) {
    const SerialSettings cases[] = {
        {9600, 8, Parity::Even, StopBits::One},   {1200, 7, Parity::Odd, StopBits::Two},
        {115200, 8, Parity::None, StopBits::One}, {19200, 8, Parity::Mark, StopBits::One},
        {4800, 7, Parity::Space, StopBits::Two},
    };
    for (const auto& line : cases) {
        EXPECT_EQ(a_.Configure(line), platform::kErrorSuccess) << line.baudRate;
        EXPECT_EQ(a_.Configure(line), platform::kErrorSuccess) << line.baudRate;
        SerialSettings now;
        ASSERT_EQ(a_.Settings(&now), platform::kErrorSuccess);
        EXPECT_EQ(now.baudRate, line.baudRate);
    }
}

TEST_F(PortPair, LineSettingsThePortCannotTakeAreRefused) {
    EXPECT_EQ(a_.Configure({9600, 9, Parity::None, StopBits::One}),
              platform::kErrorInvalidParameter);
#ifndef _WIN32  // Windows drivers decide themselves which odd speeds they take
    EXPECT_EQ(a_.Configure({12345, 8, Parity::None, StopBits::One}),
              platform::kErrorInvalidParameter);
#endif
}

// An adapter pulled out while the port is open: every call says so at once, neither hanging
// until its timeout nor spinning, and the same COM number opens again once the device is back.
TEST_F(PortPair, PortWhoseDeviceIsGoneSaysSoAndOpensAgainWhenItIsBack) {
    pair_.Unplug();
    uint8_t buffer[16] = {};
    size_t count = 0;
    auto start = Clock::now();
    EXPECT_EQ(a_.Read(buffer, sizeof(buffer), 4 * kGenerousMs, 30, &count),
              platform::kErrorDeviceNotConnected);
    EXPECT_LT(MsSince(start), 2 * kGenerousMs);
    start = Clock::now();
    EXPECT_EQ(a_.Write(buffer, sizeof(buffer), 4 * kGenerousMs, &count),
              platform::kErrorDeviceNotConnected);
    EXPECT_LT(MsSince(start), 2 * kGenerousMs);
    a_.Close();
    b_.Close();

    ASSERT_EQ(pair_.Start(), "");
    ASSERT_EQ(a_.Open(pair_.a()), platform::kErrorSuccess);
    ASSERT_EQ(b_.Open(pair_.b()), platform::kErrorSuccess);
    ASSERT_EQ(a_.Configure({9600, 8, Parity::Even, StopBits::One}), platform::kErrorSuccess);
    auto request = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD});
    Write(a_, request);
    EXPECT_EQ(ReadFrame(b_, 50), request);
}

TEST_F(PortPair, PortInUseIsRefused) {
    if (platform::RunningUnderWine())
        GTEST_SKIP() << "Wine 8 lets a second handle open a serial device";
    SerialPort second;
    EXPECT_EQ(second.Open(pair_.a()), platform::kErrorAccessDenied);
    a_.Close();
    EXPECT_EQ(second.Open(pair_.a()), platform::kErrorSuccess);
}

#ifndef _WIN32

TEST(SerialPort, OpenFailuresNameTheCause) {
    testing_support::TempDir dir;
    std::ofstream(dir.File("plain")) << "not a terminal";
    MapPort(60, dir.File("missing"));
    MapPort(61, dir.File("plain"));
    const struct {
        unsigned comNumber;
        uint32_t error;
    } cases[] = {
        {0, platform::kErrorFileNotFound},
        {60, platform::kErrorFileNotFound},
        {61, platform::kErrorInvalidFunction},
    };
    for (const auto& c : cases) {
        SerialPort port;
        EXPECT_EQ(port.Open(c.comNumber), c.error) << "COM" << c.comNumber;
        EXPECT_FALSE(port.IsOpen());
    }
}

#endif

}  // namespace
