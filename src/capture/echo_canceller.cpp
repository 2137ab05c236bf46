#include "capture/echo_canceller.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

namespace korvalin {

namespace {

int16_t toInt16(float sample)
{
    float scaled = std::nearbyint(sample * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// The lead is looked for this often while unknown or while cancelling (a
// lag may jump), and less often once a search has gone on for a while
// without finding one (headphones: it may never end).
constexpr double estimateEverySeconds = 0.25;
constexpr double laterEverySeconds = 1.0;
constexpr double searchSeconds = 30;
// Times the filter goes over the stretch the lead was found in.
constexpr int learningPasses = 3;
// The reference is read between its samples through a Lanczos kernel of
// this half width.
constexpr int halfTaps = 8;
// How the reference follows an echo path that drifts (a rate control still
// settling, a lag that slides by 0.1 ms a second): every few frames, once
// the filter has learned, the reference's delay moves by how far the echo
// comes after the filter's estimate of it. A second-order loop, so a steady
// drift leaves no lasting offset.
constexpr int trackEveryFrames = 6;
constexpr double trackAfterSeconds = 0.5;
constexpr double trackGain = 0.5, trackRateGain = 0.1; // per reading
constexpr double minimumCoherence = 0.7;
constexpr int trackReach = 8;       // frames the echo is looked for either side
constexpr double trackStep = 2;     // frames one reading counts for at most
constexpr int64_t jumpFrames = 96;  // a lead this far from the followed one is a jump (2 ms at 48 kHz)
// The filter has lost the echo when its estimate and the microphone agree
// less than this, averaged over the last readings.
constexpr double lostAgreement = 0.5, agreementWeight = 0.2;

// speexdsp's transforms are several times slower on lengths with factors
// of 3 and 5 (960 samples) than on powers of two: the frame is the power of
// two nearest 20 ms (1024 samples at 48 kHz), which saves a fifth of the
// canceller's cost.
int frameFor(double sampleRate)
{
    int frame = 1;
    while (frame * 2 <= sampleRate / 50 * std::numbers::sqrt2)
        frame *= 2;
    return frame;
}

double lanczos(double x)
{
    if (x == 0)
        return 1;
    if (std::abs(x) >= halfTaps)
        return 0;
    double pi = std::numbers::pi;
    return halfTaps * std::sin(pi * x) * std::sin(pi * x / halfTaps) / (pi * pi * x * x);
}

} // namespace

struct EchoCanceller::Speex {
    std::unique_ptr<SpeexEchoState, void (*)(SpeexEchoState*)> echo;
    std::unique_ptr<SpeexPreprocessState, void (*)(SpeexPreprocessState*)> residual;

    Speex(int frameSize, int filterLength, int rate)
        : echo(speex_echo_state_init(frameSize, filterLength), speex_echo_state_destroy),
          residual(speex_preprocess_state_init(frameSize, rate), speex_preprocess_state_destroy)
    {
        if (!echo || !residual)
            throw std::bad_alloc();
        // Without it the filter assumes 8 kHz and eats the voice.
        speex_echo_ctl(echo.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        speex_preprocess_ctl(residual.get(), SPEEX_PREPROCESS_SET_ECHO_STATE, echo.get());
        // The preprocessor suppresses residual echo only with its denoiser on;
        // a noise floor of 0 dB leaves the microphone's own noise alone.
        spx_int32_t on = 1, noFloor = 0;
        speex_preprocess_ctl(residual.get(), SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(residual.get(), SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noFloor);
    }
};

EchoCanceller::EchoCanceller(double sampleRate, Log log)
    : rate(sampleRate),
      log(std::move(log)),
      frameSize(frameFor(sampleRate)),
      maxTrail(static_cast<int64_t>(sampleRate * maxTrailSeconds)),
      targetLead(static_cast<int64_t>(sampleRate * targetLeadSeconds)),
      // Twice the reach, so a lead beyond it is recognised as such.
      estimator(sampleRate, 2 * static_cast<int64_t>(sampleRate * filterSeconds), 2 * maxTrail),
      micFrame(static_cast<size_t>(frameSize)),
      refFrame(static_cast<size_t>(frameSize)),
      outFrame(static_cast<size_t>(frameSize)),
      estimate(static_cast<size_t>(trackEveryFrames * frameSize)),
      change(estimate.size())
{
}

EchoCanceller::~EchoCanceller() = default;

std::optional<double> EchoCanceller::leadSeconds() const
{
    if (!referenceDelay)
        return std::nullopt;
    return static_cast<double>(*referenceDelay + targetLead) / rate;
}

void EchoCanceller::push(const float* stereo, int64_t frames, bool cancel)
{
    for (auto* channel : {&mic, &ref, &clean})
        channel->resize(channel->size() + static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) {
        micAt(end + i) = cleanAt(end + i) = stereo ? stereo[2 * i] : 0.0f;
        refAt(end + i) = stereo ? stereo[2 * i + 1] : 0.0f;
    }
    int64_t before = end;
    end += frames;
    bool searching = referenceDelay || end < rate * searchSeconds;
    auto every = static_cast<int64_t>(rate * (searching ? estimateEverySeconds : laterEverySeconds));
    for (int64_t upTo = (before / every + 1) * every; upTo <= end && !outOfReach; upTo += every)
        estimateLead(upTo);
    if (referenceDelay)
        filterDueFrames(cancel);
}

void EchoCanceller::estimateLead(int64_t upTo)
{
    // The newest window whose reference is all there by upTo.
    int64_t start = upTo - estimator.maxTrail() - estimator.windowFrames();
    if (start - estimator.maxLead() < base)
        return;
    // While the filter holds the echo, nothing found would be taken up.
    if (referenceDelay && agreement > lostAgreement) {
        estimator.reset();
        return;
    }
    std::optional<int64_t> lead = estimator.estimate(&micAt(start), &refAt(start));
    if (!lead)
        return;
    // Once cancelling, a lead found far from the one followed while the
    // filter has lost the echo is a lag that jumped by more than the drift
    // follows: the filter starts afresh there.
    if (referenceDelay && std::abs(*lead - (*referenceDelay + targetLead)) <= jumpFrames)
        return;
    std::string found =
        "potlačení ozvěny: systémový zvuk je od své ozvěny " + std::to_string(std::lround(*lead * 1000 / rate)) + " ms";
    if (*lead > static_cast<int64_t>(rate * filterSeconds) || *lead < -maxTrail) {
        if (referenceDelay)
            return; // what was found before stays
        outOfReach = true;
        log(found + ", mimo dosah filtru — mikrofon zůstává beze změny");
        return;
    }
    log(found);
    referenceDelay = *lead - targetLead;
    drift = driftRate = 0;
    agreement = 1;
    speex = std::make_unique<Speex>(frameSize, static_cast<int>(rate * filterSeconds), static_cast<int>(rate));
    // The filter learns from the stretch the lead was found in, a few times
    // over, so it has converged by the time the frames after it are written
    // (those written already only teach it; those not yet are cancelled anew).
    filtered = std::max(start, base + std::max<int64_t>(0, *referenceDelay) + reach());
    trackFrom = filtered + static_cast<int64_t>(rate * trackAfterSeconds);
    for (int pass = 1; pass < learningPasses; ++pass)
        for (int64_t frame = filtered; frame + frameSize + lookAhead() <= end; frame += frameSize)
            filterFrame(frame, false);
}

int64_t EchoCanceller::reach() const
{
    return targetLead + halfTaps;
}

int64_t EchoCanceller::lookAhead() const
{
    return std::max<int64_t>(0, -*referenceDelay) + reach();
}

void EchoCanceller::filterDueFrames(bool cancel)
{
    for (; filtered + frameSize + lookAhead() <= end; filtered += frameSize) {
        if (cancel || filtered < emitted) {
            filterFrame(filtered, true);
            if (filtered >= trackFrom && (filtered - trackFrom) / frameSize % trackEveryFrames == 0)
                followDrift();
        } else {
            skipped += frameSize;
        }
    }
}

void EchoCanceller::readReference(int64_t start)
{
    double position = static_cast<double>(start - *referenceDelay) - drift;
    double whole = std::floor(position), fraction = position - whole;
    auto first = static_cast<int64_t>(whole);
    if (fraction == 0) {
        for (int i = 0; i < frameSize; ++i)
            refFrame[i] = toInt16(refAt(first + i));
        return;
    }
    float kernel[2 * halfTaps];
    double sum = 0;
    for (int j = 0; j < 2 * halfTaps; ++j)
        sum += kernel[j] = static_cast<float>(lanczos(fraction - (j - halfTaps + 1)));
    for (float& k : kernel)
        k = static_cast<float>(k / sum);
    const float* from = &refAt(first - halfTaps + 1);
    for (int i = 0; i < frameSize; ++i) {
        float value = 0;
        for (int j = 0; j < 2 * halfTaps; ++j)
            value += kernel[j] * from[i + j];
        refFrame[i] = toInt16(value);
    }
}

// How much later the echo in the microphone comes than the filter's
// estimate of it (the microphone minus what the filter left), over the last
// readings' frames, moves the reference's delay.
void EchoCanceller::followDrift()
{
    auto n = static_cast<int64_t>(estimate.size());
    // Differences, so that the voice's low end (and what the filter's own
    // DC notch leaves of the near end) does not flatten the peak.
    for (int64_t i = 1; i < n; ++i)
        change[static_cast<size_t>(i)] = estimate[i] - estimate[i - 1];
    double lags[2 * trackReach + 1] = {}, micEnergy = 0, estimateEnergy = 0;
    for (int64_t i = trackReach + 1; i < n - trackReach; ++i) {
        double m = micAt(estimateEnd - n + i) - micAt(estimateEnd - n + i - 1);
        double e = change[i];
        micEnergy += m * m;
        estimateEnergy += e * e;
        for (int tau = -trackReach; tau <= trackReach; ++tau)
            lags[tau + trackReach] += m * change[i - tau];
    }
    // The far end talks, its echo is what the microphone mostly hears, and
    // the echo is found within reach.
    int best = static_cast<int>(std::max_element(lags, lags + 2 * trackReach + 1) - lags);
    if (estimateEnergy > 0 && micEnergy > 0)
        agreement += (lags[best] / std::sqrt(micEnergy * estimateEnergy) - agreement) * agreementWeight;
    if (estimateEnergy <= 0 || best == 0 || best == 2 * trackReach ||
        lags[best] < minimumCoherence * std::sqrt(micEnergy * estimateEnergy))
        return;
    double curvature = lags[best - 1] - 2 * lags[best] + lags[best + 1];
    double late = best - trackReach + (curvature < 0 ? 0.5 * (lags[best - 1] - lags[best + 1]) / curvature : 0);
    late = std::clamp(late, -trackStep, trackStep);
    driftRate += trackRateGain * late;
    drift = std::clamp(drift + trackGain * late + driftRate, -maxDrift(), maxDrift());
}

void EchoCanceller::filterFrame(int64_t start, bool write)
{
    for (int i = 0; i < frameSize; ++i)
        micFrame[i] = toInt16(micAt(start + i));
    readReference(start);
    speex_echo_cancellation(speex->echo.get(), micFrame.data(), refFrame.data(), outFrame.data());
    if (write) {
        // The filter's estimate of the echo, kept for following a drift.
        if (estimateEnd != start)
            std::fill(estimate.begin(), estimate.end(), 0.0f);
        std::copy(estimate.begin() + frameSize, estimate.end(), estimate.begin());
        for (int i = 0; i < frameSize; ++i)
            estimate[estimate.size() - static_cast<size_t>(frameSize) + i] =
                static_cast<float>(micFrame[i] - outFrame[i]) / 32768.0f;
        estimateEnd = start + frameSize;
    }
    speex_preprocess_run(speex->residual.get(), outFrame.data());
    // The suppressor's overlap-add gives out the frame before this one; a
    // frame of the stretch already written only teaches the filter.
    int64_t out = start - frameSize;
    if (!write || out < emitted)
        return;
    for (int i = 0; i < frameSize; ++i)
        cleanAt(out + i) = outFrame[i] / 32768.0f;
}

int64_t EchoCanceller::pull(float* stereo, int64_t maxFrames)
{
    int64_t ready = referenceDelay ? std::max({filtered - frameSize, emitted, flushed}) : end;
    int64_t n = std::min(maxFrames, ready - emitted);
    for (int64_t i = 0; i < n; ++i) {
        stereo[2 * i] = cleanAt(emitted + i);
        stereo[2 * i + 1] = refAt(emitted + i);
    }
    emitted += n;
    trimHistory();
    return n;
}

void EchoCanceller::flush()
{
    // What the filter has not given back yet goes out as it came.
    if (referenceDelay)
        filtered = std::max(filtered, end);
    flushed = end;
}

void EchoCanceller::trimHistory()
{
    // Kept: what the lead's estimate and the filter's reference still read.
    int64_t oldestNeeded = referenceDelay ? std::min(emitted, filtered) : emitted;
    int64_t keepFrom = oldestNeeded - estimator.windowFrames() - estimator.maxLead() - estimator.maxTrail() -
                       frameSize - reach();
    int64_t excess = keepFrom - base;
    if (excess < static_cast<int64_t>(rate))
        return;
    for (auto* channel : {&mic, &ref, &clean})
        channel->erase(channel->begin(), channel->begin() + excess);
    base = keepFrom;
}

} // namespace korvalin
