#include "app/command_line.h"
#include "app/headless.h"
#include "app/sync_control.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <cctype>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/ini_file.h"
#include "platform/instance_lock.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "support/model_rig.h"

namespace {
using namespace std::chrono_literals;

CommandLine Parse(std::vector<std::string> arguments, Program program = Program::Window) {
    arguments.insert(arguments.begin(), "tempovane");
    CommandLine line;
    std::string error;
    EXPECT_TRUE(ParseCommandLine(arguments, program, line, &error)) << error;
    return line;
}

// The reason a command line is refused ("" when it is taken).
std::string Refusal(std::vector<std::string> arguments, Program program = Program::Window) {
    arguments.insert(arguments.begin(), "tempovane");
    CommandLine line;
    std::string error;
    return ParseCommandLine(arguments, program, line, &error) ? std::string() : error;
}

// The run owns its MIDI system and ends it; the test's memory backend outlives it behind this.
// Given a prefix, it lists its devices under that backend's name instead.
class SharedBackend final : public MidiOutBackend {
  public:
    explicit SharedBackend(MemoryMidiBackend& memory, std::string prefix = {})
        : memory_(memory), prefix_(std::move(prefix)) {}
    std::string prefix() const override { return prefix_.empty() ? memory_.prefix() : prefix_; }
    std::vector<std::string> listOutputs() override { return memory_.listOutputs(); }
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName) override {
        return memory_.openOutput(name, ownPortName);
    }
    void setProblemSink(ProblemSink sink) override { memory_.setProblemSink(std::move(sink)); }
    std::vector<std::string> listInputs() override { return memory_.listInputs(); }
    std::unique_ptr<MidiInConnection> openInput(const std::string& name,
                                                const std::string& ownPortName,
                                                MidiInHandler handler) override {
        return memory_.openInput(name, ownPortName, std::move(handler));
    }

  private:
    MemoryMidiBackend& memory_;
    std::string prefix_;
};

// The headless run on the memory backend, in a folder of its own laid out like the build folder.
struct HeadlessRig {
    TempFolder folder;
    MemoryMidiBackend backend;
    MemoryMidiBackend* memory = nullptr;  // set once the run has made its MIDI system
    std::ostringstream log;
    Headless::Environment environment;
    std::function<bool()> stopWhen = [] { return true; };
    int waits = 0;
    // A run whose stopWhen never holds (the clocks it waits for never come) is stopped here,
    // and the test fails, rather than running until CTest's timeout.
    std::chrono::steady_clock::duration patience = 20s;
    std::chrono::steady_clock::time_point deadline;

    HeadlessRig() {
        folder.write("indrv/Keys.ini", "[SPECIAL_COMMANDS]\nINPUT0=B00700\nACTION0=10001\n");
        environment.locations = LocateFiles(folder.path(), [](const char*) { return nullptr; });
        backend.addDevice("synth");
        backend.addInputDevice("pedal");
        environment.makeMidi = [this] {
            auto system = std::make_unique<MidiSystem>();
            system->addBackend(std::make_unique<SharedBackend>(backend));
            memory = &backend;
            return system;
        };
        environment.waitForStop = [this](int timeoutMs) {
            if (waits++ == 0) deadline = std::chrono::steady_clock::now() + patience;
            if (stopWhen()) return true;
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "what the run waited for did not come within the patience";
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return false;
        };
    }
    int count(uint8_t status) const {
        int n = 0;
        for (const auto& m : memory->messagesFor("synth"))
            if (!m.bytes.empty() && m.bytes[0] == status) ++n;
        return n;
    }
};
}  // namespace

TEST(HeadlessArguments, SettingsFileStartAndListInAnyOrder) {
    CommandLine o = Parse({"--headless", "my.ini", "--start"});
    EXPECT_EQ(o.action, CommandLine::Action::Headless);
    EXPECT_EQ(o.settingsFile, "my.ini");
    EXPECT_TRUE(o.start);
    o = Parse({"--start", "--headless"});
    EXPECT_EQ(o.settingsFile, "");
    EXPECT_TRUE(o.start);
    o = Parse({"--list-ports"});
    EXPECT_EQ(o.action, CommandLine::Action::ListPorts);
    EXPECT_FALSE(o.start);
    EXPECT_EQ(Parse({"--headless", "--list-ports"}).action, CommandLine::Action::ListPorts);
    // A lone "-" is a file name like any other, and so is anything after "--".
    EXPECT_EQ(Parse({"--headless", "-"}).settingsFile, "-");
    EXPECT_EQ(Parse({"--", "--odd.ini"}).settingsFile, "--odd.ini");
    // The window program with a settings file only; the headless program runs headless
    // without being told.
    o = Parse({"stage.ini"});
    EXPECT_EQ(o.action, CommandLine::Action::Window);
    EXPECT_EQ(o.settingsFile, "stage.ini");
    o = Parse({"stage.ini", "--start"}, Program::Headless);
    EXPECT_EQ(o.action, CommandLine::Action::Headless);
    EXPECT_TRUE(o.start);
    EXPECT_EQ(Parse({}).action, CommandLine::Action::Window);
}

TEST(HeadlessArguments, UnknownOptionsAndSecondFilesAreRefused) {
    EXPECT_NE(Refusal({"--headles"}).find("--headles"), std::string::npos);
    EXPECT_NE(Refusal({"a.ini", "b.ini"}).find("b.ini"), std::string::npos);
    // Nothing that looks like an option becomes a settings file's name.
    EXPECT_NE(Refusal({"--help.lock"}).find("unknown option --help.lock"), std::string::npos);
    EXPECT_NE(Refusal({"-x"}).find("-x"), std::string::npos);
    EXPECT_NE(Refusal({"--headless", "--verbose"}, Program::Headless).find("--verbose"),
              std::string::npos);
    // The window cannot start by itself: --start without --headless is a mistake.
    EXPECT_NE(Refusal({"--start"}).find("--headless"), std::string::npos);
}

TEST(HeadlessArguments, TransportTakesOneOfThreeModesWithHeadlessOnly) {
    const CommandLine line = Parse({"--headless", "--transport", "follow", "x.ini"});
    EXPECT_EQ(line.transport, "follow");
    EXPECT_EQ(line.settingsFile, "x.ini") << "the mode is not the settings file";
    EXPECT_EQ(Parse({"--transport", "master"}, Program::Headless).transport, "master");
    EXPECT_EQ(Parse({"--headless"}).transport, "");
    EXPECT_NE(Refusal({"--headless", "--transport"}).find("follow, master or off"),
              std::string::npos);
    EXPECT_NE(Refusal({"--headless", "--transport", "sideways"}).find("sideways"),
              std::string::npos);
    EXPECT_NE(Refusal({"--transport", "follow"}).find("--headless"), std::string::npos);
}

TEST(HeadlessArguments, HelpAndVersionWinWhereverTheyStand) {
    for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"},
                                                 {"-h"},
                                                 {"--headless", "--help"},
                                                 {"x.ini", "-h", "--bogus"}})
        EXPECT_EQ(Parse(help).action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);
    EXPECT_EQ(Parse({"--version"}, Program::Headless).action, CommandLine::Action::Version);
    // Read in order: an unknown option before them is still refused.
    EXPECT_FALSE(Refusal({"--bogus", "--help"}).empty());
    // The texts they print.
    EXPECT_EQ(VersionText(), std::string("tempovane ") + kProgramVersion + "\n");
    const std::string usage = kCommandLineUsage;
    for (const char* option :
         {"--headless", "--start", "--list-ports", "--help", "-h", "--version"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    EXPECT_EQ(usage.rfind("usage: tempovane", 0), 0u);
}

TEST(HeadlessArguments, ManualPageDescribesEveryOptionOfTheUsage) {
    std::ifstream in(std::string(TEMPOVANE_DATA_DIR) + "/../docs/tempovane.1");
    const std::string page{std::istreambuf_iterator<char>(in), {}};
    ASSERT_NE(page.find(".SH OPTIONS"), std::string::npos);
    const std::string options = page.substr(page.find(".SH OPTIONS"));
    const std::regex option(R"((^|[ ,|\[])(--?[a-z][a-z-]*))");
    const std::string usage = kCommandLineUsage;
    int seen = 0;
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
         it != std::sregex_iterator(); ++it, ++seen) {
        std::string roff;  // as the page spells it: every '-' escaped
        for (char c : (*it)[2].str()) roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(options.find(roff), std::string::npos) << (*it)[2].str();
    }
    EXPECT_GE(seen, 6);
}

// "hh:mm:ss." followed by `rest`, the hours, minutes and seconds any digits.
bool StampedWith(const std::string& line, const std::string& rest) {
    if (line.size() != 9 + rest.size() || line.compare(9, std::string::npos, rest) != 0)
        return false;
    for (const size_t i : {0u, 1u, 3u, 4u, 6u, 7u})
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    return line[2] == ':' && line[5] == ':' && line[8] == '.';
}

TEST(HeadlessLog, LinesCarryTheTimeOfDayToTheMillisecond) {
    const std::string line = Headless::StampedLine("Running ...", 1'700'000'000'123'456'789);
    EXPECT_TRUE(StampedWith(line, "123 Running ...")) << line;
    EXPECT_TRUE(StampedWith(Headless::StampedLine("x", 999'000'000), "999 x"));
    EXPECT_FALSE(StampedWith("12:34:5x.999 x", "999 x"));
}

TEST(HeadlessRun, StartsAtOnceAndSendsStopWhenAskedToEnd) {
    HeadlessRig rig;
    rig.folder.write("clockpresets.ini",
                     "[APPLICATION_PRESETS]\nDEFAULTSPEED=300\n"
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: synth\n"
                     "[MIDIOUTPORT2]\nMIDIPORTNAME=None\n");
    // What a save killed half-way once left beside the file: its process is gone.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = "clockpresets.ini.tmp-" + std::to_string(gone) + "-0";
    rig.folder.write(stale, "[APPLICATION_PRESETS]\n");
    rig.stopWhen = [&] { return rig.memory && rig.count(0xF8) >= 12; };
    Headless::Options options;
    options.start = true;
    EXPECT_EQ(Headless::Run(options, rig.environment, rig.log), 0);
    const auto sent = rig.memory->messagesFor("synth");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(rig.count(0xFA), 1);
    EXPECT_GE(rig.count(0xF8), 12);
    ASSERT_FALSE(sent.back().bytes.empty());
    EXPECT_EQ(sent.back().bytes[0], 0xFC);  // Stop last, nothing after it
    EXPECT_EQ(rig.count(0xFC), 1);
    const std::string log = rig.log.str();
    EXPECT_NE(log.find("Running ..."), std::string::npos) << log;
    // Both output ports post it for the one stop; the log tells it once.
    ASSERT_NE(log.find("Stopped ..."), std::string::npos) << log;
    EXPECT_EQ(log.find("Stopped ..."), log.rfind("Stopped ...")) << log;
    // The run read the file it was given, so it writes nothing of its own, and its lock file
    // goes with it.
    EXPECT_EQ(rig.folder.read("clockpresets.ini").find("MAINSCREEN"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(rig.folder.file("clockpresets.ini.lock")));
    EXPECT_FALSE(std::filesystem::exists(rig.folder.file(stale)));
}

TEST(HeadlessRun, WithoutStartNothingRunsAndAStopRequestSendsNoStop) {
    HeadlessRig rig;
    rig.folder.write("clock.ini",
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: synth\n"
                     "[MIDIINPORT1]\nMIDIPORTNAME=Memory: pedal\nDEVICETYPE=Keys\n");
    // The pedal's controller (mapped to start/stop) starts the clock; the stop request then
    // finds it running.
    int passes = 0;
    rig.stopWhen = [&] {
        if (++passes == 3) {
            EXPECT_EQ(rig.count(0xF8), 0);
            rig.memory->inject("pedal", {0xB0, 0x07, 0x00}, 0);
        }
        return rig.count(0xF8) >= 6;
    };
    Headless::Options options;
    options.settingsFile = rig.folder.file("clock.ini");
    EXPECT_EQ(Headless::Run(options, rig.environment, rig.log), 0) << rig.log.str();
    EXPECT_EQ(rig.count(0xFA), 1);
    EXPECT_EQ(rig.count(0xFC), 1);

    HeadlessRig idle;
    idle.folder.write("clockpresets.ini", "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: synth\n");
    int idlePasses = 0;
    idle.stopWhen = [&] { return ++idlePasses > 4; };
    EXPECT_EQ(Headless::Run({}, idle.environment, idle.log), 0);
    EXPECT_EQ(idle.count(0xFA), 0);
    EXPECT_EQ(idle.count(0xFC), 0);
    EXPECT_EQ(idle.count(0xF8), 0);
}

TEST(HeadlessRun, EachTapSequenceIsCountedAndTimedOnItsOwn) {
    HeadlessRig rig;
    rig.folder.write("indrv/Tap.ini", "[SPECIAL_COMMANDS]\nINPUT0=B0087F\nACTION0=20001\n");
    rig.folder.write("clock.ini",
                     "[APPLICATION_PRESETS]\nBPMROUNDING=0.001\n"
                     "[MIDIINPORT1]\nMIDIPORTNAME=Memory: pedal\nDEVICETYPE=Tap\n");
    KorvidMainModel* model = nullptr;
    rig.environment.joinSession = [&](KorvidMainModel& m, const IniFile&) {
        model = &m;
        return std::shared_ptr<void>();
    };
    // Two sequences of two taps (the default count), the second well within the timeout of
    // the first and at another pace; one tap a pass, so that the pump sees every step.
    const std::vector<int> tapPasses = {2, 10, 14, 18};
    std::vector<std::chrono::steady_clock::time_point> tapped;
    std::vector<double> tempoAfter;
    int passes = 0;
    rig.stopWhen = [&] {
        ++passes;
        if (!tapped.empty() && passes == tapPasses[tapped.size() - 1] + 1 && model)
            tempoAfter.push_back(model->GetBPM());
        if (tapped.size() < tapPasses.size() && passes == tapPasses[tapped.size()]) {
            tapped.push_back(std::chrono::steady_clock::now());
            rig.memory->inject("pedal", {0xB0, 0x08, 0x7F}, 0);
        }
        return passes > tapPasses.back() + 2;
    };
    Headless::Options options;
    options.settingsFile = rig.folder.file("clock.ini");
    EXPECT_EQ(Headless::Run(options, rig.environment, rig.log), 0);
    const std::string log = rig.log.str();
    std::vector<std::string> taps;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" Tap ") != std::string::npos)
            taps.push_back(line.substr(line.find(" Tap ") + 1));
    EXPECT_EQ(taps, (std::vector<std::string>{"Tap 3 !!", "Tap 4 !!", "Tap 3 !!", "Tap 4 !!"}))
        << log;
    // The second tempo comes from the second sequence's own interval, not from one reaching
    // back to the first sequence.
    ASSERT_EQ(tapped.size(), 4u);
    ASSERT_EQ(tempoAfter.size(), 4u);
    const auto bpmOf = [](std::chrono::steady_clock::duration interval) {
        return 60.0 / std::chrono::duration<double>(interval).count();
    };
    EXPECT_NEAR(tempoAfter[1], bpmOf(tapped[1] - tapped[0]), 0.01 * tempoAfter[1]);
    EXPECT_NEAR(tempoAfter[3], bpmOf(tapped[3] - tapped[2]), 0.01 * tempoAfter[3]);
}

TEST(HeadlessRun, MissingPortsAndABusySettingsFileAreTold) {
    HeadlessRig rig;
    rig.folder.write("clockpresets.ini",
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: gone\n"
                     "[MIDIINPORT1]\nMIDIPORTNAME=Memory: gone in\n");
    EXPECT_EQ(Headless::Run({}, rig.environment, rig.log), 0);
    // One line a port, the input's name not run into the output's.
    const std::string log = rig.log.str();
    EXPECT_NE(log.find("Saved ports not found : Memory: gone\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Saved ports not found : Memory: gone in\n"), std::string::npos) << log;

    HeadlessRig busy;
    InstanceLock other(busy.folder.file("clockpresets.ini"));
    ASSERT_EQ(other.state(), InstanceLock::State::Held);
    EXPECT_EQ(Headless::Run({}, busy.environment, busy.log), 1);
    EXPECT_NE(busy.log.str().find("already running"), std::string::npos);
    EXPECT_EQ(busy.memory, nullptr);  // gave up before it opened any device
    EXPECT_EQ(busy.waits, 0);
}

TEST(HeadlessRun, StatusesPostedWithinOnePassAreAllLoggedInOrder) {
    HeadlessRig rig;
    KorvidMainModel* model = nullptr;
    rig.environment.joinSession = [&](KorvidMainModel& m, const IniFile&) {
        model = &m;
        return std::shared_ptr<void>();
    };
    int passes = 0;
    rig.stopWhen = [&] {
        // A server lost and back between two passes: the window shows the newer; the log,
        // all a box without a screen has, keeps both.
        if (++passes == 2 && model) {
            model->state.PostStatus("MIDI Port lost: JACK server stopped", StatusColors::red);
            model->state.PostStatus("JACK server back: MIDI ports reconnected",
                                    StatusColors::green);
        }
        return passes > 4;
    };
    EXPECT_EQ(Headless::Run({}, rig.environment, rig.log), 0);
    const std::string log = rig.log.str();
    const size_t lost = log.find("MIDI Port lost: JACK server stopped");
    ASSERT_NE(lost, std::string::npos) << log;
    EXPECT_LT(lost, log.find("JACK server back: MIDI ports reconnected")) << log;
    EXPECT_EQ(log.find("JACK server back: MIDI ports reconnected"),
              log.rfind("JACK server back: MIDI ports reconnected"))
        << "logged once: " << log;
}

TEST(HeadlessRun, SessionHookIsCalledWithTheSettingsAndKeptForTheRun) {
    HeadlessRig rig;
    rig.folder.write("clockpresets.ini", "[LINK]\nENABLED=1\n");
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    bool called = false;
    rig.environment.joinSession = [&](KorvidMainModel& model, const IniFile& settings) {
        called = settings.readInt("LINK", "ENABLED", 0) == 1;
        // Reading the settings did not join by itself: only the joiner goes on the network.
        EXPECT_TRUE(model.settings.LINKENABLED.load());
        EXPECT_FALSE(model.Sync().LinkEnabled());
        return std::shared_ptr<void>(std::move(token));
    };
    rig.stopWhen = [&] {
        EXPECT_FALSE(watch.expired());  // held while running
        return true;
    };
    EXPECT_EQ(Headless::Run({}, rig.environment, rig.log), 0);
    EXPECT_TRUE(called);
    EXPECT_TRUE(watch.expired());  // let go at the end
}

TEST(HeadlessListPorts, NamesDevicesAndDefinitionsUnderTheirHeadings) {
    HeadlessRig rig;
    auto midi = rig.environment.makeMidi();
    std::ostringstream out, err;
    // No JACK ports among the outputs: the lists are printed, and the status says that the
    // one server most users look for did not answer.
    EXPECT_EQ(Headless::ListPorts(*midi, rig.environment.locations, out, err), 1);
    EXPECT_NE(err.str().find("no JACK server answers"), std::string::npos) << err.str();
    const std::string text = out.str();
    const size_t outputs = text.find("Output ports:\n");
    const size_t inputs = text.find("Input ports:\n");
    ASSERT_NE(outputs, std::string::npos) << text;
    ASSERT_NE(inputs, std::string::npos) << text;
    const size_t synth = text.find("  Memory: synth\n");
    const size_t pedal = text.find("  Memory: pedal\n");
    EXPECT_TRUE(outputs < synth && synth < inputs) << text;
    EXPECT_GT(pedal, inputs) << text;
    EXPECT_NE(text.find("Input maps:\n  Keys\n  Default\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Output device types:\n"), std::string::npos) << text;
}

TEST(HeadlessListPorts, AnsweringJackServerEndsWithStatusZeroAndNoComplaint) {
    HeadlessRig rig;
    MidiSystem midi;
    midi.addBackend(std::make_unique<SharedBackend>(rig.backend, "JACK"));
    std::ostringstream out, err;
    EXPECT_EQ(Headless::ListPorts(midi, rig.environment.locations, out, err), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_NE(out.str().find("  JACK: synth\n"), std::string::npos) << out.str();
}
