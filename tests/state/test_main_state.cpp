#include <gtest/gtest.h>

#include <thread>

#include "state/main_state.h"
#include "support/bounded_wait.h"

TEST(MainState, PostStatusKeepsTextAndColourTogetherAcrossThreads) {
    MainState state;
    std::thread poster([&] {
        for (int i = 0; i < 2000; ++i) {
            if (i % 2)
                state.PostStatus("Running ...", StatusColors::green);
            else
                state.PostStatus("Stopped ...", StatusColors::purple);
        }
    });
    const testwait::Watchdog watchdog("the posts and reads");
    for (int i = 0; i < 2000; ++i) {
        auto s = state.PendingStatus();
        if (s.text == "Running ...") {
            EXPECT_EQ(s.color, StatusColors::green);
        }
        if (s.text == "Stopped ...") {
            EXPECT_EQ(s.color, StatusColors::purple);
        }
    }
    poster.join();
    EXPECT_EQ(state.StatusChanges.load(), 2000);
}

TEST(MainState, StatusesSinceGivesEveryPostInOrderOnce) {
    MainState state;
    uint64_t serial = 0;
    EXPECT_TRUE(state.StatusesSince(serial).empty());
    // Within one pump pass: a port lost and back, with the clock's coded status between.
    state.PostStatus("MIDI Port lost: JACK server stopped", StatusColors::red);
    state.PostStatusCode(MainState::StatusCode::Running);
    state.PostStatus("JACK server back: MIDI ports reconnected", StatusColors::green, "synth");
    auto statuses = state.StatusesSince(serial);
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].text, "MIDI Port lost: JACK server stopped");
    EXPECT_EQ(statuses[1].text, "Running ...");
    EXPECT_EQ(statuses[2].text, "JACK server back: MIDI ports reconnected");
    EXPECT_EQ(statuses[2].color, StatusColors::green);
    EXPECT_EQ(statuses[2].detail, "synth");
    // The status line still shows the newest alone.
    EXPECT_EQ(state.PendingStatus().text, "JACK server back: MIDI ports reconnected");
    EXPECT_TRUE(state.StatusesSince(serial).empty());

    // More than the history holds between two passes: the newest ones, still in order.
    for (int i = 0; i < 20; ++i) state.PostStatus("Tap " + std::to_string(i), StatusColors::purple);
    statuses = state.StatusesSince(serial);
    ASSERT_EQ(statuses.size(), MainState::kStatusHistory);
    EXPECT_EQ(statuses.front().text, "Tap 4");
    EXPECT_EQ(statuses.back().text, "Tap 19");
    state.PostStatusCode(MainState::StatusCode::Running);
    statuses = state.StatusesSince(serial);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].text, "Running ...");
    EXPECT_EQ(state.PendingStatus().text, "Running ...");
}
