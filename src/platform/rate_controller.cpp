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

RateController::RateController(double lowest, double highest) : lowest_(lowest), highest_(highest) {}

double RateController::update(double backlog, double elapsed)
{
    if (anchoring_ < 0)
        filtered_ = backlog;
    filtered_ += (backlog - filtered_) * std::min(1.0, elapsed / filterSeconds);
    // For the filter's first second the target follows it: a stream keeps
    // the backlog it started with.
    if (anchoring_ < filterSeconds) {
        anchoring_ = std::max(anchoring_, 0.0) + elapsed;
        target_ = std::clamp(filtered_, lowest_, highest_);
    }
    double error = filtered_ - target_;
    integral_ = std::clamp(integral_ + integral * error * elapsed, -limit, limit);
    double wanted = 1 + std::clamp(proportional * error + integral_, -limit, limit);
    ratio_ = std::clamp(wanted, ratio_ - slew * elapsed, ratio_ + slew * elapsed);
    return ratio_;
}

} // namespace platform
