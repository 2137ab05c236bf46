#include "capture/downmix.h"

#include <algorithm>
#include <cstring>

#include "capture/audio_ring.h"

namespace korvalin {

void mix(const platform::AudioBufferList& list, const std::vector<ChannelRange>& ranges, float* into,
         int channel, int64_t frames)
{
    int total = 0;
    for (const ChannelRange& range : ranges)
        total += range.count;
    if (total < 1)
        return;
    const float scale = 1.0f / static_cast<float>(total);
    for (const ChannelRange& range : ranges) {
        if (range.buffer < 0 || static_cast<uint32_t>(range.buffer) >= list.mNumberBuffers)
            continue;
        const platform::AudioBuffer& buffer = list.mBuffers[range.buffer];
        if (buffer.mNumberChannels == 0 || buffer.mData == nullptr)
            continue;
        const int64_t c = buffer.mNumberChannels;
        const int64_t m = std::min<int64_t>(buffer.mDataByteSize / (4 * c), frames);
        const auto* input = static_cast<const float*>(buffer.mData);
        for (int64_t ch = range.start; ch < range.start + range.count && ch < c; ++ch)
            for (int64_t i = 0; i < m; ++i)
                into[2 * i + channel] += scale * input[i * c + ch];
    }
}

DownmixScratch::DownmixScratch(std::vector<ChannelRange> mic, std::vector<ChannelRange> system)
    : samples_(new float[2 * capacity]()), mic_(std::move(mic)), system_(std::move(system))
{
}

void DownmixScratch::deliver(const platform::AudioBufferList& input, AudioRing& ring)
{
    int64_t frames = 0;
    for (uint32_t b = 0; b < input.mNumberBuffers; ++b) {
        const platform::AudioBuffer& buffer = input.mBuffers[b];
        if (buffer.mNumberChannels != 0) {
            frames = buffer.mDataByteSize / (4 * static_cast<int64_t>(buffer.mNumberChannels));
            break;
        }
    }
    const int64_t n = std::min(frames, capacity);
    if (n < 1)
        return;
    std::memset(samples_.get(), 0, sizeof(float) * 2 * static_cast<size_t>(n));
    mix(input, mic_, samples_.get(), 0, n);
    mix(input, system_, samples_.get(), 1, n);
    ring.write(samples_.get(), n);
}

} // namespace korvalin
