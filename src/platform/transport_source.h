#pragma once

#include <cstdint>

#include "platform/transport_grid.h"

// What a shared transport tells, on a thread of the backend's own (never its real-time one).
class TransportListener {
  public:
    virtual ~TransportListener() = default;
    // The transport began to roll, or stopped.
    virtual void TransportRolling(bool rolling) = 0;
    // The timebase master's tempo (also when one appears).
    virtual void TransportTempo(double bpm) = 0;
};

// Our own beat grid, for leading a transport: the beat position (beats from our run's first bar
// line) a message stamped timeNs is heard at, and our tempo. False while our clock is not
// running. Asked on the backend's real-time thread: must be real-time safe.
class BeatClock {
  public:
    virtual ~BeatClock() = default;
    virtual bool BeatAt(int64_t timeNs, double& beat, double& bpm) const = 0;
};

// A transport shared with other programs (JACK's): follow it, or lead it as its timebase
// master.
class TransportSource {
  public:
    virtual ~TransportSource() = default;
    // The latest cycle's view. Any thread; real-time safe.
    virtual TransportView View() const = 0;
    // Told of starts, stops and tempo changes until set to null (which returns only once no
    // call is in flight). Any thread but the listener's.
    virtual void SetListener(TransportListener* listener) = 0;
    // Becomes the timebase master, writing bars and beats from clock (null: gives it up).
    // False when the server refused. Not from a real-time thread.
    virtual bool Lead(const BeatClock* clock) = 0;
    virtual bool Leading() const = 0;
    // Starts or stops the transport for every client. Not from a real-time thread.
    virtual void Roll(bool roll) = 0;
    // While our ticks follow the transport's grid, their times come from the frames' own line:
    // the outputs then place them by that line alone, not chained to the tick before (which
    // would carry the line's wander since then into every tick). Any thread.
    virtual void SetTicksOnGrid(bool on) = 0;
};
