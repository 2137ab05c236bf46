#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/lead_estimator.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace korvalin {

// Removes the echo of what the speakers play from the microphone: the left
// channel of interleaved stereo frames is cancelled against the right
// channel's samples (system audio) with speexdsp's adaptive filter and its
// residual echo suppression. It runs on the writer thread, not the real-time
// one: it allocates, and a frame of about 20 ms costs a few hundred
// microseconds.
//
// The echo reaches the microphone some time after (or, with a large system
// audio lag, before) the same sound reaches the right channel. The canceller
// estimates that lead from the two channels and feeds the filter a reference
// that leads the echo by a few milliseconds, waiting for the reference when
// it trails. Until the lead is known, and when it is out of reach, the
// microphone passes untouched. Once known, the reference's delay follows an
// echo path that drifts by a few ms (a lag still settling), between samples.
// Frames come out in order, both channels delayed alike, so the file's
// channels stay aligned.
class EchoCanceller {
public:
    using Log = std::function<void(const std::string&)>;

    // The reference may lead its echo by up to the filter's length, or
    // trail it by up to maxTrailSeconds.
    static constexpr double filterSeconds = 0.2;
    static constexpr double maxTrailSeconds = 0.05;
    // Where the filter wants the echo: a little after its reference.
    static constexpr double targetLeadSeconds = 0.01;

    EchoCanceller(double sampleRate, Log log);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Interleaved stereo frames (left microphone, right system audio); null
    // for that many frames of silence. With cancel false (the writer is
    // behind) frames due now pass uncancelled and are counted.
    void push(const float* stereo, int64_t frames, bool cancel = true);
    // Up to maxFrames frames ready to write; returns how many.
    int64_t pull(float* stereo, int64_t maxFrames);
    // Frames pushed but not yet ready.
    int64_t held() const { return end - emitted; }
    // Makes everything pushed ready (a segment ends); the filter keeps what
    // it learned for the next segment. A device change needs a new canceller.
    void flush();

    // The reference's lead over its echo once known (negative: it trails).
    std::optional<double> leadSeconds() const;
    // Frames of microphone that passed uncancelled because the writer was behind.
    int64_t skippedFrames() const { return skipped; }

private:
    struct Speex;

    double rate;
    Log log;
    int frameSize;
    int64_t maxTrail;
    int64_t targetLead;
    std::unique_ptr<Speex> speex;
    LeadEstimator estimator;

    // Both channels from absolute frame index `base` up to `end`.
    std::vector<float> mic, ref;
    std::vector<float> clean; // the microphone as it goes out: cancelled where the filter ran
    int64_t base = 0;
    int64_t end = 0;
    // Frames before `emitted` went out; the filter has taken the microphone
    // up to `filtered`.
    int64_t emitted = 0;
    int64_t filtered = 0;
    int64_t flushed = 0; // everything before it is ready
    // How much later than the microphone the filter's reference is taken.
    std::optional<int64_t> referenceDelay;
    bool outOfReach = false;
    int64_t skipped = 0;
    std::vector<int16_t> micFrame, refFrame, outFrame;

    // How far the reference may be moved to follow a drifting echo path,
    // and what reading it between samples needs beyond that.
    double maxDrift() const { return static_cast<double>(targetLead); }
    int64_t reach() const;
    int64_t lookAhead() const;
    double drift = 0;     // frames the reference is delayed by beyond referenceDelay
    double driftRate = 0; // frames per reading
    double agreement = 1; // of the filter's estimate of the echo with the microphone, low-passed
    int64_t trackFrom = 0;
    // The filter's estimate of the echo over the last readings, up to estimateEnd.
    std::vector<float> estimate;
    std::vector<float> change; // its differences, read at every lag
    int64_t estimateEnd = 0;

    float& micAt(int64_t index) { return mic[static_cast<size_t>(index - base)]; }
    float& refAt(int64_t index) { return ref[static_cast<size_t>(index - base)]; }
    float& cleanAt(int64_t index) { return clean[static_cast<size_t>(index - base)]; }
    void estimateLead(int64_t upTo);
    void filterDueFrames(bool cancel);
    // Cancels the microphone's frame at `start`; writes the result unless only learning.
    void filterFrame(int64_t start, bool write);
    // The filter's reference for the frame at `start`, between samples when drifting.
    void readReference(int64_t start);
    void followDrift();
    void trimHistory();
};

} // namespace korvalin
