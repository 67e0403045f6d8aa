#include "platform/midi_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/midi_alsa.h"
#include "platform/midi_memory.h"

namespace {

// A memory backend under another backend's name, to check how the system orders and routes.
class NamedMemoryBackend : public MemoryMidiBackend {
  public:
    explicit NamedMemoryBackend(std::string prefix) : prefix_(std::move(prefix)) {}
    std::string prefix() const override { return prefix_; }

  private:
    std::string prefix_;
};

// A backend without a virtual port of its own.
class PlainBackend : public MemoryMidiBackend {
  public:
    std::string prefix() const override { return "Plain"; }
    std::vector<std::string> listOutputs() override {
        auto names = MemoryMidiBackend::listOutputs();
        names.erase(names.begin());
        return names;
    }
};

struct TwoBackends {
    TwoBackends() {
        auto alsaOwned = std::make_unique<NamedMemoryBackend>("ALSA");
        auto jackOwned = std::make_unique<NamedMemoryBackend>("JACK");
        alsa = alsaOwned.get();
        jack = jackOwned.get();
        // ALSA added first on purpose: listing keeps that order.
        system.addBackend(std::move(alsaOwned));
        system.addBackend(std::move(jackOwned));
        alsa->addDevice("Midi Through:Port-0 14:0 ");
        jack->addDevice("midi-monitor:input");
    }

    MidiSystem system;
    NamedMemoryBackend* alsa;
    NamedMemoryBackend* jack;
};

}  // namespace

TEST(MidiSystem, WithoutBackendsOffersNothing) {
    MidiSystem system;
    EXPECT_TRUE(system.listOutputs().empty());
    EXPECT_FALSE(system.openOutput("JACK: x", "out"));
    EXPECT_EQ(system.firstVirtualOutput(), "");
    system.addBackend(nullptr);
    EXPECT_TRUE(system.listOutputs().empty());
}

TEST(MidiSystem, ListsEveryBackendWithItsPrefixInTheOrderAdded) {
    TwoBackends setup;
    EXPECT_EQ(setup.system.listOutputs(),
              (std::vector<std::string>{
                  std::string("ALSA: ") + kVirtualPortName, "ALSA: Midi Through:Port-0 14:0",
                  std::string("JACK: ") + kVirtualPortName, "JACK: midi-monitor:input"}));
}

TEST(MidiSystem, OpensByDisplayNameOnTheRightBackend) {
    TwoBackends setup;
    auto connection = setup.system.openOutput("JACK: midi-monitor:input", "out1");
    ASSERT_TRUE(connection);
    EXPECT_EQ(setup.jack->lastOwnPortName("midi-monitor:input"), "out1");
    const uint8_t clock = 0xF8;
    connection->sendShort(&clock, 1, 42);
    EXPECT_EQ(setup.jack->messagesFor("midi-monitor:input").size(), 1u);
    EXPECT_TRUE(setup.alsa->messages().empty());

    auto trimmed = setup.system.openOutput("ALSA: Midi Through:Port-0 14:0", "out2");
    EXPECT_TRUE(trimmed);
    EXPECT_EQ(setup.alsa->openCount("Midi Through:Port-0 14:0 "), 1);
}

TEST(MidiSystem, NamesThatNoBackendOffersOpenNothing) {
    TwoBackends setup;
    EXPECT_FALSE(setup.system.openOutput("midi-monitor:input", "out"));          // no prefix
    EXPECT_FALSE(setup.system.openOutput("ALSA: midi-monitor:input", "out"));    // wrong backend
    EXPECT_FALSE(setup.system.openOutput("Memory: midi-monitor:input", "out"));  // no such one
    EXPECT_FALSE(setup.system.openOutput("JACK:midi-monitor:input", "out"));     // not as listed
    EXPECT_FALSE(setup.system.openOutput("JACK: ", "out"));
    EXPECT_FALSE(setup.system.openOutput("", "out"));
    setup.jack->setFailOpen("midi-monitor:input", true);
    EXPECT_FALSE(setup.system.openOutput("JACK: midi-monitor:input", "out"));
}

TEST(MidiSystem, FirstVirtualOutputPrefersJack) {
    TwoBackends setup;
    EXPECT_EQ(setup.system.firstVirtualOutput(), std::string("JACK: ") + kVirtualPortName);

    MidiSystem alsaOnly;
    alsaOnly.addBackend(std::make_unique<PlainBackend>());
    alsaOnly.addBackend(std::make_unique<NamedMemoryBackend>("ALSA"));
    EXPECT_EQ(alsaOnly.firstVirtualOutput(), std::string("ALSA: ") + kVirtualPortName);
    auto connection = alsaOnly.openOutput(alsaOnly.firstVirtualOutput(), "out");
    EXPECT_TRUE(connection);

    MidiSystem none;
    none.addBackend(std::make_unique<PlainBackend>());
    EXPECT_EQ(none.firstVirtualOutput(), "");
}

TEST(MidiSystem, ForwardsBackendProblemsToTheListener) {
    TwoBackends setup;
    std::vector<std::string> heard;
    // Nobody listening yet: the report goes nowhere, and nothing breaks.
    auto early = setup.system.openOutput("JACK: midi-monitor:input", "out");
    setup.jack->removeDevice("midi-monitor:input");

    setup.system.setProblemListener([&](const std::string& text) { heard.push_back(text); });
    setup.alsa->addDevice("Synth");
    auto connection = setup.system.openOutput("ALSA: Synth", "out");
    ASSERT_TRUE(connection);
    setup.alsa->removeDevice("Synth");
    EXPECT_EQ(heard, std::vector<std::string>{"MIDI Port lost: Synth"});
    EXPECT_FALSE(connection->isAlive());
    const uint8_t clock = 0xF8;
    EXPECT_FALSE(connection->sendShort(&clock, 1, 0));

    setup.system.reportProblem("direct");
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), "direct");
}

TEST(MidiSystem, CreateDefaultNeverFails) {
    // Whatever this machine runs (here: no sound card, maybe no JACK server), the system exists
    // and lists only what is really there.
    auto system = MidiSystem::CreateDefault();
    ASSERT_TRUE(system);
    for (const auto& name : system->listOutputs()) {
        EXPECT_TRUE(name.rfind("JACK: ", 0) == 0 || name.rfind("ALSA: ", 0) == 0) << name;
    }
}

TEST(AlsaMidiBackend, AbsentAndSilentWithoutASequencer) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(AlsaMidiBackend::Create());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MidiDeviceNames, TrimmingRemovesBlanksAndControlCharactersAtTheEndsOnly) {
    EXPECT_EQ(TrimDeviceName("  Synth A \t\r\n"), "Synth A");
    EXPECT_EQ(TrimDeviceName(std::string("\x01\x7F"
                                         "Box\x1B",
                                         6)),
              "Box");
    EXPECT_EQ(TrimDeviceName("a  b"), "a  b");
    EXPECT_EQ(TrimDeviceName(" \t "), "");
    EXPECT_EQ(TrimDeviceName(""), "");
    EXPECT_EQ(TrimDeviceName("Gerät "), "Gerät");  // UTF-8 bytes above 0x7F stay
}

TEST(ShortMessageLength, FollowsTheStatusByte) {
    struct Case {
        uint8_t status;
        size_t length;
    };
    const Case cases[] = {
        {0x80, 3}, {0x9F, 3}, {0xA0, 3}, {0xB5, 3}, {0xC0, 2}, {0xCF, 2}, {0xD0, 2}, {0xDF, 2},
        {0xE0, 3}, {0xEF, 3}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF4, 1}, {0xF6, 1}, {0xF7, 1},
        {0xF8, 1}, {0xFA, 1}, {0xFB, 1}, {0xFC, 1}, {0xFE, 1}, {0xFF, 1}, {0x00, 3}, {0x7F, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShortMessageLength(c.status), c.length) << std::hex << int(c.status);
    }
    static_assert(ShortMessageLength(0xF8) == 1, "usable at compile time");
}
