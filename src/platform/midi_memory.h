#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_backend.h"

// A MIDI backend that lives in memory: tests add and remove devices, make opens fail, and read
// back every message sent, in send order. Thread-safe, but not real-time: it locks on every call.
class MemoryMidiBackend : public MidiOutBackend {
  public:
    struct Message {
        std::string device;
        std::vector<uint8_t> bytes;
        int64_t timeNs = 0;
        bool isLong = false;
    };

    MemoryMidiBackend();
    ~MemoryMidiBackend() override;

    std::string prefix() const override { return "Memory"; }
    std::vector<std::string> listOutputs() override;
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName) override;
    void setProblemSink(ProblemSink sink) override;
    // Logs what it is handed as messages to the device "pulse_<number>" (see midi_memory.cpp).
    std::unique_ptr<PulseOutConnection> openPulseOutput(int number) override;
    std::vector<std::string> listInputs() override;
    std::unique_ptr<MidiInConnection> openInput(const std::string& name,
                                                const std::string& ownPortName,
                                                MidiInHandler handler) override;

    // Told when a test adds a device, as a backend tells of a device that appeared.
    void setArrivalSink(ArrivalSink sink) override;
    // A device appears at the end of the list. Adding a listed name again does nothing.
    void addDevice(const std::string& name);
    // The device vanishes: its open connections go dead and the problem sink hears of it.
    void removeDevice(const std::string& name);
    void setFailOpen(const std::string& name, bool fail);

    std::vector<Message> messages() const;
    std::vector<Message> messagesFor(const std::string& device) const;
    void clearMessages();
    // Opens so far of this device, and how many of its connections are open now.
    int openCount(const std::string& device) const;
    int currentlyOpen(const std::string& device) const;
    // ownPortName given to the last open of this device ("" if never opened).
    std::string lastOwnPortName(const std::string& device) const;

    // Input sources: our virtual input is always there; others are added by tests.
    void addInputDevice(const std::string& name);
    void setFailOpenInput(const std::string& name, bool fail);
    // Delivers one message (or System Exclusive piece) to every open input of that source, on
    // the caller's thread, as a backend's input thread would. Returns how many inputs got it.
    int inject(const std::string& device, const std::vector<uint8_t>& bytes, uint32_t timeMs);
    int inputOpenCount(const std::string& device) const;
    int inputsOpenNow(const std::string& device) const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};
