// Ports that come back by themselves: a JACK server restarted under the same name, a synth or
// a controller whose client goes away and returns. The running clock carries on throughout and
// the receiver hears it again without anyone choosing a port.
#include <gtest/gtest.h>

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "midiout/pulse_output.h"
#include "platform/ini_file.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"
#include "support/jack_model_rig.h"
#include "support/jack_sender.h"
#include "support/jack_support.h"
#include "support/pulse_recorder.h"

using namespace jacktest;

namespace {

size_t Clocks(const JackRecorder& recorder) {
    const auto events = recorder.events();
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const auto& e) {
        return e.bytes == std::vector<uint8_t>{0xF8};
    }));
}

// The model on one JACK backend with port 1 on the destination and port 2 on our virtual
// port, its clock running at 300 BPM.
struct RunningModel {
    JackMidiBackend* backend = nullptr;
    std::unique_ptr<KorvidMainModel> model;

    bool start(const std::string& serverName, const std::string& destination) {
        auto system = std::make_unique<MidiSystem>();
        auto jack = JackMidiBackend::Create(serverName);
        if (!jack) return false;
        backend = jack.get();
        system->addBackend(std::move(jack));
        model = std::make_unique<KorvidMainModel>(std::move(system));
        model->CreatePorts("no-such-folder/");
        if (!SelectListed(model->out1Controls.port, *model->OutPort1(), "JACK: " + destination))
            return false;
        model->OutPort1()->OpenSelectedPort();
        if (!SelectByName(model->out2Controls.port, std::string("JACK: ") + kVirtualPortName))
            return false;
        model->OutPort2()->OpenSelectedPort();
        if (!model->state.PortReady.load()) return false;
        model->SetBPM(300);
        model->Timer().SetTempo(static_cast<uint32_t>(model->state.TempoMilliBPM.load()));
        model->StartTransport(true, false);
        return model->state.RunState.load() == 1;
    }
    ~RunningModel() {
        if (!model) return;
        model->StopTransport(true);
        model->DestroyPorts();
    }
    bool ticking() {
        const int32_t before = model->state.TickCount.load();
        return WaitUntil([&] { return model->state.TickCount.load() > before + 5; });
    }
    std::string status() { return model->state.PendingStatus().text; }
};

// Sends a note until one arrives: right after a connection is made, JACK may run the two
// clients in the old order for a cycle, and an event written then is never read.
bool NoteArrives(JackSender& board, const std::atomic<int>& notes) {
    const int before = notes.load();
    return WaitUntil([&] {
        board.send({0x90, 0x3C, 0x7F});
        return WaitUntil([&] { return notes.load() > before; }, 200ms);
    });
}

}  // namespace

TEST(JackReconnect, AServerRestartedUnderItsNameGetsEveryPortBackAndTheClockGoesOn) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    auto synth = std::make_unique<JackRecorder>("synth", server.name());
    ASSERT_TRUE(synth->ok());
    const std::string destination = synth->portName();
    RunningModel run;
    ASSERT_TRUE(run.start(server.name(), destination));
    ASSERT_TRUE(WaitUntil([&] { return Clocks(*synth) >= 10; }));
    // Our virtual input as well: it must come back under its name for others to connect to.
    std::atomic<int> notes{0};
    auto input = run.model->Midi().openInput(std::string("JACK: ") + kVirtualInputName, "vin",
                                             [&](const uint8_t* b, size_t n, uint32_t) {
                                                 if (n == 3 && b[0] == 0x90) ++notes;
                                             });
    ASSERT_TRUE(input);
    EXPECT_FALSE(run.model->OutputPortLost());
    // A pulse output too: its audio port comes back under its name, with the pulses.
    PulseOutputSettings pulse;
    pulse.enabled = true;
    pulse.ppq = 24;
    ASSERT_EQ(run.model->Pulses()->Apply(1, pulse), "");

    server.stop(SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return run.model->OutputPortLost(); }));
    EXPECT_EQ(run.status(), "MIDI Port lost: JACK server stopped");
    EXPECT_FALSE(input->isAlive());
    EXPECT_TRUE(run.ticking());  // the clock does not wait for the server
    // Clients of the old server in this process go before anything opens a client again:
    // libjack frees them on the next open (a real synth is another process).
    synth.reset();
    ASSERT_TRUE(WaitUntil([&] { return !run.backend->holdsClient(); }));

    ASSERT_TRUE(server.restart());
    const auto restarted = std::chrono::steady_clock::now();
    synth = std::make_unique<JackRecorder>("synth", server.name());
    ASSERT_TRUE(synth->ok());
    ASSERT_EQ(synth->portName(), destination);
    // Nobody chose anything: the running clock reaches the receiver again, within 3 s.
    ASSERT_TRUE(WaitUntil([&] { return Clocks(*synth) >= 3; }));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, 3s);
    ASSERT_TRUE(WaitUntil([&] { return Clocks(*synth) >= 10; }));
    ASSERT_TRUE(WaitUntil([&] { return !run.model->OutputPortLost(); }));
    EXPECT_TRUE(run.model->OutPort2()->Device().Alive());  // the virtual port too
    EXPECT_EQ(run.model->state.RunState.load(), 1);
    const std::string back = run.status();
    EXPECT_TRUE(back == "JACK server back: MIDI ports reconnected" ||
                back == "MIDI Port reconnected: " + destination)
        << back;
    EXPECT_EQ(run.model->state.PendingStatus().color, StatusColors::teal);

    PulseRecorder pulses("pulses", server.name());
    ASSERT_TRUE(pulses.ok());
    ASSERT_TRUE(ConnectOnceListed(pulses.client(), run.backend->clientName() + ":pulse_1",
                                  pulses.portName(0)));
    EXPECT_TRUE(pulses.waitFor(0, 5)) << "no pulses after the restart";

    ASSERT_TRUE(WaitUntil([&] { return input->isAlive(); }));
    JackSender board("board", server.name());
    ASSERT_TRUE(board.ok());
    const std::string ours = run.backend->clientName() + ":vin";
    ASSERT_TRUE(ConnectOnceListed(board.client(), board.portName(), ours));
    EXPECT_TRUE(NoteArrives(board, notes));
    input.reset();
}

TEST(JackReconnect, ASynthThatGoesAndComesBackHearsTheClockAgain) {
    jack_set_error_function(&QuietJackError);
    auto synth = std::make_unique<JackRecorder>("synth");
    ASSERT_TRUE(synth->ok()) << "no JACK server; run through run_with_jack.sh";
    const std::string destination = synth->portName();
    RunningModel run;
    ASSERT_TRUE(run.start("", destination));
    ASSERT_TRUE(WaitUntil([&] { return Clocks(*synth) >= 10; }));

    synth.reset();
    ASSERT_TRUE(WaitUntil([&] { return run.model->OutputPortLost(); }));
    EXPECT_EQ(run.status(), "MIDI Port lost: " + destination);
    EXPECT_TRUE(run.model->OutPort2()->Device().Alive());  // the virtual port has nothing to lose
    EXPECT_TRUE(run.ticking());

    synth = std::make_unique<JackRecorder>("synth");
    ASSERT_TRUE(synth->ok());
    ASSERT_EQ(synth->portName(), destination);
    ASSERT_TRUE(WaitUntil([&] { return Clocks(*synth) >= 10; }));
    EXPECT_FALSE(run.model->OutputPortLost());
    EXPECT_EQ(run.status(), "MIDI Port reconnected: " + destination);

    // Gone for good this time, while the port is switched to another device: nothing comes
    // back to a port that is no longer chosen.
    synth.reset();
    ASSERT_TRUE(WaitUntil([&] { return run.model->OutputPortLost(); }));
    run.model->StopTransport(true);
    ASSERT_TRUE(SelectByName(run.model->out1Controls.port, "None"));
    run.model->OutPort1()->OpenSelectedPort();
    EXPECT_FALSE(run.model->OutputPortLost());
    synth = std::make_unique<JackRecorder>("synth");
    ASSERT_TRUE(synth->ok());
    std::this_thread::sleep_for(600ms);  // a few of the supervisor's looks
    EXPECT_EQ(synth->count(), 0u);
}

TEST(JackReconnect, AControllerThatGoesAndComesBackIsHeardAgain) {
    jack_set_error_function(&QuietJackError);
    auto backend = JackMidiBackend::Create();
    ASSERT_TRUE(backend) << "no JACK server; run through run_with_jack.sh";
    ProblemLog lost;
    ProblemLog back;
    backend->setProblemSink(lost.sink());
    backend->setRecoverySink(back.sink());
    auto board = std::make_unique<JackSender>("board");
    ASSERT_TRUE(board->ok());
    const std::string source = board->portName();
    std::atomic<int> notes{0};
    auto input = OpenOnceListed([&] {
        return backend->openInput(source, "in", [&](const uint8_t* b, size_t n, uint32_t) {
            if (n == 3 && b[0] == 0x90) ++notes;
        });
    });
    ASSERT_TRUE(input);
    ASSERT_TRUE(NoteArrives(*board, notes));

    board.reset();
    ASSERT_TRUE(lost.waitFor("MIDI IN Port lost: " + source));
    EXPECT_FALSE(input->isAlive());
    board = std::make_unique<JackSender>("board");
    ASSERT_TRUE(board->ok());
    ASSERT_TRUE(back.waitFor("MIDI IN Port reconnected: " + source));
    EXPECT_TRUE(input->isAlive());
    EXPECT_TRUE(NoteArrives(*board, notes));
    input.reset();
}

namespace {

// The model on a JACK backend that waits for its server, with the settings of a user whose
// synth (and controller) are on it.
struct WaitingModel {
    JackMidiBackend* backend = nullptr;
    std::unique_ptr<KorvidMainModel> model;

    explicit WaitingModel(const std::string& serverName, const std::string& settings) {
        auto jack = JackMidiBackend::Create(serverName, JackMidiBackend::kDefaultSafetyMarginNs,
                                            JackMidiBackend::WithoutServer::WaitForOne);
        if (!jack) return;
        backend = jack.get();
        auto system = std::make_unique<MidiSystem>();
        system->addBackend(std::move(jack));
        model = std::make_unique<KorvidMainModel>(std::move(system));
        model->CreatePorts("no-such-folder/");
        model->CreateInPort("no-such-folder/");
        IniFile file;
        file.loadText(settings);
        model->OutPort1()->LoadPortSettings(file, true);
        model->OutPort1()->OpenSelectedPort();
        model->InPort()->LoadPortSettings(file, true);
        model->InPort()->OpenSelectedPort();
        model->SetBPM(300);
        model->Timer().SetTempo(static_cast<uint32_t>(model->state.TempoMilliBPM.load()));
    }
    ~WaitingModel() {
        if (!model) return;
        model->StopTransport(true);
        model->DestroyInPort();
        model->DestroyPorts();
    }
    // The window's pump, until the output port is ready.
    bool pumpUntilReady(std::chrono::milliseconds patience) {
        return WaitUntil(
            [&] {
                model->PumpArrivals();
                return model->state.PortReady.load();
            },
            patience, 10ms);
    }
    std::string status() { return model->state.PendingStatus().text; }
};

}  // namespace

// At login, or on a box that boots into its settings: the program starts before the sound
// server. Once one answers, the saved synth opens and the clock reaches it.
TEST(JackReconnect, AServerThatStartsAfterTheProgramIsTakenIntoUseAndTheSavedPortOpens) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server = PrivateJackServer::NotStartedYet();
    WaitingModel run(server.name(),
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=JACK: " + RunName("latesynth") + ":in\n");
    ASSERT_TRUE(run.model) << "the backend waits for a server rather than failing";
    EXPECT_FALSE(run.backend->serverRunning());
    EXPECT_TRUE(run.model->out1Controls.port.items().size() <= 1 ||
                run.model->out1Controls.port.items()[0].rfind("JACK: ", 0) != 0);
    std::this_thread::sleep_for(300ms);  // a look or two of the supervisor at nothing
    EXPECT_FALSE(run.model->PumpArrivals());

    ASSERT_TRUE(server.restart());
    const auto back = std::chrono::steady_clock::now();
    JackRecorder synth("latesynth", server.name());
    ASSERT_TRUE(synth.ok());
    ASSERT_TRUE(run.pumpUntilReady(3s)) << run.status();
    const std::string status = run.status();
    EXPECT_TRUE(status == "JACK server back: MIDI ports reconnected" ||
                status == "MIDI Port reconnected: " + RunName("latesynth") + ":in")
        << status;
    run.model->StartTransport(true, false);
    ASSERT_TRUE(WaitUntil([&] { return Clocks(synth) >= 3; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - back, 3s) << "the clock came late";
}

// A synth or controller started after the program, named in the settings: it opens as it
// appears, and the status line tells which.
TEST(JackReconnect, SavedDevicesStartedAfterTheProgramOpenAsTheyAppear) {
    jack_set_error_function(&QuietJackError);
    const std::string synthPort = RunName("latecomer") + ":in";
    const std::string padPort = RunName("latepad") + ":out";
    WaitingModel run("", "[MIDIOUTPORT1]\nMIDIPORTNAME=JACK: " + synthPort +
                             "\n[MIDIINPORT1]\nMIDIPORTNAME=JACK: " + padPort + "\n");
    ASSERT_TRUE(run.model);
    ASSERT_TRUE(run.backend->serverRunning()) << "no JACK server; run through run_with_jack.sh";
    ASSERT_TRUE(run.model->OutPort1()->MissingSavedPort());
    ASSERT_TRUE(run.model->InPort()->MissingSavedPort());

    JackRecorder synth("latecomer");
    ASSERT_TRUE(synth.ok());
    ASSERT_TRUE(run.pumpUntilReady(5s)) << run.status();
    EXPECT_EQ(run.status(), "MIDI Port reconnected: " + synthPort);
    EXPECT_FALSE(run.model->OutPort1()->MissingSavedPort());
    run.model->StartTransport(true, false);
    EXPECT_TRUE(WaitUntil([&] { return Clocks(synth) >= 3; }, 5s));

    JackSender pad("latepad");
    ASSERT_TRUE(pad.ok());
    ASSERT_TRUE(WaitUntil(
        [&] {
            run.model->PumpArrivals();
            return !run.model->InPort()->MissingSavedPort();
        },
        5s, 10ms));
    EXPECT_EQ(run.status(), "MIDI IN Port reconnected: " + padPort);
    EXPECT_EQ(run.model->inControls.port.text(), "JACK: " + padPort);
}
