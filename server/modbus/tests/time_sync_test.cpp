#include "../src/time_sync.h"

#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "../../core/tests/captured_log.h"

namespace {

void SetZone(const char* zone) {
#if defined(_WIN32)
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

// The test's zone for its lifetime; the zone the process had comes back after it.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        SetZone(zone);
    }
    ~ZoneScope() {
        if (had_) {
            SetZone(old_.c_str());
            return;
        }
#if defined(_WIN32)
        _putenv_s("TZ", "");
        _tzset();
#else
        unsetenv("TZ");
        tzset();
#endif
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// The Windows runtime knows no zone database, only POSIX-style names with its own (US) daylight
// saving rules, which agree with the zones below in January and July; zones with daylight saving
// of their own rules are tried on POSIX only.
#if defined(_WIN32)
constexpr const char* kBerlin = "CET-1CEST";
constexpr const char* kNewYork = "EST5EDT";
constexpr const char* kKolkata = "IST-5:30";
#else
constexpr const char* kBerlin = "Europe/Berlin";
constexpr const char* kNewYork = "America/New_York";
constexpr const char* kKolkata = "Asia/Kolkata";
#endif

constexpr std::time_t kJanuary = 1705320000;  // 2024-01-15 12:00 UTC
constexpr std::time_t kJuly = 1721044800;     // 2024-07-15 12:00 UTC

struct ZoneCase {
    const char* name;
    const char* zone;
    std::time_t now;
    int32_t seconds;
};

void PrintTo(const ZoneCase& c, std::ostream* out) {
    *out << c.name;
}

class ZoneOffsetTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneOffsetTest, IsTheStandardOffsetAllYear) {
    const ZoneScope zone(GetParam().zone);
    EXPECT_EQ(modbus::ZoneOffsetSeconds(GetParam().now), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    TimeSync, ZoneOffsetTest,
    ::testing::Values(ZoneCase{"BerlinJanuary", kBerlin, kJanuary, 3600},
                      ZoneCase{"BerlinJuly", kBerlin, kJuly, 3600},
                      ZoneCase{"NewYorkJanuary", kNewYork, kJanuary, -18000},
                      ZoneCase{"NewYorkJuly", kNewYork, kJuly, -18000},
                      // Local calendar day before and after the UTC one.
                      ZoneCase{"NewYorkPreviousDay", kNewYork, 1705278600, -18000},  // 01-15 00:30
                      ZoneCase{"BerlinNextYear", kBerlin, 1735687800, 3600},  // 2024-12-31 23:30
                      ZoneCase{"KolkataHalfHour", kKolkata, kJuly, 19800}
#if !defined(_WIN32)
                      ,
                      ZoneCase{"KathmanduQuarterHour", "Asia/Kathmandu", kJanuary, 20700},
                      // Daylight saving in January, south of the equator.
                      ZoneCase{"AdelaideJanuary", "Australia/Adelaide", kJanuary, 34200},
                      ZoneCase{"AdelaideJuly", "Australia/Adelaide", kJuly, 34200},
                      // Daylight saving of half an hour.
                      ZoneCase{"LordHoweJanuary", "Australia/Lord_Howe", kJanuary, 37800},
                      ZoneCase{"LordHoweJuly", "Australia/Lord_Howe", kJuly, 37800}
#endif
                      ),
    [](const ::testing::TestParamInfo<ZoneCase>& info) { return std::string(info.param.name); });

TEST(TimeSync, CorrectedTimeIsLocalStandardTimeInSummer) {
    const ZoneScope zone(kBerlin);
    core_test::CapturedLog log("KARVEXTimesynch:", kvlog::kTrace);
    const std::time_t now = kJuly;  // 14:00 summer time in Berlin
    EXPECT_EQ(modbus::CorrectedTime(now, log.handle()), static_cast<uint32_t>(now + 3600));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  "T KARVEXTimesynch: time 2024-07-15 12:00:00",
                                  "T KARVEXTimesynch: zone offset 1 hours",
                                  "T KARVEXTimesynch: corrected time 2024-07-15 13:00:00",
                              }));
}

// The check never replaces a client write the worker has not finished: the write goes out
// first and the clock is set at the next cycle's check.
TEST(TimeSync, APendingWriteKeepsItsCommandStateUntilItIsDone) {
    core::RuntimeTables tables;
    core::ChannelRecord channel;
    channel.m_ucID = 1;
    tables.AddChannel(channel);
    tables.AddTimeSync({.channelId = 1, .address = 5, .periodMinutes = 60});
    modbus::TimeSync sync(nullptr, "Plc1");
    sync.Collect(tables, 1);
    const auto state = [&] {
        core::WriteCommand slot;
        tables.GetWrite(0, &slot);
        return slot.commandState;
    };
    for (const uint8_t pending : {core::kCommandWrite16, core::kCommandWrite32HighWord,
                                  core::kCommandWrite32LowWord, core::kCommandWrite32}) {
        tables.SetCommandState(0, pending);
        sync.Check(&tables, 0, 1700000000);
        EXPECT_EQ(state(), pending);
    }
    tables.SetCommandState(0, core::kCommandIdle);
    sync.Check(&tables, 0, 1700000000);
    EXPECT_EQ(state(), core::kCommandTimeSync);
    EXPECT_EQ(sync.PendingAddress(), 5);
}

}  // namespace
