#include "platform/resampler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The input consumed is the output times the ratio, also while the ratio
// hovers around 1 (clocks that agree): the filter's phase survives every
// change, so the pitch bends without clicks and the position never slips.
TEST(Resampler, KeepsItsPositionAcrossRatioChanges)
{
    constexpr size_t block = 960;
    platform::Resampler resampler(1);
    std::vector<float> in(2 * block, 0.25f), out(block);
    double expected = 0;
    size_t consumed = 0;
    for (int i = 0; i < 400; ++i) {
        resampler.setRatio(i % 2 ? 1.0 : 0.99998 + i * 1e-7);
        auto counts = resampler.process(in.data(), 2 * block, out.data(), block);
        ASSERT_EQ(counts.produced, block);
        consumed += counts.consumed;
        expected += block * resampler.ratio();
    }
    EXPECT_NEAR(double(consumed), expected, 2.0);
}

} // namespace
