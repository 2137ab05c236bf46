#include "platform/resampler.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace platform {
namespace {

// The filter at `phases` + 1 fractional positions, interpolated linearly in
// between: with 32 taps and a Kaiser window a 1 kHz tone keeps everything
// else about 90 dB down, at some 10 ns per frame and channel.
constexpr size_t phases = 256;
constexpr double cutoff = 0.92; // of the Nyquist frequency
constexpr double beta = 8.5;    // the Kaiser window's shape
// Frames of input taken in at once beyond the filter's span.
constexpr size_t spanFrames = 512;

using Phase = std::array<float, Resampler::taps>;

double besselI0(double x)
{
    double sum = 1, term = 1;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Row p holds the taps for an output frame p / phases of a frame past a
// history frame: tap k weighs the frame k - (taps / 2 - 1) away from it.
const std::array<Phase, phases + 1>& table()
{
    static const auto rows = [] {
        std::array<Phase, phases + 1> rows{};
        const double half = Resampler::taps / 2.0;
        for (size_t p = 0; p <= phases; ++p) {
            double fraction = double(p) / phases, total = 0;
            for (size_t k = 0; k < Resampler::taps; ++k) {
                double t = double(k) - (half - 1) - fraction;
                double x = cutoff * M_PI * t;
                double sinc = t == 0 ? 1 : std::sin(x) / x;
                double w = t / half;
                double window = std::abs(w) >= 1 ? 0 : besselI0(beta * std::sqrt(1 - w * w)) / besselI0(beta);
                rows[p][k] = float(sinc * window);
                total += sinc * window;
            }
            for (float& tap : rows[p]) // unity gain at every phase: no ripple in loudness
                tap = float(tap / total);
        }
        return rows;
    }();
    return rows;
}

} // namespace

Resampler::Resampler(uint32_t channels) : channels_(channels), history_((taps + spanFrames) * channels)
{
    table();
    reset();
}

void Resampler::setRatio(double ratio) { ratio_ = std::clamp(ratio, 0.98, 1.02); }

void Resampler::reset()
{
    // Silence before the first frame, which is then read `delay` frames late.
    std::fill(history_.begin(), history_.end(), 0.0f);
    filled_ = taps - 1;
    position_ = double(delay - 1);
}

Resampler::Counts Resampler::process(const float* in, size_t inFrames, float* out, size_t outFrames)
{
    const auto& rows = table();
    const size_t capacity = history_.size() / channels_;
    Counts counts{0, 0};
    while (counts.produced < outFrames) {
        // Frames before the filter's reach are not needed again.
        auto first = size_t(position_) - (delay - 1);
        if (first > 0) {
            std::copy(history_.begin() + first * channels_, history_.begin() + filled_ * channels_, history_.begin());
            filled_ -= first;
            position_ -= double(first);
        }
        // Only what the outputs asked for need: the rest stays queued, where it counts.
        double last = position_ + double(outFrames - counts.produced - 1) * ratio_;
        size_t needed = size_t(last) + delay + 1;
        size_t take = std::min({inFrames - counts.consumed, capacity - filled_, needed - std::min(needed, filled_)});
        std::copy_n(in + counts.consumed * channels_, take * channels_, history_.begin() + filled_ * channels_);
        filled_ += take;
        counts.consumed += take;
        size_t before = counts.produced;
        // An output frame at position p reads history frames floor(p) - 15 … floor(p) + 16.
        while (counts.produced < outFrames && size_t(position_) + delay < filled_) {
            auto index = size_t(position_);
            double where = (position_ - double(index)) * phases;
            auto row = std::min(size_t(where), phases - 1);
            auto weight = float(where - double(row));
            const Phase& a = rows[row];
            const Phase& b = rows[row + 1];
            const float* x = history_.data() + (index - (delay - 1)) * channels_;
            float* y = out + counts.produced * channels_;
            for (size_t c = 0; c < channels_; ++c) {
                // In lanes of eight, which the compiler keeps in vector registers.
                std::array<float, 8> sum{};
                for (size_t k = 0; k < taps; k += sum.size())
                    for (size_t j = 0; j < sum.size(); ++j)
                        sum[j] += (a[k + j] + weight * (b[k + j] - a[k + j])) * x[(k + j) * channels_ + c];
                y[c] = ((sum[0] + sum[1]) + (sum[2] + sum[3])) + ((sum[4] + sum[5]) + (sum[6] + sum[7]));
            }
            position_ += ratio_;
            ++counts.produced;
        }
        if (counts.produced == before && take == 0)
            break;
    }
    return counts;
}

} // namespace platform
