#include <gtest/gtest.h>

#include "capture/channel_plan.h"

namespace korvalin {
namespace {

struct PlanCase {
    std::vector<int> buffers;
    int mic;
    int system;
    std::vector<ChannelRange> expectedMic;
    std::vector<ChannelRange> expectedSystem;
    bool exact;
};

TEST(ChannelPlan, LayoutsFromTheDeviceTable)
{
    const PlanCase cases[] = {
        {{1, 2}, 1, 2, {{0, 0, 1}}, {{1, 0, 2}}, true},
        {{4}, 2, 2, {{0, 0, 1}}, {{0, 2, 2}}, true},
        {{4, 2}, 4, 2, {{0, 0, 1}}, {{1, 0, 2}}, true},
        {{4}, 4, 0, {{0, 0, 1}}, {}, true},
        {{1, 1}, 1, 1, {{0, 0, 1}}, {{1, 0, 1}}, true},
        {{1, 1}, 1, 2, {{0, 0, 1}}, {{1, 0, 1}}, false},
        {{1, 1, 2}, 1, 3, {{0, 0, 1}}, {{1, 0, 1}, {2, 0, 2}}, true},
        {{1}, 1, 0, {{0, 0, 1}}, {}, true},
        {{2}, 1, 2, {{0, 0, 1}}, {{0, 1, 1}}, false},
        {{1}, 1, 2, {{0, 0, 1}}, {}, false},
        {{}, 1, 2, {}, {}, false},
        // A buffer without channels is skipped without shifting the numbering.
        {{1, 0, 2}, 1, 2, {{0, 0, 1}}, {{2, 0, 2}}, true},
        // Negative counts count as nothing.
        {{1, -3, 2}, 1, 2, {{0, 0, 1}}, {{2, 0, 2}}, true},
        {{1, 2}, -1, 2, {}, {{0, 0, 1}, {1, 0, 1}}, false},
        {{1, 2}, 1, -2, {{0, 0, 1}}, {}, false},
        // Fewer input channels than the microphone has: no system range.
        {{2}, 4, 2, {{0, 0, 1}}, {}, false},
    };
    for (const PlanCase& c : cases) {
        ChannelPlan plan = makeChannelPlan(c.buffers, c.mic, c.system);
        SCOPED_TRACE(plan.description());
        EXPECT_EQ(plan, (ChannelPlan{c.expectedMic, c.expectedSystem, c.exact}));
    }
}

TEST(ChannelPlan, DescriptionText)
{
    EXPECT_EQ(makeChannelPlan({1, 1, 2}, 1, 3).description(), "mic=buf0[0..<1] sys=buf1[0..<1]+buf2[0..<2]");
    EXPECT_EQ(makeChannelPlan({2}, 1, 2).description(), "mic=buf0[0..<1] sys=buf0[1..<2] (přibližné)");
    EXPECT_EQ(makeChannelPlan({}, 1, 2).description(), "mic=— sys=— (přibližné)");
    EXPECT_EQ(makeChannelPlan({12, 2}, 12, 2).description(), "mic=buf0[0..<1] sys=buf1[0..<2]");
}

} // namespace
} // namespace korvalin
