#include "platform/pulse/exclusion_tap.h"

#include <algorithm>

#include "platform/pulse/pulse_query.h"
#include "platform/pulse/record_stream.h"

namespace platform {

struct ExclusionTap::Capture {
    ExclusionTap* tap;
    uint32_t input;
    pa_stream* stream; // null once the stream has ended
    SystemAudioQueue queue;
};

ExclusionTap::ExclusionTap(PulseLoop& loop, TapOutput output, CaptureTiming timing,
                           std::shared_ptr<const ProcessExclusion> exclusion)
    : loop_(loop), output_(std::move(output)), timing_(timing), exclusion_(std::move(exclusion)),
      scratch_(timing.chunkFrames * 2)
{
}

ExclusionTap::~ExclusionTap()
{
    pa_context_set_subscribe_callback(loop_.context(), nullptr, nullptr);
    for (auto& capture : captures_)
        close(*capture);
}

void ExclusionTap::start()
{
    pa_context* context = loop_.context();
    pa_context_set_subscribe_callback(context, &subscribed, this);
    auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK);
    for (pa_operation* operation : {pa_context_subscribe(context, mask, nullptr, nullptr),
                                    pa_context_get_sink_info_by_index(context, output_.sink, &sinkInfo, this),
                                    pa_context_get_sink_input_info_list(context, &inputInfo, this)})
        if (operation)
            pa_operation_unref(operation);
}

void ExclusionTap::take(float* out, size_t frames)
{
    std::fill_n(out, frames * 2, 0.0f);
    for (auto& capture : captures_) {
        capture->queue.take(scratch_.data(), frames);
        for (size_t i = 0; i < frames * 2; ++i)
            out[i] += gain_ * scratch_[i];
    }
}

uint64_t ExclusionTap::cutFrames() const
{
    uint64_t cut = cutByGone_;
    for (const auto& capture : captures_)
        cut += capture->queue.cutFrames();
    return cut;
}

uint64_t ExclusionTap::filledFrames() const
{
    uint64_t filled = filledByGone_;
    for (const auto& capture : captures_)
        filled += capture->queue.filledFrames();
    return filled;
}

void ExclusionTap::subscribed(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self)
{
    auto* tap = static_cast<ExclusionTap*>(self);
    tap->sweep();
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_operation* operation = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
            tap->excluded_.erase(index);
            tap->release(index);
        } else {
            // New, or changed: it may have moved onto the output or away.
            operation = pa_context_get_sink_input_info(context, index, &inputInfo, self);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == tap->output_.sink &&
               kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
        operation = pa_context_get_sink_info_by_index(context, index, &sinkInfo, self);
    }
    if (operation)
        pa_operation_unref(operation);
}

void ExclusionTap::inputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self)
{
    if (eol == 0 && info)
        static_cast<ExclusionTap*>(self)->consider(*info);
}

void ExclusionTap::sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self)
{
    if (eol != 0 || !info)
        return;
    // A stream's own capture carries its volume, but not the output's
    // software volume and mute, which the monitor does carry.
    bool software = !(info->flags & PA_SINK_HW_VOLUME_CTRL);
    float volume = software ? float(pa_sw_volume_to_linear(pa_cvolume_avg(&info->volume))) : 1.0f;
    static_cast<ExclusionTap*>(self)->gain_ = info->mute ? 0.0f : volume;
}

void ExclusionTap::consider(const pa_sink_input_info& info)
{
    if (info.sink != output_.sink) {
        release(info.index); // moved away
        return;
    }
    bool captured = std::any_of(captures_.begin(), captures_.end(),
                                [&info](const auto& c) { return c->stream && c->input == info.index; });
    if (captured || excluded_.count(info.index))
        return;
    auto pid = PulseQuery::processOf(info.proplist);
    if (pid && exclusion_ && exclusion_->excludes(*pid)) {
        excluded_.insert(info.index);
        return;
    }
    capture(info.index);
}

void ExclusionTap::capture(uint32_t input)
{
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, timing_.rate, 2};
    pa_channel_map stereo;
    pa_channel_map_init_stereo(&stereo);
    pa_stream* stream = pa_stream_new(loop_.context(), "Korvalin Capture (systém)", &spec, &stereo);
    if (!stream)
        return;
    auto capture = std::make_unique<Capture>(
        Capture{this, input, stream, SystemAudioQueue(timing_.rate)});
    pa_stream_set_monitor_stream(stream, input);
    pa_stream_set_read_callback(stream, &readable, capture.get());
    pa_stream_set_state_callback(stream, &stateChanged, capture.get());
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = uint32_t(timing_.fragmentFrames * pa_frame_size(&spec));
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, output_.monitorSource.c_str(), &attributes, flags) != 0) {
        close(*capture);
        return;
    }
    captures_.push_back(std::move(capture));
}

void ExclusionTap::readable(pa_stream* stream, size_t, void* data)
{
    pushReadable(stream, static_cast<Capture*>(data)->queue);
}

void ExclusionTap::stateChanged(pa_stream* stream, void* data)
{
    // The server ends a stream's capture when the stream ends or moves.
    auto state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        auto* capture = static_cast<Capture*>(data);
        capture->tap->release(capture->input);
    }
}

// The stream's last frames are still queued; they are mixed before the
// capture goes (sweep).
void ExclusionTap::release(uint32_t input)
{
    for (auto& capture : captures_) {
        if (capture->stream && capture->input == input) {
            close(*capture);
            capture->queue.finish();
        }
    }
}

void ExclusionTap::sweep()
{
    auto drained = [](const auto& c) { return !c->stream && c->queue.backlog() == 0; };
    for (const auto& capture : captures_) {
        if (drained(capture)) {
            cutByGone_ += capture->queue.cutFrames();
            filledByGone_ += capture->queue.filledFrames();
        }
    }
    std::erase_if(captures_, drained);
}

void ExclusionTap::close(Capture& capture)
{
    if (!capture.stream)
        return;
    pa_stream_set_read_callback(capture.stream, nullptr, nullptr);
    pa_stream_set_state_callback(capture.stream, nullptr, nullptr);
    if (pa_stream_get_state(capture.stream) != PA_STREAM_UNCONNECTED)
        pa_stream_disconnect(capture.stream);
    pa_stream_unref(capture.stream);
    capture.stream = nullptr;
}

} // namespace platform
