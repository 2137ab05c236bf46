#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/channel_plan.h"
#include "platform/audio_hardware.h"

namespace korvalin {

class AudioRing;

// Adds the mean of the planned input channels into one channel (0 left,
// 1 right) of `frames` interleaved stereo frames. Missing buffers or
// channels only lower the level; samples are not clamped.
void mix(const platform::AudioBufferList& list, const std::vector<ChannelRange>& ranges, float* into,
         int channel, int64_t frames);

// The input callback's working memory and its copies of the plan: built once
// when input starts, so a delivery allocates nothing.
class DownmixScratch {
public:
    static constexpr int64_t capacity = 48000;

    DownmixScratch(std::vector<ChannelRange> mic, std::vector<ChannelRange> system);

    // Mixes one delivery into stereo frames and hands them to the ring.
    void deliver(const platform::AudioBufferList& input, AudioRing& ring);

private:
    std::unique_ptr<float[]> samples_;
    std::vector<ChannelRange> mic_;
    std::vector<ChannelRange> system_;
};

} // namespace korvalin
