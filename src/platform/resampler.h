#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct SpeexResamplerState_;

namespace platform {

// Interleaved float32 resampling at a ratio that may change between any two
// calls: the filter keeps its history and its phase, so a changing ratio
// bends the pitch smoothly instead of clicking. Ratios within ±1 % only:
// there the filter's tables keep their size, so that changing the ratio
// and processing never allocate.
class Resampler {
public:
    Resampler(uint32_t rate, uint32_t channels);

    // Input frames consumed per output frame.
    void setRatio(double ratio);
    // The ratio as applied: in steps of 15 ppm, never exactly 1.
    double ratio() const;

    struct Counts {
        size_t consumed;
        size_t produced;
    };
    // Reads at most `inFrames` from `in`, writes at most `outFrames` to `out`.
    Counts process(const float* in, size_t inFrames, float* out, size_t outFrames);
    // Forgets the history, as after a gap in the input.
    void reset();

private:
    struct Free {
        void operator()(SpeexResamplerState_* state) const;
    };
    std::unique_ptr<SpeexResamplerState_, Free> state_;
    uint32_t rate_;
    uint32_t numerator_;
};

} // namespace platform
