#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pulse/exclusion_tap.h"
#include "platform/pulse/polled_connection.h"
#include "platform/system_audio_queue.h"

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
};

// A running aggregate: connections without threads of their own, one for
// the microphone and one for the system-audio streams, and the IO thread,
// which wakes once per fragment's time and dispatches the microphone's. Each
// microphone fragment first dispatches the system connection and moves what
// it has (the monitor, or the exclusion tap's aligned sum) into the one
// system-audio queue, then is delivered to the IO block together with as
// many system-audio frames (systemChannels, same rate) taken from that queue,
// so the timeline advances with the microphone whatever the output does.
// A microphone that stalls for longer than half a second is held to the
// clock (silence filled, the late burst cut; counted).
// The exclusion tap's events, queries and verdicts come on a third
// connection, which carries no audio: the IO thread serves it as its
// messages come, between the ticks, so that a new player's capture is asked
// for without waiting for a tick at every round trip.
class PulseAggregateIO {
public:
    PulseAggregateIO(std::optional<std::string> server, AggregateStreams streams, AudioDeviceIOBlock block);
    // Stops the streams: afterwards the block is not called again.
    ~PulseAggregateIO();
    PulseAggregateIO(const PulseAggregateIO&) = delete;
    PulseAggregateIO& operator=(const PulseAggregateIO&) = delete;

    // Connects and starts recording. noErr, or why it could not.
    OSStatus start();
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
    void advance(const float* mic, size_t frames);
    void deliver(const float* mic, size_t frames);
    // How far the microphone's timeline is behind the clock.
    double framesBehind() const;
    void fillStall();

    PolledConnection mic_; // dispatched by the IO thread
    AggregateStreams streams_;
    AudioDeviceIOBlock block_;
    pa_stream* micStream_ = nullptr;
    PolledConnection system_; // dispatched by the microphone's deliveries
    PolledConnection control_; // the tap's requests, served while the IO thread waits
    pa_stream* monitor_ = nullptr;
    CaptureTiming timing_;
    SystemAudioQueue queue_;
    ExclusionTap::Push pushSystem_;
    std::unique_ptr<ExclusionTap> tap_;
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
