#include <gtest/gtest.h>

#include <cmath>

#include "tools/level.h"

using korvalin::levelDb;
using korvalin::roundedLevel;

TEST(Level, FullScaleCapsAndTheFloorIsMinus120)
{
    // Exactly 1e-6 as single precision is not above the floor; the next float up is.
    for (float floor : {0.0f, -0.5f, NAN, 1e-6f})
        EXPECT_EQ(levelDb(floor), -120.0) << floor;
    EXPECT_EQ(levelDb(1.0f), 0.0);
    EXPECT_EQ(levelDb(3.5f), 0.0);
    EXPECT_GT(levelDb(std::nextafter(1e-6f, 1.0f)), -120.0);
    EXPECT_NEAR(levelDb(2e-6f), -113.98, 0.01);
    EXPECT_NEAR(levelDb(0.5f), -6.0206, 1e-4);
}

TEST(Level, RoundsToOneDecimalWithHalvesAwayFromZero)
{
    const std::pair<double, double> table[] = {{-6.0206, -6.0}, {-9.0309, -9.0}, {-0.25, -0.3}, {-120.0, -120.0},
                                               {-3.96, -4.0}};
    for (const auto& [level, rounded] : table)
        EXPECT_EQ(roundedLevel(level), rounded) << level;
    // A level a hair below full scale is reported as 0.0, never as -0.0.
    EXPECT_FALSE(std::signbit(roundedLevel(-0.0019)));
    EXPECT_FALSE(std::signbit(roundedLevel(-0.0)));
}
