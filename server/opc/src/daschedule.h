#pragma once
// The arithmetic of a client's scheduler: when groups are due, how long to sleep, and the load
// figure that GetStatus and daClientBandwidth report. Times are 32-bit millisecond tick counts
// that may wrap; nothing here reads a clock, so tests drive it with any ticks.

#include <cstdint>

namespace opc {

// `now` moved onto the grid of `granule` steps anchored at the previous aligned pass time.
uint32_t daAlignPassTime(uint32_t now, uint32_t previousAligned, unsigned granule);

// When a group is due next.
struct daGroupTimer {
    uint32_t dueBase = 0;     // the start of the current period
    bool refreshNow = false;  // report at the next pass whatever the time
};

bool daGroupDue(const daGroupTimer& timer, uint32_t now, unsigned rate);
// After a due group was evaluated: the base advances by one rate, or restarts at `aligned`
// when the group is more than one period late (a missed period, unless it was a refresh-now)
// or after a refresh-now. The refresh-now mark is cleared.
struct daGroupAdvance {
    bool missedPeriod = false;
    uint32_t lateness = 0;  // how late this evaluation was, for the load figure
};
daGroupAdvance daAdvanceGroup(daGroupTimer* timer, uint32_t now, uint32_t aligned, unsigned rate);
// ms until the group is due (0 when it is).
uint32_t daTimeToDue(const daGroupTimer& timer, uint32_t now, unsigned rate);

// The moments of one scheduler pass.
struct daPassTimes {
    uint32_t wake = 0;       // the wait ended
    uint32_t evalStart = 0;  // group evaluation began
    uint32_t evalEnd = 0;    // and ended
    uint32_t passEnd = 0;    // request processing and delivery included
    uint32_t timeToDue = 0;  // to the next due group, counted from evalStart
    uint32_t lateness = 0;   // the largest group lateness of the pass
};

// The smoothed load in units of 1/4096 percent, and the wait it implies.
class daLoadFigure {
public:
    // The wait (ms) until the next pass, after the load figure took this pass into account.
    uint32_t EndPass(const daPassTimes& pass, unsigned granule);
    // Whole percent; -1 before the first pass.
    int Load() const;
    uint32_t LastPass() const { return lastPassEnd_; }

private:
    int64_t kept_ = -1;
    uint32_t lastPassEnd_ = 0;
};

// The load as reported at `now`: decayed by the idle time since the last pass.
int daDecayedLoad(int load, uint32_t lastPass, uint32_t now, unsigned granule);

}  // namespace opc
