#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pulse_out.h"

// The operating system's MIDI output, behind one small interface so that JACK, the ALSA
// sequencer and the in-memory test backend look the same to TMidiOutput.
//
// Time stamps are CLOCK_MONOTONIC nanoseconds (MonotonicNowNs). A message carrying time T is
// delivered at T plus a constant latency by a backend that can schedule (JACK), at once by one
// that cannot (ALSA). Time 0 means "as soon as possible".

// The entry every backend lists first: a port of our own, left unconnected, that any program
// can connect to.
inline constexpr const char* kVirtualPortName = "Tempovane virtual port";
// The same for input: a port of ours that any program or hardware bridge can send to.
inline constexpr const char* kVirtualInputName = "Tempovane virtual input";

// A device name as shown to the user: without leading or trailing blanks and control characters,
// which some drivers pad their names with.
inline std::string TrimDeviceName(std::string_view name) {
    auto isPadding = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    };
    size_t first = 0;
    size_t last = name.size();
    while (first < last && isPadding(name[first])) ++first;
    while (last > first && isPadding(name[last - 1])) --last;
    return std::string(name.substr(first, last - first));
}

// Number of bytes of a short message with this status byte (1 for real-time messages).
constexpr size_t ShortMessageLength(uint8_t status) {
    if (status >= 0xF8) return 1;  // timing clock, Start, Continue, Stop ...
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    if (status >= 0xF4) return 1;                    // F4, F5, F6, F7
    if (status >= 0xC0 && status <= 0xDF) return 2;  // program change, channel pressure
    if (status >= 0x80) return 3;
    return 3;  // a data byte as status: sent as given
}

// One opened output. Safe to call from any thread; sendShort never allocates and never waits
// for the UI, so the clock thread can use it on every tick.
class MidiOutConnection {
  public:
    virtual ~MidiOutConnection() = default;
    // bytes: 1 to 3 bytes of a short message. False when it could not be queued. Clock thread
    // among others. Real-time safe on JACK (the clock thread has a ring of its own); not on
    // ALSA (RtMidi's lock, held for one send by whoever sends) nor in memory (tests).
    virtual bool sendShort(const uint8_t* bytes, size_t length, int64_t timeNs) = 0;
    // A whole System Exclusive message (F0 ... F7). Returns once the bytes are copied.
    virtual bool sendLong(const uint8_t* bytes, size_t length, int64_t timeNs) = 0;
    // False once the destination or the server behind it has gone; sends then do nothing.
    virtual bool isAlive() const = 0;
    // How late after its time stamp a message may be handed over and still go out at its
    // time: 0 for a backend that sends at once. Clock thread among others; real-time safe.
    virtual int64_t lookaheadNs() const { return 0; }
    // Shifts everything sent from now on by delayNs (negative: earlier than the other ports), for
    // a device that reacts late or early. Only a backend that schedules can do it; one that
    // sends at once answers false and sends as before.
    virtual bool setDelayNs(int64_t /*delayNs*/) { return false; }
};

// Where an opened input delivers. Called on the backend's input thread (never JACK's process
// thread), one message at a time and in arrival order; it should return quickly. bytes holds one
// short message (1 to 3 bytes, status first), or a System Exclusive message or a piece of one
// (a piece after the first starts with a data byte). timeMs counts milliseconds since the open.
using MidiInHandler = std::function<void(const uint8_t* bytes, size_t length, uint32_t timeMs)>;

// One opened input. Destroying it closes it: once the destructor has returned, the handler is
// never called again.
class MidiInConnection {
  public:
    virtual ~MidiInConnection() = default;
    // False once the source or the server behind it has gone.
    virtual bool isAlive() const = 0;
};

class TransportSource;

class MidiOutBackend {
  public:
    virtual ~MidiOutBackend() = default;
    // A transport shared with other programs, where the backend has one (JACK); else null.
    virtual TransportSource* transport() { return nullptr; }
    // Stable name shown before every device: "JACK", "ALSA", "Memory".
    virtual std::string prefix() const = 0;
    // The destinations offered now, names trimmed, our own virtual entry included.
    virtual std::vector<std::string> listOutputs() = 0;
    // Opens a destination by a name from listOutputs(). ownPortName names the port we create
    // for it where the backend creates one (JACK: "tempovane:<ownPortName>"). Null on failure.
    virtual std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                          const std::string& ownPortName) = 0;
    // Where the backend reports, from any of its threads, that a server or destination went
    // away. MidiSystem sets it when the backend is added.
    using ProblemSink = std::function<void(const std::string& text)>;
    virtual void setProblemSink(ProblemSink sink) = 0;
    // Where a backend that reconnects by itself reports that a lost server or device is back,
    // with a text for the status line. Backends that never reconnect ignore it.
    virtual void setRecoverySink(ProblemSink /*sink*/) {}
    // Where a backend tells, from one of its own threads, that devices may have come: its
    // server has come (server true: at last, or again, after the ports that were open are
    // connected again), or another program's port has appeared. Backends that never see
    // devices come ignore it.
    using ArrivalSink = std::function<void(bool server)>;
    virtual void setArrivalSink(ArrivalSink /*sink*/) {}

    // Input, with the same names as the outputs: our virtual input first, then the sources
    // (other programs' outputs, hardware inputs). A backend without input offers none.
    virtual std::vector<std::string> listInputs() { return {}; }
    // Opens a source by a name from listInputs(); ownPortName as for openOutput. Null on failure.
    virtual std::unique_ptr<MidiInConnection> openInput(const std::string& /*name*/,
                                                        const std::string& /*ownPortName*/,
                                                        MidiInHandler /*handler*/) {
        return nullptr;
    }

    // Clock pulses on an audio output of ours, number 1 or 2 (JACK: "pulse_1", "pulse_2"). Null
    // where the backend writes no audio, or that output is open already.
    virtual std::unique_ptr<PulseOutConnection> openPulseOutput(int /*number*/) { return nullptr; }
};
