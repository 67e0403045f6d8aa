#include "app/grid_hit.h"

namespace {
constexpr int kCell = 10;
constexpr int kGap = 2;
constexpr int kRows = 16;
constexpr int kColumns = 16;
}  // namespace

std::optional<GridCell> HitSequencerGrid(int x, int y, int columnOrigin, int rowOrigin) {
    // Truncating division: a press up to a cell and a half above the first row's centre still
    // counts as row 0, as the grid has always behaved.
    const int row = (y + kCell / 2 - rowOrigin) / (kCell + kGap);
    if (row < 0 || row >= kRows) return std::nullopt;
    const int column = (x + kCell / 2 - columnOrigin) / (kCell + kGap);
    if (column < 0 || column >= kColumns) return std::nullopt;
    return GridCell{row, column};
}
