#pragma once

#include <semaphore.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace korvalin {

// The hand-over between the real-time input callback (the only producer) and
// the writer thread (the only consumer): a fixed ring of stereo float frames
// behind one short lock. A full ring never blocks and never overwrites: the
// frames that do not fit are dropped and the loss is remembered at its place
// in the stream, so the consumer can put that much silence exactly there.
// The consumer may sleep until enough frames have come: the producer wakes
// it with a semaphore post, which never blocks and never allocates.
class AudioRing {
public:
    using Clock = std::chrono::steady_clock;

    struct Gap {
        int64_t afterStored = 0; // the loss follows this many stored frames
        int64_t frames = 0;
    };

    struct Block {
        int64_t frames = 0;    // frames copied by this read
        int64_t gapFrames = 0; // frames lost just before them: emit silence first
    };

    // Raised to 1024 frames when smaller.
    explicit AudioRing(int64_t capacityFrames);
    ~AudioRing();
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    // Producer: `count` interleaved frames (2 × count floats).
    void write(const float* frames, int64_t count);
    // Consumer: room for `capacity` frames (2 × capacity floats). A read
    // never crosses a loss; the next read reports it.
    Block read(float* into, int64_t capacity);

    // Consumer: returns once `frames` frames (audio or owed silence) are
    // queued, once input has ended, or at `deadline`, whichever comes first.
    void waitForFrames(int64_t frames, Clock::time_point deadline);
    // No more waiting: a waiting consumer returns at once, later waits too.
    void endInput();

    // Frames (audio or owed silence) the consumer has still to receive.
    int64_t queued() const;
    int64_t droppedFrames() const;

    const int64_t capacityFrames;

private:
    static constexpr int64_t nobodyWaits = INT64_MAX;

    int64_t queuedLocked() const;

    std::unique_ptr<float[]> storage_;
    mutable std::mutex lock_;
    int64_t writeIndex_ = 0;
    int64_t readIndex_ = 0;
    int64_t filled_ = 0;
    int64_t droppedFrames_ = 0;
    int64_t storedFrames_ = 0;
    int64_t readFrames_ = 0;
    std::vector<Gap> gaps_;
    sem_t wake_;
    // The waiting consumer's frame count; reset by whoever promises its post.
    int64_t wakeAt_ = nobodyWaits;
    bool inputEnded_ = false;
};

} // namespace korvalin
