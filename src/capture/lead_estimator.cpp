#include "capture/lead_estimator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <new>

extern "C" {
#include <libavutil/tx.h>
}

namespace korvalin {

namespace {
// The far end talks in a window when this share (30 %) of its 20-ms blocks is
// louder than -50 dBFS.
constexpr double activeShare = 0.3;
constexpr double activeLevel = 1e-5;
// A peak this many times the correlation's RMS over the searched leads is
// an echo; with no echo the highest of a few thousand leads reaches about 4.
constexpr double clearPeak = 8.0;
// Whitening would weigh the leakage of a tone as much as a voice: only
// frequencies where both channels are within 60 dB of their loudest count.
constexpr float heard = 1e-3f;

} // namespace

LeadEstimator::LeadEstimator(double sampleRate, int64_t maxLead, int64_t maxTrail)
    : factor(std::max<int64_t>(1, std::lround(sampleRate / 8000))),
      window(static_cast<int64_t>(sampleRate * windowSeconds) / factor),
      lead((maxLead + factor - 1) / factor),
      trail((maxTrail + factor - 1) / factor)
{
    size = 1;
    while (size < window + lead + trail)
        size *= 2;
    float scale = 1.0f;
    if (av_tx_init(&forward, &forwardFn, AV_TX_FLOAT_FFT, 0, size, &scale, AV_TX_UNALIGNED) < 0 ||
        av_tx_init(&inverse, &inverseFn, AV_TX_FLOAT_FFT, 1, size, &scale, AV_TX_UNALIGNED) < 0) {
        av_tx_uninit(&forward);
        throw std::bad_alloc();
    }
    buffers.resize(static_cast<size_t>(size) * 2 * 4);
    decimated.resize(static_cast<size_t>(2 * window + lead + trail));
}

LeadEstimator::~LeadEstimator()
{
    av_tx_uninit(&forward);
    av_tx_uninit(&inverse);
}

bool LeadEstimator::farEndTalks(const float* ref) const
{
    const int64_t block = 160 * factor;
    int64_t blocks = 0, active = 0;
    for (int64_t start = 0; start + block <= windowFrames(); start += block, ++blocks) {
        double energy = 0;
        for (int64_t i = start; i < start + block; ++i)
            energy += static_cast<double>(ref[i]) * ref[i];
        active += energy / block > activeLevel;
    }
    return active >= activeShare * blocks;
}

std::optional<int64_t> LeadEstimator::estimate(const float* mic, const float* ref)
{
    if (!farEndTalks(ref))
        return std::nullopt;
    // Sums of `factor` frames: a low-pass enough for speech's lead.
    std::fill(decimated.begin(), decimated.end(), 0.0f);
    float* micDecimated = decimated.data();
    float* refDecimated = decimated.data() + window;
    for (int64_t k = 0; k < window; ++k)
        for (int64_t j = 0; j < factor; ++j)
            micDecimated[k] += mic[k * factor + j];
    const float* refStart = ref - lead * factor;
    for (int64_t k = 0; k < window + lead + trail; ++k)
        for (int64_t j = 0; j < factor; ++j)
            refDecimated[k] += refStart[k * factor + j];

    auto* spectra = reinterpret_cast<std::complex<float>*>(buffers.data());
    std::complex<float>* micIn = spectra;
    std::complex<float>* refIn = spectra + size;
    std::complex<float>* micSpectrum = spectra + 2 * size;
    std::complex<float>* refSpectrum = spectra + 3 * size;
    std::fill(spectra, spectra + 2 * size, std::complex<float>());
    std::copy(micDecimated, micDecimated + window, micIn);
    std::copy(refDecimated, refDecimated + window + lead + trail, refIn);
    forwardFn(forward, micSpectrum, micIn, sizeof(std::complex<float>));
    forwardFn(forward, refSpectrum, refIn, sizeof(std::complex<float>));
    // Powers, not magnitudes: std::abs is a hypot, several times the cost.
    float micLoudest = 0, refLoudest = 0;
    for (int i = 0; i < size; ++i) {
        micLoudest = std::max(micLoudest, std::norm(micSpectrum[i]));
        refLoudest = std::max(refLoudest, std::norm(refSpectrum[i]));
    }
    for (int i = 0; i < size; ++i) {
        std::complex<float> cross = std::conj(micSpectrum[i]) * refSpectrum[i];
        bool both = std::norm(micSpectrum[i]) > heard * heard * micLoudest &&
                    std::norm(refSpectrum[i]) > heard * heard * refLoudest;
        micSpectrum[i] = both ? cross / std::sqrt(std::norm(cross)) : std::complex<float>();
    }
    std::complex<float>* correlation = refSpectrum;
    inverseFn(inverse, correlation, micSpectrum, sizeof(std::complex<float>));

    // correlation[tau] peaks where mic[i] matches ref[i - lead + tau].
    int64_t best = 0;
    double sum = 0;
    for (int64_t tau = 0; tau <= lead + trail; ++tau) {
        double value = correlation[tau].real();
        sum += value * value;
        if (value > correlation[best].real())
            best = tau;
    }
    double rms = std::sqrt(sum / static_cast<double>(lead + trail + 1));
    if (!(correlation[best].real() > clearPeak * rms)) {
        previous.reset();
        return std::nullopt;
    }
    int64_t found = lead - best;
    bool agrees = previous && std::abs(*previous - found) <= 1;
    previous = found;
    return agrees ? std::optional<int64_t>(found * factor) : std::nullopt;
}

} // namespace korvalin
