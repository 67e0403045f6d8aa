#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_backend.h"

// The union of the MIDI backends running now. Device names carry their backend
// ("JACK: midi-monitor:input", "ALSA: ..."), in the order the backends were added.
class MidiSystem {
  public:
    MidiSystem();
    ~MidiSystem();

    // JACK when a server runs (never starts one), then the ALSA sequencer when /dev/snd/seq
    // exists. A missing backend is not an error: it simply offers nothing.
    static std::unique_ptr<MidiSystem> CreateDefault();

    void addBackend(std::unique_ptr<MidiOutBackend> backend);

    std::vector<std::string> listOutputs();
    // displayName as listed ("JACK: x"); null when no backend has it or the open fails.
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& displayName,
                                                  const std::string& ownPortName);
    // A saved display name as this version lists it: an ALSA name saved with the sequencer's
    // client:port numbers loses them, like the list's names. Others stay as they are.
    static std::string StableDeviceName(const std::string& displayName);

    // Inputs, named like the outputs ("JACK: Tempovane virtual input", "ALSA: ...").
    std::vector<std::string> listInputs();
    std::unique_ptr<MidiInConnection> openInput(const std::string& displayName,
                                                const std::string& ownPortName,
                                                MidiInHandler handler);

    // Clock pulses on audio output 1 or 2 of the first backend that writes audio (JACK); null
    // where none does.
    std::unique_ptr<PulseOutConnection> openPulseOutput(int number);

    // Display name of our own virtual port, JACK's before ALSA's; "" when no backend offers one.
    std::string firstVirtualOutput();

    // Told (on a backend's own thread) when a server or destination goes away, with a text
    // for the status line. Set once at start-up.
    using ProblemListener = std::function<void(const std::string& text)>;
    void setProblemListener(ProblemListener listener);
    void reportProblem(const std::string& text);
    // Told the same way when a backend has connected a lost server or device again by itself.
    void setRecoveryListener(ProblemListener listener);
    void reportRecovery(const std::string& text);
    // Told the same way when devices may have come: a backend's server has come, at last or
    // again (server true), or a device has appeared.
    using ArrivalListener = std::function<void(bool server)>;
    void setArrivalListener(ArrivalListener listener);
    void reportArrival(bool server);
    // Whether a JACK server answers now (its devices are listed).
    bool jackServerRunning();
    // The first backend's shared transport (JACK's); null where none has one.
    TransportSource* transport();

  private:
    std::mutex listenerMutex_;
    ProblemListener listener_;
    ProblemListener recoveryListener_;
    ArrivalListener arrivalListener_;
    // Declared last so that it goes first: a backend thread may report until its backend is gone.
    std::vector<std::unique_ptr<MidiOutBackend>> backends_;
};
