#include "platform/rate_controller.h"

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

constexpr double limit = 0.01;     // beyond ±1 % no crystal is; a pitch change becomes audible
constexpr double longestFit = 120; // seconds the line is fitted over, once known
constexpr double shortestFit = 3;
// Each point of the line is a percentile of a window's deliveries: the
// longer the window, the closer to the output's true pace; short while the
// line is young. A window holds some deliveries at least, so that 200-ms
// bursts are judged by enough of them too.
constexpr double shortestWindow = 1, longestWindow = 4;
constexpr size_t leastDeliveries = 10;
constexpr double settleSeconds = 10;  // after which the offset is good to some 100 ppm
constexpr double backlogSeconds = 10; // the trim's low-pass
constexpr double recentSeconds = 1;
constexpr double trimGain = 1.0 / 100; // ratio per second of backlog error: overdamped with the low-pass
constexpr double trimLimit = 50e-6;
constexpr double trimDeadband = 0.004;
constexpr double slew = 0.002; // the most the ratio moves per second
// An offset this many standard errors from zero is followed half, two of
// them a sixth, six of them all but 6 %: a large offset is followed whole
// long before its error is small, a small one not until it stands out.
constexpr double certainty = 3;
constexpr double evidentBacklog = 0.003; // beyond what a busy server's deliveries move it by
// Crystals differ by some 100 ppm: what a young line sees beyond this is a
// device far off its nominal rate, worth following before the line settles;
// within it, a young line's bias (500-600 ppm at 3 standard errors, seen on
// clocks that agree) would slide the lag by milliseconds.
constexpr double evidentOffset = 0.001;
// How the ratio follows a new estimate: at once while the offset is young,
// then over seconds, so that a new point of the line bends the pitch gently.
constexpr double youngFollow = 2, settledFollow = 5;
// Frames this far ahead of the line did not come from its clock.
constexpr double jumpSeconds = 0.100;

} // namespace

void RateController::observe(double mic, double pushed, double backlog)
{
    double y = pushed - mic;
    if (!started_) {
        started_ = true;
        lastMic_ = windowStart_ = mic;
    }
    double predicted = segment_ ? fitY_ + offset_ * (mic - fitMic_) : y;
    // Frames far ahead of the line: the rest of a burst whose first part
    // came before the last take, unless the next delivery is as far ahead.
    // Frames far behind it: the output lost some (a stall).
    bool ahead = y - predicted > jumpSeconds;
    if (broken_ || (ahead && ahead_) || y - predicted < -jumpSeconds) {
        broken_ = false;
        close();
        split(segment_ ? y - predicted : 0);
        windowStart_ = mic;
        ahead = false;
    }
    bool tail = ahead_ = ahead;
    if (!anchored_) {
        anchored_ = true;
        backlog_ = recent_ = target_ = backlog;
    }
    if (mic - windowStart_ >= std::clamp(age_ / 6, shortestWindow, longestWindow) && gathered_ >= leastDeliveries) {
        close();
        windowStart_ = mic;
    }
    if (!tail && gathered_ < window_.size())
        window_[gathered_++] = y - offset_ * (mic - windowStart_);
    double span = mic - lastMic_;
    backlog_ += (backlog - backlog_) * std::min(1.0, span / backlogSeconds);
    recent_ += (backlog - recent_) * std::min(1.0, span / recentSeconds);
    if (retargetAt_ >= 0 && mic >= retargetAt_) {
        retargetAt_ = -1;
        target_ = backlog_ = recent_;
    }
    lastMic_ = mic;
}

// The window's 75th-percentile delivery becomes a point of the line, in its middle.
void RateController::close()
{
    if (gathered_) {
        auto middle = window_.begin() + gathered_ * 3 / 4;
        std::nth_element(window_.begin(), middle, window_.begin() + gathered_);
        double mic = (windowStart_ + lastMic_) / 2;
        fit(mic, *middle + offset_ * (mic - windowStart_));
    }
    gathered_ = 0;
}

// Adds a point to the current segment, ages the older ones, reads the slope.
void RateController::fit(double mic, double y)
{
    double dt = segment_ ? mic - fitMic_ : 0, dy = segment_ ? y - fitY_ : 0;
    age_ += dt;
    double decay = std::exp(-dt / std::clamp(age_, shortestFit, longestFit));
    // Move the origin to the new point, then age the old ones.
    tt_ = (tt_ - 2 * dt * t_ + dt * dt * weight_) * decay;
    ty_ = (ty_ - dt * y_ - dy * t_ + dt * dy * weight_) * decay;
    yy_ = (yy_ - 2 * dy * y_ + dy * dy * weight_) * decay;
    t_ = (t_ - dt * weight_) * decay;
    y_ = (y_ - dy * weight_) * decay;
    weight_ = weight_ * decay + 1;
    pooledSpread_ *= decay;
    pooledCovariance_ *= decay;
    pooledVariance_ *= decay;
    pooledWeight_ *= decay;
    fitMic_ = mic;
    fitY_ = y;
    segment_ = true;
    double spread = pooledSpread_ + tt_ - t_ * t_ / weight_;
    if (spread < 1.0) // a few points seconds apart
        return;
    double covariance = pooledCovariance_ + ty_ - t_ * y_ / weight_;
    double variance = pooledVariance_ + yy_ - y_ * y_ / weight_;
    offset_ = std::clamp(covariance / spread, -limit, limit);
    // The slope's standard error, from how far the points lie off the line.
    double freedom = std::max(1.0, pooledWeight_ + weight_ - 2);
    uncertainty_ = std::sqrt(std::max(0.0, variance - covariance * covariance / spread) / freedom / spread);
}

// A new segment: the current one's spread and covariance about its own mean
// keep telling the slope.
void RateController::split(double jump)
{
    if (weight_ > 0) {
        pooledSpread_ += tt_ - t_ * t_ / weight_;
        pooledCovariance_ += ty_ - t_ * y_ / weight_;
        pooledVariance_ += yy_ - y_ * y_ / weight_;
        pooledWeight_ += weight_ - 1; // a segment's mean is its own
    }
    weight_ = t_ = tt_ = y_ = ty_ = yy_ = 0;
    segment_ = false;
    // The backlog moved with the timeline; where it settles is taken anew.
    backlog_ += jump;
    recent_ += jump;
    target_ += jump;
    if (settled_)
        retargetAt_ = lastMic_ + 2 * recentSeconds;
}

double RateController::update(double elapsed)
{
    if (!settled_ && age_ >= settleSeconds) {
        settled_ = true;
        target_ = backlog_ = recent_;
        // The ratio takes a while to follow an offset not followed while
        // young: where the backlog settles is taken again once it has.
        retargetAt_ = lastMic_ + 2 * settledFollow;
    }
    // Within a few ms of where it settled, the backlog is left to the offset:
    // a target taken while the offset was still being learned is not chased.
    double error = backlog_ - target_;
    error -= std::clamp(error, -trimDeadband, trimDeadband);
    double trim = settled_ ? std::clamp(trimGain * error, -trimLimit, trimLimit) : 0;
    // The ratio follows the offset as far as it is known: the estimate
    // weighed by how far it stands out of its standard error. A young line's
    // first points (a server's start-up burst among them) may say 1 %, and
    // on a real server its error stays some 300 ppm for 20 s: two clocks that
    // agree must not be pulled apart by that, while 5000 ppm is followed.
    double significance = offset_ * offset_;
    double noise = certainty * certainty * uncertainty_ * uncertainty_;
    double known = significance > 0 ? offset_ * significance * significance /
                                          (significance * significance + noise * noise)
                                    : 0;
    // While young, only a slow output that has stood out clearly, and that
    // the backlog showed too, is followed, and whole, before the cushion runs
    // out; anything else is a young line's noise (a few hundred ppm of it
    // slid the lag by 2-10 ms in a recording's first 15 s), or a step of the
    // deliveries, a stream joining the sum. A fast output only fills the
    // queue, which has room for seconds of it.
    double moved = recent_ - target_;
    if (!settled_) {
        evident_ = evident_ || (significance > noise && offset_ < -evidentOffset && moved < -evidentBacklog);
        known = evident_ ? offset_ : 0;
    }
    applied_ += (known - applied_) * std::min(1.0, elapsed / (settled_ ? settledFollow : youngFollow));
    double wanted = 1 + std::clamp(applied_ + trim, -limit, limit);
    ratio_ = std::clamp(wanted, ratio_ - slew * elapsed, ratio_ + slew * elapsed);
    return ratio_;
}

} // namespace platform
