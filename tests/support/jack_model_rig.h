#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"
#include "support/jack_support.h"

namespace jacktest {

// Picks a port from a port list, as the user picks one from the list shown. PipeWire lists
// another client's port made a moment ago only once our client has heard of it (each client
// learns of the graph on its own thread, later on a loaded machine): the list is read again
// until it holds the port, for five seconds at most. `port` is the MidiOutPort or MidiInPort
// the list belongs to.
template <class Port>
bool SelectListed(ListModel& list, Port& port, const std::string& name) {
    return WaitUntil(
        [&] {
            if (SelectByName(list, name)) return true;
            port.RefreshPortList();
            return SelectByName(list, name);
        },
        std::chrono::seconds(5), std::chrono::milliseconds(10));
}

// The main window's model with JACK as its only backend, on the real clock; null where no
// JACK backend can be made. backend, if given, is set to the backend the model owns.
inline std::unique_ptr<KorvidMainModel> ModelOnJack(JackMidiBackend** backend = nullptr) {
    auto jack = JackMidiBackend::Create();
    if (!jack) return nullptr;
    if (backend) *backend = jack.get();
    auto system = std::make_unique<MidiSystem>();
    system->addBackend(std::move(jack));
    return std::make_unique<KorvidMainModel>(std::move(system));
}

// The model as the window sets it up for a test: output port 1 (no definition) sending to the
// JACK port `receiver`, the input reading the JACK port `source` with the input definition
// `type` from `folder`. Call through ASSERT_NO_FATAL_FAILURE.
inline void OpenModelPorts(KorvidMainModel& model, const std::string& folder,
                           const std::string& receiver, const std::string& type,
                           const std::string& source) {
    model.CreatePorts("no-such-folder/");
    model.CreateInPort(folder);
    ASSERT_TRUE(SelectListed(model.out1Controls.port, *model.OutPort1(), "JACK: " + receiver));
    model.OutPort1()->OpenSelectedPort();
    ASSERT_TRUE(model.state.PortReady.load());
    ASSERT_TRUE(SelectByName(model.inControls.deviceType, type));
    model.InPort()->DeviceTypeChanged();
    ASSERT_TRUE(SelectListed(model.inControls.port, *model.InPort(), "JACK: " + source));
    model.InPort()->OpenSelectedPort();
    ASSERT_TRUE(model.InPort()->Device().Using());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // where JACK's cycles lie
}

}  // namespace jacktest
