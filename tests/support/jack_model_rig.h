#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_jack.h"
#include "platform/midi_system.h"

namespace jacktest {

// The main window's model with JACK as its only backend, on the real clock; null where no
// JACK backend can be made.
inline std::unique_ptr<KorvidMainModel> ModelOnJack() {
    auto jack = JackMidiBackend::Create();
    if (!jack) return nullptr;
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
    ASSERT_TRUE(SelectByName(model.out1Controls.port, "JACK: " + receiver));
    model.OutPort1()->OpenSelectedPort();
    ASSERT_TRUE(model.state.PortReady.load());
    ASSERT_TRUE(SelectByName(model.inControls.deviceType, type));
    model.InPort()->DeviceTypeChanged();
    ASSERT_TRUE(SelectByName(model.inControls.port, "JACK: " + source));
    model.InPort()->OpenSelectedPort();
    ASSERT_TRUE(model.InPort()->Device().Using());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // where JACK's cycles lie
}

}  // namespace jacktest
