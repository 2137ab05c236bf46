#include "platform/pulse/exclusion_tap.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/pulse/pulse_query.h"
#include "platform/pulse/record_stream.h"

namespace platform {
namespace {

constexpr size_t channels = systemChannels;
// What a stream's buffer holds: far more than a delivery, or a lag the sum
// waits for.
constexpr double bufferSeconds = 0.5;
// A stream back within this long after it was given up was not stopped: its
// output takes its audio in bursts (a Bluetooth headset's 100-200 ms).
constexpr double burstSeconds = 0.25;

// A stream whose capture is released before the server has made it cannot
// be disconnected yet: that happens once it is ready, and the last
// reference goes when it has ended.
void disconnectWhenReady(pa_stream* stream, void*)
{
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        pa_stream_disconnect(stream);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        break;
    default:
        break;
    }
}

} // namespace

// One playback stream's capture; what it delivered is in its lane of the
// sum. A slot is free when it has no stream and its lane nothing left.
struct ExclusionTap::Capture {
    uint32_t input = PA_INVALID_INDEX;
    pa_stream* stream = nullptr; // null once the stream has ended
};

ExclusionTap::ExclusionTap(pa_context* control, pa_mainloop_api* api, pa_context* streams, TapOutput output,
                           CaptureTiming timing, std::shared_ptr<const ProcessExclusion> exclusion)
    : control_(control), api_(api), streams_(streams), output_(std::move(output)), timing_(timing),
      slots_(streamSlots), sum_(streamSlots, channels, size_t(bufferSeconds * timing.rate), 2 * timing.fragmentFrames,
                                size_t(burstSeconds * timing.rate), timing.chunkFrames)
{
    if (exclusion) {
        // Verdicts are taken up as soon as the requests' connection is dispatched.
        answers_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (answers_ >= 0)
            answersEvent_ = api_->io_new(api_, answers_, PA_IO_EVENT_INPUT, &answered, this);
        classifier_.emplace(std::move(exclusion), [fd = answers_] {
            uint64_t one = 1;
            if (fd >= 0 && write(fd, &one, sizeof one) < 0)
                return; // the counter is full: a wake-up is pending anyway
        });
    }
    excluded_.reserve(streamSlots);
    operations_.reserve(streamSlots);
}

ExclusionTap::~ExclusionTap()
{
    pa_context_set_subscribe_callback(control_, nullptr, nullptr);
    for (pa_operation* operation : operations_) {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    for (Capture& slot : slots_)
        close(slot);
    classifier_.reset();
    if (answersEvent_)
        api_->io_free(answersEvent_);
    if (answers_ >= 0)
        ::close(answers_);
}

void ExclusionTap::start()
{
    pa_context_set_subscribe_callback(control_, &subscribed, this);
    auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK);
    track(pa_context_subscribe(control_, mask, nullptr, nullptr));
    track(pa_context_get_sink_info_by_index(control_, output_.sink, &sinkInfo, this));
    track(pa_context_get_sink_input_info_list(control_, &inputInfo, this));
}

size_t ExclusionTap::mix(const Push& push, size_t micFrames)
{
    adopt(); // also here, in case the wake-up could not be set up
    for (Capture& slot : slots_)
        if (slot.stream)
            read(slot);
    return sum_.mix(push, micFrames, gain_);
}

void ExclusionTap::answered(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self)
{
    uint64_t count;
    if (::read(fd, &count, sizeof count) == sizeof count)
        static_cast<ExclusionTap*>(self)->adopt();
}

void ExclusionTap::adopt()
{
    if (!classifier_)
        return;
    for (const auto& verdict : classifier_->collect()) {
        auto slot = std::find_if(slots_.begin(), slots_.end(), [this, &verdict](const Capture& c) {
            return c.stream && !sum_.admitted(lane(c)) && c.input == verdict.input;
        });
        if (slot == slots_.end())
            continue; // gone meanwhile
        if (verdict.excluded) {
            // Bounded, so as not to allocate: one forgotten is classified
            // again if it changes (also one whose stale answer about a
            // change came after it had gone, and that is never removed).
            if (excluded_.size() == excluded_.capacity())
                excluded_.erase(excluded_.begin());
            excluded_.push_back(verdict.input);
            close(*slot);
        } else {
            sum_.admit(lane(*slot));
        }
    }
}

void ExclusionTap::read(Capture& capture)
{
    auto state = pa_stream_get_state(capture.stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        close(capture); // the server ends a stream's capture when the stream ends or moves
        return;
    }
    const void* samples;
    size_t bytes;
    while (state == PA_STREAM_READY && pa_stream_peek(capture.stream, &samples, &bytes) == 0 && bytes > 0) {
        sum_.deliver(lane(capture), static_cast<const float*>(samples), bytes / (channels * sizeof(float)));
        pa_stream_drop(capture.stream);
    }
}

// Only a new stream is asked about on the requests' connection, whose
// answers are taken up at once: what a change did (a move, a volume; a
// server reports each rate change of its own loopbacks, several a second)
// can wait for the streams' connection to be dispatched.
void ExclusionTap::subscribed(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self)
{
    auto* tap = static_cast<ExclusionTap*>(self);
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
            std::erase(tap->excluded_, index);
            tap->release(index);
        } else {
            // New, or changed: it may have moved onto the output or away.
            pa_context* asked = kind == PA_SUBSCRIPTION_EVENT_NEW ? tap->control_ : tap->streams_;
            tap->track(pa_context_get_sink_input_info(asked, index, &inputInfo, self));
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == tap->output_.sink &&
               kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
        tap->track(pa_context_get_sink_info_by_index(tap->streams_, index, &sinkInfo, self));
    }
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

// Requests still under way are cancelled when the tap goes, so that no
// answer reaches it afterwards.
void ExclusionTap::track(pa_operation* operation)
{
    if (!operation)
        return;
    std::erase_if(operations_, [](pa_operation* o) {
        if (pa_operation_get_state(o) == PA_OPERATION_RUNNING)
            return false;
        pa_operation_unref(o);
        return true;
    });
    operations_.push_back(operation);
}

void ExclusionTap::consider(const pa_sink_input_info& info)
{
    if (info.sink != output_.sink) {
        release(info.index); // moved away
        return;
    }
    bool captured = std::any_of(slots_.begin(), slots_.end(),
                                [&info](const Capture& c) { return c.stream && c.input == info.index; });
    if (captured || std::find(excluded_.begin(), excluded_.end(), info.index) != excluded_.end())
        return;
    auto pid = PulseQuery::processOf(info.proplist);
    bool classify = pid && classifier_;
    capture(info.index, !classify);
    if (classify)
        classifier_->ask(info.index, *pid);
}

void ExclusionTap::capture(uint32_t input, bool admitted)
{
    auto slot = std::find_if(slots_.begin(), slots_.end(), [this](const Capture& c) { return sum_.free(lane(c)); });
    if (slot == slots_.end())
        return;
    pa_stream* stream =
        connectSystemStream(streams_, output_.monitorSource, timing_.rate, timing_.fragmentFrames, input);
    if (!stream)
        return;
    slot->input = input;
    slot->stream = stream;
    sum_.open(lane(*slot), admitted);
}

size_t ExclusionTap::lane(const Capture& capture) const { return size_t(&capture - slots_.data()); }

void ExclusionTap::release(uint32_t input)
{
    for (Capture& slot : slots_)
        if (slot.stream && slot.input == input)
            close(slot);
}

// The stream's last frames stay in its lane until they are summed, unless
// it was never admitted.
void ExclusionTap::close(Capture& capture)
{
    pa_stream* stream = std::exchange(capture.stream, nullptr);
    if (!stream)
        return;
    sum_.end(lane(capture));
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_CREATING:
        pa_stream_set_state_callback(stream, &disconnectWhenReady, nullptr);
        return;
    case PA_STREAM_READY:
        pa_stream_disconnect(stream);
        break;
    default:
        break;
    }
    pa_stream_unref(stream);
}

} // namespace platform
