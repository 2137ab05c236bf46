#include "platform/pulse/record_stream.h"

#include <memory>

namespace platform {
namespace {

pa_stream* connect(pa_stream* stream, const std::string& source, size_t fragmentFrames, uint32_t monitored)
{
    if (!stream)
        return nullptr;
    if (monitored != PA_INVALID_INDEX)
        pa_stream_set_monitor_stream(stream, monitored);
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = uint32_t(fragmentFrames * pa_frame_size(pa_stream_get_sample_spec(stream)));
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attributes, flags) == 0)
        return stream;
    pa_stream_unref(stream);
    return nullptr;
}

} // namespace

pa_stream* connectRecordStream(pa_context* context, const char* name, const std::string& source,
                               const pa_sample_spec& spec, const pa_channel_map& map, size_t fragmentFrames)
{
    return connect(pa_stream_new(context, name, &spec, &map), source, fragmentFrames, PA_INVALID_INDEX);
}

pa_stream* connectSystemStream(pa_context* context, const std::string& source, uint32_t rate, size_t fragmentFrames,
                               uint32_t monitored)
{
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, uint8_t(systemChannels)};
    pa_channel_map mono;
    pa_channel_map_init_mono(&mono);
    // PipeWire (0.3.65) mixes stereo down to mono at 1/√2 a channel, 3 dB
    // above the mean, unless asked to normalise; PulseAudio takes the mean.
    std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)> properties(pa_proplist_new(), &pa_proplist_free);
    pa_proplist_sets(properties.get(), "channelmix.normalize", "true");
    pa_stream* stream = pa_stream_new_with_proplist(context, "Korvalin Capture (systém)", &spec, &mono,
                                                    properties.get());
    return connect(stream, source, fragmentFrames, monitored);
}

void pushReadable(pa_stream* stream, const std::function<void(const float* samples, size_t frames)>& push)
{
    const void* samples;
    size_t bytes;
    while (pa_stream_peek(stream, &samples, &bytes) == 0 && bytes > 0) {
        push(static_cast<const float*>(samples), bytes / (systemChannels * sizeof(float)));
        pa_stream_drop(stream);
    }
}

} // namespace platform
