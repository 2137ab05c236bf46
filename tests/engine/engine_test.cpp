#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "capture/capture_engine.h"
#include "platform/media.h"
#include "platform/sim/sim_platform.h"
#include "support/buffer_list.h"
#include "support/forwarding_hardware.h"
#include "support/event_pipes.h"

using korvalin::CaptureEngine;
using korvalin::CommandError;
using namespace platform;

namespace {

// The simulated system, except that the input callback is kept for the test
// to call with deliveries of its choosing.
struct HandFedHardware final : korvalin::StoppableHardware {
    using StoppableHardware::StoppableHardware;
    OSStatus createIOProcIDWithBlock(ProcID* id, ID device, Queue* queue, AudioDeviceIOBlock block) override
    {
        callback = std::move(block);
        return StoppableHardware::createIOProcIDWithBlock(id, device, queue, [](auto...) {});
    }
    AudioDeviceIOBlock callback;
};

// Media whose writers keep what they are given in memory, so a test sees
// exactly which samples reached the file and in which blocks.
struct RecordingMedia final : Media {
    struct Written {
        std::mutex lock;
        std::vector<float> samples;  // interleaved stereo
        std::vector<int64_t> blocks; // frames per accepted append
    };
    struct Writer final : AssetWriter {
        explicit Writer(RecordingMedia& to) : media(to) {}
        bool addInput(const AudioEncoderSettings&) override { return true; }
        bool startWriting() override { return true; }
        bool isReadyForMoreMediaData() const override { return media.ready || (++media.refusals, false); }
        MediaStatus status() const override { return media.failing ? MediaStatus::failed : MediaStatus::active; }
        std::optional<std::string> errorText() const override
        {
            return media.failing ? std::optional<std::string>("disk je plný") : std::nullopt;
        }
        bool append(const float* samples, int64_t frames, int64_t) override
        {
            std::lock_guard guard(written->lock);
            written->samples.insert(written->samples.end(), samples, samples + 2 * frames);
            written->blocks.push_back(frames);
            return true;
        }
        void markAsFinished() override {}
        void finishWriting(std::function<void()> completion) override { completion(); }

        RecordingMedia& media;
        std::shared_ptr<Written> written = media.last;
    };

    void loadAssetFacts(int, std::function<void(AssetFacts)> completion) override { completion({}); }
    std::unique_ptr<AssetWriter> makeAssetWriter(int) override
    {
        last = std::make_shared<Written>();
        return std::make_unique<Writer>(*this);
    }
    std::unique_ptr<AssetReader> makeAssetReader(int) override { throw MediaError("no reader"); }

    std::atomic<bool> ready{true};
    std::atomic<bool> failing{false};
    std::atomic<int> refusals{0}; // times a writer was told to wait
    std::shared_ptr<Written> last = std::make_shared<Written>();
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
    ~Engine() override
    {
        current().audio = nullptr;
        current().audioSystemPatience = Platform{}.audioSystemPatience;
    }

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
            korvalin::BufferList delivery({1, 2}, {std::vector<float>(n, mic), std::vector<float>(2 * n, system)});
            hardware.callback(nullptr, delivery.list(), nullptr, nullptr, nullptr);
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

// An audio system that stops answering (its server restarting) holds the
// rebuild, with the segment still open, until it answers again: then the
// recording goes on in the continuation. One that stays away past the
// platform's patience ends the recording with a message that names it.
TEST_F(Engine, ARebuildWaitsForTheAudioSystemWithinThePlatformsPatience)
{
    current().audioSystemPatience = 1;
    auto events = [this] {
        std::string names, lines = pipes.out.take();
        for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
            auto event = nlohmann::json::parse(lines.substr(at, end - at));
            if (event["ev"] != "levels")
                names += event["ev"].get<std::string>() + (event.contains("msg") ? ": " + event["msg"].get<std::string>()
                                                                                 : "") + "\n";
        }
        return names;
    };
    for (bool comesBack : {true, false}) {
        queue.sync([&] { start(path); });
        hardware.down = true;
        queue.async([&] { engine.handleDeviceChange(korvalin::RebuildReason::defaultInputChanged); });
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        bool open = false;
        queue.sync([&] { open = engine.hasOpenSegment(); });
        EXPECT_TRUE(open);
        EXPECT_EQ(events(), "");
        hardware.down = !comesBack;
        std::string seen;
        waitFor([&] { return (seen += events()).find(comesBack ? "started" : "error") != std::string::npos; });
        EXPECT_EQ(seen, comesBack ? "device_changed\nsegment_closed\nstarted\n"
                                  : "device_changed\nsegment_closed\nerror: po změně zařízení nelze pokračovat: "
                                    "zvukový server není dostupný — nelze se k němu připojit\n");
        EXPECT_EQ(pipes.err.take(), "korvalin-cap: zvukový server neodpovídá — čekám na něj nejvýše 1 s\n");
        queue.sync([&] { stop(); });
        hardware.down = false;
    }
}
