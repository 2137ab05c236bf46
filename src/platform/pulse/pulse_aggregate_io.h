#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pulse/exclusion_tap.h"
#include "platform/pulse/polled_connection.h"
#include "platform/pulse/system_capture.h"

namespace platform {

// What a running aggregate records: the microphone source, which is the
// clock, and optionally an output: its whole monitor, or, when processes are
// excluded, each of its other playback streams alone.
struct AggregateStreams {
    std::string micSource;
    uint32_t micChannels = 0;
    pa_channel_map micMap{};
    uint32_t rate = 0;
    std::optional<TapOutput> output;
    std::shared_ptr<const ProcessExclusion> exclusion;
    std::function<void(const std::string&)> log; // told which priority the capture thread got
};

// A running aggregate: a connection without a thread of its own for the
// microphone, the system-audio side (SystemCapture, new or carried over
// from the aggregate before it on the same tap), and the IO thread, which
// wakes once per fragment's time and dispatches the microphone's. Each
// microphone fragment first has the system side move what it has into its
// queue, then is delivered to the IO block together with as many
// system-audio frames (systemChannels, same rate) taken from that queue,
// so the timeline advances with the microphone whatever the output does.
// A microphone that stalls for longer than half a second is held to the
// clock (silence filled, the late burst cut; counted). Between the ticks
// the IO thread serves the exclusion tap's requests as their answers come,
// so that a new player's capture is asked for without waiting for a tick
// at every round trip.
class PulseAggregateIO {
public:
    // `carried`: a system side to go on with (it fits the streams' rate).
    PulseAggregateIO(std::optional<std::string> server, AggregateStreams streams, AudioDeviceIOBlock block,
                     std::unique_ptr<SystemCapture> carried = nullptr);
    // Stops the streams: afterwards the block is not called again.
    ~PulseAggregateIO();
    PulseAggregateIO(const PulseAggregateIO&) = delete;
    PulseAggregateIO& operator=(const PulseAggregateIO&) = delete;

    // Connects and starts recording. noErr, or why it could not.
    OSStatus start();
    // Stops the IO thread and hands over the system side, still recording.
    std::unique_ptr<SystemCapture> releaseSystem();
    // System-audio frames cut from a backlog, and filled with silence, so far.
    uint64_t cutFrames();
    uint64_t filledFrames();
    // Microphone frames filled with silence while its server stalled, and
    // cut from the late burst that followed, so far.
    uint64_t micFilledFrames();
    uint64_t micCutFrames();
    bool recordsSystemAudio() const { return streams_.output.has_value(); }
    uint32_t rate() const { return streams_.rate; }

private:
    using Clock = std::chrono::steady_clock;
    static void micReadable(pa_stream* stream, size_t bytes, void* self);
    void run();
    void stop();
    void advance(const float* mic, size_t frames);
    void deliver(const float* mic, size_t frames);
    // How far the microphone's timeline is behind the clock.
    double framesBehind() const;
    void fillStall();

    PolledConnection mic_; // dispatched by the IO thread
    AggregateStreams streams_;
    AudioDeviceIOBlock block_;
    pa_stream* micStream_ = nullptr;
    CaptureTiming timing_;
    bool carried_; // the system side already ran
    std::unique_ptr<SystemCapture> system_;
    uint64_t cutBefore_; // the system side's counts when this aggregate took it
    uint64_t filledBefore_;
    std::vector<float> systemChunk_;
    std::vector<float> micSilence_;
    std::vector<unsigned char> list_;
    double sampleTime_ = 0;
    bool micStarted_ = false;
    Clock::time_point micStart_; // where the clock puts the timeline's start
    bool micStalled_ = false;
    size_t micOwed_ = 0; // filled, not yet cut from a late burst
    uint64_t micFilled_ = 0;
    uint64_t micCut_ = 0;
    std::mutex mutex_; // held by the IO thread but while it waits
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace platform
