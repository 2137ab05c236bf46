#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Interleaved float32 resampling at a ratio near 1 that may change between
// any two calls, for following another clock: a windowed-sinc filter read at
// a position kept in double precision, so a new ratio only changes how fast
// the position moves. The pitch bends without a click, the ratio takes any
// value (no steps), and changing it costs nothing. Ratios within ±2 % only:
// the filter is cut for a rate that hardly changes. Construction allocates
// everything; process neither allocates nor blocks.
class Resampler {
public:
    explicit Resampler(uint32_t channels);

    // Input frames consumed per output frame.
    void setRatio(double ratio);
    double ratio() const { return ratio_; }

    struct Counts {
        size_t consumed;
        size_t produced;
    };
    // Reads at most `inFrames` from `in`, writes at most `outFrames` to `out`.
    // Output lags the input by `delay` frames.
    Counts process(const float* in, size_t inFrames, float* out, size_t outFrames);
    // Forgets the history, as after a gap in the input.
    void reset();

    static constexpr size_t taps = 32;
    static constexpr size_t delay = taps / 2;

private:
    size_t channels_;
    double ratio_ = 1;
    double position_ = 0;        // of the next output frame, in frames of history_
    std::vector<float> history_; // interleaved, the filter's span and what came after
    size_t filled_ = 0;          // frames in history_
};

} // namespace platform
