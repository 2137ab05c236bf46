#pragma once

#include <semaphore.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace korvalin {

// The hand-over between the real-time input callback (the only producer) and
// the writer thread (the only consumer): a fixed ring of stereo float frames
// on atomic counters, without a lock. A full ring never blocks and never
// overwrites: the frames that do not fit are dropped and the loss is noted at
// its place in the stream, so the consumer can put that much silence exactly
// there. Losses wait in a fixed table; when it is full, a new loss is added
// to the newest entry, so its silence comes a little early (at most the audio
// stored between the two losses) but no lost frame is ever forgotten and the
// timeline keeps its exact length. The consumer may sleep until enough frames
// have come: the producer wakes it with a semaphore post, which never blocks
// and never allocates.
class AudioRing {
public:
    using Clock = std::chrono::steady_clock;

    struct Block {
        int64_t frames = 0;    // frames copied by this read
        int64_t gapFrames = 0; // frames lost just before them: emit silence first
    };

    // Unreported losses the ring keeps apart before it merges them.
    static constexpr int64_t gapSlots = 32;

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

    // Frames (audio or owed silence) the consumer has still to receive;
    // exact on the consumer's thread.
    int64_t queued() const;
    int64_t droppedFrames() const;

    const int64_t capacityFrames;

private:
    static constexpr int64_t nobodyWaits = INT64_MAX;

    // A loss: `frames` lost after the first `afterStored` stored frames. The
    // consumer swaps `frames` for `taken` when it reports the entry, so the
    // producer can tell whether it may still add to it.
    struct Gap {
        static constexpr int64_t taken = -1;
        int64_t afterStored = 0;
        std::atomic<int64_t> frames{0};
    };

    void noteLoss(int64_t afterStored, int64_t lost);
    void wake(int64_t filled);

    std::unique_ptr<float[]> storage_;
    std::array<Gap, gapSlots> gaps_;

    // Written by the producer only.
    alignas(64) std::atomic<int64_t> storedFrames_{0};
    std::atomic<int64_t> droppedFrames_{0};
    std::atomic<int64_t> gapsNoted_{0};
    // Written by the consumer only.
    alignas(64) std::atomic<int64_t> readFrames_{0};
    std::atomic<int64_t> gapsReported_{0};
    // The waiting consumer's frame count; reset by whoever promises its post.
    alignas(64) std::atomic<int64_t> wakeAt_{nobodyWaits};
    std::atomic<bool> inputEnded_{false};
    sem_t wake_;
};

} // namespace korvalin
