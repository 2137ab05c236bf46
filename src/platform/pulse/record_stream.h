#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <pulse/pulseaudio.h>

#include "platform/system_audio_queue.h"

namespace platform {

// System audio is recorded in one channel, the mean of the output's: the
// server mixes it down for a stream that asks for mono, which costs far
// less than carrying every channel to the end only to average them there.
constexpr uint32_t systemChannels = 1;

// A float record stream from `source` in fragments of `fragmentFrames`,
// never moved to another source. Connecting, or null when it cannot.
pa_stream* connectRecordStream(pa_context* context, const char* name, const std::string& source,
                               const pa_sample_spec& spec, const pa_channel_map& map, size_t fragmentFrames);

// A system-audio record stream (systemChannels) from the output's monitor
// `source`, capturing only the playback stream `monitored` when one is given.
pa_stream* connectSystemStream(pa_context* context, const std::string& source, uint32_t rate, size_t fragmentFrames,
                               uint32_t monitored = PA_INVALID_INDEX);

// Hands every fragment a system-audio record stream has ready to `push`
// (frames of systemChannels; null samples for a hole).
void pushReadable(pa_stream* stream, const std::function<void(const float* samples, size_t frames)>& push);

} // namespace platform
