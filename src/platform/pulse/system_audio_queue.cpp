#include "platform/pulse/system_audio_queue.h"

#include <algorithm>

#include <pulse/stream.h>

namespace platform {

SystemAudioQueue::SystemAudioQueue(uint32_t channels, size_t cushionFrames, size_t boundFrames)
    : channels_(channels), cushion_(std::min(cushionFrames, boundFrames)), bound_(std::max<size_t>(boundFrames, 1)),
      buffer_(bound_ * channels)
{
}

void SystemAudioQueue::push(const float* samples, size_t frames)
{
    if (size_ + frames > bound_) {
        size_t excess = size_ + frames - cushion_;
        size_t old = std::min(excess, size_);
        drop(old);
        trimmed_ += excess;
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

void pushReadable(pa_stream* stream, SystemAudioQueue& queue)
{
    const void* samples;
    size_t bytes;
    while (pa_stream_peek(stream, &samples, &bytes) == 0 && bytes > 0) {
        queue.push(static_cast<const float*>(samples), bytes / (2 * sizeof(float)));
        pa_stream_drop(stream);
    }
}

} // namespace platform
