#include "platform/system_audio_queue.h"

#include <algorithm>
#include <chrono>

namespace platform {
namespace {

// What the backlog keeps beyond a delivery: as much delivery jitter as a
// server shows, and the resampler's filter.
constexpr double cushionSeconds = 0.050;
// The largest delivery the cushion makes room for: a Bluetooth burst.
constexpr double largestDeliverySeconds = 0.250;
// A backlog the rate would need many seconds to absorb: a burst after a stall.
constexpr double boundSeconds = 0.500;
// How far the backlog may start beyond its anchor before it is cut to it.
constexpr double slackSeconds = 0.030;

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

SystemAudioQueue::SystemAudioQueue(uint32_t rate, uint32_t channels)
    : SystemAudioQueue(rate, channels, monotonicSeconds)
{
}

SystemAudioQueue::SystemAudioQueue(uint32_t rate, uint32_t channels, Clock clock)
    : rate_(rate), channels_(channels), cushion_(std::max<size_t>(1, size_t(cushionSeconds * rate))),
      bound_(std::max(cushion_, size_t(boundSeconds * rate))), slack_(size_t(slackSeconds * rate)),
      largestDelivery_(size_t(largestDeliverySeconds * rate)), buffer_(bound_ * channels_),
      clock_(std::move(clock)), resampler_(channels)
{
    takenAt_ = clock_();
}

void SystemAudioQueue::push(const float* samples, size_t frames)
{
    // Padding that flowed out as silence before these frames came broke the
    // output's timeline; padding they take the place of did not.
    if (padRun_ > padding_)
        controller_.interrupt();
    padRun_ = 0;
    if (delivery_ == 0 && flowing_) {
        // The first frames since the last take: a point on the output's
        // clock. The microphone's time and the backlog are read as of now,
        // not of the last take.
        double since = std::max(0.0, clock_() - takenAt_);
        controller_.observe(seconds(taken_) + since, seconds(pushed_), seconds(size_) - since * ratio());
    }
    delivery_ += frames;
    pushed_ += frames;
    if (size_t late = std::min(frames, padding_)) {
        write(size_ - padding_, samples, late);
        padding_ -= late;
        frames -= late;
        if (samples)
            samples += late * channels_;
    }
    if (size_ + frames > bound_) {
        size_t excess = size_ + frames - std::min(anchor(), bound_);
        size_t old = std::min(excess, size_);
        drop(old);
        cut_ += excess;
        if (excess > old) {
            size_t skipped = excess - old;
            frames -= skipped;
            if (samples)
                samples += skipped * channels_;
        }
        controller_.restart();
    }
    append(samples, frames);
}

void SystemAudioQueue::pad(size_t frames)
{
    frames = std::min(frames, bound_ - size_);
    append(nullptr, frames);
    padding_ += frames;
    padRun_ += frames;
}

void SystemAudioQueue::take(float* out, size_t frames)
{
    if (delivery_ > 0)
        deliveries_[deliveryCount_++ % deliveries_.size()] = delivery_;
    delivery_ = 0;
    if (!flowing_ && (finished_ ? size_ > 0 : size_ >= cushion_))
        startFlowing();
    size_t produced = 0;
    if (flowing_) {
        resampler_.setRatio(controller_.update(seconds(frames)));
        produced = resample(out, frames);
        if (produced < frames && !finished_)
            flowing_ = false;
    }
    std::fill(out + produced * channels_, out + frames * channels_, 0.0f);
    if (flowed_ && !finished_)
        filled_ += frames - produced;
    taken_ += frames;
    takenAt_ = clock_();
}

// Where the backlog starts: the cushion beyond the usual delivery.
size_t SystemAudioQueue::anchor() const
{
    auto latest = deliveries_;
    std::nth_element(latest.begin(), latest.begin() + 1, latest.end(), std::greater<>());
    return cushion_ + std::min(deliveryCount_ > 1 ? latest[1] : latest[0], largestDelivery_);
}

// After running dry, or at the start of a stream: the backlog is re-anchored.
void SystemAudioQueue::startFlowing()
{
    if (!finished_) {
        size_t at = anchor();
        if (size_ > at + slack_) {
            cut_ += size_ - at;
            drop(size_ - at);
        } else if (size_ < at) {
            if (flowed_)
                filled_ += at - size_;
            prepend(at - size_);
        }
    }
    if (flowed_)
        resampler_.reset();
    controller_.restart();
    flowing_ = flowed_ = true;
}

size_t SystemAudioQueue::resample(float* out, size_t frames)
{
    size_t produced = 0;
    while (produced < frames && size_ > 0) {
        size_t contiguous = std::min(size_, bound_ - head_);
        auto counts = resampler_.process(buffer_.data() + head_ * channels_, contiguous,
                                         out + produced * channels_, frames - produced);
        drop(counts.consumed);
        produced += counts.produced;
        if (counts.consumed == 0 && counts.produced == 0)
            break;
    }
    return produced;
}

void SystemAudioQueue::drop(size_t frames)
{
    head_ = (head_ + frames) % bound_;
    size_ -= frames;
    padding_ = std::min(padding_, size_);
}

// Silence ahead of what is queued.
void SystemAudioQueue::prepend(size_t frames)
{
    frames = std::min(frames, bound_ - size_);
    head_ = (head_ + bound_ - frames) % bound_;
    size_ += frames;
    size_t first = std::min(frames, bound_ - head_);
    std::fill_n(buffer_.data() + head_ * channels_, first * channels_, 0.0f);
    std::fill_n(buffer_.data(), (frames - first) * channels_, 0.0f);
}

void SystemAudioQueue::append(const float* samples, size_t frames)
{
    size_ += frames;
    write(size_ - frames, samples, frames);
}

// Frames `at` frames past the head; null samples are silence.
void SystemAudioQueue::write(size_t at, const float* samples, size_t frames)
{
    size_t start = (head_ + at) % bound_;
    size_t first = std::min(frames, bound_ - start);
    float* a = buffer_.data() + start * channels_;
    float* b = buffer_.data();
    if (samples) {
        std::copy_n(samples, first * channels_, a);
        std::copy_n(samples + first * channels_, (frames - first) * channels_, b);
    } else {
        std::fill_n(a, first * channels_, 0.0f);
        std::fill_n(b, (frames - first) * channels_, 0.0f);
    }
}

} // namespace platform
