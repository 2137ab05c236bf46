// The system-audio queue's resampler: its cost per 20-ms block (with the
// ratio changing every block, and steady; in one channel and in two), the
// level of everything but a 1 kHz tone resampled at a 2000-ppm ratio, and
// the queue over simulated clock offsets: settling, lag, cuts and fills.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "clock_drift.h"
#include "platform/resampler.h"

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t block = 960;

void resampleBlock(benchmark::State& state)
{
    const auto channels = uint32_t(state.range(1));
    platform::Resampler resampler(channels);
    std::vector<float> in(channels * 2 * block, 0.25f), out(channels * block);
    bool changing = state.range(0);
    int64_t i = 0;
    for (auto _ : state) {
        resampler.setRatio(changing && ++i % 2 ? 1.0021 : 1.002);
        auto counts = resampler.process(in.data(), 2 * block, out.data(), block);
        benchmark::DoNotOptimize(counts);
        benchmark::ClobberMemory();
    }
    state.counters["s_per_frame"] = benchmark::Counter(double(state.iterations() * block),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Fits a tone of the known frequency (and an offset) by least squares and
// returns the power of the rest relative to the tone's, in dB.
double residualDb(const std::vector<double>& y, double omega)
{
    double m[3][4] = {};
    for (size_t n = 0; n < y.size(); ++n) {
        double basis[3] = {std::cos(omega * n), std::sin(omega * n), 1};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m[r][c] += basis[r] * basis[c];
            m[r][3] += basis[r] * y[n];
        }
    }
    for (int p = 0; p < 3; ++p) // Gauss-Jordan on the normal equations
        for (int r = 0; r < 3; ++r)
            if (r != p)
                for (int c = 3; c >= p; --c)
                    m[r][c] -= m[r][p] / m[p][p] * m[p][c];
    double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], dc = m[2][3] / m[2][2];
    double rest = 0;
    for (size_t n = 0; n < y.size(); ++n) {
        double e = y[n] - a * std::cos(omega * n) - b * std::sin(omega * n) - dc;
        rest += e * e;
    }
    return 10 * std::log10(rest / y.size() / ((a * a + b * b) / 2));
}

void toneAt2000ppm(benchmark::State& state)
{
    const double ratio = 1.002;
    double db = 0;
    for (auto _ : state) {
        platform::Resampler resampler(1);
        resampler.setRatio(ratio);
        const size_t frames = rate * 2;
        std::vector<float> in(frames), out(frames);
        for (size_t n = 0; n < frames; ++n)
            in[n] = float(0.5 * std::sin(2 * std::numbers::pi * 1000 * n / rate));
        auto counts = resampler.process(in.data(), frames, out.data(), frames);
        std::vector<double> y(out.begin() + rate / 10, out.begin() + counts.produced); // past the filter's start
        db = residualDb(y, 2 * std::numbers::pi * 1000 * resampler.ratio() / rate);
    }
    state.counters["rest_dB"] = db;
}

// Settling (the ratio within 100 ppm of the offset for good), then from
// `from` on: the worst pitch of the tone per half second, its splices, the
// lag's range and its largest move within 10 s, and the ratio's largest
// change within a second.
void report(benchmark::State& state, const drift::Run& run, double from, uint32_t rate)
{
    auto [low, high] = run.lagRange(from);
    auto [worst, worstMean] = run.ratioError(from);
    drift::Tone tone = run.tone(rate, 1000);
    state.counters["settled_s"] = run.settledAfter();
    state.counters["pitch_ppm"] = tone.worstPitchPpm(from);
    state.counters["splices"] = tone.splices(1);
    state.counters["lag_ms"] = run.finalLag() * 1e3;
    state.counters["lag_min_ms"] = low * 1e3;
    state.counters["lag_max_ms"] = high * 1e3;
    state.counters["lag_move_10s_ms"] = run.worstLagMove(from) * 1e3;
    state.counters["ratio_err_ppm"] = worst * 1e6;
    state.counters["ratio_err_10s_ppm"] = worstMean * 1e6;
    state.counters["ratio_step_1s_ppm"] = run.largestStep(from) * 1e6;
    state.counters["cut"] = double(run.cut);
    state.counters["filled"] = double(run.filled);
    state.counters["cut_settled"] = double(run.cutSettled);
    state.counters["filled_settled"] = double(run.filledSettled);
}

// Two minutes at a clock offset (ppm = the first argument) with 20-ms
// deliveries up to 20 ms late (0), 200-ms bursts (1), a 40-ms hold every
// second (2), or 200-ms bursts of which every eighth comes across two takes
// (3), judged from 20 s on (40 s at 5000 ppm and more).
void drift2min(benchmark::State& state)
{
    drift::Scenario s{.ppm = double(state.range(0)), .seconds = 120};
    if (state.range(1) == 1)
        s.deliverySeconds = 0.2;
    if (state.range(1) == 2)
        s.holdEvery = 1, s.holdSeconds = 0.04;
    if (state.range(1) == 3)
        s.deliverySeconds = 0.2, s.tailSeconds = 0.02;
    drift::Run run;
    for (auto _ : state)
        run = drift::simulate(s);
    report(state, run, std::abs(s.ppm) >= 5000 ? 40 : 20, s.rate);
}

// A day at ±100 ppm, at 8 kHz to keep it short (the timing does not depend
// on the rate).
void drift24h(benchmark::State& state)
{
    drift::Run run;
    for (auto _ : state)
        run = drift::simulate({.ppm = double(state.range(0)), .seconds = 86400, .rate = 8000, .keepAudio = false});
    report(state, run, 30, 8000);
}

} // namespace

BENCHMARK(resampleBlock)->ArgsProduct({{0, 1}, {1, 2}});
BENCHMARK(toneAt2000ppm)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(drift2min)
    ->ArgsProduct({{0, 100, -100, 5000, -5000}, {0, 1, 2, 3}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(drift24h)->Arg(100)->Arg(-100)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
