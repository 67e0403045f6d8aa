#pragma once

#include <vector>

// A window frame or a screen's usable area, in desktop pixels.
struct FrameRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const FrameRect&) const = default;
};

// What a window needs to stay usable: its smallest size, and the height of its title bar, the
// part the user drags it by.
struct WindowNeeds {
    int minWidth = 1;
    int minHeight = 1;
    int captionHeight = 0;
};

// Where a window saved as `saved` (from a settings file, so any numbers at all) opens on the
// screens there are now (their usable areas, the primary screen first):
// - the size lies between the window's minimum and the size of the screen it opens on;
// - a window whose title bar is on a screen stays there, on whichever screen that is; a title
//   bar above a screen's top edge or partly off its side is moved just far enough to be grabbed;
// - a window off every screen opens near the primary screen's top left corner.
// Without any screen only the size limits apply.
FrameRect PlaceWindow(const FrameRect& saved, const std::vector<FrameRect>& screens,
                      const WindowNeeds& needs);
