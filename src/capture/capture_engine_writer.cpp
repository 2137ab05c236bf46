// The writer thread: ring → (echo canceller) → segment file, silence for
// lost frames, levels.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>

#include "capture/audio_ring.h"
#include "capture/capture_engine.h"
#include "capture/echo_canceller.h"
#include "tools/level.h"
#include "segment/segment_writer.h"

namespace korvalin {

namespace {
constexpr int64_t blockFrames = 48000;
// Audio that waits in the ring is not in the file yet: the writer takes it
// over once this much has come, so a crash loses little beyond the fragment
// being filled, and otherwise sleeps until then or the next level report.
constexpr double handOverSeconds = 0.02;
constexpr auto busyRetry = std::chrono::milliseconds(5);
constexpr auto levelsInterval = std::chrono::milliseconds(200);
// With more than this waiting in the ring the writer is behind: the echo
// canceller lets the microphone through uncancelled until it has caught up.
constexpr double behindSeconds = 1.0;
using Clock = std::chrono::steady_clock;
} // namespace

void CaptureEngine::writerLoop(AudioRing& ring, const std::shared_ptr<SegmentWriter>& writer,
                               const std::shared_ptr<EchoCanceller>& echo)
{
    // Neither takes memory before it is used: the read buffer is touched only
    // as far as reads reach, and calloc's fresh pages read as zeros.
    const auto readBuffer = std::make_unique_for_overwrite<float[]>(2 * blockFrames);
    const std::unique_ptr<float, decltype(&std::free)> silence(
        static_cast<float*>(std::calloc(2 * blockFrames, sizeof(float))), &std::free);
    if (!silence)
        throw std::bad_alloc();
    const auto handOverFrames = static_cast<int64_t>(writer->sampleRate() * handOverSeconds);
    int64_t pendingSilence = 0;
    int64_t pendingBlock = 0;
    // With the canceller, what the ring gave goes in first (a gap as
    // silence, a block at most at a time) and what it gives back is written.
    const auto echoInput = std::make_unique_for_overwrite<float[]>(echo ? 2 * blockFrames : 0);
    int64_t echoGap = 0, echoFrames = 0;
    const auto behindFrames = static_cast<int64_t>(writer->sampleRate() * behindSeconds);
    auto nextLevels = Clock::now() + levelsInterval;

    for (;;) {
        // The engine gave up waiting for this thread and finished the file:
        // the segment is closed and reported, nothing is left to do here.
        if (writer->isFinished())
            return;
        bool stopping;
        {
            std::lock_guard guard(stateLock);
            stopping = writerStopFlag;
        }
        bool fed = false; // the canceller took input: no waiting before the next round
        if (pendingSilence == 0 && pendingBlock == 0 && !echo) {
            AudioRing::Block block = ring.read(readBuffer.get(), blockFrames);
            pendingBlock = block.frames;
            pendingSilence = block.gapFrames;
        } else if (pendingSilence == 0 && pendingBlock == 0) {
            if (echoGap == 0 && echoFrames == 0) {
                AudioRing::Block block = ring.read(echoInput.get(), blockFrames);
                echoGap = block.gapFrames;
                echoFrames = block.frames;
            }
            if (echoGap >= 1) {
                int64_t n = std::min(echoGap, blockFrames);
                echo->push(nullptr, n);
                echoGap -= n;
                fed = true;
            } else if (echoFrames >= 1) {
                echo->push(echoInput.get(), echoFrames, ring.queued() < behindFrames);
                echoFrames = 0;
                fed = true;
            }
            bool drained = stopping && ring.queued() == 0 && echoGap == 0 && echoFrames == 0;
            if (drained)
                echo->flush();
            pendingBlock = echo->pull(readBuffer.get(), blockFrames);
        }

        enum { worked, busy, idle } outcome = idle;
        if (pendingSilence >= 1 || pendingBlock >= 1) {
            bool isSilence = pendingSilence >= 1;
            int64_t n = isSilence ? std::min(pendingSilence, blockFrames) : pendingBlock;
            const float* samples = isSilence ? silence.get() : readBuffer.get();
            AppendOutcome appended = appendBlock(writer, samples, n);
            if (appended == AppendOutcome::failed)
                return;
            if (appended == AppendOutcome::appended) {
                notePeaks(samples, n);
                (isSilence ? pendingSilence : pendingBlock) -= n;
                outcome = worked;
            } else {
                outcome = busy;
            }
        }

        if (Clock::now() >= nextLevels) {
            auto [mic, system] = takeLevels();
            events.emit(Event{{"ev", "levels"}, {"mic", roundedLevel(mic)}, {"sys", roundedLevel(system)}});
            nextLevels = Clock::now() + levelsInterval;
        }

        if (pendingSilence == 0 && pendingBlock == 0 && stopping && ring.queued() == 0 &&
            (!echo || (echoGap == 0 && echoFrames == 0 && echo->held() == 0)))
            return;
        if (outcome == busy)
            std::this_thread::sleep_for(busyRetry);
        else if (outcome == idle && !fed)
            ring.waitForFrames(handOverFrames, nextLevels);
    }
}

CaptureEngine::AppendOutcome CaptureEngine::appendBlock(const std::shared_ptr<SegmentWriter>& writer,
                                                        const float* samples, int64_t frames)
{
    try {
        return writer->append(samples, frames) ? AppendOutcome::appended : AppendOutcome::notReady;
    } catch (const std::exception& error) {
        // Finished without this thread: no failure of the recording.
        if (writer->isFinished())
            return AppendOutcome::failed;
        std::string message = describeWriterError(error);
        events.emit(errorEvent("writer_failed", "zápis nahrávky selhal: " + message, true));
        events.emit(Event{{"ev", "levels"}, {"mic", -120.0}, {"sys", -120.0}});
        // Only the segment of the writer that failed is stopped, never one
        // opened after it.
        queue.async([this, alive = std::weak_ptr(self_), failed = std::weak_ptr(writer), message] {
            if (alive.expired() || !hasOpenSegment() || this->writer != failed.lock())
                return;
            events.log("ukončuji segment kvůli chybě zápisu: " + message);
            stopIO();
            if (auto closed = finishSegment())
                events.emit(closedEvent(*closed));
            teardownDevices();
        });
        return AppendOutcome::failed;
    }
}

void CaptureEngine::notePeaks(const float* samples, int64_t frames)
{
    float micPeakOfBlock = 0, systemPeakOfBlock = 0;
    double micEnergyOfBlock = 0, systemEnergyOfBlock = 0;
    for (int64_t i = 0; i < frames; ++i) {
        float mic = samples[2 * i], system = samples[2 * i + 1];
        micPeakOfBlock = std::max(micPeakOfBlock, std::fabs(mic));
        systemPeakOfBlock = std::max(systemPeakOfBlock, std::fabs(system));
        micEnergyOfBlock += static_cast<double>(mic) * mic;
        systemEnergyOfBlock += static_cast<double>(system) * system;
    }
    std::lock_guard guard(stateLock);
    micPeak = std::max(micPeak, micPeakOfBlock);
    systemPeak = std::max(systemPeak, systemPeakOfBlock);
    stats.micPeak = std::max(stats.micPeak, micPeakOfBlock);
    stats.systemPeak = std::max(stats.systemPeak, systemPeakOfBlock);
    stats.micEnergy += micEnergyOfBlock;
    stats.systemEnergy += systemEnergyOfBlock;
    stats.frames += frames;
}

std::pair<double, double> CaptureEngine::takeLevels()
{
    float mic, system;
    {
        std::lock_guard guard(stateLock);
        mic = micPeak;
        system = systemPeak;
        micPeak = 0;
        systemPeak = 0;
    }
    return {levelDb(mic), levelDb(system)};
}

} // namespace korvalin
