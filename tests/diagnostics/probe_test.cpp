#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "capture/capture_engine.h"
#include "diagnostics/probe.h"
#include "support/event_pipes.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/sim/sim_platform.h"

using korvalin::Json;

namespace {

// Probes on the simulated system, run on the engine queue as the program does.
class ProbeRun : public testing::Test {
protected:
    void install(const std::string& scenario)
    {
        sim = std::make_unique<platform::sim::SimPlatform>(platform::sim::Scenario::parse(scenario));
        sim->install();
        platform::current().media = &media;
        scratch = sim->system.temporaryDirectory() + "korvalin-probe-" + std::to_string(sim->system.pid());
    }

    int probe(double seconds)
    {
        int status = -1;
        queue.sync([&] { status = korvalin::Probe::run(seconds, engine, pipes.events); });
        return status;
    }

    std::vector<Json> events()
    {
        std::vector<Json> parsed;
        std::istringstream lines(pipes.out.take());
        for (std::string line; std::getline(lines, line);)
            if (Json event = Json::parse(line); event["ev"] != "levels")
                parsed.push_back(event);
        return parsed;
    }

    std::unique_ptr<platform::sim::SimPlatform> sim;
    platform::FfmpegMedia media;
    std::string scratch;
    korvalin::EventPipes pipes;
    platform::SerialQueue queue{"probe-test"};
    korvalin::CaptureEngine engine{pipes.events, queue};
};

// Whatever the outcome, the probe leaves no graph, no segment and no files;
// only the two device listeners stay installed after a capture.
TEST_F(ProbeRun, LeavesNoGraphNorFiles)
{
    struct Case {
        const char* scenario;
        int status;
        const char* systemAudio;
        platform::sim::Census after;
    };
    const Case cases[] = {
        {R"({"system_tone": [440, 0.0]})", 0, "granted", {0, 0, 0, 2}},
        {R"({"fail": {"aggregate": 1852797029}})", 1, "error", {}},
        {R"({"fail": {"device_start": -1}})", 1, "denied", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        install(c.scenario);
        EXPECT_EQ(probe(0.3), c.status);
        auto seen = events();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back()["system_audio"], c.systemAudio);
        EXPECT_EQ(sim->audio.census(), c.after);
        EXPECT_FALSE(engine.hasOpenSegment());
        EXPECT_FALSE(std::filesystem::exists(scratch));
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
