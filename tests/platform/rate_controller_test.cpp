#include "platform/rate_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double target = 0.040;
constexpr double step = 0.020;

// A queue whose output runs `ppm` fast, consumed at the controller's ratio
// and measured with up to ±10 ms of delivery noise, for `seconds`.
struct Plant {
    platform::RateController controller{target};
    double backlog = target;
    double worstStep = 0, lowest = 1, highest = 1, settledError = 0;

    void run(double ppm, double seconds, double settledAfter = 10)
    {
        std::mt19937 random(7);
        std::uniform_real_distribution<double> noise(-0.010, 0.010);
        for (double t = 0; t < seconds; t += step) {
            backlog += (1 + ppm * 1e-6 - controller.ratio()) * step;
            double before = controller.ratio();
            double ratio = controller.update(backlog + noise(random), step);
            worstStep = std::max(worstStep, std::abs(ratio - before));
            lowest = std::min(lowest, ratio);
            highest = std::max(highest, ratio);
            if (t >= settledAfter)
                settledError = std::max(settledError, std::abs(backlog - target));
        }
    }
};

TEST(RateController, FollowsClockOffsetsSmoothlyWithinOnePercent)
{
    struct Case {
        double ppm;
        double settledError; // the largest distance from the target after 10 s
    };
    for (auto c : {Case{2000, 0.005}, Case{-2000, 0.005}, Case{5000, 0.005}, Case{-5000, 0.005}, Case{0, 0.005},
                   Case{30000, 1e9}}) {
        SCOPED_TRACE(c.ppm);
        Plant plant;
        plant.run(c.ppm, 60);
        EXPECT_LE(plant.settledError, c.settledError);
        EXPECT_GE(plant.lowest, 0.99);
        EXPECT_LE(plant.highest, 1.01);
        EXPECT_LE(plant.worstStep, 1.01e-4); // 0.2 cents per 20 ms at most
        EXPECT_NEAR(plant.controller.ratio(), 1 + std::min(c.ppm * 1e-6, 0.01), 1e-3);
    }
}

TEST(RateController, RestartKeepsTheLearnedOffset)
{
    Plant plant;
    plant.run(2000, 60);
    plant.controller.restart();
    EXPECT_NEAR(plant.controller.update(target, step), 1.002, 1e-3);
}

} // namespace
