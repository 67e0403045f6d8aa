#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/midi_backend.h"

class RtMidiOut;

// The sequencer's port names as RtMidi gives them end in the client:port numbers
// ("Midi Through:Midi Through Port-0 14:0"), which change whenever hardware is plugged in
// another order or a program restarts, so a saved name would fail next time. The name without
// them stays; where two ports would then read the same, the later ones get " #2", " #3" ... in
// list order.
std::string AlsaNameWithoutNumbers(std::string_view rtMidiName);
std::vector<std::string> AlsaStableNames(const std::vector<std::string>& rtMidiNames);

// MIDI output through the ALSA sequencer, by way of RtMidi. Sends at once: the sequencer
// offers no frame clock to schedule against, so time stamps are ignored.
class AlsaMidiBackend : public MidiOutBackend {
  public:
    // Null, and silent, where there is no sequencer (/dev/snd/seq missing or unusable).
    static std::unique_ptr<AlsaMidiBackend> Create();
    ~AlsaMidiBackend() override;

    std::string prefix() const override { return "ALSA"; }
    std::vector<std::string> listOutputs() override;
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName) override;
    // The sequencer tells RtMidi nothing about vanished ports, so nothing is reported here.
    void setProblemSink(ProblemSink sink) override;
    // Input through RtMidi's callback thread, with timing clock, active sensing and System
    // Exclusive let through (midi_alsa.cpp, after the output side).
    std::vector<std::string> listInputs() override;
    std::unique_ptr<MidiInConnection> openInput(const std::string& name,
                                                const std::string& ownPortName,
                                                MidiInHandler handler) override;

  private:
    explicit AlsaMidiBackend(std::unique_ptr<RtMidiOut> lister);

    std::mutex listerMutex_;
    // Only lists ports; every connection opens a sequencer client of its own.
    std::unique_ptr<RtMidiOut> lister_;
};
