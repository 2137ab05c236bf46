#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct AVTXContext;

namespace korvalin {

// How far the reference (system audio) leads its echo in the microphone,
// from the cross-correlation of the two over a stretch where the far end
// talks. The correlation is phase-transformed (each frequency weighted
// alike), so the direct sound's peak stands out of a reverberant tail and
// of the near end's voice, which is not correlated with the reference.
class LeadEstimator {
public:
    // Leads from -maxTrail to +maxLead frames are looked for, over windows
    // of windowSeconds.
    LeadEstimator(double sampleRate, int64_t maxLead, int64_t maxTrail);
    ~LeadEstimator();
    LeadEstimator(const LeadEstimator&) = delete;
    LeadEstimator& operator=(const LeadEstimator&) = delete;

    static constexpr double windowSeconds = 1.0;
    int64_t windowFrames() const { return window * factor; }
    int64_t maxLead() const { return lead * factor; }
    int64_t maxTrail() const { return trail * factor; }

    // mic[0, windowFrames()) and ref[-maxLead(), windowFrames() + maxTrail())
    // are the same moments of the two channels. The lead in frames once two
    // windows in a row agree on a clear peak; nothing while the far end is
    // too quiet or the peak does not stand out (no echo).
    std::optional<int64_t> estimate(const float* mic, const float* ref);
    void reset() { previous.reset(); }

private:
    int64_t factor;            // decimation to about 8 kHz
    int64_t window, lead, trail; // in decimated frames
    int size;                  // of the transform
    AVTXContext* forward = nullptr;
    AVTXContext* inverse = nullptr;
    void (*forwardFn)(AVTXContext*, void*, void*, ptrdiff_t) = nullptr;
    void (*inverseFn)(AVTXContext*, void*, void*, ptrdiff_t) = nullptr;
    std::vector<float> buffers;   // interleaved complex: two inputs, two spectra
    std::vector<float> decimated; // the microphone's window, then the reference's
    std::optional<int64_t> previous;

    bool farEndTalks(const float* ref) const;
};

} // namespace korvalin
