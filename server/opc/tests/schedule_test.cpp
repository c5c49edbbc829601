#include "../src/daschedule.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

using opc::daGroupTimer;
using opc::daLoadFigure;
using opc::daPassTimes;

TEST(Schedule, AlignPassTimeToTheGranuleGrid) {
    struct Case {
        uint32_t now, previous;
        unsigned granule;
        uint32_t aligned;
    } cases[] = {
        {1000, 1000, 50, 1000},
        {1024, 1000, 50, 1000},  // under half a granule rounds down
        {1025, 1000, 50, 1050},  // half a granule rounds up
        {1010, 990, 50, 990},
        {1070, 990, 50, 1090},
        {990, 1000, 50, 1000},
        {20, 0xFFFFFFF0u, 50, 34},  // the grid runs on across the tick wrap-around
        {0xFFFFFFFEu, 0xFFFFFFF0u, 16, 0},
        {1234, 1000, 0, 1234},  // no grid
    };
    for (const Case& c : cases) {
        EXPECT_EQ(opc::daAlignPassTime(c.now, c.previous, c.granule), c.aligned)
            << c.now << " on " << c.previous << " / " << c.granule;
    }
}

TEST(Schedule, GroupDueAndAdvance) {
    struct Case {
        const char* what;
        uint32_t base;
        bool refreshNow;
        uint32_t now, aligned;
        bool due;
        bool missed;
        uint32_t lateness, newBase, timeToDue;
    } cases[] = {
        {"not yet due", 1000, false, 1099, 1100, false, false, 0, 1000, 1},
        {"on time", 1000, false, 1100, 1100, true, false, 0, 1100, 100},
        {"a little late", 1000, false, 1130, 1150, true, false, 30, 1100, 70},
        {"one period late catches up", 1000, false, 1200, 1200, true, false, 100, 1100, 0},
        {"late group restarts", 1000, false, 1250, 1250, true, true, 0, 1250, 100},
        {"refresh-now before due", 1000, true, 1030, 1050, true, false, 0, 1050, 120},
        {"late refresh-now is no miss", 1000, true, 1500, 1500, true, false, 0, 1500, 100},
        {"across the wrap-around", 0xFFFFFFC0u, false, 36, 36, true, false, 0, 36, 100},
        {"base after now is not due", 1025, false, 1010, 1000, false, false, 0, 1025, 115},
    };
    const unsigned rate = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        daGroupTimer timer;
        timer.dueBase = c.base;
        timer.refreshNow = c.refreshNow;
        ASSERT_EQ(opc::daGroupDue(timer, c.now, rate), c.due);
        if (c.due) {
            const opc::daGroupAdvance advance = opc::daAdvanceGroup(&timer, c.now, c.aligned, rate);
            EXPECT_EQ(advance.missedPeriod, c.missed);
            EXPECT_EQ(advance.lateness, c.lateness);
            EXPECT_FALSE(timer.refreshNow);
        }
        EXPECT_EQ(timer.dueBase, c.newBase);
        EXPECT_EQ(opc::daTimeToDue(timer, c.now, rate), c.timeToDue);
    }
}

TEST(Schedule, RefreshNowIsDueAtOnce) {
    daGroupTimer timer;
    timer.dueBase = 5000;
    timer.refreshNow = true;
    EXPECT_TRUE(opc::daGroupDue(timer, 5000, 1000));
    EXPECT_EQ(opc::daTimeToDue(timer, 5000, 1000), 0u);
}

daPassTimes Pass(uint32_t wake, uint32_t evaluation, uint32_t afterEvaluation, uint32_t timeToDue,
                 uint32_t lateness = 0) {
    daPassTimes pass;
    pass.wake = wake;
    pass.evalStart = wake;
    pass.evalEnd = wake + evaluation;
    pass.passEnd = pass.evalEnd + afterEvaluation;
    pass.timeToDue = timeToDue;
    pass.lateness = lateness;
    return pass;
}

TEST(Schedule, WaitOfAFirstPass) {
    struct Case {
        uint32_t timeToDue, evaluation, wait;
        int load;
    } cases[] = {
        {100, 30, 70, 30},         {100, 100, 0, 100},        {100, 101, 0, 100},  // overrun
        {0xFFFFF, 0, 0xFFFFF, 0},  {0x100000, 0, 0x80000, 0},  // above the longest wait: halved
        {0x1FFFFF, 0, 0xFFFFF, 0}, {0x200000, 0, 0xFFFFF, 0}, {0xFFFFFFFFu, 0, 0xFFFFF, 0},
    };
    for (const Case& c : cases) {
        daLoadFigure figure;
        EXPECT_EQ(figure.Load(), -1);
        EXPECT_EQ(figure.EndPass(Pass(1000, c.evaluation, 0, c.timeToDue), 16), c.wait)
            << c.timeToDue << " " << c.evaluation;
        EXPECT_EQ(figure.Load(), c.load) << c.timeToDue << " " << c.evaluation;
        EXPECT_EQ(figure.LastPass(), 1000 + c.evaluation);
    }
}

// A pass after one that ended at 1000, 16 ms granules.
TEST(Schedule, LoadFigureOfASecondPass) {
    struct Case {
        const char* what;
        daPassTimes pass;
        uint32_t wait;
        int load;
    } cases[] = {
        // busy 10 of the 50 ms since the last pass; the long wait is cut to 1.5 * 50 / 2
        {"busy share of the interval", Pass(1040, 0, 10, 200), 37, 20},
        {"busy share of busy + wait", Pass(1040, 0, 10, 30), 30, 25},
        {"evaluation and lateness", Pass(1040, 10, 0, 60, 30), 50, 44},
        {"rounded to nearest", Pass(1092, 0, 8, 56), 56, 13},  // 12.5 %
        {"overrun", Pass(1040, 80, 0, 50), 0, 100},
        {"idle", Pass(1050, 0, 0, 500), 500, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        daLoadFigure figure;
        figure.EndPass(Pass(1000, 0, 0, 0xFFFFF), 16);
        ASSERT_EQ(figure.Load(), 0);
        EXPECT_EQ(figure.EndPass(c.pass, 16), c.wait);
        EXPECT_EQ(figure.Load(), c.load);
        EXPECT_EQ(figure.LastPass(), c.pass.passEnd);
    }
}

TEST(Schedule, LoadFigureSmoothingAndSameTick) {
    daLoadFigure figure;
    figure.EndPass(Pass(0, 60, 0, 50), 16);  // overrun: 100 %
    ASSERT_EQ(figure.Load(), 100);
    // 8 ms later, idle: blended with weight 8 * 2048 / 16 / 4096 = 1/4.
    figure.EndPass(Pass(68, 0, 0, 50), 16);
    EXPECT_EQ(figure.Load(), 75);
    // 1 ms later: weight 128/4096, 75 % becomes 72.65 %.
    figure.EndPass(Pass(69, 0, 0, 50), 16);
    EXPECT_EQ(figure.Load(), 73);
    // Another pass ending at the same tick keeps the figure, even an overrun.
    EXPECT_EQ(figure.EndPass(Pass(40, 29, 0, 10), 16), 0u);
    EXPECT_EQ(figure.Load(), 73);
    figure.EndPass(Pass(69, 0, 0, 50), 16);
    EXPECT_EQ(figure.Load(), 73);
    // Two granules since the last pass: the new figure replaces the old.
    figure.EndPass(Pass(101, 0, 0, 50), 16);
    EXPECT_EQ(figure.Load(), 0);
}

TEST(Schedule, LoadFigureAcrossTheTickWrapAround) {
    daLoadFigure figure;
    figure.EndPass(Pass(0xFFFFFF00u, 0, 0, 0xFFFFF), 16);
    // 272 ms later, after the wrap: busy 32 of them; the wait is cut to 1.5 * 272 / 2.
    EXPECT_EQ(figure.EndPass(Pass(0xFFFFFFF0u, 0, 0x20, 0x400), 16), 204u);
    EXPECT_EQ(figure.Load(), 12);  // 32 * 100 / 272 = 11.8
    EXPECT_EQ(figure.LastPass(), 0x10u);
}

TEST(Schedule, DecayedLoad) {
    struct Case {
        int load;
        uint32_t lastPass, now;
        unsigned granule;
        int decayed;
    } cases[] = {
        {50, 1000, 1001, 16, 50},  // idle 0
        {50, 1000, 1000, 16, 50},  // idle negative
        {50, 1000, 990, 16, 50},
        {50, 1000, 1017, 16, 25},  // idle 16: g / (idle + g) = 1/2
        {50, 1000, 1049, 16, 13},  // 12.5 rounded
        {80, 0, 3, 50, 80},
        {80, 0, 53, 50, 40},
        {50, 0xFFFFFFF8u, 0x18, 16, 17},  // idle 31 across the wrap-around: 16.9
        {0, 1000, 5000, 16, 0},
        {-1, 1000, 5000, 16, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(opc::daDecayedLoad(c.load, c.lastPass, c.now, c.granule), c.decayed)
            << c.load << " " << c.lastPass << " " << c.now << " " << c.granule;
    }
}

}  // namespace
