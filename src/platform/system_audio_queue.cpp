#include "platform/system_audio_queue.h"

#include <algorithm>
#include <chrono>

namespace platform {
namespace {

// System audio starts flowing with this much queued: a 20-ms fragment plus
// as much delivery jitter, and a little for the resampler.
constexpr double cushionSeconds = 0.050;
// The range of the backlog averaged over time that the rate keeps. Some
// 10 ms below the cushion, since deliveries arrive on average half a fragment
// late: system audio then lags by 40 to 55 ms.
constexpr double lowestSeconds = 0.030;
constexpr double highestSeconds = 0.045;
// A backlog the rate would need many seconds to absorb.
constexpr double boundSeconds = 0.250;
// How far one delivery may overshoot the cushion before the stream flows;
// beyond that (a large first block) the backlog starts at the cushion.
constexpr double slackSeconds = 0.030;
// How long the rate is held: short against the controller's one-second
// filter, long enough that the filter table is rebuilt ten times a second
// at most.
constexpr double ratioPeriodSeconds = 0.1;

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
      ratioPeriod_(std::max<size_t>(1, size_t(ratioPeriodSeconds * rate))), buffer_(bound_ * channels_),
      clock_(std::move(clock)), lastChange_(clock_()), controller_(lowestSeconds, highestSeconds),
      resampler_(rate, channels)
{
}

void SystemAudioQueue::push(const float* samples, size_t frames)
{
    elapse();
    if (size_ + frames > bound_) {
        size_t excess = size_ + frames - cushion_;
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

void SystemAudioQueue::take(float* out, size_t frames)
{
    elapse();
    if (!flowing_ && (finished_ ? size_ > 0 : size_ >= cushion_))
        startFlowing();
    size_t produced = 0;
    if (flowing_) {
        produced = resample(out, frames);
        average_.taken += frames;
        if (produced < frames && !finished_)
            flowing_ = false;
        else if (!finished_ && average_.taken >= ratioPeriod_ && average_.seconds > 0) {
            double backlog = average_.area / average_.seconds;
            resampler_.setRatio(controller_.update(backlog, seconds(average_.taken)));
            average_ = {};
        }
    }
    std::fill(out + produced * channels_, out + frames * channels_, 0.0f);
    if (flowed_ && !finished_)
        filled_ += frames - produced;
}

// The backlog since the last change counts into the average.
void SystemAudioQueue::elapse()
{
    double now = clock_();
    double span = std::max(0.0, now - lastChange_);
    lastChange_ = now;
    average_.seconds += span;
    average_.area += span * seconds(size_);
}

// After running dry, or at the start of a stream: the backlog is re-anchored
// at the cushion.
void SystemAudioQueue::startFlowing()
{
    if (size_ > cushion_ + slack_ && !finished_) {
        cut_ += size_ - cushion_;
        drop(size_ - cushion_);
    }
    if (flowed_)
        resampler_.reset();
    average_ = {}; // the time spent waiting says nothing about the rate
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
}

void SystemAudioQueue::append(const float* samples, size_t frames)
{
    size_t tail = (head_ + size_) % bound_;
    size_t first = std::min(frames, bound_ - tail);
    float* a = buffer_.data() + tail * channels_;
    float* b = buffer_.data();
    if (samples) {
        std::copy_n(samples, first * channels_, a);
        std::copy_n(samples + first * channels_, (frames - first) * channels_, b);
    } else {
        std::fill_n(a, first * channels_, 0.0f);
        std::fill_n(b, (frames - first) * channels_, 0.0f);
    }
    size_ += frames;
}

} // namespace platform
