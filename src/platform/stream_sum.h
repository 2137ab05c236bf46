#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

// The sum of streams that play on one output, each captured on its own and
// delivered in its own rhythm. They share the output's clock, so the sum
// only aligns them: it goes as far as every delivering stream has come,
// waiting for one that lags at most `lagFrames` behind the furthest (longer
// for one that is known to pause between bursts), and fills what one that
// lags further still lacks. What it sums is the output's timeline: it never
// goes further than the established streams have come, so frames that come
// late, or that a new stream brings from before the sum's present, never
// move it.
//
// Streams live in numbered lanes. Nothing allocates after construction.
class StreamSum {
public:
    // Interleaved frames of `channels`, null for silence.
    using Push = std::function<void(const float* samples, size_t frames)>;

    StreamSum(size_t lanes, uint32_t channels, size_t capacity, size_t lagFrames, size_t burstFrames,
              size_t chunkFrames);
    ~StreamSum();
    StreamSum(const StreamSum&) = delete;
    StreamSum& operator=(const StreamSum&) = delete;

    // A new stream in a free lane; until admitted it is held, not summed.
    void open(size_t lane, bool admitted);
    void admit(size_t lane);
    // The stream has ended: its last frames are still summed if it was
    // admitted, and dropped if not.
    void end(size_t lane);
    bool admitted(size_t lane) const;
    // No stream, and nothing left to sum.
    bool free(size_t lane) const;
    void deliver(size_t lane, const float* samples, size_t frames);

    // Pushes the aligned sum, scaled by `gain`. While no stream plays,
    // returns the frames of silence that keep the timeline: `micFrames`, and
    // when the last stream has just stopped, the time the sum waited for it
    // (what ended streams left takes the place of some of that silence).
    size_t mix(const Push& push, size_t micFrames, float gain);

    // Frames lost by a lane overflowing or coming from before the sum's
    // present, and frames of a lagging stream filled with silence.
    uint64_t cutFrames() const { return cut_; }
    uint64_t filledFrames() const { return filled_; }

private:
    struct Lane;

    bool established(const Lane& lane) const;
    size_t ahead(const Lane& lane) const;
    std::optional<size_t> furthest() const;
    void trimNew(size_t most);
    size_t alignedFrames(std::optional<size_t> settled) const;
    bool playing() const;
    void sum(const Push& push, size_t frames, float gain);

    const uint32_t channels_;
    const size_t lagFrames_;
    const size_t burstFrames_;
    std::vector<Lane> lanes_;
    std::vector<float> sum_;
    uint64_t cut_ = 0;
    uint64_t filled_ = 0;
};

} // namespace platform
