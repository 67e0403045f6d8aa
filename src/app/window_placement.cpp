#include "app/window_placement.h"

#include <algorithm>
#include <cstdint>

namespace {

// Settings files hold any 32-bit numbers; sums of them are taken in 64 bits.
struct Box {
    int64_t left, top, width, height;
    int64_t right() const { return left + width; }
    int64_t bottom() const { return top + height; }
};

Box ToBox(const FrameRect& r) {
    return {r.left, r.top, std::max(r.width, 0), std::max(r.height, 0)};
}

int64_t OverlapArea(const Box& a, const Box& b) {
    const int64_t w = std::min(a.right(), b.right()) - std::max(a.left, b.left);
    const int64_t h = std::min(a.bottom(), b.bottom()) - std::max(a.top, b.top);
    return w > 0 && h > 0 ? w * h : 0;
}

// The screen that overlaps `area` most, or null when none does.
const Box* MostOverlapped(const std::vector<Box>& screens, const Box& area) {
    const Box* best = nullptr;
    int64_t bestArea = 0;
    for (const Box& screen : screens) {
        const int64_t overlap = OverlapArea(screen, area);
        if (overlap > bestArea) {
            best = &screen;
            bestArea = overlap;
        }
    }
    return best;
}

// How much of the title bar stays on the screen sideways, so it can be grabbed.
constexpr int64_t kGrabWidth = 40;
// Where a window that was off every screen appears, from the primary screen's corner.
constexpr int64_t kReturnOffset = 40;
// Without any screen to go by, sizes stay below what the window system can draw.
constexpr int64_t kLargestWithoutScreens = 16384;

}  // namespace

FrameRect PlaceWindow(const FrameRect& saved, const std::vector<FrameRect>& screens,
                      const WindowNeeds& needs) {
    std::vector<Box> boxes;
    for (const FrameRect& s : screens)
        if (s.width > 0 && s.height > 0) boxes.push_back(ToBox(s));
    const int64_t minW = std::max(needs.minWidth, 1);
    const int64_t minH = std::max(needs.minHeight, 1);

    int64_t widest = boxes.empty() ? kLargestWithoutScreens : 0;
    int64_t tallest = widest;
    for (const Box& b : boxes) {
        widest = std::max(widest, b.width);
        tallest = std::max(tallest, b.height);
    }
    Box frame{saved.left, saved.top, std::clamp<int64_t>(saved.width, minW, std::max(minW, widest)),
              std::clamp<int64_t>(saved.height, minH, std::max(minH, tallest))};
    if (boxes.empty())
        return {static_cast<int>(frame.left), static_cast<int>(frame.top),
                static_cast<int>(frame.width), static_cast<int>(frame.height)};

    const int64_t caption = std::clamp<int64_t>(needs.captionHeight, 0, frame.height);
    const Box titleBar{frame.left, frame.top, frame.width, std::max<int64_t>(caption, 1)};
    const Box* screen = MostOverlapped(boxes, titleBar);
    if (!screen) screen = MostOverlapped(boxes, frame);  // title bar off the top or bottom
    const bool lost = screen == nullptr;
    if (lost) {
        screen = &boxes.front();
        frame.left = screen->left + kReturnOffset;
        frame.top = screen->top + kReturnOffset;
    }

    frame.width = std::min(frame.width, std::max(minW, screen->width));
    frame.height = std::min(frame.height, std::max(minH, screen->height));
    if (lost) {
        // Brought back whole where it fits.
        frame.left = std::max(screen->left, std::min(frame.left, screen->right() - frame.width));
        frame.top = std::max(screen->top, std::min(frame.top, screen->bottom() - frame.height));
    }
    // The whole title bar lies within the screen's height, and enough of it sideways.
    frame.top =
        std::clamp(frame.top, screen->top, std::max(screen->top, screen->bottom() - caption));
    const int64_t grab = std::min(kGrabWidth, frame.width);
    frame.left = std::clamp(frame.left, screen->left - frame.width + grab,
                            std::max(screen->left - frame.width + grab, screen->right() - grab));
    return {static_cast<int>(frame.left), static_cast<int>(frame.top),
            static_cast<int>(frame.width), static_cast<int>(frame.height)};
}
