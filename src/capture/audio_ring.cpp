#include "capture/audio_ring.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace korvalin {

namespace {
constexpr int64_t minimumCapacity = 1024;
constexpr size_t frameBytes = 2 * sizeof(float);

// Hands `copy` the at most two pieces (before and after the end of the
// storage) of `count` frames from stream position `at`: the storage address,
// the offset in floats into the caller's frames, and the byte count.
template <class Copy>
void eachPiece(float* storage, int64_t capacity, int64_t at, int64_t count, Copy copy)
{
    for (int64_t done = 0, slot = at % capacity; done < count;) {
        int64_t piece = std::min(capacity - slot, count - done);
        copy(storage + slot * 2, done * 2, size_t(piece) * frameBytes);
        done += piece;
        slot = 0;
    }
}
} // namespace

AudioRing::AudioRing(int64_t capacityFrames)
    : capacityFrames(std::max(capacityFrames, minimumCapacity)),
      storage_(new float[size_t(this->capacityFrames) * 2]())
{
    sem_init(&wake_, 0, 0);
}

AudioRing::~AudioRing() { sem_destroy(&wake_); }

// The stored and read counters only grow; their difference is what the ring
// holds. Each side publishes its counter after copying (release) and reads the
// other's before copying (acquire), so a slot is never written and read at once.
void AudioRing::write(const float* frames, int64_t count)
{
    if (count < 1)
        return;
    const int64_t stored = storedFrames_.load(std::memory_order_relaxed);
    const int64_t filled = stored - readFrames_.load(std::memory_order_acquire);
    const int64_t n = std::min(capacityFrames - filled, count);
    eachPiece(storage_.get(), capacityFrames, stored, n,
              [&](float* slot, int64_t at, size_t bytes) { std::memcpy(slot, frames + at, bytes); });
    // Sequentially consistent, as is the look at wakeAt_ in wake(): a waiting
    // consumer either sees these frames or is seen.
    storedFrames_.store(stored + n);
    if (const int64_t lost = count - n; lost > 0) {
        droppedFrames_.store(droppedFrames_.load(std::memory_order_relaxed) + lost, std::memory_order_relaxed);
        noteLoss(stored + n, lost);
    }
    wake(filled + n);
}

// Noted after the frames before it are published and before any frame after
// it is, so a consumer that sees a later frame sees the loss as well.
void AudioRing::noteLoss(int64_t afterStored, int64_t lost)
{
    const int64_t noted = gapsNoted_.load(std::memory_order_relaxed);
    const int64_t reported = gapsReported_.load(std::memory_order_acquire);
    if (noted > reported) {
        // Losses with no stored frame between them are one gap; with the
        // table full, the newest entry takes the loss as well.
        Gap& newest = gaps_[(noted - 1) % gapSlots];
        if (newest.afterStored == afterStored || noted - reported == gapSlots) {
            int64_t owed = newest.frames.load(std::memory_order_acquire);
            while (owed != Gap::taken)
                if (newest.frames.compare_exchange_weak(owed, owed + lost, std::memory_order_acquire))
                    return;
            // Reported meanwhile, and every entry before it: the table has room.
        }
    }
    Gap& gap = gaps_[noted % gapSlots];
    gap.afterStored = afterStored;
    gap.frames.store(lost, std::memory_order_relaxed);
    gapsNoted_.store(noted + 1, std::memory_order_release);
}

void AudioRing::wake(int64_t filled)
{
    // A loss leaves the ring full, which wakes any waiter as well.
    if (filled >= wakeAt_.load() && wakeAt_.exchange(nobodyWaits) != nobodyWaits)
        sem_post(&wake_);
}

AudioRing::Block AudioRing::read(float* into, int64_t capacity)
{
    if (capacity < 1)
        return {};
    // Frames first: every loss before the frames seen is then seen too.
    const int64_t stored = storedFrames_.load(std::memory_order_acquire);
    const int64_t noted = gapsNoted_.load(std::memory_order_acquire);
    const int64_t read = readFrames_.load(std::memory_order_relaxed);
    int64_t reported = gapsReported_.load(std::memory_order_relaxed);
    Block block;
    // The count moves on before the next entry is taken: a producer that
    // finds an entry taken knows that every earlier one is free.
    for (; reported < noted && gaps_[reported % gapSlots].afterStored <= read; ++reported) {
        block.gapFrames += gaps_[reported % gapSlots].frames.exchange(Gap::taken, std::memory_order_acq_rel);
        gapsReported_.store(reported + 1, std::memory_order_release);
    }
    int64_t n = std::min(stored - read, capacity);
    if (reported < noted)
        n = std::min(std::max(gaps_[reported % gapSlots].afterStored - read, int64_t(0)), n);
    eachPiece(storage_.get(), capacityFrames, read, n,
              [&](float* slot, int64_t at, size_t bytes) { std::memcpy(into + at, slot, bytes); });
    readFrames_.store(read + n, std::memory_order_release);
    block.frames = n;
    return block;
}

void AudioRing::waitForFrames(int64_t frames, Clock::time_point deadline)
{
    const int64_t wanted = std::clamp<int64_t>(frames, 1, capacityFrames);
    wakeAt_.store(wanted);
    if (!inputEnded_.load() && queued() < wanted) {
        // The steady clock is the monotonic clock the semaphore can wait by.
        const int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
        const timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        int status;
        while ((status = sem_clockwait(&wake_, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
        }
        if (status == 0)
            return; // the poster withdrew the wish
    }
    // Not woken by a post. If one was promised meanwhile, it follows at once:
    // taking it keeps the count at 0, so the next wait sleeps.
    if (wakeAt_.exchange(nobodyWaits) == nobodyWaits)
        while (sem_wait(&wake_) != 0 && errno == EINTR) {
        }
}

void AudioRing::endInput()
{
    inputEnded_.store(true);
    if (wakeAt_.exchange(nobodyWaits) != nobodyWaits)
        sem_post(&wake_);
}

int64_t AudioRing::queued() const
{
    int64_t owed = storedFrames_.load() - readFrames_.load(std::memory_order_acquire);
    const int64_t noted = gapsNoted_.load(std::memory_order_acquire);
    for (int64_t gap = gapsReported_.load(std::memory_order_acquire); gap < noted; ++gap)
        owed += std::max(gaps_[gap % gapSlots].frames.load(std::memory_order_relaxed), int64_t(0));
    return owed;
}

int64_t AudioRing::droppedFrames() const { return droppedFrames_.load(std::memory_order_relaxed); }

} // namespace korvalin
