#include <gtest/gtest.h>

#include <thread>

#include "state/main_state.h"

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
