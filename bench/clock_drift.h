#pragma once

// The system-audio queue between two clocks, in simulated time: the output
// delivers a block every period of its own clock (`ppm` faster than the
// microphone's), each up to `jitterSeconds` late but in order, and the
// microphone takes a block every period of its clock. The output plays a
// steady tone, so what comes out can be judged as a listener would: its
// phase per 10-ms block shows splices and holes, its frequency per half
// second the pitch. Shared by the queue's tests and its drift benchmark.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <numbers>
#include <random>
#include <vector>

#include "platform/system_audio_queue.h"

namespace drift {

struct Scenario {
    double ppm = 0;
    double seconds = 120;
    double jitterSeconds = 0.020;
    uint32_t rate = 48000;
    double blockSeconds = 0.020;    // the microphone's
    double deliverySeconds = 0.020; // the output's: 0.2 is a Bluetooth burst
    // Every eighth delivery's last quarter comes this much later, after a
    // take: a burst that the server hands on across two of the
    // microphone's takes.
    double tailSeconds = 0;
    // The output delivers nothing from stallAt for stallSeconds; with a
    // burst the withheld blocks all arrive at its end, otherwise they are
    // never made (a suspended sink).
    double stallAt = -1;
    double stallSeconds = 0;
    bool burst = false;
    // Every holdEvery seconds the output holds its blocks back for
    // holdSeconds and then delivers them at once: a sum waiting for a stream
    // that joins or leaves.
    double holdEvery = 0;
    double holdSeconds = 0;
    // From delayFrom on, over delayOver seconds, deliveries come later and
    // later, by delayBy in all (negative: earlier), and stay that late: a
    // server settling its buffers in its first seconds (a slow clock, it
    // seems), or at once, a step.
    double delayFrom = 0;
    double delayOver = 0;
    double delayBy = 0;
    // Cuts and fills are counted again from here on.
    double settledAt = 30;
    double toneHz = 1000;
    bool keepAudio = true;
    unsigned seed = 1;
};

struct Take {
    float lag;   // seconds the output's frames reach the recording after they were made
    float ratio; // the queue's ratio after the take
};

// A steady tone's phase per 10-ms block, in samples of its period, against
// the nominal frequency.
struct Tone {
    double rate, hz;
    std::vector<double> phase; // unwrapped

    Tone(const std::vector<float>& audio, double rate, double hz) : rate(rate), hz(hz)
    {
        const size_t block = size_t(rate / 100);
        const double omega = 2 * std::numbers::pi * hz / rate;
        double last = 0;
        for (size_t start = 0; start + block <= audio.size(); start += block) {
            double s = 0, c = 0;
            for (size_t i = 0; i < block; ++i) {
                double t = omega * double(start + i);
                s += audio[start + i] * std::sin(t);
                c += audio[start + i] * std::cos(t);
            }
            double p = std::atan2(c, s) / omega;
            if (!phase.empty())
                p = last + std::remainder(p - last, rate / hz);
            phase.push_back(last = p);
        }
    }
    size_t at(double seconds) const { return std::min(phase.size(), size_t(seconds * 100)); }
    // Blocks from `from` seconds on whose phase jumps by more than half a
    // sample against the two before: a splice, a hole, a click.
    int splices(double from) const
    {
        int count = 0;
        for (size_t i = std::max<size_t>(2, at(from)); i < phase.size(); ++i)
            count += std::abs(phase[i] - 2 * phase[i - 1] + phase[i - 2]) > 0.5;
        return count;
    }
    // The frequency per half second from `from` seconds on, in ppm off its mean: the worst.
    double worstPitchPpm(double from) const
    {
        std::vector<double> ppm;
        for (size_t i = at(from); i + 50 < phase.size(); i += 50)
            ppm.push_back(-(phase[i + 50] - phase[i]) / (0.5 * rate) * 1e6);
        if (ppm.empty())
            return 0;
        double mean = 0;
        for (double p : ppm)
            mean += p / double(ppm.size());
        double worst = 0;
        for (double p : ppm)
            worst = std::max(worst, std::abs(p - mean));
        return worst;
    }
};

struct Run {
    std::vector<Take> takes; // one per microphone block
    std::vector<float> audio; // what the microphone's side received
    uint64_t cut = 0, filled = 0;               // over the whole run
    uint64_t cutSettled = 0, filledSettled = 0; // from Scenario::settledAt on
    double offsetPpm = 0;
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
    // When the ratio entered the band of ±tolerance around the clocks' offset for good.
    double settledAfter(double tolerance = 100e-6) const
    {
        size_t i = takes.size();
        while (i > 0 && std::abs(takes[i - 1].ratio - 1 - offsetPpm * 1e-6) <= tolerance)
            --i;
        return double(i) * blockSeconds;
    }
    size_t at(double seconds) const { return std::min(takes.size(), size_t(seconds / blockSeconds)); }
    // The smallest and largest lag from `seconds` on.
    std::pair<double, double> lagRange(double seconds) const
    {
        auto [low, high] = std::minmax_element(takes.begin() + at(seconds), takes.end(),
                                               [](auto& a, auto& b) { return a.lag < b.lag; });
        return {low->lag, high->lag};
    }
    // The most the lag moves within any `window` seconds, from `seconds` on,
    // each take's lag averaged over a second: a delivery's own jitter is not a move.
    double worstLagMove(double seconds, double window = 10) const
    {
        size_t per = at(1), span = at(window);
        std::vector<double> mean;
        for (size_t i = at(seconds); i + per <= takes.size(); i += per) {
            double sum = 0;
            for (size_t j = i; j < i + per; ++j)
                sum += takes[j].lag;
            mean.push_back(sum / double(per));
        }
        double worst = 0;
        size_t seconds10 = span / per;
        for (size_t i = 0; i + seconds10 < mean.size(); ++i)
            for (size_t j = i + 1; j <= i + seconds10; ++j)
                worst = std::max(worst, std::abs(mean[j] - mean[i]));
        return worst;
    }
    // The ratio's worst distance from the clocks' offset from `seconds` on,
    // and that of its averages over `window` seconds.
    std::pair<double, double> ratioError(double seconds, double window = 10) const
    {
        double worst = 0, worstMean = 0, sum = 0;
        size_t span = at(window), first = at(seconds);
        for (size_t i = first; i < takes.size(); ++i) {
            double error = takes[i].ratio - 1 - offsetPpm * 1e-6;
            worst = std::max(worst, std::abs(error));
            sum += error;
            if (i >= first + span)
                sum -= takes[i - span].ratio - 1 - offsetPpm * 1e-6;
            if (i + 1 >= first + span)
                worstMean = std::max(worstMean, std::abs(sum / double(span)));
        }
        return {worst, worstMean};
    }
    // The largest change of the ratio within a second, from `seconds` on.
    double largestStep(double seconds) const
    {
        double step = 0;
        for (size_t i = at(seconds) + at(1); i < takes.size(); ++i)
            step = std::max(step, double(std::abs(takes[i].ratio - takes[i - at(1)].ratio)));
        return step;
    }
    Tone tone(double rate, double hz) const { return Tone(audio, rate, hz); }
};

inline Run simulate(const Scenario& s)
{
    double clock = 0;
    platform::SystemAudioQueue queue(s.rate, 1, [&clock] { return clock; });
    const size_t block = size_t(s.blockSeconds * s.rate);
    const size_t delivery = size_t(s.deliverySeconds * s.rate);
    const double outputRate = s.rate * (1 + s.ppm * 1e-6); // output frames per microphone second
    const double stallEnd = s.stallAt + s.stallSeconds;
    const double omega = 2 * std::numbers::pi * s.toneHz / s.rate;
    const size_t tailFrames = s.tailSeconds > 0 ? delivery / 4 : 0;
    std::vector<float> samples(delivery), tailSamples(tailFrames), out(block);
    size_t tail = 0, deliveries = 0;
    std::mt19937 random(s.seed);
    std::uniform_real_distribution<double> jitter(0, s.jitterSeconds);

    // The output's next block: when its last frame is made, when it arrives.
    uint64_t made = 0;
    double madeAt = 0, arrival = 0;
    bool lost = false;
    auto makeBlock = [&] {
        for (size_t i = 0; i < delivery; ++i)
            samples[i] = float(0.5 * std::sin(omega * double(made + i)));
        made += delivery;
        madeAt = double(made) / outputRate;
        bool stalled = madeAt >= s.stallAt && madeAt < stallEnd;
        lost = stalled && !s.burst;
        double at = madeAt + jitter(random);
        if (madeAt >= s.delayFrom)
            at += s.delayOver > 0 ? s.delayBy * std::min(1.0, (madeAt - s.delayFrom) / s.delayOver) : s.delayBy;
        if (s.holdEvery > 0 && at >= s.holdEvery && std::fmod(at, s.holdEvery) < s.holdSeconds)
            at += s.holdSeconds - std::fmod(at, s.holdEvery);
        arrival = std::max({arrival, at, stalled ? stallEnd : 0.0});
    };
    // Blocks pushed and not yet wholly consumed: their end, and when it was made.
    struct Pushed {
        uint64_t end;
        double madeAt;
    };
    std::deque<Pushed> pending;
    uint64_t pushed = 0;
    double tailAt = -1, tailMadeAt = 0; // a delivery's last quarter still to come
    auto pushTail = [&](double before) {
        if (tailAt < 0 || tailAt > before)
            return;
        clock = tailAt;
        queue.push(tailSamples.data(), tail);
        pushed += tail;
        pending.push_back({pushed, tailMadeAt});
        tailAt = -1;
    };

    Run run;
    run.blockSeconds = s.blockSeconds;
    run.offsetPpm = s.ppm;
    const size_t takes = size_t(s.seconds / s.blockSeconds);
    run.takes.reserve(takes);
    if (s.keepAudio)
        run.audio.reserve(takes * block);
    uint64_t cutBefore = 0, filledBefore = 0;
    for (makeBlock(); run.takes.size() < takes;) {
        double now = double((run.takes.size() + 1) * block) / s.rate;
        for (; arrival <= now; makeBlock()) {
            if (lost)
                continue;
            pushTail(INFINITY);
            tail = ++deliveries % 8 == 0 ? tailFrames : 0;
            clock = arrival;
            queue.push(samples.data(), delivery - tail);
            pushed += delivery - tail;
            pending.push_back({pushed, madeAt - double(tail) / outputRate});
            if (tail) {
                std::copy(samples.end() - long(tail), samples.end(), tailSamples.begin());
                tailAt = arrival + s.tailSeconds;
                tailMadeAt = madeAt;
            }
        }
        pushTail(now);
        clock = now;
        queue.take(out.data(), block);
        if (s.keepAudio)
            run.audio.insert(run.audio.end(), out.begin(), out.end());
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
