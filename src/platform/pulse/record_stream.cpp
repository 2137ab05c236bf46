#include "platform/pulse/record_stream.h"

namespace platform {

pa_stream* connectRecordStream(pa_context* context, const char* name, const std::string& source,
                               const pa_sample_spec& spec, const pa_channel_map& map, size_t fragmentFrames,
                               uint32_t monitored)
{
    pa_stream* stream = pa_stream_new(context, name, &spec, &map);
    if (!stream)
        return nullptr;
    if (monitored != PA_INVALID_INDEX)
        pa_stream_set_monitor_stream(stream, monitored);
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = uint32_t(fragmentFrames * pa_frame_size(&spec));
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attributes, flags) == 0)
        return stream;
    pa_stream_unref(stream);
    return nullptr;
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
