// A JACK server that stops and comes back while the program runs: the lost port shows as lost,
// and once the server is back, choosing the port again works without restarting the program.
#include <gtest/gtest.h>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_jack.h"
#include "platform/midi_system.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

bool Choose(KorvidMainModel& m, const std::string& destination) {
    if (!SelectByName(m.out1Controls.port, "JACK: " + destination)) return false;
    m.OutPort1()->OpenSelectedPort();
    return m.state.PortReady.load();
}

}  // namespace

TEST(JackServerRestart, APortLostWithItsServerCanBeChosenAgainOnceTheServerIsBack) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    auto synth = std::make_unique<JackRecorder>("synth", server.name());
    ASSERT_TRUE(synth->ok());
    auto system = std::make_unique<MidiSystem>();
    auto jack = JackMidiBackend::Create(server.name());
    ASSERT_TRUE(jack);
    system->addBackend(std::move(jack));
    KorvidMainModel model(std::move(system));
    model.CreatePorts("no-such-folder/");
    const std::string destination = synth->portName();
    ASSERT_TRUE(Choose(model, destination));
    EXPECT_FALSE(model.state.PortLost.load());

    const int changes = model.state.RunStateChanges.load();
    synth.reset();  // a synth client goes with its server
    server.stop(SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return model.state.PortLost.load(); }));
    EXPECT_GT(model.state.RunStateChanges.load(), changes);  // the pump redraws the lamp
    EXPECT_EQ(model.state.PendingStatus().color, StatusColors::red);

    // Chosen while the server is still away: refused, and nothing breaks.
    EXPECT_FALSE(Choose(model, destination));
    EXPECT_EQ(model.state.PendingStatus().text, "MIDI Port not ready!");

    ASSERT_TRUE(server.restart());
    synth = std::make_unique<JackRecorder>("synth", server.name());
    ASSERT_TRUE(synth->ok());
    ASSERT_EQ(synth->portName(), destination);
    ASSERT_TRUE(Choose(model, destination));
    EXPECT_FALSE(model.state.PortLost.load());
    EXPECT_EQ(model.state.PendingStatus().text, "MIDI Port Selected ...");

    model.SetBPM(300);
    model.Timer().SetTempo(static_cast<uint32_t>(model.state.TempoMilliBPM.load()));
    model.StartTransport(true, false);
    ASSERT_TRUE(synth->waitFor(10));
    const auto events = synth->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().bytes, std::vector<uint8_t>{0xFA});
    model.StopTransport(true);
    model.DestroyPorts();
}
