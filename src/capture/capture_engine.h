#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "capture/channel_plan.h"
#include "capture/session_stats.h"
#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/event_writer.h"
#include "segment/closed_segment.h"

namespace korvalin {

class AudioRing;
class EchoCanceller;
class SegmentWriter;

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
    // down a graph it finds; a tap it finds (kept by teardownDevices) is
    // used again while it exists.
    void buildDevices(bool excludeSelf);
    // Never fails; safe when nothing is built. The aggregate goes before the
    // tap. `keepTap` (only the microphone changed): the tap stays for the
    // next build, and system audio goes on through it without a gap.
    void teardownDevices(bool keepTap = false);
    // The audio process object of a process, or nothing (logged).
    std::optional<platform::AudioObjectID> processObjectID(int32_t pid);
    // Listens for the aggregate's nominal rate moving away from sampleRate.
    void watchSampleRate();

    // Real-time input on the aggregate: each delivery is mixed into stereo
    // frames (left microphone, right system audio) and written to the ring.
    // startIO throws CommandError and never leaves a callback registered.
    void startIO();
    void stopIO();

    // Whether segments opened from now on cancel the speakers' echo in the
    // microphone; the canceller goes on across segments until a device changes.
    void setEchoCancel(EchoCancel mode) { echoMode = mode; }
    // A segment: a fresh ring, writer and writer thread. Throws CommandError.
    void openSegment(const std::string& path);
    // Stops the writer thread (at most 15 s), finishes the file; nothing when
    // no segment was open.
    std::optional<ClosedSegment> finishSegment();
    Event startedEvent(const std::string& path, bool afterDeviceChange) const;
    Event closedEvent(const ClosedSegment& segment) const;

    // The system's default input and output devices; repeated calls do nothing.
    void installDeviceListeners();
    void removeDeviceListeners();
    // Debounced: the last change within 0.4 s rebuilds the graph and goes on
    // in a continuation file. While the audio system does not answer, the
    // rebuild waits for it (the platform's audioSystemPatience).
    void handleDeviceChange(RebuildReason reason);

    // What the open (or last) segment's writer wrote so far.
    SessionStats segmentStats() const;
    // Facts of the capture graph last built.
    double captureRate() const { return sampleRate; }
    bool capturesSystemAudio() const { return !plan.system.empty(); }
    const std::optional<std::string>& systemAudioError() const { return systemAudioProblem; }

    // The engine's collaborators, given by its owner.
    EventWriter& events;
    platform::SerialQueue& queue;

private:
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

    // Input.
    std::optional<platform::AudioDeviceIOProcID> ioProcID;
    bool running = false;

    // The open segment: set from openSegment until finishSegment.
    std::shared_ptr<SegmentWriter> writer;
    std::shared_ptr<AudioRing> ring;
    std::shared_ptr<platform::Semaphore> writerDone;

    // The echo canceller of the open segment, null when it is off; it outlives
    // the segment while the devices it learned stay the default ones.
    EchoCancel echoMode = EchoCancel::off;
    std::shared_ptr<EchoCanceller> echo;
    std::tuple<platform::AudioObjectID, platform::AudioObjectID, double> echoDevices{};
    int64_t echoSkippedBefore = 0;

    // Guards the four below; held only for a few statements at a time.
    mutable std::mutex stateLock;
    bool writerStopFlag = false;
    float micPeak = 0;
    float systemPeak = 0;
    SessionStats stats;

    std::vector<RegisteredListener> deviceListeners;
    int64_t rebuildGeneration = 0;

    enum class AppendOutcome { appended, notReady, failed };

    void writerLoop(AudioRing& ring, const std::shared_ptr<SegmentWriter>& writer,
                    const std::shared_ptr<EchoCanceller>& echo);
    // Keeps, replaces or drops the canceller for the segment about to open.
    void prepareEchoCanceller();
    bool outputIsHeadphones() const;
    AppendOutcome appendBlock(const std::shared_ptr<SegmentWriter>& writer, const float* samples, int64_t frames);
    // `waitingSince`: when this rebuild began to wait for the audio system.
    void rebuild(int64_t generation, RebuildReason reason,
                 std::optional<std::chrono::steady_clock::time_point> waitingSince);
    // Whether a rebuild waits on for an audio system that does not answer,
    // within the platform's patience; the wait's start is kept in `waitingSince`.
    bool awaitAudioSystem(std::optional<std::chrono::steady_clock::time_point>& waitingSince);
    // The writer thread's share of the statistics.
    void notePeaks(const float* interleavedStereo, int64_t frames);
    // Peak levels (dBFS) since the last call, microphone and system.
    std::pair<double, double> takeLevels();

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
