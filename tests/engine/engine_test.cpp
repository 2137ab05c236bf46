#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "capture/capture_engine.h"
#include "platform/sim/sim_platform.h"
#include "recording_media.h"
#include "support/event_pipes.h"

using korvalin::CaptureEngine;
using korvalin::CommandError;
using namespace platform;

namespace {

// The simulated system, except that the input callback is kept for the test
// to call with deliveries of its choosing (the simulator's own IO thread
// calls a callback that does nothing).
class HandFedHardware final : public AudioHardware {
public:
    explicit HandFedHardware(AudioHardware& sim) : sim_(sim) {}
    AudioDeviceIOBlock callback;

    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* id, AudioObjectID device, SerialQueue* queue,
                                     AudioDeviceIOBlock block) override
    {
        callback = std::move(block);
        return sim_.createIOProcIDWithBlock(id, device, queue, [](auto...) {});
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const AudioObjectPropertyAddress& a, uint32_t q, const void* d,
                                 uint32_t* size) override
    {
        return sim_.getPropertyDataSize(o, a, q, d, size);
    }
    OSStatus getPropertyData(AudioObjectID o, const AudioObjectPropertyAddress& a, uint32_t q, const void* d,
                             uint32_t* size, void* out) override
    {
        return sim_.getPropertyData(o, a, q, d, size, out);
    }
    OSStatus createProcessTap(const CATapDescription& d, AudioObjectID* out) override
    {
        return sim_.createProcessTap(d, out);
    }
    OSStatus destroyProcessTap(AudioObjectID tap) override { return sim_.destroyProcessTap(tap); }
    OSStatus createAggregateDevice(const AggregateDeviceDescription& d, AudioObjectID* out) override
    {
        return sim_.createAggregateDevice(d, out);
    }
    OSStatus destroyAggregateDevice(AudioObjectID device) override { return sim_.destroyAggregateDevice(device); }
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID id) override { return sim_.deviceStart(device, id); }
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID id) override { return sim_.deviceStop(device, id); }
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) override
    {
        return sim_.destroyIOProcID(device, id);
    }
    OSStatus addPropertyListenerBlock(AudioObjectID o, const AudioObjectPropertyAddress& a, SerialQueue* q,
                                      AudioObjectPropertyListenerBlock l) override
    {
        return sim_.addPropertyListenerBlock(o, a, q, std::move(l));
    }
    OSStatus removePropertyListenerBlock(AudioObjectID o, const AudioObjectPropertyAddress& a, SerialQueue* q,
                                         const AudioObjectPropertyListenerBlock& l) override
    {
        return sim_.removePropertyListenerBlock(o, a, q, l);
    }

private:
    AudioHardware& sim_;
};

// The engine recording from a mono microphone and a stereo tap into writers
// that keep what they get, its events and log lines collected from pipes.
class Engine : public testing::Test {
protected:
    Engine()
    {
        sim.install();
        current().audio = &hardware;
        current().media = &media;
    }
    ~Engine() override { current().audio = nullptr; }

    void start(const std::string& at)
    {
        engine.buildDevices(true);
        engine.openSegment(at);
        engine.startIO();
    }

    std::optional<korvalin::ClosedSegment> stop()
    {
        engine.stopIO();
        auto closed = engine.finishSegment();
        engine.teardownDevices();
        return closed;
    }

    // Delivers `frames` frames, the microphone at `mic` and both tap channels
    // at `system`, in deliveries of at most a second.
    void feed(int64_t frames, float mic, float system)
    {
        for (int64_t n; frames > 0; frames -= n) {
            n = std::min<int64_t>(frames, 48000);
            std::vector<float> micSamples(n, mic), tapSamples(2 * n, system);
            std::vector<unsigned char> memory(audioBufferListSize(2));
            auto* list = reinterpret_cast<AudioBufferList*>(memory.data());
            list->mNumberBuffers = 2;
            list->mBuffers[0] = {1, uint32_t(4 * n), micSamples.data()};
            list->mBuffers[1] = {2, uint32_t(8 * n), tapSamples.data()};
            hardware.callback(nullptr, list, nullptr, nullptr, nullptr);
        }
    }

    template <class Condition>
    static void waitFor(Condition condition)
    {
        for (int i = 0; i < 2000 && !condition(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(condition());
    }

    std::vector<int64_t> blocks() const
    {
        std::lock_guard guard(media.last->lock);
        return media.last->blocks;
    }

    std::string path = testing::TempDir() + "engine-seg.m4a";
    sim::SimPlatform sim{sim::Scenario{}};
    HandFedHardware hardware{sim.audio};
    RecordingMedia media;
    korvalin::EventPipes pipes;
    SerialQueue queue{"engine-test"};
    CaptureEngine engine{pipes.events, queue};
};

} // namespace

TEST_F(Engine, LostFramesBecomeSilenceAtTheirPlaceInPiecesOfAtMostOneSecond)
{
    media.ready = false;
    start(path);
    feed(1, 0.1f, 0.1f);
    waitFor([&] { return media.refusals > 0; }); // the writer holds that frame
    feed(384000, 0.5f, 0.5f);                    // fills the ring
    feed(100000, 0.9f, 0.9f);                    // lost
    media.ready = true;
    waitFor([&] { return blocks().size() >= 2; }); // room again
    feed(480, 0.25f, 0.25f);
    auto closed = stop();

    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->droppedFrames, 100000);
    EXPECT_EQ(closed->durationMs, (1 + 384000 + 100000 + 480) * 1000 / 48000);
    std::vector<int64_t> expected{1, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000, 4000, 480};
    EXPECT_EQ(blocks(), expected);
    const auto& samples = media.last->samples;
    EXPECT_EQ(samples[2 * 384000], 0.5f);
    EXPECT_EQ(samples[2 * 384001], 0.0f);
    EXPECT_EQ(samples[2 * (384001 + 99999) + 1], 0.0f);
    EXPECT_EQ(samples[2 * (384001 + 100000)], 0.25f);
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: zahozeno 100000 vzorků — zápis nestíhal\n");
    EXPECT_FALSE(engine.finishSegment());
}

TEST_F(Engine, StoppingDrainsWhatIsQueued)
{
    start(path);
    feed(96000, 0.5f, 0.25f);
    feed(96000, 1.0f, 0.5f);
    auto closed = stop();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->durationMs, 4000);
    EXPECT_EQ(closed->droppedFrames, 0);
    auto stats = engine.segmentStats();
    EXPECT_EQ((std::pair{stats.micPeak, stats.systemPeak}), (std::pair{1.0f, 0.5f}));
    EXPECT_EQ(pipes.err.take(), "");
    EXPECT_EQ(sim.audio.census(), sim::Census{});
}

// Five reports a second, each the peaks since the one before.
TEST_F(Engine, LevelsArePeaksSinceTheLastReportFiveTimesASecond)
{
    start(path);
    feed(4800, 0.5f, 1.5f);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stop();
    std::string lines = pipes.out.take();
    const std::string first = "{\"ev\":\"levels\",\"mic\":-6,\"sys\":0}\n";
    const std::string quiet = "{\"ev\":\"levels\",\"mic\":-120,\"sys\":-120}\n";
    ASSERT_TRUE(lines.starts_with(first)) << lines;
    size_t reports = 1;
    for (size_t at = first.size(); at < lines.size(); at += quiet.size(), ++reports)
        ASSERT_EQ(lines.compare(at, quiet.size(), quiet), 0) << lines;
    EXPECT_NEAR(reports, 5, 1) << lines;
}

TEST_F(Engine, AWriteFailureIsReportedOnceAndClosesTheSegment)
{
    queue.sync([&] { start(path); });
    media.failing = true;
    feed(4800, 0.5f, 0.5f);
    waitFor([&] {
        bool open = true;
        queue.sync([&] { open = engine.hasOpenSegment(); });
        return !open;
    });
    std::string escaped;
    for (char c : path)
        escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    EXPECT_EQ(pipes.out.take(),
              "{\"code\":\"writer_failed\",\"ev\":\"error\",\"fatal\":true,\"msg\":\"zápis nahrávky selhal: disk je plný\"}\n"
              "{\"ev\":\"levels\",\"mic\":-120,\"sys\":-120}\n"
              "{\"bytes\":0,\"dropped_frames\":0,\"duration_ms\":0,\"ev\":\"segment_closed\",\"path\":\"" +
                  escaped + "\"}\n");
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: ukončuji segment kvůli chybě zápisu: disk je plný\n");
    EXPECT_EQ(sim.audio.census(), sim::Census{});
}

// The stop that follows a write failure runs later on the engine queue; by
// then the host may have closed that segment and opened the next one, which
// must record on.
TEST_F(Engine, TheStopAfterAWriteFailureLeavesALaterSegmentAlone)
{
    queue.sync([&] { start(path); });
    std::string failedLines;
    Semaphore reopened;
    queue.async([&] {
        media.failing = true;
        feed(4800, 0.5f, 0.5f);
        waitFor([&] { return (failedLines += pipes.out.take()).find("writer_failed") != std::string::npos; });
        media.failing = false;
        stop();
        start(path + ".next");
        reopened.signal();
    });
    reopened.wait();
    feed(4800, 0.25f, 0.25f);
    std::optional<korvalin::ClosedSegment> closed;
    queue.sync([&] { closed = stop(); });
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->path, path + ".next");
    EXPECT_EQ(closed->durationMs, 100);
    EXPECT_EQ(pipes.out.take().find("segment_closed"), std::string::npos);
    EXPECT_EQ(pipes.err.take(), "");
}

TEST_F(Engine, InputNeedsAnOpenSegmentAndStopsOnlyWhatRuns)
{
    try {
        engine.startIO();
        FAIL() << "started without a ring";
    } catch (const CommandError& error) {
        EXPECT_EQ(error.message, "chybí buffer");
        EXPECT_EQ(korvalin::rawValue(error.code), "internal");
    }
    EXPECT_FALSE(engine.finishSegment());
    start(path);
    stop();
    auto calls = sim.audio.calls().size();
    engine.stopIO();
    engine.stopIO();
    EXPECT_EQ(sim.audio.calls().size(), calls);
}
