#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// The system-audio side of an aggregate: stereo frames from the output
// wait here until the microphone's clock asks for the same number. The
// output has its own pace (and delivers nothing while its sink is
// suspended), so taking never waits: what is missing is silence. After
// running dry the queue first refills a small cushion, so that jitter
// between the two streams does not chop the sound into pieces. A backlog
// beyond the bound (the output running ahead) is cut back to the
// cushion, dropping the oldest frames. Frames cut and frames filled with
// silence are counted.
//
// Single-threaded, and allocation-free after construction.
class SystemAudioQueue {
public:
    explicit SystemAudioQueue(uint32_t rate);

    // `samples` null means silence (a hole in the stream).
    void push(const float* samples, size_t frames);
    // Fills exactly `frames` frames of `out`.
    void take(float* out, size_t frames);
    // No more frames will come: what is queued flows out without waiting
    // for the cushion.
    void finish() { finished_ = true; }

    size_t backlog() const { return size_; }
    uint64_t cutFrames() const { return cut_; }
    uint64_t filledFrames() const { return filled_; }

private:
    void drop(size_t frames);
    void append(const float* samples, size_t frames);

    size_t cushion_;
    size_t bound_;
    std::vector<float> buffer_; // bound_ frames, circular
    size_t head_ = 0;           // first queued frame
    size_t size_ = 0;
    bool flowing_ = false;
    bool finished_ = false;
    uint64_t cut_ = 0;
    uint64_t filled_ = 0;
};

} // namespace platform
