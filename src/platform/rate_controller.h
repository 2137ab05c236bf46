#pragma once

#include <array>
#include <cstddef>

namespace platform {

// Finds the ratio at which a queue filled on one clock (the output's) must
// be consumed on another (the microphone's). Two crystals differ by a few
// hundred ppm at most and drift over minutes, while what the backlog shows
// from moment to moment is mostly delivery: jitter, bursts of 200 ms, a sum
// waiting for a stream that joins. So the offset is estimated, not chased:
// a line is fitted through the output's frames against the microphone's
// time over the last two minutes (a shorter time while the recording is
// young). Each window of a few seconds gives the line one point, the 75th
// percentile of its deliveries: a server's late and early ones (a sum held
// for a stream, then released) drop out, and what is left is the output's
// pace. The ratio is that offset weighed by how far it stands out of its
// standard error (clocks that agree are not pulled apart by a young line's
// noise), plus a small, bounded trim that holds the backlog where it settled,
// read low-passed over ten seconds, so a burst moves the ratio by a few ppm
// at most. Where the output's timeline breaks (silence while nothing plays,
// frames earlier than any clock makes them, in two deliveries running: one
// alone is the rest of a burst split by a take; frames far later: the output
// lost some) the line starts a new segment that shares the old one's slope,
// and the trim's target moves with the backlog: a break never moves the rate.
// A queue re-anchored after running dry is not a break: on a slow clock that
// is what the line must see to the end.
// Times and backlogs are in seconds, so nothing depends on the sample rate.
class RateController {
public:
    // One delivery from the output: before it, `pushed` seconds of output
    // frames had come in all, `mic` seconds of microphone frames had passed,
    // and `backlog` seconds were queued.
    void observe(double mic, double pushed, double backlog);
    // The output's timeline breaks: what comes next starts a new segment.
    void interrupt() { broken_ = true; }
    // The backlog was re-anchored: the target is taken anew. The output's
    // timeline goes on unless its frames say otherwise: a queue that ran dry
    // on a slow clock is the line's best evidence.
    void restart() { anchored_ = false; }
    // The ratio for the next `elapsed` seconds of microphone frames.
    double update(double elapsed);

private:
    void close();
    void fit(double mic, double y);
    void split(double jump);

    // The line: weighted sums of the current segment's points (t, y), t and
    // y relative to its latest point, y output minus microphone seconds; and
    // what the earlier segments say of the slope.
    double weight_ = 0, t_ = 0, tt_ = 0, y_ = 0, ty_ = 0, yy_ = 0;
    double pooledSpread_ = 0, pooledCovariance_ = 0, pooledVariance_ = 0, pooledWeight_ = 0;
    double uncertainty_ = 0; // the slope's standard error
    double fitMic_ = 0, fitY_ = 0; // the latest point
    bool segment_ = false;         // the current segment has a point
    double age_ = 0;               // microphone seconds the line covers
    // The window being gathered: its deliveries' distance from the line.
    double windowStart_ = 0;
    std::array<double, 512> window_{};
    size_t gathered_ = 0;
    double lastMic_ = 0;
    bool started_ = false;
    bool broken_ = false;
    bool ahead_ = false; // the latest delivery was far ahead of the line
    bool anchored_ = false;
    bool settled_ = false; // the target was taken once the offset was known
    bool evident_ = false; // the young line's offset stood out, and the backlog showed it
    double backlog_ = 0;   // low-passed for the trim
    double recent_ = 0;    // low-passed over a second: where it settles
    double target_ = 0;
    double retargetAt_ = -1; // after a break, when the target is taken from recent_
    double offset_ = 0;
    double applied_ = 0; // the offset as the ratio follows it
    double ratio_ = 1;
};

} // namespace platform
