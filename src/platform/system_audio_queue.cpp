#include "platform/system_audio_queue.h"

#include <algorithm>
#include <chrono>

namespace platform {
namespace {

constexpr size_t channels = 2;
// System audio starts flowing with this much queued: a 20-ms fragment plus
// as much delivery jitter, and a little for the resampler.
constexpr double cushionSeconds = 0.050;
// The backlog averaged over time that the rate keeps: about 10 ms below the
// cushion, since deliveries arrive on average half a fragment late.
constexpr double targetSeconds = 0.040;
// A backlog the rate would need many seconds to absorb.
constexpr double boundSeconds = 0.250;
// How far one delivery may overshoot the cushion before the stream flows;
// beyond that (a large first block) the backlog starts at the cushion.
constexpr double slackSeconds = 0.030;

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

SystemAudioQueue::SystemAudioQueue(uint32_t rate) : SystemAudioQueue(rate, monotonicSeconds) {}

SystemAudioQueue::SystemAudioQueue(uint32_t rate, Clock clock)
    : rate_(rate), cushion_(std::max<size_t>(1, size_t(cushionSeconds * rate))),
      bound_(std::max(cushion_, size_t(boundSeconds * rate))), slack_(size_t(slackSeconds * rate)), buffer_(bound_ * channels),
      clock_(std::move(clock)), lastChange_(clock_()), controller_(targetSeconds), resampler_(rate)
{
}

void SystemAudioQueue::push(const float* samples, size_t frames)
{
    elapse();
    bool over = size_ + frames > bound_;
    if (over) {
        size_t excess = size_ + frames - cushion_;
        size_t old = std::min(excess, size_);
        drop(old);
        cut_ += excess;
        if (excess > old) {
            size_t skipped = excess - old;
            frames -= skipped;
            if (samples)
                samples += skipped * channels;
        }
    }
    append(samples, frames);
    if (over)
        reanchor();
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
        else if (!finished_ && average_.seconds > 0) {
            double backlog = average_.area / average_.seconds;
            resampler_.setRatio(controller_.update(backlog, seconds(average_.taken)));
            average_ = {};
        }
    }
    std::fill(out + produced * channels, out + frames * channels, 0.0f);
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
    reanchor();
    flowing_ = flowed_ = true;
}

void SystemAudioQueue::reanchor()
{
    controller_.restart();
    average_ = {};
}

size_t SystemAudioQueue::resample(float* out, size_t frames)
{
    size_t produced = 0;
    while (produced < frames && size_ > 0) {
        size_t contiguous = std::min(size_, bound_ - head_);
        auto counts = resampler_.process(buffer_.data() + head_ * channels, contiguous,
                                         out + produced * channels, frames - produced);
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
    float* a = buffer_.data() + tail * channels;
    float* b = buffer_.data();
    if (samples) {
        std::copy_n(samples, first * channels, a);
        std::copy_n(samples + first * channels, (frames - first) * channels, b);
    } else {
        std::fill_n(a, first * channels, 0.0f);
        std::fill_n(b, (frames - first) * channels, 0.0f);
    }
    size_ += frames;
}

} // namespace platform
