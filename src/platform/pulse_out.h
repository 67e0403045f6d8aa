#pragma once

#include <cstdint>

// One clock pulse output as a backend that writes audio offers it (JACK: the audio port
// "pulse_1" or "pulse_2" of our client). It only places what it is handed: edges and run line
// changes, each at its time stamp plus the same latency as the MIDI ports' messages, so an edge
// and a MIDI clock of one time stamp land on the same frame. What makes an edge (pulses per
// quarter, transport) is decided above it.
class PulseOutConnection {
  public:
    virtual ~PulseOutConnection() = default;
    // A pulse whose rising edge is due at timeNs (CLOCK_MONOTONIC); intervalNs is the time to the
    // next one, which bounds its width. Clock thread among others; real-time safe (a ring of its
    // own for the clock thread, as a MIDI connection's).
    virtual bool edge(int64_t timeNs, int64_t intervalNs) = 0;
    // The run line high or low from timeNs on (0: as soon as possible). Any thread; real-time
    // safe on the clock thread.
    virtual bool run(bool high, int64_t timeNs) = 0;
    // The pulse's width, level (0..1), polarity and shift (as a MIDI port's device delay: a
    // negative one holds the other outputs back). Applied from the next cycle. UI thread.
    virtual void setShape(int64_t widthNs, double level, bool inverted) = 0;
    virtual bool setShiftNs(int64_t shiftNs) = 0;
    // How late after its time stamp an edge may be handed over and still land on its frame.
    // Clock thread; real-time safe.
    virtual int64_t lookaheadNs() const = 0;
    // False once the server has gone (until it is back).
    virtual bool isAlive() const = 0;
};
