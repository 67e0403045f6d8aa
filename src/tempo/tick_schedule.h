#pragma once

#include <cstdint>

// An outside time line the clock's ticks follow instead of the timer's own period: a network
// session's beat grid, or an incoming clock we are locked to. The BPM timer asks it, on the
// clock thread only, when each tick is due; implementations must not allocate, lock or block:
// every method below is called on the clock thread and must be real-time safe.
class TickSchedule {
  public:
    virtual ~TickSchedule() = default;

    // The schedule takes over the ticks at nowNs. newRun: the clock has just been started, so
    // tick 0 is the first of a run (a bar line where the schedule knows bars); otherwise it takes
    // over a running clock whose last tick went out at lastTickNs, and tick 0 is the first one
    // of its own grid after that.
    virtual void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) = 0;

    // Monotonic time (ns) at which tick k (counted from BeginRun) is due.
    virtual int64_t TickDueNs(int64_t k) = 0;

    // The first tick k whose due time is at or after nowNs (to skip what a stall missed).
    virtual int64_t FirstTickAtOrAfter(int64_t nowNs) = 0;

    // Where tick 0 lies in the schedule's bar: ticks after the bar line (0 <= tick < length)
    // and the bar's length in ticks; a length of 0 where the schedule knows no bars. Asked
    // right after a BeginRun that took over a running clock: the clock's tick count, which
    // places the port's bar lines, a Start on the next beat and the sequencer's steps, then
    // moves on to the schedule's place in its bar. (A new run begins on a bar line anyway.)
    struct BarPlace {
        int64_t tick = 0;
        int64_t length = 0;
    };
    virtual BarPlace FirstTickInBar() const { return {}; }

    // True when the schedule's grid has changed under the running clock (a network session
    // followed at another power of two of its tempo): the timer then begins it afresh at the
    // next check, as a takeover of the running clock, so the ticks move onto the new grid
    // without a jump back and the count follows its bars. Clock thread.
    virtual bool GridChanged() { return false; }
};
