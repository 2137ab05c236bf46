#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <pulse/pulseaudio.h>

#include "platform/system_audio_queue.h"

namespace platform {

// A float record stream from `source` in fragments of `fragmentFrames`,
// never moved to another source, capturing only the playback stream
// `monitored` when one is given. Connecting, or null when it cannot.
pa_stream* connectRecordStream(pa_context* context, const char* name, const std::string& source,
                               const pa_sample_spec& spec, const pa_channel_map& map, size_t fragmentFrames,
                               uint32_t monitored = PA_INVALID_INDEX);

// Moves every stereo fragment a record stream has ready into `queue`.
void pushReadable(pa_stream* stream, SystemAudioQueue& queue);

} // namespace platform
