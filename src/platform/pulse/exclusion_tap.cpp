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

// One playback stream's capture, and what it delivered that is not summed
// yet. A slot is free when it has no stream and nothing left to sum.
struct ExclusionTap::Capture {
    uint32_t input = PA_INVALID_INDEX;
    pa_stream* stream = nullptr; // null once the stream has ended
    bool admitted = false;       // its process is not left out
    bool aligned = false;        // delivering: the sum waits for it
    size_t waited = 0;           // microphone frames since it last delivered
    size_t patience = 0;         // how long the sum waits for it: its longest pause between bursts
    size_t capacity = 0;
    std::unique_ptr<float[]> frames; // capacity frames, circular
    size_t head = 0;
    size_t size = 0;

    bool free() const { return !stream && size == 0; }

    // Frames that did not fit, the oldest, are dropped; returns how many.
    size_t push(const float* samples, size_t count)
    {
        size_t dropped = count > capacity ? count - capacity : 0;
        if (samples)
            samples += dropped * channels;
        count -= dropped;
        if (size_t excess = size + count > capacity ? size + count - capacity : 0) {
            consume(excess);
            dropped += excess;
        }
        for (size_t done = 0; done < count;) {
            size_t tail = (head + size) % capacity;
            size_t n = std::min(count - done, capacity - tail);
            float* to = frames.get() + tail * channels;
            if (samples)
                std::copy_n(samples + done * channels, n * channels, to);
            else
                std::fill_n(to, n * channels, 0.0f); // a hole in the stream
            size += n;
            done += n;
        }
        return dropped;
    }

    // Adds up to `count` frames, scaled, to `out` and lets them go.
    void addTo(float* out, size_t count, float gain)
    {
        for (size_t left = std::min(count, size); left > 0;) {
            size_t n = std::min(left, capacity - head);
            const float* from = frames.get() + head * channels;
            for (size_t i = 0; i < n * channels; ++i)
                out[i] += gain * from[i];
            out += n * channels;
            consume(n);
            left -= n;
        }
    }

    void consume(size_t count)
    {
        head = (head + count) % capacity;
        size -= count;
    }
};

ExclusionTap::ExclusionTap(pa_context* control, pa_mainloop_api* api, pa_context* streams, TapOutput output,
                           CaptureTiming timing, std::shared_ptr<const ProcessExclusion> exclusion)
    : control_(control), api_(api), streams_(streams), output_(std::move(output)), timing_(timing),
      lagFrames_(2 * timing.fragmentFrames), burstFrames_(size_t(burstSeconds * timing.rate)), slots_(streamSlots),
      sum_(timing.chunkFrames * channels)
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
    for (Capture& slot : slots_) {
        slot.capacity = std::max<size_t>(1, size_t(bufferSeconds * timing.rate));
        slot.frames.reset(new float[slot.capacity * channels]); // touched only when used
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
    size_t frames = alignedFrames();
    size_t owed = 0; // the wait for a stream that has stopped, when nothing else plays
    for (Capture& slot : slots_) {
        if (!slot.stream || !slot.admitted)
            continue;
        if (!slot.aligned) { // until it is back, if it comes
            slot.waited = std::min(slot.waited + micFrames, burstFrames_ + 1);
            continue;
        }
        if (slot.size < frames)
            filled_ += frames - slot.size;
        // A stream that stops delivering (a paused player) is not waited for
        // beyond its usual pauses.
        if (slot.size == 0 && (slot.waited += micFrames) > slot.patience) {
            slot.aligned = false;
            owed = std::max(owed, slot.waited - micFrames);
        }
    }
    if (frames == 0 &&
        std::none_of(slots_.begin(), slots_.end(), [](const Capture& c) { return c.stream && c.admitted && c.aligned; }))
        return micFrames + owed; // nothing plays
    while (frames > 0) {
        size_t n = std::min(frames, timing_.chunkFrames);
        std::fill_n(sum_.data(), n * channels, 0.0f);
        for (Capture& slot : slots_)
            if (slot.admitted)
                slot.addTo(sum_.data(), n, gain_);
        push(sum_.data(), n);
        frames -= n;
    }
    return 0;
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
        auto slot = std::find_if(slots_.begin(), slots_.end(), [&verdict](const Capture& c) {
            return c.stream && !c.admitted && c.input == verdict.input;
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
            slot->size = 0;
            close(*slot);
        } else {
            admit(*slot);
        }
    }
}

// What a stream captured while its process was looked up is older than the
// sum's timeline where others play: released, it would push the sum ahead of
// the output's clock and leave a hole in every other stream. So it is cut to
// what the others hold; alone, it is heard whole.
void ExclusionTap::admit(Capture& capture)
{
    size_t most = 0;
    bool others = false;
    for (const Capture& slot : slots_)
        if (&slot != &capture && slot.stream && slot.admitted && slot.aligned) {
            others = true;
            most = std::max(most, slot.size);
        }
    if (others && capture.size > most) {
        cut_ += capture.size - most;
        capture.consume(capture.size - most);
    }
    capture.admitted = true;
}

// As many frames as every delivering stream has, unless one lags more than
// lagFrames_ behind the furthest; an ended stream's last frames count fully.
size_t ExclusionTap::alignedFrames()
{
    size_t most = 0, least = SIZE_MAX;
    for (const Capture& slot : slots_) {
        if (!slot.admitted)
            continue;
        most = std::max(most, slot.size);
        if (slot.stream && slot.aligned)
            least = std::min(least, slot.size);
    }
    if (least == SIZE_MAX)
        return most;
    return std::max(least, most > lagFrames_ ? most - lagFrames_ : 0);
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
        cut_ += capture.push(static_cast<const float*>(samples), bytes / (channels * sizeof(float)));
        // Back within a burst's pause: from now on the sum waits that long for it.
        if (!capture.aligned && capture.waited <= burstFrames_)
            capture.patience = std::max(capture.patience, capture.waited + lagFrames_);
        capture.aligned = true;
        capture.waited = 0;
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
    auto slot = std::find_if(slots_.begin(), slots_.end(), [](const Capture& c) { return c.free(); });
    if (slot == slots_.end())
        return;
    pa_stream* stream =
        connectSystemStream(streams_, output_.monitorSource, timing_.rate, timing_.fragmentFrames, input);
    if (!stream)
        return;
    slot->input = input;
    slot->stream = stream;
    slot->admitted = admitted;
    slot->aligned = false;
    slot->waited = burstFrames_ + 1; // not heard yet: its start teaches nothing
    slot->patience = lagFrames_;
    slot->head = 0;
}

// The stream's last frames stay in its slot until they are summed, unless
// it was never admitted.
void ExclusionTap::release(uint32_t input)
{
    for (Capture& slot : slots_) {
        if (slot.stream && slot.input == input) {
            close(slot);
            if (!slot.admitted)
                slot.size = 0;
        }
    }
}

void ExclusionTap::close(Capture& capture)
{
    pa_stream* stream = std::exchange(capture.stream, nullptr);
    if (!stream)
        return;
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
