#include <algorithm>

#include "daschedule.h"

namespace opc {
namespace {

constexpr int64_t kLoadUnit = 4096;  // the kept load is in 1/4096 percent
constexpr uint32_t kLongestWait = 0xFFFFF;

// A base restarted at an aligned time may lie up to half a granule after `now`: differences
// are signed, so such a group is not yet due rather than 4 billion ms late.
int64_t Elapsed(const daGroupTimer& timer, uint32_t now) {
    return static_cast<int32_t>(now - timer.dueBase);
}

int64_t RoundedPercent(int64_t part, int64_t whole) {
    if (whole <= 0) return 0;  // nothing took time and nothing was waited for
    return (part * 100 + whole / 2) / whole;
}

}  // namespace

uint32_t daAlignPassTime(uint32_t now, uint32_t previousAligned, unsigned granule) {
    if (granule == 0) return now;
    const uint32_t shifted = now + granule / 2;
    return shifted - (shifted - previousAligned) % granule;
}

bool daGroupDue(const daGroupTimer& timer, uint32_t now, unsigned rate) {
    return timer.refreshNow || Elapsed(timer, now) >= static_cast<int64_t>(rate);
}

daGroupAdvance daAdvanceGroup(daGroupTimer* timer, uint32_t now, uint32_t aligned, unsigned rate) {
    daGroupAdvance advance;
    const bool refreshNow = timer->refreshNow;
    timer->refreshNow = false;
    const int64_t late = Elapsed(*timer, now) - static_cast<int64_t>(rate);
    if (late > static_cast<int64_t>(rate)) {
        advance.missedPeriod = !refreshNow;
        timer->dueBase = aligned;
    } else if (refreshNow) {
        timer->dueBase = aligned;
    } else {
        timer->dueBase += rate;
        advance.lateness = static_cast<uint32_t>(std::max<int64_t>(late, 0));
    }
    return advance;
}

uint32_t daTimeToDue(const daGroupTimer& timer, uint32_t now, unsigned rate) {
    if (timer.refreshNow) return 0;
    const int64_t left = static_cast<int64_t>(rate) - Elapsed(timer, now);
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

uint32_t daLoadFigure::EndPass(const daPassTimes& pass, unsigned granule) {
    granule = std::max(granule, 1u);
    const bool firstPass = kept_ < 0;
    const int64_t interval = static_cast<uint32_t>(pass.passEnd - lastPassEnd_);
    const int64_t evaluation = static_cast<uint32_t>(pass.evalEnd - pass.evalStart);
    const int64_t busy = static_cast<uint32_t>(pass.passEnd - pass.wake);
    const bool overrun = evaluation > pass.timeToDue;
    int64_t wait = overrun ? 0 : pass.timeToDue - evaluation;
    lastPassEnd_ = pass.passEnd;

    if (firstPass || interval > 0) {
        int64_t load = 100;
        if (!overrun) {
            // The first pass has no previous one to measure an interval from.
            const int64_t span = firstPass ? busy + wait : std::min(interval, busy + wait);
            const int64_t late = evaluation + pass.lateness;
            load = std::max(RoundedPercent(busy, span), RoundedPercent(late, late + wait));
        }
        const int64_t fresh = load * kLoadUnit;
        if (!firstPass && interval < 2 * static_cast<int64_t>(granule)) {
            const int64_t h =
                std::clamp<int64_t>((interval * 2048 + granule / 2) / granule, 1, kLoadUnit);
            kept_ = (kept_ * (kLoadUnit - h) + fresh * h + kLoadUnit / 2) / kLoadUnit;
        } else {
            kept_ = fresh;
        }
    }

    // The first pass has no interval, so its wait is not shortened.
    if (!firstPass && Load() > 1) {
        const int64_t m = std::max<int64_t>(interval, granule) * 3 / 2;
        if (wait >= m) wait = m / 2;
    }
    if (wait > kLongestWait) wait = wait < 0x200000 ? wait / 2 : kLongestWait;
    return static_cast<uint32_t>(wait);
}

int daLoadFigure::Load() const {
    if (kept_ < 0) return -1;
    return static_cast<int>((kept_ + kLoadUnit / 2) / kLoadUnit);
}

int daDecayedLoad(int load, uint32_t lastPass, uint32_t now, unsigned granule) {
    if (load < 0) return load;
    const uint32_t idle = now - lastPass - granule / 16;
    // Not later than the last pass plus a sixteenth of a granule: no decay yet.
    if (static_cast<int32_t>(idle) <= 0) return load;
    const int64_t g = granule;
    const int64_t span = static_cast<int64_t>(idle) + g;
    return static_cast<int>((static_cast<int64_t>(load) * g + span / 2) / span);
}

}  // namespace opc
