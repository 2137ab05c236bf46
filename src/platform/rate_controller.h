#pragma once

namespace platform {

// Steers the ratio at which a queue is consumed (input frames per output
// frame) so that its backlog stays near a target. The backlog jumps with
// every delivery, so it is low-passed first; a PI law then turns the
// filtered error into the ratio: the integral learns the offset between the
// two clocks, the proportional term pulls the backlog back. The ratio stays
// within ±1 %, and moves by small steps only, so the pitch never jumps.
// Backlog and time are in seconds, so the gains do not depend on the rate.
class RateController {
public:
    explicit RateController(double target);

    // One measurement of the backlog, `elapsed` seconds after the last one.
    // Returns the new ratio.
    double update(double backlog, double elapsed);
    // The backlog was re-anchored (cut back or refilled): the filter starts
    // again from the target, the learned clock offset stays.
    void restart() { filtered_ = target_; }

    double ratio() const { return ratio_; }
    double target() const { return target_; }

private:
    double target_;
    double filtered_;
    double integral_ = 0;
    double ratio_ = 1;
};

} // namespace platform
