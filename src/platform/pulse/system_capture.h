#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/pulse/exclusion_tap.h"
#include "platform/pulse/polled_connection.h"
#include "platform/system_audio_queue.h"

namespace platform {

// The system-audio side of a running aggregate: the output's monitor, or,
// when processes are excluded, the exclusion tap with its connection for
// requests, and the one queue that meets the microphone's clock. It belongs
// to a process tap rather than to one aggregate: when only the microphone
// changes, the next aggregate on the same tap takes it over running, so
// system audio goes on where it was instead of starting from nothing.
//
// Not thread-safe: its owner serialises every call (the aggregate's IO
// lock), except wakeUp().
class SystemCapture {
public:
    // Without an output it captures nothing and takes silence.
    SystemCapture(const std::optional<std::string>& server, std::optional<TapOutput> output,
                  std::shared_ptr<const ProcessExclusion> exclusion, CaptureTiming timing);
    ~SystemCapture();
    SystemCapture(const SystemCapture&) = delete;
    SystemCapture& operator=(const SystemCapture&) = delete;

    // Connects and starts recording. The output may be gone already, or the
    // connection fail: system audio is then silent rather than missing.
    void start();
    // Whether it can go on with an aggregate at `rate`: same rate, and still
    // connected.
    bool fits(uint32_t rate);

    // Going on with a new microphone after a pause in pulling: what the
    // streams recorded meanwhile, which the microphone missed too, is
    // dropped at the next pull, so that what was queued goes on at once and
    // the lag behind the microphone stays as it was.
    void resume() { resumed_ = true; }
    // Moves what the streams have into the queue; `micFrames` is how many
    // microphone frames are about to be delivered.
    void pull(size_t micFrames);
    // Exactly `frames` frames at the microphone's clock.
    void take(float* out, size_t frames) { queue_.take(out, frames); }
    // Waits at most `timeout` for the tap's requests and answers (lock
    // released meanwhile) and handles them; -1 when the poll fails.
    int serve(pa_usec_t timeout, std::unique_lock<std::mutex>& lock);
    void wakeUp() { control_.wakeUp(); }

    // Since creation: frames cut from a backlog, and filled with silence.
    uint64_t cutFrames() const;
    uint64_t filledFrames() const;

private:
    std::optional<TapOutput> output_;
    std::shared_ptr<const ProcessExclusion> exclusion_;
    CaptureTiming timing_;
    PolledConnection system_;  // the streams, dispatched by the microphone's deliveries
    PolledConnection control_; // the tap's requests, served while the IO thread waits
    pa_stream* monitor_ = nullptr;
    SystemAudioQueue queue_;
    ExclusionTap::Push push_; // into the queue, after what is to be skipped
    std::unique_ptr<ExclusionTap> tap_;
    std::chrono::steady_clock::time_point lastPull_;
    bool resumed_ = false;
    size_t skip_ = 0;
};

} // namespace platform
