#include "platform/rate_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double target = 0.040;
constexpr double step = 0.020;

// A queue whose output runs `ppm` fast, consumed at the controller's ratio
// and measured every 20 ms with up to ±10 ms of delivery noise, re-anchored
// like the system-audio queue.
struct Plant {
    platform::RateController controller{target, target};
    double backlog = target;
    std::mt19937 random{7};
    double worstStep = 0, lowest = 1, highest = 1;
    double settledError = 0, wobbleSquares = 0; // from 15 s into the last run on
    int settledSteps = 0;
    double wobble() const { return std::sqrt(wobbleSquares / settledSteps); } // RMS off the clock offset

    void run(double ppm, double seconds)
    {
        std::uniform_real_distribution<double> noise(-0.010, 0.010);
        settledError = wobbleSquares = settledSteps = 0;
        for (double t = 0; t < seconds; t += step) {
            backlog += (1 + ppm * 1e-6 - controller.ratio()) * step;
            if (backlog < 0 || backlog > 0.250) // what the rate cannot absorb is cut or filled
                backlog = 0.050;
            double before = controller.ratio();
            double ratio = controller.update(backlog + noise(random), step);
            worstStep = std::max(worstStep, std::abs(ratio - before));
            lowest = std::min(lowest, ratio);
            highest = std::max(highest, ratio);
            if (t >= 15) {
                settledError = std::max(settledError, std::abs(backlog - target));
                wobbleSquares += std::pow(ratio - 1 - ppm * 1e-6, 2);
                ++settledSteps;
            }
        }
    }
};

TEST(RateController, FollowsClockOffsetsSmoothlyWithinOnePercent)
{
    struct Case {
        double ppm, then; // for a minute each; beyond ±1 % the ratio stays at its limit
    };
    for (auto c : {Case{2000, 2000}, Case{-2000, -2000}, Case{5000, 5000}, Case{-5000, -5000}, Case{0, 0},
                   Case{30000, 2000}, Case{-30000, 2000}}) {
        SCOPED_TRACE(testing::Message() << c.ppm << " then " << c.then << " ppm");
        Plant plant;
        plant.run(c.ppm, 60);
        plant.run(c.then, 60);
        EXPECT_LE(plant.settledError, 0.005);
        EXPECT_LE(plant.wobble(), 450e-6);
        EXPECT_GE(plant.lowest, 0.99);
        EXPECT_LE(plant.highest, 1.01);
        EXPECT_LE(plant.worstStep, 1.01e-4); // 0.2 cents per 20 ms at most
    }
}

} // namespace
