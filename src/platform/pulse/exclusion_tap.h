#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/process_exclusion.h"
#include "platform/pulse/pulse_loop.h"
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
// stream alone (pa_stream_set_monitor_stream), summed into stereo. Streams
// are taken up and let go as they start, end and move, from the server's
// sink-input events.
//
// Lives on the loop thread of the connection it is given: construct,
// start and destroy it with the loop locked; everything else runs there.
// take() allocates nothing; a stream that arrives allocates its queue on
// the loop thread, outside any delivery.
class ExclusionTap {
public:
    ExclusionTap(PulseLoop& loop, TapOutput output, CaptureTiming timing,
                 std::shared_ptr<const ProcessExclusion> exclusion);
    ~ExclusionTap();
    ExclusionTap(const ExclusionTap&) = delete;
    ExclusionTap& operator=(const ExclusionTap&) = delete;

    // Subscribes to the server's events and takes up what already plays.
    void start();
    // Fills `frames` stereo frames of `out` with the sum of every captured
    // stream; silence where a stream has nothing yet.
    void take(float* out, size_t frames);
    uint64_t cutFrames() const;
    uint64_t filledFrames() const;

private:
    struct Capture;

    static void subscribed(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void inputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    static void sinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void readable(pa_stream* stream, size_t bytes, void* capture);
    static void stateChanged(pa_stream* stream, void* capture);
    void consider(const pa_sink_input_info& info);
    void capture(uint32_t input);
    void release(uint32_t input);
    void sweep();
    void close(Capture& capture);

    PulseLoop& loop_;
    const TapOutput output_;
    const CaptureTiming timing_;
    const std::shared_ptr<const ProcessExclusion> exclusion_;
    std::vector<std::unique_ptr<Capture>> captures_;
    std::set<uint32_t> excluded_; // sink inputs left out, not looked at again
    std::vector<float> scratch_;
    float gain_ = 1.0f;           // what the output's own volume does to its monitor
    uint64_t cutByGone_ = 0;
    uint64_t filledByGone_ = 0;
};

} // namespace platform
