#pragma once

namespace platform {

// Steers the ratio at which a queue is consumed (input frames per output
// frame) so that its backlog stays where it was when the queue started
// flowing (kept within a range). The target is taken from the first second
// rather than fixed, so that a stream starting a little above or below it
// does not bend the pitch for seconds. The backlog jumps with
// every delivery, so it is low-passed first; a PI law then turns the
// filtered error into the ratio: the integral learns the offset between the
// two clocks, the proportional term pulls the backlog back. The ratio stays
// within ±1 %, and moves by small steps only, so the pitch never jumps.
// Backlog and time are in seconds, so the gains do not depend on the rate.
class RateController {
public:
    // The target lies within [lowest, highest].
    RateController(double lowest, double highest);

    // One measurement of the backlog, `elapsed` seconds after the last one.
    // Returns the new ratio.
    double update(double backlog, double elapsed);
    // The queue was re-anchored: the next second of measurements sets the
    // target; the learned clock offset stays.
    void restart() { anchoring_ = -1; }
    double ratio() const { return ratio_; }
    double target() const { return target_; }

private:
    double lowest_, highest_;
    double anchoring_ = -1; // seconds since the first measurement, or none yet
    double target_ = 0;
    double filtered_ = 0;
    double integral_ = 0;
    double ratio_ = 1;
};

} // namespace platform
