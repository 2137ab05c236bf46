#include "platform/resampler.h"

#include <cmath>
#include <new>

#include <speex/speex_resampler.h>

namespace platform {
namespace {

// A 1 kHz tone at a 2000-ppm ratio keeps everything else 111 dB down, for
// about 35 ns per frame and channel.
constexpr int quality = 3;
// The library keeps the filter's phase as a fraction of the denominator and
// rescales it with 32-bit products at every change of ratio, so the
// denominator must stay below 2^16; a prime one is never reduced, which
// would round the phase. Steps of 15 ppm are far below any audible pitch.
constexpr uint32_t denominator = 65521;

uint32_t numeratorFor(double ratio)
{
    auto numerator = uint32_t(std::lround(ratio * denominator));
    return numerator == denominator ? numerator + 1 : numerator;
}

} // namespace

void Resampler::Free::operator()(SpeexResamplerState_* state) const { speex_resampler_destroy(state); }

Resampler::Resampler(uint32_t rate, uint32_t channels) : rate_(rate), numerator_(numeratorFor(1.0))
{
    // Within ±1 % the filter keeps its length: a new ratio only recomputes
    // its table in place.
    int error = 0;
    state_.reset(speex_resampler_init_frac(channels, numerator_, denominator, rate, rate, quality, &error));
    if (!state_)
        throw std::bad_alloc();
}

void Resampler::setRatio(double ratio)
{
    uint32_t numerator = numeratorFor(ratio);
    if (numerator == numerator_)
        return;
    numerator_ = numerator;
    speex_resampler_set_rate_frac(state_.get(), numerator, denominator, rate_, rate_);
}

double Resampler::ratio() const { return double(numerator_) / denominator; }

Resampler::Counts Resampler::process(const float* in, size_t inFrames, float* out, size_t outFrames)
{
    auto consumed = spx_uint32_t(inFrames);
    auto produced = spx_uint32_t(outFrames);
    speex_resampler_process_interleaved_float(state_.get(), in, &consumed, out, &produced);
    return {consumed, produced};
}

void Resampler::reset() { speex_resampler_reset_mem(state_.get()); }

} // namespace platform
