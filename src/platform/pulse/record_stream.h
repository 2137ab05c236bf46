#pragma once

#include "platform/system_audio_queue.h"

struct pa_stream;

namespace platform {

// Moves every stereo fragment a record stream has ready into `queue`.
void pushReadable(pa_stream* stream, SystemAudioQueue& queue);

} // namespace platform
