#include "platform/pulse/record_stream.h"

#include <pulse/stream.h>

namespace platform {

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
