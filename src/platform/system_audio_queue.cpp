#include "platform/system_audio_queue.h"

#include <algorithm>

namespace platform {
namespace {

constexpr size_t channels_ = 2;
// System audio waits this long before it flows: one 20-ms fragment plus jitter.
constexpr double cushionSeconds = 0.040;
constexpr double boundSeconds = 0.250;

} // namespace

SystemAudioQueue::SystemAudioQueue(uint32_t rate)
    : cushion_(std::max<size_t>(1, size_t(cushionSeconds * rate))),
      bound_(std::max(cushion_, size_t(boundSeconds * rate))), buffer_(bound_ * channels_)
{
}

void SystemAudioQueue::push(const float* samples, size_t frames)
{
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
    }
    append(samples, frames);
}

void SystemAudioQueue::take(float* out, size_t frames)
{
    if (!flowing_ && (finished_ || size_ >= std::max<size_t>(cushion_, 1)))
        flowing_ = true;
    size_t n = flowing_ ? std::min(frames, size_) : 0;
    size_t first = std::min(n, bound_ - head_);
    std::copy_n(buffer_.data() + head_ * channels_, first * channels_, out);
    std::copy_n(buffer_.data(), (n - first) * channels_, out + first * channels_);
    drop(n);
    std::fill(out + n * channels_, out + frames * channels_, 0.0f);
    filled_ += frames - n;
    if (n < frames)
        flowing_ = false;
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
