// korvalin-cap on the simulated audio system: the same program, with the
// world described by the scenario file named in KORVALIN_SIM_SCENARIO.
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_platform.h"

int main(int argc, char** argv)
{
    platform::blockTerminationSignals();

    platform::sim::Scenario scenario;
    if (const char* path = std::getenv("KORVALIN_SIM_SCENARIO"); path && *path) {
        try {
            scenario = platform::sim::Scenario::load(path);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "korvalin-cap-sim: %s\n", error.what());
            return 2;
        }
    }
    static platform::sim::SimPlatform sim(scenario);
    sim.install();
    static platform::FfmpegMedia media;
    static platform::sim::FaultyMedia faulty(media, sim.scenario.writer);
    platform::current().media = &faulty;

    static korvalin::App app;
    korvalin::runEntryPoint(app, std::vector<std::string>(argv + 1, argv + argc));
}
