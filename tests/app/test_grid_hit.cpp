#include <gtest/gtest.h>

#include "app/grid_hit.h"

// Port 1's grid: first column centred at x 300, first row at y 50.
TEST(GridHit, CellsAreTwelvePixelsApartAroundTheirCentres) {
    EXPECT_EQ(HitSequencerGrid(300, 50, 300, 50), (GridCell{0, 0}));
    EXPECT_EQ(HitSequencerGrid(306, 56, 300, 50), (GridCell{0, 0}));
    EXPECT_EQ(HitSequencerGrid(307, 57, 300, 50), (GridCell{1, 1}));
    EXPECT_EQ(HitSequencerGrid(300 + 15 * 12, 50 + 15 * 12, 300, 50), (GridCell{15, 15}));
    EXPECT_FALSE(HitSequencerGrid(300 + 16 * 12, 50, 300, 50));
    EXPECT_FALSE(HitSequencerGrid(300, 50 + 16 * 12, 300, 50));
}

TEST(GridHit, AboveAndLeftOfTheFirstCellTheTruncationStillCountsRowAndColumnZero) {
    EXPECT_EQ(HitSequencerGrid(300, 42, 300, 50), (GridCell{0, 0}));  // 8 pixels above the centre
    EXPECT_EQ(HitSequencerGrid(289, 50, 300, 50), (GridCell{0, 0}));
    EXPECT_FALSE(HitSequencerGrid(300, 32, 300, 50));   // a whole cell and a half above: no hit
    EXPECT_FALSE(HitSequencerGrid(100, 100, 300, 50));  // the tempo part of the window
    EXPECT_EQ(HitSequencerGrid(300, 300, 300, 300), (GridCell{0, 0}));  // port 2's grid
}
