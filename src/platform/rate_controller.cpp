#include "platform/rate_controller.h"

#include <algorithm>

namespace platform {
namespace {

constexpr double limit = 0.01;      // beyond ±1 % a pitch change becomes audible
constexpr double filterSeconds = 1.0; // averages 20-ms deliveries and their jitter
constexpr double proportional = 0.5;  // ratio per second of backlog error
constexpr double integral = 0.12;     // ratio per second of error per second
constexpr double slew = 0.005;        // the most the ratio moves per second

} // namespace

RateController::RateController(double target) : target_(target), filtered_(target) {}

double RateController::update(double backlog, double elapsed)
{
    filtered_ += (backlog - filtered_) * std::min(1.0, elapsed / filterSeconds);
    double error = filtered_ - target_;
    integral_ = std::clamp(integral_ + integral * error * elapsed, -limit, limit);
    double wanted = 1 + std::clamp(proportional * error + integral_, -limit, limit);
    ratio_ = std::clamp(wanted, ratio_ - slew * elapsed, ratio_ + slew * elapsed);
    return ratio_;
}

} // namespace platform
