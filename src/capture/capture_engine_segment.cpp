// Opening and closing segments, and the two events that bracket them.
#include <pthread.h>
#include <thread>

#include "capture/audio_ring.h"
#include "capture/capture_engine.h"
#include "capture/core_audio.h"
#include "capture/echo_canceller.h"
#include "platform/audio_hardware.h"
#include "platform/platform.h"
#include "protocol/error_code.h"
#include "segment/segment_writer.h"
#include "tools/repair.h"

namespace korvalin {

namespace {
constexpr int64_t ringFrames = 384000; // 8 s at 48 kHz
} // namespace

void CaptureEngine::openSegment(const std::string& path)
{
    auto newRing = std::make_shared<AudioRing>(ringFrames);
    std::shared_ptr<SegmentWriter> newWriter;
    try {
        newWriter = std::make_shared<SegmentWriter>(path, sampleRate, true);
    } catch (const std::exception& error) {
        throw CommandError(ErrorCode::writerFailed,
                           "soubor " + path + " nelze otevřít: " + describeWriterError(error));
    }
    writer = newWriter;
    ring = newRing;
    prepareEchoCanceller();
    {
        std::lock_guard guard(stateLock);
        stats = SessionStats{};
        writerStopFlag = false;
    }
    auto done = std::make_shared<platform::Semaphore>(0);
    writerDone = done;
    std::thread thread([this, alive = std::weak_ptr(self_), newRing, newWriter, canceller = echo, done] {
        pthread_setname_np(pthread_self(), "korvalin.writer");
        if (!alive.expired())
            writerLoop(*newRing, newWriter, canceller);
        done->signal();
    });
    thread.detach();
}

std::optional<ClosedSegment> CaptureEngine::finishSegment()
{
    {
        std::lock_guard guard(stateLock);
        writerStopFlag = true;
    }
    if (ring)
        ring->endInput();
    if (writerDone && !writerDone->wait(platform::current().writerDeadline)) {
        events.log("writer thread se neukončil včas, uzavírám soubor i tak");
        echo.reset(); // still the late thread's
    }
    if (echo && echo->skippedFrames() > echoSkippedBefore)
        events.log("ozvěna nepotlačena v " + std::to_string(echo->skippedFrames() - echoSkippedBefore) +
                   " vzorcích — zápis nestíhal");
    writerDone.reset();
    if (!writer) {
        ring.reset();
        return std::nullopt;
    }
    int64_t dropped = ring ? ring->droppedFrames() : 0;
    if (dropped >= 1)
        events.log("zahozeno " + std::to_string(dropped) + " vzorků — zápis nestíhal");
    ClosedSegment closed;
    try {
        closed = writer->finish(dropped);
    } catch (const SegmentWriterError& error) {
        // The writer thread has reported its failed appends itself.
        if (error.kind == SegmentWriterError::Kind::finish)
            events.emit(errorEvent("writer_failed", "zápis nahrávky selhal: " + error.message, true));
        // What plays is the file up to its last whole fragment: cut it
        // there, and report what it then holds.
        if (std::optional<uint64_t> length = Repair::cutLength(writer->path()))
            Repair::truncate(writer->path(), *length);
        closed = writer->finish(dropped);
    }
    writer.reset();
    ring.reset();
    return closed;
}

Event CaptureEngine::startedEvent(const std::string& path, bool afterDeviceChange) const
{
    Event event{{"ev", "started"},
                {"path", path},
                {"sample_rate", static_cast<int64_t>(sampleRate)},
                {"channels", plan.description()},
                {"system_audio", !plan.system.empty()},
                {"echo_cancel", echo != nullptr}};
    if (afterDeviceChange)
        event["after_device_change"] = true;
    if (systemAudioProblem)
        event["system_audio_error"] = *systemAudioProblem;
    platform::AudioObjectID device = 0;
    uint32_t size = sizeof device;
    platform::AudioObjectPropertyAddress address{platform::kAudioHardwarePropertyDefaultInputDevice};
    if (platform::current().audio->getPropertyData(platform::kAudioObjectSystemObject, address, 0, nullptr, &size,
                                                   &device) == platform::noErr &&
        device != 0)
        event["mic"] = CA::string(device, platform::kAudioObjectPropertyName, platform::kAudioObjectPropertyScopeGlobal)
                           .value_or("neznámé zařízení");
    return event;
}

Event CaptureEngine::closedEvent(const ClosedSegment& segment) const
{
    return Event{{"ev", "segment_closed"},
                 {"path", segment.path},
                 {"duration_ms", segment.durationMs},
                 {"bytes", segment.bytes},
                 {"dropped_frames", segment.droppedFrames}};
}

} // namespace korvalin
