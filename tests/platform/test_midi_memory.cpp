#include "platform/midi_memory.h"
#include "support/bounded_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class MemoryBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend_.setProblemSink([this](const std::string& text) { problems_.push_back(text); });
    }

    MemoryMidiBackend backend_;
    std::vector<std::string> problems_;
};

}  // namespace

TEST_F(MemoryBackendTest, ListsVirtualPortFirstThenDevicesTrimmedInOrderOfArrival) {
    EXPECT_EQ(backend_.listOutputs(), std::vector<std::string>{kVirtualPortName});
    backend_.addDevice("  Synth A\t");
    backend_.addDevice("Drum Box\r\n");
    backend_.addDevice("Drum Box\r\n");  // the same device twice is one device
    EXPECT_EQ(backend_.listOutputs(),
              (std::vector<std::string>{kVirtualPortName, "Synth A", "Drum Box"}));
}

TEST_F(MemoryBackendTest, OpensByListedNameAndRecordsEveryMessageInOrder) {
    backend_.addDevice(" Synth ");
    auto connection = backend_.openOutput("Synth", "out1");
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->isAlive());
    EXPECT_EQ(backend_.openCount(" Synth "), 1);
    EXPECT_EQ(backend_.currentlyOpen(" Synth "), 1);
    EXPECT_EQ(backend_.lastOwnPortName(" Synth "), "out1");

    const uint8_t start = 0xFA;
    const uint8_t noteOn[3] = {0x90, 60, 100};
    const uint8_t sysex[5] = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
    EXPECT_TRUE(connection->sendShort(&start, 1, 0));
    EXPECT_TRUE(connection->sendShort(noteOn, 3, 123'456));
    EXPECT_TRUE(connection->sendLong(sysex, sizeof sysex, 789));

    const auto messages = backend_.messages();
    ASSERT_EQ(messages.size(), 3u);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].bytes, Bytes{0xFA});
    EXPECT_EQ(messages[0].timeNs, 0);
    EXPECT_FALSE(messages[0].isLong);
    EXPECT_EQ(messages[1].bytes, (Bytes{0x90, 60, 100}));
    EXPECT_EQ(messages[1].timeNs, 123'456);
    EXPECT_EQ(messages[2].bytes, Bytes(sysex, sysex + 5));
    EXPECT_TRUE(messages[2].isLong);
    for (const auto& message : messages) EXPECT_EQ(message.device, " Synth ");

    backend_.clearMessages();
    EXPECT_TRUE(backend_.messages().empty());
    EXPECT_TRUE(connection->sendShort(&start, 1, 5));
    EXPECT_EQ(backend_.messagesFor(" Synth ").size(), 1u);

    connection.reset();
    EXPECT_EQ(backend_.currentlyOpen(" Synth "), 0);
    EXPECT_EQ(backend_.openCount(" Synth "), 1);
}

TEST_F(MemoryBackendTest, RefusesMalformedSends) {
    auto connection = backend_.openOutput(kVirtualPortName, "out");
    ASSERT_TRUE(connection);
    const uint8_t bytes[4] = {0x90, 1, 2, 3};
    EXPECT_FALSE(connection->sendShort(bytes, 0, 0));
    EXPECT_FALSE(connection->sendShort(bytes, 4, 0));
    EXPECT_FALSE(connection->sendLong(bytes, 0, 0));
    EXPECT_TRUE(backend_.messages().empty());
}

TEST_F(MemoryBackendTest, UnknownNamesAndFailingDevicesOpenNothing) {
    backend_.addDevice("Synth");
    EXPECT_FALSE(backend_.openOutput("Synth2", "out"));
    EXPECT_FALSE(backend_.openOutput("", "out"));
    EXPECT_FALSE(
        backend_.openOutput("Memory: Synth", "out"));  // display names belong to MidiSystem

    backend_.setFailOpen("Synth", true);
    EXPECT_FALSE(backend_.openOutput("Synth", "out"));
    EXPECT_EQ(backend_.openCount("Synth"), 0);
    backend_.setFailOpen("Synth", false);
    EXPECT_TRUE(backend_.openOutput("Synth", "out"));
}

TEST_F(MemoryBackendTest, VanishingDeviceStopsItsConnectionsAndIsReported) {
    backend_.addDevice("Synth");
    backend_.addDevice("Drums");
    auto first = backend_.openOutput("Synth", "out1");
    auto second = backend_.openOutput("Synth", "out2");
    auto drums = backend_.openOutput("Drums", "out3");
    ASSERT_TRUE(first && second && drums);
    EXPECT_EQ(backend_.currentlyOpen("Synth"), 2);

    backend_.removeDevice("Synth");
    EXPECT_EQ(problems_, std::vector<std::string>{"MIDI Port lost: Synth"});
    EXPECT_FALSE(first->isAlive());
    EXPECT_FALSE(second->isAlive());
    EXPECT_TRUE(drums->isAlive());
    const uint8_t clock = 0xF8;
    EXPECT_FALSE(first->sendShort(&clock, 1, 0));
    EXPECT_FALSE(second->sendLong(&clock, 1, 0));
    EXPECT_TRUE(drums->sendShort(&clock, 1, 0));
    EXPECT_TRUE(backend_.messagesFor("Synth").empty());
    EXPECT_EQ(backend_.messagesFor("Drums").size(), 1u);
    EXPECT_EQ(backend_.listOutputs(), (std::vector<std::string>{kVirtualPortName, "Drums"}));
    EXPECT_FALSE(backend_.openOutput("Synth", "out"));

    // A device nobody had open goes quietly; closing dead connections is harmless.
    backend_.removeDevice("Drums2");
    first.reset();
    second.reset();
    EXPECT_EQ(problems_.size(), 1u);

    // Back again, it is a fresh device.
    backend_.addDevice("Synth");
    auto again = backend_.openOutput("Synth", "out1");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->sendShort(&clock, 1, 0));
    EXPECT_EQ(backend_.currentlyOpen("Synth"), 1);
}

TEST(MemoryBackend, ConnectionMayOutliveTheBackend) {
    std::unique_ptr<MidiOutConnection> connection;
    {
        MemoryMidiBackend backend;
        connection = backend.openOutput(kVirtualPortName, "out");
        ASSERT_TRUE(connection);
    }
    const uint8_t clock = 0xF8;
    EXPECT_FALSE(connection->isAlive());
    EXPECT_FALSE(connection->sendShort(&clock, 1, 0));
}

TEST(MemoryBackend, SendersOnSeveralThreadsKeepEachThreadsOrder) {
    MemoryMidiBackend backend;
    backend.addDevice("Synth");
    auto connection = backend.openOutput("Synth", "out");
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (uint8_t channel = 0; channel < 3; ++channel) {
        threads.emplace_back([&, channel] {
            for (int i = 0; i < kPerThread; ++i) {
                const uint8_t message[3] = {static_cast<uint8_t>(0xB0 + channel), 7,
                                            static_cast<uint8_t>(i % 128)};
                connection->sendShort(message, 3, i);
            }
        });
    }
    // Meanwhile the test reads the record, as a test on another thread would.
    EXPECT_TRUE(testwait::Until([&] { return backend.messages().size() >= 3 * kPerThread; }))
        << "messages missing";
    const testwait::Watchdog watchdog("the senders");
    for (auto& thread : threads) thread.join();

    std::vector<int64_t> lastTime(3, -1);
    for (const auto& message : backend.messages()) {
        const int channel = message.bytes[0] - 0xB0;
        EXPECT_EQ(message.timeNs, lastTime[channel] + 1);
        lastTime[channel] = message.timeNs;
    }
}
