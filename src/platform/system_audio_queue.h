#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/rate_controller.h"
#include "platform/resampler.h"

namespace platform {

// The system-audio side of an aggregate: frames from the output
// wait here until the microphone's clock asks for them. The two clocks are
// different crystals, so the frames are resampled on the way out at a ratio
// that keeps the backlog near its target: the output running fast or slow
// is absorbed by the rate, without cuts or holes. What the rate cannot
// absorb re-anchors the queue: a backlog beyond the bound (a burst after a
// stall) is cut back to the cushion, dropping the oldest frames; running
// dry (a suspended output) gives silence until the cushion is full again.
// The first frames of a stream wait for the cushion too, and a first block
// well beyond it is cut to it. Frames cut and frames filled with silence
// are counted; the silence before the stream first flowed, and after it
// has finished, is not.
//
// The backlog that steers the rate is averaged over time between takes:
// sampled at takes only, it would depend on where the output's deliveries
// fall between them, a phase that drifts with the clocks and would make
// the lag wander by a whole delivery. The rate is set anew once per tenth
// of a second of frames taken, not at every take: each new ratio makes the
// resampler rebuild its filter table, hundreds of sines.
//
// Single-threaded; construction allocates everything, push and take
// neither allocate nor block.
class SystemAudioQueue {
public:
    // Seconds on a monotonic clock.
    using Clock = std::function<double()>;

    // Frames of `channels` interleaved samples.
    SystemAudioQueue(uint32_t rate, uint32_t channels);
    SystemAudioQueue(uint32_t rate, uint32_t channels, Clock clock);

    // At the output's clock. `samples` null means silence (a hole in the stream).
    void push(const float* samples, size_t frames);
    // At the microphone's clock. Fills exactly `frames` frames of `out`.
    void take(float* out, size_t frames);
    // No more frames will come: what is queued flows out without waiting
    // for the cushion.
    void finish() { finished_ = true; }

    size_t backlog() const { return size_; }
    uint64_t cutFrames() const { return cut_; }
    uint64_t filledFrames() const { return filled_; }

    size_t cushion() const { return cushion_; }
    size_t bound() const { return bound_; }
    // Output frames consumed per microphone frame, as applied.
    double ratio() const { return resampler_.ratio(); }

private:
    void startFlowing();
    void elapse();
    size_t resample(float* out, size_t frames);
    void drop(size_t frames);
    void append(const float* samples, size_t frames);
    double seconds(size_t frames) const { return double(frames) / rate_; }

    uint32_t rate_;
    size_t channels_;
    size_t cushion_;
    size_t bound_;
    size_t slack_;
    size_t ratioPeriod_; // frames taken between settings of the rate
    std::vector<float> buffer_; // bound_ frames, circular
    size_t head_ = 0;           // first queued frame
    size_t size_ = 0;
    bool flowing_ = false;
    bool flowed_ = false;
    bool finished_ = false;
    uint64_t cut_ = 0;
    uint64_t filled_ = 0;
    Clock clock_;
    double lastChange_; // when the backlog last changed
    struct Average {    // the backlog over time since the rate was last set
        double seconds = 0;
        double area = 0; // backlog seconds × seconds
        size_t taken = 0;
    } average_;
    RateController controller_;
    Resampler resampler_;
};

} // namespace platform
