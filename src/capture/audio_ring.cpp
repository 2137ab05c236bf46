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
// storage) of `count` frames from ring slot `slot`: the storage address, the
// offset in floats into the caller's frames, and the byte count. Returns the
// slot after the last piece.
template <class Copy>
int64_t eachPiece(float* storage, int64_t capacity, int64_t slot, int64_t count, Copy copy)
{
    for (int64_t done = 0; done < count;) {
        int64_t piece = std::min(capacity - slot, count - done);
        copy(storage + slot * 2, done * 2, size_t(piece) * frameBytes);
        done += piece;
        slot = (slot + piece) % capacity;
    }
    return slot;
}
} // namespace

AudioRing::AudioRing(int64_t capacityFrames)
    : capacityFrames(std::max(capacityFrames, minimumCapacity)),
      storage_(new float[size_t(this->capacityFrames) * 2]())
{
    // Room for a few unreported losses, so an overflow rarely allocates.
    gaps_.reserve(8);
    sem_init(&wake_, 0, 0);
}

AudioRing::~AudioRing() { sem_destroy(&wake_); }

void AudioRing::write(const float* frames, int64_t count)
{
    if (count < 1)
        return;
    std::unique_lock guard(lock_);
    int64_t n = std::min(capacityFrames - filled_, count);
    writeIndex_ = eachPiece(storage_.get(), capacityFrames, writeIndex_, n,
                            [&](float* slot, int64_t at, size_t bytes) { std::memcpy(slot, frames + at, bytes); });
    filled_ += n;
    storedFrames_ += n;
    if (int64_t lost = count - n; lost > 0) {
        droppedFrames_ += lost;
        // Losses with no stored frame between them are one gap.
        if (!gaps_.empty() && gaps_.back().afterStored == storedFrames_)
            gaps_.back().frames += lost;
        else
            gaps_.push_back({storedFrames_, lost});
    }
    // A loss leaves the ring full, which wakes any waiter as well.
    if (filled_ < wakeAt_)
        return;
    wakeAt_ = nobodyWaits;
    guard.unlock(); // the woken writer must not run into the lock
    sem_post(&wake_);
}

AudioRing::Block AudioRing::read(float* into, int64_t capacity)
{
    if (capacity < 1)
        return {};
    std::lock_guard guard(lock_);
    Block block;
    auto reached = std::find_if(gaps_.begin(), gaps_.end(),
                                [&](const Gap& gap) { return gap.afterStored > readFrames_; });
    for (auto gap = gaps_.begin(); gap != reached; ++gap)
        block.gapFrames += gap->frames;
    gaps_.erase(gaps_.begin(), reached);

    int64_t n = std::min(filled_, capacity);
    if (!gaps_.empty())
        n = std::min(std::max(gaps_.front().afterStored - readFrames_, int64_t(0)), n);
    readIndex_ = eachPiece(storage_.get(), capacityFrames, readIndex_, n,
                           [&](float* slot, int64_t at, size_t bytes) { std::memcpy(into + at, slot, bytes); });
    filled_ -= n;
    readFrames_ += n;
    block.frames = n;
    return block;
}

void AudioRing::waitForFrames(int64_t frames, Clock::time_point deadline)
{
    {
        std::lock_guard guard(lock_);
        frames = std::clamp<int64_t>(frames, 1, capacityFrames);
        if (inputEnded_ || queuedLocked() >= frames)
            return;
        wakeAt_ = frames;
    }
    // The steady clock is the monotonic clock the semaphore can wait by.
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    const timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    int timedOut;
    while ((timedOut = sem_clockwait(&wake_, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
    }
    bool promised;
    {
        std::lock_guard guard(lock_);
        promised = timedOut && wakeAt_ == nobodyWaits;
        wakeAt_ = nobodyWaits;
    }
    // Timed out just as a wake-up was promised: its post follows at once.
    // Taking it keeps the count at 0, so the next wait sleeps.
    if (promised)
        while (sem_wait(&wake_) != 0 && errno == EINTR) {
        }
}

void AudioRing::endInput()
{
    std::unique_lock guard(lock_);
    inputEnded_ = true;
    if (wakeAt_ == nobodyWaits)
        return;
    wakeAt_ = nobodyWaits;
    guard.unlock();
    sem_post(&wake_);
}

int64_t AudioRing::queued() const
{
    std::lock_guard guard(lock_);
    return queuedLocked();
}

int64_t AudioRing::queuedLocked() const
{
    int64_t owed = filled_;
    for (const Gap& gap : gaps_)
        owed += gap.frames;
    return owed;
}

int64_t AudioRing::droppedFrames() const
{
    std::lock_guard guard(lock_);
    return droppedFrames_;
}

} // namespace korvalin
