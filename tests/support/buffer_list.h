#pragma once

#include <cstdint>
#include <vector>

#include "platform/audio_hardware.h"

namespace korvalin {

// Interleaved buffers with `channels` channels each, laid out as the platform
// hands them over (an empty buffer has no data pointer).
struct BufferList {
    BufferList(std::vector<int> channels, std::vector<std::vector<float>> samples)
        : data(std::move(samples)), memory(platform::audioBufferListSize(uint32_t(channels.size())))
    {
        list()->mNumberBuffers = uint32_t(channels.size());
        for (size_t b = 0; b < channels.size(); ++b)
            list()->mBuffers[b] = {uint32_t(channels[b]), uint32_t(data[b].size() * sizeof(float)),
                                   data[b].empty() ? nullptr : data[b].data()};
    }
    // `frames` silent frames in each buffer.
    BufferList(const std::vector<int>& channels, int64_t frames) : BufferList(channels, silence(channels, frames)) {}

    platform::AudioBufferList* list() { return reinterpret_cast<platform::AudioBufferList*>(memory.data()); }

    std::vector<std::vector<float>> data;
    std::vector<unsigned char> memory;

private:
    static std::vector<std::vector<float>> silence(const std::vector<int>& channels, int64_t frames)
    {
        std::vector<std::vector<float>> data;
        for (int c : channels)
            data.emplace_back(size_t(frames * c), 0.0f);
        return data;
    }
};

} // namespace korvalin
