#pragma once

// The system-audio queue between two clocks, in simulated time: the output
// delivers a block every period of its own clock (`ppm` faster than the
// microphone's), each up to `jitterSeconds` late but in order, and the
// microphone takes a block every period of its clock. Shared by the queue's
// tests and its drift benchmark.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "platform/system_audio_queue.h"

namespace drift {

struct Scenario {
    double ppm = 0;
    double seconds = 120;
    double jitterSeconds = 0.020;
    uint32_t rate = 48000;
    double blockSeconds = 0.020;
    // The output delivers nothing from stallAt for stallSeconds; with a
    // burst the withheld blocks all arrive at its end, otherwise they are
    // never made (a suspended sink).
    double stallAt = -1;
    double stallSeconds = 0;
    bool burst = false;
    // Cuts and fills are counted again from here on.
    double settledAt = 30;
    unsigned seed = 1;
};

struct Take {
    float lag;   // seconds the output's frames reach the recording after they were made
    float ratio; // the queue's ratio after the take
};

struct Run {
    std::vector<Take> takes; // one per microphone block
    uint64_t cut = 0, filled = 0;               // over the whole run
    uint64_t cutSettled = 0, filledSettled = 0; // from Scenario::settledAt on

    double blockSeconds = 0;
    // The lag over the last quarter of the run.
    double finalLag() const
    {
        double sum = 0;
        size_t from = takes.size() * 3 / 4;
        for (size_t i = from; i < takes.size(); ++i)
            sum += takes[i].lag;
        return sum / double(takes.size() - from);
    }
    // When the lag entered the band of ±tolerance around its final value for good.
    double settledAfter(double tolerance = 0.005) const
    {
        double final = finalLag();
        size_t i = takes.size();
        while (i > 0 && std::abs(takes[i - 1].lag - final) <= tolerance)
            --i;
        return double(i) * blockSeconds;
    }
    // The smallest and largest lag from `seconds` on.
    std::pair<double, double> lagRange(double seconds) const
    {
        auto from = takes.begin() + std::min(takes.size(), size_t(seconds / blockSeconds));
        auto [low, high] = std::minmax_element(from, takes.end(), [](auto& a, auto& b) { return a.lag < b.lag; });
        return {low->lag, high->lag};
    }
    // The largest change of the ratio from one take to the next.
    double largestStep() const
    {
        double step = 0;
        for (size_t i = 1; i < takes.size(); ++i)
            step = std::max(step, double(std::abs(takes[i].ratio - takes[i - 1].ratio)));
        return step;
    }
    // How often the ratio changed, per second.
    double changesPerSecond() const
    {
        size_t changes = 0;
        for (size_t i = 1; i < takes.size(); ++i)
            changes += takes[i].ratio != takes[i - 1].ratio;
        return double(changes) / (double(takes.size()) * blockSeconds);
    }
};

inline Run simulate(const Scenario& s)
{
    double clock = 0;
    platform::SystemAudioQueue queue(s.rate, 1, [&clock] { return clock; });
    const size_t block = size_t(s.blockSeconds * s.rate);
    const double outputRate = s.rate * (1 + s.ppm * 1e-6); // output frames per microphone second
    const double stallEnd = s.stallAt + s.stallSeconds;
    std::vector<float> samples(block, 0.25f), out(block);
    std::mt19937 random(s.seed);
    std::uniform_real_distribution<double> jitter(0, s.jitterSeconds);

    // The output's next block: when its last frame is made, when it arrives.
    uint64_t made = 0;
    double madeAt = 0, arrival = 0;
    bool lost = false;
    auto makeBlock = [&] {
        made += block;
        madeAt = double(made) / outputRate;
        bool stalled = madeAt >= s.stallAt && madeAt < stallEnd;
        lost = stalled && !s.burst;
        arrival = std::max({arrival, madeAt + jitter(random), stalled ? stallEnd : 0.0});
    };
    // Blocks pushed and not yet wholly consumed: their end, and when it was made.
    struct Pushed {
        uint64_t end;
        double madeAt;
    };
    std::deque<Pushed> pending;
    uint64_t pushed = 0;

    Run run;
    run.blockSeconds = s.blockSeconds;
    const size_t takes = size_t(s.seconds / s.blockSeconds);
    run.takes.reserve(takes);
    uint64_t cutBefore = 0, filledBefore = 0;
    for (makeBlock(); run.takes.size() < takes;) {
        double now = double((run.takes.size() + 1) * block) / s.rate;
        for (; arrival <= now; makeBlock()) {
            if (lost)
                continue;
            clock = arrival;
            queue.push(samples.data(), block);
            pushed += block;
            pending.push_back({pushed, madeAt});
        }
        clock = now;
        queue.take(out.data(), block);
        uint64_t consumed = pushed - queue.backlog(); // or cut
        while (pending.size() > 1 && pending.front().end < consumed)
            pending.pop_front();
        double consumedMadeAt =
            pending.empty() ? now : pending.front().madeAt - double(pending.front().end - consumed) / outputRate;
        run.takes.push_back({float(now - consumedMadeAt), float(queue.ratio())});
        if (now <= s.settledAt) {
            cutBefore = queue.cutFrames();
            filledBefore = queue.filledFrames();
        }
    }
    run.cut = queue.cutFrames();
    run.filled = queue.filledFrames();
    run.cutSettled = run.cut - cutBefore;
    run.filledSettled = run.filled - filledBefore;
    return run;
}

} // namespace drift
