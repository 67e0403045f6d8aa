#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi_backend.h"

// Work the JACK client's process callback does for another part of the backend (the inputs),
// once per cycle after the outputs. Process thread: no allocation, no lock.
class JackProcessHook {
  public:
    // firstFrame: JACK's frame counter at the start of this cycle; startNs: when that frame
    // was, on JACK's clock, by the frames counted on the outputs' cycle line
    // (CycleClock::countedStartNs), and nsPerFrame its frame length. Frame f of the cycle lies
    // at startNs + f * nsPerFrame.
    virtual void process(uint32_t frames, uint32_t firstFrame, int64_t startNs,
                         double nsPerFrame) = 0;

  protected:
    ~JackProcessHook() = default;
};

class JackInputHub;
class JackTransport;

// MIDI output through JACK, with every message placed at the frame of its time stamp plus a
// constant latency, so that clock ticks keep their spacing to the frame. One JACK client,
// "tempovane", serves the whole program.
//
// Ports come back by themselves. A supervisor thread waits for JACK's notices: when the server
// shuts down (or throws our client out) it closes the dead client and looks for the server
// every 250 ms; once it answers, a new client registers every open port again under its old
// name and connects it to the same named device. A destination (or source) whose client went
// away is connected again as soon as a port of that name is back. Meanwhile the connections
// refuse sends, so the clock thread, which never waits for any of this, ticks into nothing.
class JackMidiBackend : public MidiOutBackend {
  public:
    // Scheduled sends are due one period after their time stamp, plus this margin: a message
    // handed over up to the margin after its time stamp is still placed on its own frame. The
    // clock thread posts a tick some 50-100 us after its time stamp on an idle machine, and up
    // to a few milliseconds late on a loaded one; the cycle that has to carry the tick may
    // begin as early as one margin after the time stamp. Measured at 2500 BPM (dummy driver,
    // 256 frames, both cores of a shared machine busy, 15 s): with 1 ms, 123 ticks came too
    // late for their frames and bunched up; with 2, 2.5 and 3 ms, none. 2.5 ms places every
    // tick from a clock thread that wakes up to 2 ms late, with half a millisecond for the
    // sending itself; it adds 1.5 ms to the latency, which JACK hosts are told.
    static constexpr int64_t kDefaultSafetyMarginNs = 2'500'000;

    // What Create does when no server answers: give up (null), or make a backend that offers
    // nothing until a server starts, and then takes it into use by itself.
    enum class WithoutServer { Fail, WaitForOne };

    // A server is never started. An empty serverName takes the usual default (jackd2:
    // JACK_DEFAULT_SERVER, else "default"; PipeWire: PIPEWIRE_REMOTE, else "pipewire-0").
    static std::unique_ptr<JackMidiBackend> Create(
        const std::string& serverName = "", int64_t safetyMarginNs = kDefaultSafetyMarginNs,
        WithoutServer withoutServer = WithoutServer::Fail);
    ~JackMidiBackend() override;

    std::string prefix() const override { return "JACK"; }
    // Our virtual port, then the MIDI inputs of the other clients.
    std::vector<std::string> listOutputs() override;
    // Registers our port "ownPortName" (made unique if taken) and connects it to the named
    // input; the virtual entry leaves the port unconnected. Null when the name is not listed,
    // the connection fails, or 16 ports of ours are open already.
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName) override;
    void setProblemSink(ProblemSink sink) override;
    // Told when a lost server or device is back and its ports connected again.
    void setRecoverySink(ProblemSink sink) override;
    void setArrivalSink(ArrivalSink sink) override;
    // Our virtual input, then the MIDI outputs of the other clients (midi_jack_input.cpp).
    std::vector<std::string> listInputs() override;
    // Registers our input port "ownPortName" and connects the named source to it.
    std::unique_ptr<MidiInConnection> openInput(const std::string& name,
                                                const std::string& ownPortName,
                                                MidiInHandler handler) override;

    // Our audio port "pulse_1" or "pulse_2" for clock pulses (jack_pulse_out.cpp).
    std::unique_ptr<PulseOutConnection> openPulseOutput(int number) override;

    // The name the server gave our client ("tempovane", or "tempovane-01" when taken).
    std::string clientName() const;
    uint32_t sampleRate() const;
    // The delay from a message's time stamp to its frame: one period plus the safety margin.
    // A port with a delay of its own adds that (see MidiOutConnection::setDelayNs).
    int64_t latencyNs() const;
    // Lifts every port when some port is set earlier than the others: the largest negative
    // delay among the open ports, as a positive number, or 0.
    int64_t sharedBaseDelayNs() const;
    // Scheduled messages that reached the process callback after their frame had passed and so
    // went out late, over all connections. A health figure for tools and experiments.
    uint64_t lateMessageCount() const;
    // Clock ticks that came so late (a server held still) that they were dropped rather than
    // sent in a burst.
    uint64_t droppedLateTickCount() const;
    // How often the driver's time line was found to have moved (an xrun), and the cycles were
    // learnt afresh.
    uint64_t timeLineRestartCount() const;
    bool serverRunning() const;
    // Whether a JACK client of ours is open: false from the moment the supervisor has let go
    // of a dead server's client until a new one is open. libjack, on the next client opened
    // in the process, frees every client of a server that went away, so a test must not open
    // one of its own before this is false.
    bool holdsClient() const;
    // The JACK transport, to follow or to lead (platform/jack/jack_transport).
    TransportSource* transport() override;

    class Session;

  private:
    explicit JackMidiBackend(std::shared_ptr<Session> session);
    std::shared_ptr<Session> session_;
    std::shared_ptr<JackInputHub> inputs_;
    std::unique_ptr<JackTransport> transport_;
};
