#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/process_exclusion.h"
#include "platform/pulse/process_classifier.h"
#include "platform/pulse/record_stream.h"
#include <pulse/pulseaudio.h>

#include "platform/stream_sum.h"
#include "platform/system_audio_queue.h"

namespace platform {

// Where a tap listens: an output (sink) and its monitor source.
struct TapOutput {
    uint32_t sink = PA_INVALID_INDEX;
    std::string monitorSource;
};

// How the system-audio streams of an aggregate are read and queued.
struct CaptureTiming {
    uint32_t rate = 0;
    size_t fragmentFrames = 0; // asked of the server per record stream
    size_t chunkFrames = 0;    // the largest take()
};

// System audio without the sound of excluded processes: one record stream
// per playback stream (sink input) on the output, each capturing that
// stream alone (pa_stream_set_monitor_stream). The streams share the
// output's clock, so they are only aligned and summed here; the sum goes
// into the one queue that meets the microphone's clock. Streams are taken
// up and let go as they start, end and move, from the server's sink-input
// events. A new stream's process is classified off the IO thread while
// its capture is being made; what it captures meanwhile waits in the sum,
// and is dropped if the process is left out.
//
// Lives with the connections it is given: one for its requests and events,
// with its main loop, and one for the streams, which may be the same. Its
// owner serialises every call, and the connections' callbacks, with the
// tap's construction, start and destruction.
// mix() allocates nothing: the streams' buffers are made with the tap.
class ExclusionTap {
public:
    // At most this many playback streams are heard at once.
    static constexpr size_t streamSlots = 16;

    ExclusionTap(pa_context* control, pa_mainloop_api* api, pa_context* streams, TapOutput output,
                 CaptureTiming timing, std::shared_ptr<const ProcessExclusion> exclusion);
    // Cancels every request to the server still under way.
    ~ExclusionTap();
    ExclusionTap(const ExclusionTap&) = delete;
    ExclusionTap& operator=(const ExclusionTap&) = delete;

    // Subscribes to the server's events and takes up what already plays.
    void start();
    // Where the sum goes: frames of systemChannels, null for silence.
    using Push = StreamSum::Push;

    // Reads what the streams have and pushes their aligned sum. While no
    // stream plays, returns the frames of silence that keep the timeline:
    // `micFrames`, and when the last stream has just stopped, the time the
    // sum waited for it.
    size_t mix(const Push& push, size_t micFrames);
    // What the sum cut and filled (StreamSum).
    uint64_t cutFrames() const { return sum_.cutFrames(); }
    uint64_t filledFrames() const { return sum_.filledFrames(); }

private:
    struct Capture;

    static void subscribed(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void inputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    static void sinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void answered(pa_mainloop_api* api, pa_io_event* event, int fd, pa_io_event_flags_t flags, void* self);
    void adopt();
    void track(pa_operation* operation);
    void consider(const pa_sink_input_info& info);
    void capture(uint32_t input, bool admitted);
    void release(uint32_t input);
    void read(Capture& capture);
    void close(Capture& capture);
    size_t lane(const Capture& capture) const; // its lane of the sum

    pa_context* const control_;
    pa_mainloop_api* const api_;
    pa_context* const streams_;
    const TapOutput output_;
    const CaptureTiming timing_;
    int answers_ = -1; // an eventfd the classifier signals
    pa_io_event* answersEvent_ = nullptr;
    std::optional<ProcessClassifier> classifier_;
    std::vector<Capture> slots_;
    std::vector<uint32_t> excluded_; // sink inputs left out, not looked at again
    std::vector<pa_operation*> operations_;
    StreamSum sum_; // a lane per slot
    float gain_ = 1.0f; // what the output's own volume does to its monitor
};

} // namespace platform
