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

TEST_F(ProbeRun, HearsItsOwnToneAndLeavesNoGraphNorFiles)
{
    install(R"({"system_tone": [440, 0.0]})");
    EXPECT_EQ(probe(0.5), 0);
    auto seen = events();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0]["ev"], "started");
    EXPECT_EQ(seen[0]["path"], scratch + "/probe.m4a");
    EXPECT_EQ(seen[1]["ev"], "segment_closed");
    const Json& result = seen[2];
    EXPECT_EQ(result["system_audio"], "granted");
    EXPECT_EQ(result["tone_played"], true);
    // Only the test tone is on the system side: 0.15 of full scale.
    EXPECT_NEAR(result["sys_peak_db"].get<double>(), -16.5, 0.15);
    EXPECT_NEAR(result["sys_rms_db"].get<double>(), -19.5, 0.15);
    EXPECT_EQ(result["bytes"], seen[1]["bytes"]);
    EXPECT_GT(result["frames"].get<int64_t>(), 20000);
    EXPECT_FALSE(std::filesystem::exists(scratch));
    // The graph is gone; only the two device listeners stay installed.
    EXPECT_EQ(sim->audio.census(), (platform::sim::Census{0, 0, 0, 2}));
    EXPECT_FALSE(engine.hasOpenSegment());
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
    auto writer = engine.writer;
    EXPECT_EQ(probe(0.2), 1);
    EXPECT_EQ(pipes.out.take(), R"({"error_code":"busy","ev":"probe_result","mic_peak_db":-120,)"
                                R"("microphone":"granted","msg":"segment už běží","sys_peak_db":-120,)"
                                R"("system_audio":"error"})"
                                "\n");
    EXPECT_EQ(engine.writer, writer);
    EXPECT_TRUE(engine.running);
    queue.sync([&] {
        engine.stopIO();
        EXPECT_TRUE(engine.finishSegment());
        engine.teardownDevices();
    });
    std::filesystem::remove(path);
}

TEST_F(ProbeRun, SetUpFailuresAreReportedAndCleanedUp)
{
    struct Case {
        std::string scenario;
        std::string microphone;
        std::string systemAudio;
        std::string code;
    };
    const Case cases[] = {
        {R"({"fail": {"aggregate": 1852797029}, "microphone": "denied"})", "denied", "error", "aggregate_failed"},
        {R"({"fail": {"device_start": -1}})", "granted", "denied", "permission_denied"},
    };
    for (const Case& c : cases) {
        install(c.scenario);
        EXPECT_EQ(probe(0.2), 1);
        auto seen = events();
        ASSERT_FALSE(seen.empty());
        Json result = seen.back();
        EXPECT_EQ(result["ev"], "probe_result") << c.scenario;
        EXPECT_EQ(result["microphone"], c.microphone);
        EXPECT_EQ(result["system_audio"], c.systemAudio);
        EXPECT_EQ(result["error_code"], c.code);
        EXPECT_EQ(result.size(), 7u) << result.dump();
        EXPECT_EQ(sim->audio.census().taps + sim->audio.census().aggregates + sim->audio.census().ioProcs, 0);
        EXPECT_FALSE(engine.hasOpenSegment());
        EXPECT_FALSE(std::filesystem::exists(scratch)) << c.scenario;
    }
}

} // namespace
