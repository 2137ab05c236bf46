#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "capture/audio_ring.h"
#include "capture/capture_engine.h"
#include "platform/sim/sim_platform.h"
#include "recording_media.h"
#include "support/event_pipes.h"

using korvalin::CaptureEngine;
using korvalin::CommandError;

namespace {

// The engine on the simulated system, with writers that keep what they get
// and events and log lines collected from pipes.
class Engine : public testing::Test {
protected:
    Engine()
    {
        sim.install();
        platform::current().media = &media;
    }

    // Writes `frames` frames of `value` in both channels.
    void produce(int64_t frames, float value)
    {
        std::vector<float> samples(static_cast<size_t>(2 * frames), value);
        engine.ring->write(samples.data(), frames);
    }

    template <class Condition>
    static void waitFor(Condition condition)
    {
        for (int i = 0; i < 1000 && !condition(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(condition());
    }

    std::string escapedPath() const
    {
        std::string escaped;
        for (char c : path)
            escaped += c == '/' ? std::string("\\/") : std::string(1, c);
        return escaped;
    }

    std::string path = testing::TempDir() + "engine-seg.m4a";
    platform::sim::SimPlatform sim{platform::sim::Scenario{}};
    RecordingMedia media;
    korvalin::EventPipes pipes;
    korvalin::EventWriter& events = pipes.events;
    platform::SerialQueue queue{"engine-test"};
    CaptureEngine engine{events, queue};
};

} // namespace

TEST_F(Engine, LostFramesBecomeSilenceAtTheirPlaceInPiecesOfAtMostOneSecond)
{
    media.ready = false;
    engine.openSegment(path);
    produce(1, 0.1f);
    waitFor([&] { return engine.ring->queued() == 0; }); // held by the writer, not accepted
    produce(384000, 0.5f);                               // fills the ring
    produce(100000, 0.9f);                               // lost
    EXPECT_EQ(engine.ring->droppedFrames(), 100000);
    media.ready = true;
    waitFor([&] { return engine.ring->queued() <= 384000 + 100000 - 48000; });
    produce(480, 0.25f);
    auto closed = engine.finishSegment();

    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->droppedFrames, 100000);
    EXPECT_EQ(closed->durationMs, (1 + 384000 + 100000 + 480) * 1000 / 48000);
    std::vector<int64_t> expected{1, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 4000, 480};
    EXPECT_EQ(media.last->blocks, expected);
    const auto& samples = media.last->samples;
    EXPECT_EQ(samples[2 * 384000], 0.5f);
    EXPECT_EQ(samples[2 * 384001], 0.0f);
    EXPECT_EQ(samples[2 * (384001 + 99999) + 1], 0.0f);
    EXPECT_EQ(samples[2 * (384001 + 100000)], 0.25f);
    EXPECT_EQ(engine.stats.frames, 1 + 384000 + 100000 + 480);
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: zahozeno 100000 vzorků — zápis nestíhal\n");
    EXPECT_FALSE(engine.finishSegment());
}

TEST_F(Engine, StoppingDrainsWhatIsQueuedAndReportsLevels)
{
    engine.openSegment(path);
    produce(96000, 0.5f);
    produce(96000, 1.0f);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    auto closed = engine.finishSegment();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->durationMs, 4000);
    EXPECT_EQ(closed->droppedFrames, 0);
    EXPECT_EQ(engine.stats.frames, 192000);
    EXPECT_EQ(engine.stats.micPeak, 1.0f);
    EXPECT_DOUBLE_EQ(engine.stats.micEnergy, 96000 * 0.25 + 96000 * 1.0);
    std::string lines = pipes.out.take();
    EXPECT_EQ(lines.substr(0, lines.find('\n') + 1), "{\"ev\":\"levels\",\"mic\":0,\"sys\":0}\n");
    EXPECT_EQ(pipes.err.take(), "");
}

TEST_F(Engine, LevelsArePeaksSinceTheLastReport)
{
    const float half[] = {0.5f, -1.5f, -0.25f, 0.0f};
    engine.notePeaks(half, 2);
    auto [mic, system] = engine.takeLevels();
    EXPECT_NEAR(mic, -6.0206, 1e-4);
    EXPECT_EQ(system, 0.0);
    EXPECT_EQ(engine.takeLevels(), std::make_pair(-120.0, -120.0));
    const float quiet[] = {1e-6f, 2e-6f};
    engine.notePeaks(quiet, 1);
    auto [floor, barelyAbove] = engine.takeLevels();
    EXPECT_EQ(floor, -120.0);
    EXPECT_NEAR(barelyAbove, -113.98, 0.01);
}

TEST_F(Engine, AWriteFailureIsReportedOnceAndClosesTheSegment)
{
    engine.openSegment(path);
    media.failing = true;
    produce(4800, 0.5f);
    waitFor([&] {
        bool open = true;
        queue.sync([&] { open = engine.hasOpenSegment(); });
        return !open;
    });
    std::string lines = pipes.out.take();
    EXPECT_EQ(lines,
              "{\"code\":\"writer_failed\",\"ev\":\"error\",\"fatal\":true,\"msg\":\"zápis nahrávky selhal: disk je plný\"}\n"
              "{\"ev\":\"levels\",\"mic\":-120,\"sys\":-120}\n"
              "{\"bytes\":0,\"dropped_frames\":0,\"duration_ms\":0,\"ev\":\"segment_closed\",\"path\":\"" +
                  escapedPath() + "\"}\n");
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: ukončuji segment kvůli chybě zápisu: disk je plný\n");
}

// The stop that follows a write failure runs later on the engine queue; by
// then the host may have closed that segment and opened the next one, which
// must record on.
TEST_F(Engine, TheStopAfterAWriteFailureLeavesALaterSegmentAlone)
{
    queue.sync([&] { engine.openSegment(path); });
    std::string failedLines;
    platform::Semaphore reopened;
    queue.async([&] {
        media.failing = true;
        produce(4800, 0.5f);
        waitFor([&] { return (failedLines += pipes.out.take()).find("writer_failed") != std::string::npos; });
        media.failing = false;
        engine.finishSegment();
        engine.openSegment(path + ".next");
        reopened.signal();
    });
    reopened.wait();
    bool open = false;
    queue.sync([&] { open = engine.hasOpenSegment(); });
    EXPECT_TRUE(open);
    produce(4800, 0.25f);
    std::optional<korvalin::ClosedSegment> closed;
    queue.sync([&] { closed = engine.finishSegment(); });
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->path, path + ".next");
    EXPECT_EQ(closed->durationMs, 100);
    EXPECT_EQ(pipes.out.take().find("segment_closed"), std::string::npos);
    EXPECT_EQ(pipes.err.take(), "");
}

TEST_F(Engine, RecordsFromTheSimulatedDevicesAndLeavesNothingBehind)
{
    queue.sync([&] {
        engine.buildDevices(true);
        engine.openSegment(path);
        engine.startIO();
        engine.installDeviceListeners();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::optional<korvalin::ClosedSegment> closed;
    queue.sync([&] {
        engine.stopIO();
        closed = engine.finishSegment();
        engine.teardownDevices();
        engine.removeDeviceListeners();
    });
    ASSERT_TRUE(closed);
    EXPECT_NEAR(closed->durationMs, 500, 150);
    EXPECT_NEAR(engine.stats.micPeak, 0.25, 0.01);
    EXPECT_NEAR(engine.stats.systemPeak, 0.5, 0.01);
    EXPECT_EQ(sim.audio.census(), platform::sim::Census{});

    auto calls = sim.audio.calls().size();
    engine.stopIO();
    engine.stopIO();
    EXPECT_EQ(sim.audio.calls().size(), calls);
}

TEST_F(Engine, InputNeedsAnOpenSegment)
{
    try {
        engine.startIO();
        FAIL() << "started without a ring";
    } catch (const CommandError& error) {
        EXPECT_EQ(error.message, "chybí buffer");
        EXPECT_EQ(korvalin::rawValue(error.code), "internal");
    }
    EXPECT_FALSE(engine.finishSegment());
}
