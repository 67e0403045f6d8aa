#pragma once

#include <optional>

// Which step of a port's sequencer grid a mouse press on the main window hits. The grid's
// origin is the centre of its first column (x) and first row (y); cells are 10 pixels with a
// 2-pixel gap, 16 tracks by 16 steps.
struct GridCell {
    int row;
    int column;
    friend bool operator==(const GridCell&, const GridCell&) = default;
};

std::optional<GridCell> HitSequencerGrid(int x, int y, int columnOrigin, int rowOrigin);
