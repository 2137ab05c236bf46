#include "capture/echo_canceller.h"

#include <algorithm>
#include <cmath>
#include <new>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

namespace korvalin {

namespace {

int16_t toInt16(float sample)
{
    float scaled = std::nearbyint(sample * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// The lead is looked for this often while unknown, and less often once the
// search has gone on for a while (headphones: it may never end).
constexpr double estimateEverySeconds = 0.25;
constexpr double laterEverySeconds = 1.0;
constexpr double searchSeconds = 30;
// Times the filter goes over the stretch the lead was found in.
constexpr int learningPasses = 3;

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
      frameSize(static_cast<int>(sampleRate / 50)),
      maxTrail(static_cast<int64_t>(sampleRate * maxTrailSeconds)),
      targetLead(static_cast<int64_t>(sampleRate * targetLeadSeconds)),
      // Twice the reach, so a lead beyond it is recognised as such.
      estimator(sampleRate, 2 * static_cast<int64_t>(sampleRate * filterSeconds), 2 * maxTrail),
      micFrame(static_cast<size_t>(frameSize)),
      refFrame(static_cast<size_t>(frameSize)),
      outFrame(static_cast<size_t>(frameSize))
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
    mic.resize(mic.size() + static_cast<size_t>(frames));
    ref.resize(ref.size() + static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) {
        micAt(end + i) = stereo ? stereo[2 * i] : 0.0f;
        refAt(end + i) = stereo ? stereo[2 * i + 1] : 0.0f;
    }
    int64_t before = end;
    end += frames;
    auto every = static_cast<int64_t>(rate * (end < rate * searchSeconds ? estimateEverySeconds : laterEverySeconds));
    for (int64_t upTo = (before / every + 1) * every; upTo <= end && !referenceDelay && !outOfReach; upTo += every)
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
    std::optional<int64_t> lead = estimator.estimate(&micAt(start), &refAt(start));
    if (!lead)
        return;
    std::string found =
        "potlačení ozvěny: systémový zvuk je od své ozvěny " + std::to_string(std::lround(*lead * 1000 / rate)) + " ms";
    if (*lead > static_cast<int64_t>(rate * filterSeconds) || *lead < -maxTrail) {
        outOfReach = true;
        log(found + ", mimo dosah filtru — mikrofon zůstává beze změny");
        return;
    }
    log(found);
    referenceDelay = *lead - targetLead;
    speex = std::make_unique<Speex>(frameSize, static_cast<int>(rate * filterSeconds), static_cast<int>(rate));
    // The filter learns from the stretch the lead was found in, a few times
    // over, so it has converged by the time the frames after it are written.
    filtered = std::max({start, base + std::max<int64_t>(0, *referenceDelay)});
    int64_t lookAhead = std::max<int64_t>(0, -*referenceDelay);
    for (int pass = 1; pass < learningPasses; ++pass)
        for (int64_t frame = filtered; frame + frameSize + lookAhead <= end; frame += frameSize)
            filterFrame(frame, false);
}

void EchoCanceller::filterDueFrames(bool cancel)
{
    int64_t lookAhead = std::max<int64_t>(0, -*referenceDelay);
    for (; filtered + frameSize + lookAhead <= end; filtered += frameSize) {
        if (cancel || filtered < emitted)
            filterFrame(filtered, true);
        else
            skipped += frameSize;
    }
}

void EchoCanceller::filterFrame(int64_t start, bool write)
{
    for (int i = 0; i < frameSize; ++i) {
        micFrame[i] = toInt16(micAt(start + i));
        refFrame[i] = toInt16(refAt(start - *referenceDelay + i));
    }
    speex_echo_cancellation(speex->echo.get(), micFrame.data(), refFrame.data(), outFrame.data());
    speex_preprocess_run(speex->residual.get(), outFrame.data());
    // The suppressor's overlap-add gives out the frame before this one; a
    // frame of the stretch already written only teaches the filter.
    int64_t out = start - frameSize;
    if (!write || out < emitted)
        return;
    for (int i = 0; i < frameSize; ++i)
        micAt(out + i) = outFrame[i] / 32768.0f;
}

int64_t EchoCanceller::pull(float* stereo, int64_t maxFrames)
{
    int64_t ready = referenceDelay ? std::max({filtered - frameSize, emitted, flushed}) : end;
    int64_t n = std::min(maxFrames, ready - emitted);
    for (int64_t i = 0; i < n; ++i) {
        stereo[2 * i] = micAt(emitted + i);
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
    int64_t keepFrom =
        oldestNeeded - estimator.windowFrames() - estimator.maxLead() - estimator.maxTrail() - frameSize;
    int64_t excess = keepFrom - base;
    if (excess < static_cast<int64_t>(rate))
        return;
    mic.erase(mic.begin(), mic.begin() + excess);
    ref.erase(ref.begin(), ref.begin() + excess);
    base = keepFrom;
}

} // namespace korvalin
