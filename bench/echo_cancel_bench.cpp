// The echo canceller on synthetic meetings (echo_scene.h), six of them (the
// argument of meeting40s: other voices and rooms, since one scene alone
// flatters or wrongs the canceller by 10 dB): a far end heard
// through a room (direct sound 47 ms after the reference, a 150-ms tail,
// -15 dB), a near end talking at 12-17 s and 30-35 s, the room changing at
// 22 s. Figures: ERLE, how soon it is reached, the near end kept in double
// talk and without echo (headphones), leads from -30 to +100 ms, and the
// cost per 10-ms block.
#include <benchmark/benchmark.h>

#include <ctime>

#include "echo_scene.h"

namespace {

using namespace echo_scene;

constexpr double seconds = 40;
constexpr double pathChange = 22;
constexpr double firstSpeech = 1;

struct Scene {
    std::vector<float> system, echo, near, mic;
};

// The reference leads the echo by `lead` (negative: trails): the room's
// direct sound comes `lead` after the speakers when that is positive, else
// system audio reaches the recording late.
Scene meeting(double lead, double length, bool doubleTalk, bool withEcho = true, double ppm = 0,
              uint32_t seed = 0)
{
    Scene scene;
    std::vector<float> speakers = voice(length, 7 + seed, {{firstSpeech, length}});
    double lag = lead >= 0 ? 0 : 0.005 - lead;
    Room before{.delay = lag + lead, .seed = 1 + 10 * seed, .ppm = ppm},
        after{.delay = lag + lead + 0.003, .seed = 2 + 10 * seed, .ppm = ppm};
    scene.echo.assign(speakers.size(), 0.0f);
    if (withEcho) {
        addEcho(speakers, before, scene.echo, 0, at(std::min(length, pathChange)));
        addEcho(speakers, after, scene.echo, at(pathChange), at(length));
    }
    scene.system.assign(speakers.size(), 0.0f);
    auto late = static_cast<long>(at(lag));
    std::copy(speakers.begin(), speakers.end() - late, scene.system.begin() + late);
    scene.near = doubleTalk ? voice(length, 11 + seed, {{12, 17}, {30, 35}}) : std::vector<float>(speakers.size());
    scene.mic = scene.echo;
    for (size_t n = 0; n < scene.mic.size(); ++n)
        scene.mic[n] += scene.near[n];
    return scene;
}

// CPU time, not wall time: the machine may be busy with other work.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

struct Timed {
    Output out;
    double microsecondsPer10ms = 0;
    double leadMs = NAN;
};

Timed cancel(const Scene& scene)
{
    korvalin::EchoCanceller canceller(rate, [](const std::string&) {});
    double start = threadCpuSeconds();
    Timed timed{run(canceller, scene.mic, scene.system)};
    timed.microsecondsPer10ms = (threadCpuSeconds() - start) * 1e6 / (scene.mic.size() / (rate / 100));
    if (auto lead = canceller.leadSeconds())
        timed.leadMs = *lead * 1e3;
    return timed;
}

// Seconds from `from` until every later 0.5-s window before `to` holds at
// least `target` dB of ERLE. Windows with only a faint tail of echo (20 dB
// under the loudest) do not count: their ratio says nothing a listener hears.
double convergence(const Scene& scene, const Output& out, double from, double to, double target)
{
    double loudest = 0;
    for (double t = from; t + 0.5 <= to; t += 0.5)
        loudest = std::max(loudest, energy(scene.echo, at(t), at(t + 0.5)));
    double since = from;
    for (double t = from; t + 0.5 <= to; t += 0.5)
        if (energy(scene.echo, at(t), at(t + 0.5)) > loudest * 1e-2 &&
            erle(scene.echo, scene.near, out.mic, t, t + 0.5) < target) // NaN: no far end alone
            since = t + 0.5;
    return since - from;
}

void meeting40s(benchmark::State& state)
{
    Scene scene = meeting(0.047, seconds, true, true, 0, static_cast<uint32_t>(state.range(0)));
    Timed timed;
    for (auto _ : state)
        timed = cancel(scene);
    const Output& out = timed.out;
    NearEnd both = nearEnd(scene.near, out.mic, 0, seconds);
    state.counters["erle_5_22_dB"] = erle(scene.echo, scene.near, out.mic, 5, pathChange);
    state.counters["erle_25_38_dB"] = erle(scene.echo, scene.near, out.mic, 25, 38);
    // Each until the double talk that follows it.
    state.counters["to15dB_s"] = convergence(scene, out, firstSpeech, 12, 15);
    state.counters["to20dB_s"] = convergence(scene, out, firstSpeech, 12, 20);
    state.counters["again20dB_s"] = convergence(scene, out, pathChange, 30, 20);
    state.counters["dt_gain_dB"] = both.gainDb;
    state.counters["dt_p10_dB"] = both.p10Db;
    state.counters["dt_chopped_pct"] = both.chopped * 100;
    state.counters["lead_ms"] = timed.leadMs;
    state.counters["us_per_10ms"] = timed.microsecondsPer10ms;
}

// No echo (headphones) while both talk.
void headphones(benchmark::State& state)
{
    Scene scene = meeting(0.047, seconds, true, false);
    Timed timed;
    for (auto _ : state)
        timed = cancel(scene);
    NearEnd kept = nearEnd(scene.near, timed.out.mic, 0, seconds);
    state.counters["gain_dB"] = kept.gainDb;
    state.counters["p10_dB"] = kept.p10Db;
    state.counters["chopped_pct"] = kept.chopped * 100;
    state.counters["lead_ms"] = timed.leadMs;
}

// The reference leading its echo by the argument in ms (negative: trailing):
// ERLE over 10-22 s with the far end alone.
void lead(benchmark::State& state)
{
    Scene scene = meeting(state.range(0) * 1e-3, pathChange, false);
    Timed timed;
    for (auto _ : state)
        timed = cancel(scene);
    state.counters["erle_10_22_dB"] = erle(scene.echo, scene.near, timed.out.mic, 10, pathChange);
    state.counters["lead_ms"] = timed.leadMs;
}

// The echo path drifting by the argument in ppm against the reference (a
// rate control that has not settled): ERLE over 10-22 s with the far end alone.
void drift(benchmark::State& state)
{
    Scene scene = meeting(0.047, pathChange, false, true, static_cast<double>(state.range(0)));
    Timed timed;
    for (auto _ : state)
        timed = cancel(scene);
    state.counters["erle_10_22_dB"] = erle(scene.echo, scene.near, timed.out.mic, 10, pathChange);
}

} // namespace

BENCHMARK(meeting40s)->DenseRange(0, 5)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(headphones)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(lead)->DenseRange(-30, 0, 10)->DenseRange(25, 100, 25)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(drift)->Arg(-100)->Arg(-20)->Arg(5)->Arg(20)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
