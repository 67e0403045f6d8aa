#include <gtest/gtest.h>

#include <climits>

#include "app/window_placement.h"

namespace {

const WindowNeeds kNeeds{262, 230, 41};
// Two screens side by side, the primary with a panel at its top; a third, smaller one above the
// second.
const FrameRect kPrimary{0, 32, 1920, 1048};
const FrameRect kRight{1920, 0, 1280, 1024};
const FrameRect kAbove{1920, -768, 1024, 768};
const std::vector<FrameRect> kScreens{kPrimary, kRight, kAbove};

bool TitleBarReachable(const FrameRect& f, const FrameRect& screen) {
    return f.top >= screen.top && f.top + kNeeds.captionHeight <= screen.top + screen.height &&
           f.left + 40 <= screen.left + screen.width && f.left + f.width - 40 >= screen.left;
}

}  // namespace

TEST(WindowPlacement, AWindowOnAnyScreenStaysWhereItWas) {
    for (const FrameRect saved : {FrameRect{343, 226, 262, 528}, FrameRect{2500, 300, 262, 528},
                                  FrameRect{2000, -700, 262, 528}, FrameRect{1800, 40, 262, 528}}) {
        EXPECT_EQ(PlaceWindow(saved, kScreens, kNeeds), saved) << saved.left << "," << saved.top;
    }
}

TEST(WindowPlacement, AWindowOffEveryScreenComesBackToThePrimary) {
    for (const FrameRect saved :
         {FrameRect{-30000, 90000, 262, 528}, FrameRect{5000, 200, 262, 528},
          FrameRect{INT_MAX, INT_MAX, 262, 528}, FrameRect{INT_MIN, INT_MIN, 262, 528},
          FrameRect{0, 2000, 262, 528}}) {
        const FrameRect placed = PlaceWindow(saved, kScreens, kNeeds);
        EXPECT_EQ(placed, (FrameRect{40, 72, 262, 528})) << saved.left << "," << saved.top;
    }
}

TEST(WindowPlacement, ATitleBarAboveTheTopOrOffTheSideIsBroughtBackJustEnough) {
    // Above the primary's top (the panel): moved down to it, not sideways.
    EXPECT_EQ(PlaceWindow({500, 10, 262, 528}, kScreens, kNeeds), (FrameRect{500, 32, 262, 528}));
    EXPECT_EQ(PlaceWindow({500, -200, 262, 528}, kScreens, kNeeds), (FrameRect{500, 32, 262, 528}));
    // Only the lower part showing at the bottom of the primary: the title bar comes up.
    const FrameRect low = PlaceWindow({500, 1070, 262, 528}, kScreens, kNeeds);
    EXPECT_EQ(low.left, 500);
    EXPECT_TRUE(TitleBarReachable(low, kPrimary)) << low.top;
    // Nearly off the left edge: enough of the title bar to grab comes back.
    const FrameRect left = PlaceWindow({-250, 300, 262, 528}, kScreens, kNeeds);
    EXPECT_EQ(left.top, 300);
    EXPECT_TRUE(TitleBarReachable(left, kPrimary)) << left.left;
    // A window across two screens belongs to the one holding most of its title bar.
    EXPECT_EQ(PlaceWindow({1900, 100, 262, 528}, kScreens, kNeeds),
              (FrameRect{1900, 100, 262, 528}));
}

TEST(WindowPlacement, SizesAreClampedBetweenTheMinimumAndTheScreen) {
    struct Case {
        int width, height, wantWidth, wantHeight;
    };
    const Case cases[] = {
        {100000000, 100000000, 1920, 1048},
        {INT_MAX, INT_MAX, 1920, 1048},
        {INT_MIN, INT_MIN, 262, 230},
        {-2147483648, 528, 262, 528},
        {0, 0, 262, 230},
        {-5, -1, 262, 230},
        {1, 1, 262, 230},
        {900, 700, 900, 700},
    };
    for (const Case& c : cases) {
        const FrameRect placed = PlaceWindow({100, 100, c.width, c.height}, kScreens, kNeeds);
        EXPECT_EQ(placed.width, c.wantWidth) << c.width;
        EXPECT_EQ(placed.height, c.wantHeight) << c.height;
        EXPECT_TRUE(TitleBarReachable(placed, kPrimary)) << c.width << "x" << c.height;
    }
    // On the smaller screen the largest size is that screen's.
    const FrameRect above = PlaceWindow({2000, -700, 5000, 5000}, kScreens, kNeeds);
    EXPECT_EQ(above.width, 1024);
    EXPECT_EQ(above.height, 768);
    EXPECT_TRUE(TitleBarReachable(above, kAbove));
}

TEST(WindowPlacement, ScreensSmallerThanTheMinimumAndNoScreensAtAll) {
    const std::vector<FrameRect> tiny{{0, 0, 200, 150}};
    EXPECT_EQ(PlaceWindow({0, 0, 528, 528}, tiny, kNeeds), (FrameRect{0, 0, 262, 230}));
    // No screen to go by (no display yet): only the size limits.
    EXPECT_EQ(PlaceWindow({-30000, 90000, 0, INT_MAX}, {}, kNeeds),
              (FrameRect{-30000, 90000, 262, 16384}));
    const std::vector<FrameRect> empty{{0, 0, 0, 0}};
    EXPECT_EQ(PlaceWindow({5, 5, 300, 300}, empty, kNeeds), (FrameRect{5, 5, 300, 300}));
}
