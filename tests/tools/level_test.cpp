#include <gtest/gtest.h>

#include <cmath>

#include "tools/level.h"

using korvalin::levelDb;
using korvalin::roundedLevel;

TEST(Level, FullScaleCapsAndTheFloorIsMinus120)
{
    EXPECT_EQ(levelDb(1.0f), 0.0);
    EXPECT_EQ(levelDb(3.5f), 0.0);
    EXPECT_EQ(levelDb(0.0f), -120.0);
    EXPECT_EQ(levelDb(-0.5f), -120.0);
    EXPECT_EQ(levelDb(NAN), -120.0);
    // Exactly 1e-6 as single precision is not above it; the next float up is.
    EXPECT_EQ(levelDb(1e-6f), -120.0);
    EXPECT_GT(levelDb(std::nextafter(1e-6f, 1.0f)), -120.0);
    EXPECT_NEAR(levelDb(2e-6f), -113.98, 0.01);
    EXPECT_NEAR(levelDb(0.5f), -6.0206, 1e-4);
}

TEST(Level, RoundsToOneDecimalWithHalvesAwayFromZero)
{
    EXPECT_EQ(roundedLevel(-6.0206), -6.0);
    EXPECT_EQ(roundedLevel(-9.0309), -9.0);
    EXPECT_EQ(roundedLevel(-0.25), -0.3);
    EXPECT_EQ(roundedLevel(-120.0), -120.0);
    EXPECT_EQ(roundedLevel(-3.96), -4.0);
    // A level a hair below full scale is reported as 0.0, never as -0.0.
    EXPECT_FALSE(std::signbit(roundedLevel(-0.0019)));
    EXPECT_FALSE(std::signbit(roundedLevel(-0.0)));
}
