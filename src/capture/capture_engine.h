#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/channel_plan.h"
#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "protocol/error_code.h"
#include "protocol/event_writer.h"
#include "segment/closed_segment.h"

namespace korvalin {

// Why a recording moves on to a continuation segment.
enum class RebuildReason { defaultInputChanged, defaultOutputChanged, sampleRateChanged };

// Everything between the audio hardware and the segment writer. Its
// operations run on the engine queue.
class CaptureEngine {
public:
    CaptureEngine(EventWriter& events, platform::SerialQueue& queue);
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // A segment is open exactly when its writer exists.
    bool hasOpenSegment() const;

    // The capture graph: microphone, process tap, private aggregate device.
    // Throws CommandError; on failure nothing stays built. Does not tear
    // down a graph it finds.
    void buildDevices(bool excludeSelf);
    // Never fails; safe when nothing is built. The aggregate goes before the tap.
    void teardownDevices();
    // The audio process object of a process, or nothing (logged).
    std::optional<platform::AudioObjectID> processObjectID(int32_t pid);
    // Listens for the aggregate's nominal rate moving away from sampleRate.
    void watchSampleRate();

    void stopIO();
    std::optional<ClosedSegment> finishSegment();
    Event closedEvent(const ClosedSegment& segment) const;
    void removeDeviceListeners();
    void handleDeviceChange(RebuildReason reason);

    EventWriter& events;
    platform::SerialQueue& queue;

    // A listener registered on an audio object, kept to remove that very one.
    struct RegisteredListener {
        platform::AudioObjectID object = 0;
        platform::AudioObjectPropertyAddress address;
        platform::AudioObjectPropertyListenerBlock listener;
    };

    // The capture graph.
    platform::AudioObjectID tapID = 0;
    platform::AudioObjectID aggregateID = 0;
    ChannelPlan plan;
    double sampleRate = 48000.0;
    std::optional<std::string> systemAudioProblem;
    bool excludingSelf = true;
    std::vector<RegisteredListener> aggregateListeners;

private:
    // Exclusion of the program's and its host's processes from the tap.
    std::vector<platform::AudioObjectID> ownProcesses();
    // Creates the tap; returns its channel count, 0 when the build goes on
    // without system audio.
    int makeTap(const platform::CATapDescription& description);
    void makeAggregate(const std::string& micUID, const std::string& tapUUID);
    void reportTapProblem(ErrorCode code, std::string message, std::optional<platform::OSStatus> status);

    // Listeners hold this weakly: they do nothing once the engine is gone.
    std::shared_ptr<CaptureEngine*> self_;
};

} // namespace korvalin
