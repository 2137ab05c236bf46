#include "platform/pulse/system_capture.h"

#include <algorithm>

namespace platform {
namespace {

constexpr double connectSeconds = 2.0;

} // namespace

SystemCapture::SystemCapture(const std::optional<std::string>& server, std::optional<TapOutput> output,
                             std::shared_ptr<const ProcessExclusion> exclusion, CaptureTiming timing)
    : output_(std::move(output)), exclusion_(std::move(exclusion)), timing_(timing), system_(server),
      control_(server), queue_(timing.rate, systemChannels),
      push_([this](const float* samples, size_t frames) {
          size_t skipped = std::min(skip_, frames);
          skip_ -= skipped;
          if (frames > skipped)
              queue_.push(samples ? samples + skipped * systemChannels : nullptr, frames - skipped);
      })
{
}

SystemCapture::~SystemCapture()
{
    tap_.reset();
    if (monitor_) {
        pa_stream_disconnect(monitor_);
        pa_stream_unref(monitor_);
    }
}

void SystemCapture::start()
{
    if (!output_ || !system_.connect(connectSeconds))
        return;
    if (exclusion_) {
        if (control_.connect(connectSeconds)) {
            tap_ = std::make_unique<ExclusionTap>(control_.context(), control_.api(), system_.context(), *output_,
                                                  timing_, exclusion_);
            tap_->start();
        }
        return;
    }
    monitor_ = connectSystemStream(system_.context(), output_->monitorSource, timing_.rate, timing_.fragmentFrames);
    if (monitor_)
        system_.waitFor([this] { return pa_stream_get_state(monitor_) != PA_STREAM_CREATING; }, connectSeconds);
}

bool SystemCapture::fits(uint32_t rate)
{
    return rate == timing_.rate && (!output_ || pa_context_get_state(system_.context()) == PA_CONTEXT_READY);
}

void SystemCapture::pull(size_t micFrames)
{
    auto now = std::chrono::steady_clock::now();
    if (resumed_) {
        // Less the cushion: some of what came meanwhile was on its way at
        // the last pull already, and the queue must not run dry.
        resumed_ = false;
        auto missed = size_t(std::chrono::duration<double>(now - lastPull_).count() * timing_.rate);
        skip_ = missed > queue_.cushion() ? missed - queue_.cushion() : 0;
    }
    lastPull_ = now;
    system_.dispatch();
    if (tap_)
        queue_.pad(tap_->mix(push_, micFrames));
    else if (monitor_)
        pushReadable(monitor_, push_);
}

int SystemCapture::serve(pa_usec_t timeout, std::unique_lock<std::mutex>& lock)
{
    int served = control_.serve(timeout, lock);
    if (served > 0)
        system_.dispatch(); // sends what the tap asked for there
    return served;
}

uint64_t SystemCapture::cutFrames() const { return queue_.cutFrames() + (tap_ ? tap_->cutFrames() : 0); }

uint64_t SystemCapture::filledFrames() const { return queue_.filledFrames() + (tap_ ? tap_->filledFrames() : 0); }

} // namespace platform
