#include <gtest/gtest.h>

#include <filesystem>

#include "capture/capture_engine.h"
#include "diagnostics/probe.h"
#include "support/event_pipes.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/sim/sim_platform.h"

namespace {

// Probes on the simulated system, run on the engine queue as the program does.
class ProbeRun : public testing::Test {
protected:
    void install(const std::string& scenario)
    {
        sim = std::make_unique<platform::sim::SimPlatform>(platform::sim::Scenario::parse(scenario));
        sim->install();
        platform::current().media = &media;
    }

    int probe(double seconds)
    {
        int status = -1;
        queue.sync([&] { status = korvalin::Probe::run(seconds, engine, pipes.events); });
        return status;
    }

    std::unique_ptr<platform::sim::SimPlatform> sim;
    platform::FfmpegMedia media;
    korvalin::EventPipes pipes;
    platform::SerialQueue queue{"probe-test"};
    korvalin::CaptureEngine engine{pipes.events, queue};
};

// Whatever the outcome, the probe leaves no graph and no segment; only the
// two device listeners stay installed after a capture.
TEST_F(ProbeRun, LeavesNoGraph)
{
    const std::tuple<const char*, int, platform::sim::Census> cases[] = {
        {R"({"system_tone": [440, 0.0]})", 0, {0, 0, 0, 2}},
        {R"({"fail": {"aggregate": 1852797029}})", 1, {}},
        {R"({"fail": {"device_start": -1}})", 1, {}},
    };
    for (const auto& [scenario, status, after] : cases) {
        SCOPED_TRACE(scenario);
        install(scenario);
        EXPECT_EQ(probe(0.3), status);
        EXPECT_EQ(sim->audio.census(), after);
        EXPECT_FALSE(engine.hasOpenSegment());
    }
}

TEST_F(ProbeRun, RefusesWhileASegmentIsOpenAndLeavesItAlone)
{
    install("{}");
    std::string path = testing::TempDir() + "probe-busy.m4a";
    queue.sync([&] {
        engine.buildDevices(true);
        engine.openSegment(path);
        engine.startIO();
    });
    auto recording = sim->audio.census();
    EXPECT_EQ(probe(0.2), 1);
    EXPECT_EQ(pipes.out.take(), R"({"error_code":"busy","ev":"probe_result","mic_peak_db":-120,)"
                                R"("microphone":"granted","msg":"segment už běží","sys_peak_db":-120,)"
                                R"("system_audio":"error"})"
                                "\n");
    EXPECT_EQ(sim->audio.census(), recording);
    queue.sync([&] {
        engine.stopIO();
        auto closed = engine.finishSegment();
        ASSERT_TRUE(closed);
        EXPECT_EQ(closed->path, path);
        engine.teardownDevices();
    });
    std::filesystem::remove(path);
}

} // namespace
