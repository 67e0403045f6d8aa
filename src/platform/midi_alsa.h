#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_backend.h"

class RtMidiOut;

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

  private:
    explicit AlsaMidiBackend(std::unique_ptr<RtMidiOut> lister);

    std::mutex listerMutex_;
    // Only lists ports; every connection opens a sequencer client of its own.
    std::unique_ptr<RtMidiOut> lister_;
};
