#pragma once

#include <atomic>
#include <cstdint>

#include "platform/transport_grid.h"
#include "tempo/tick_schedule.h"

class TickLookahead;
class TransportSource;

// Our ticks on a shared transport's beat grid: tick k of a run that began at beat b0 is due
// where the transport's grid puts beat b0 + k/24, handed over earlier by the outputs' latency so
// that it lands on that very frame. A run the transport's start began starts at its bar line, at
// once when the transport started on one; a relocate or a new tempo under a running clock moves
// the ticks onto the new grid from the next tick on (GridChanged), and the count to its bar.
// Clock thread only, through the source's real-time-safe view.
class TransportFollow : public TickSchedule {
  public:
    static constexpr double kTicksPerBeat = 24;
    // How long after the transport rolled on a bar line a start may reach us and still start
    // on that bar line (the late bound of a tick after a short server xrun).
    static constexpr int64_t kStartLateNs = 10'000'000;

    TransportFollow(const TransportSource& source, const TickLookahead* latency)
        : source_(source), latency_(latency) {}

    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override;
    int64_t TickDueNs(int64_t k) override;
    int64_t FirstTickAtOrAfter(int64_t nowNs) override;
    BarPlace FirstTickInBar() const override;
    bool GridChanged() override;

  private:
    int64_t latencyNs() const;
    // The run's grid with the latest cycle's frames on our clock.
    TransportView current();

    const TransportSource& source_;
    const TickLookahead* latency_;
    // Clock thread: the grid the run follows, and the beat of its tick 0.
    TransportView run_;
    double firstBeat_ = 0;
    // A run started on a bar line already behind us: no tick of it is due before the start.
    int64_t startFloorNs_ = 0;
};
