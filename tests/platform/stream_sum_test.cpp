// The sum of streams that share one output's clock but deliver in their own
// rhythm: whatever they do, the sum's timeline is the output's (it never
// runs ahead of what the steady streams delivered), and a stream that
// merely comes late loses nothing.
#include "platform/stream_sum.h"

#include <cmath>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::StreamSum;

constexpr size_t tick = 960;                 // 20 ms at 48 kHz: a fragment, a mix
constexpr size_t lag = 2 * tick;             // what the sum waits for a lagging stream
constexpr size_t burst = 12000;              // 250 ms
constexpr int steps = 150;                   // 3 s
constexpr float steady = 1.0f, other = 2.0f; // each lane's frames carry its own value

// Frames lane 1 delivers at each step (lane 0 delivers a tick at every one).
using Deliveries = std::function<size_t(int step)>;

struct Case {
    const char* what;
    Deliveries second;
    int joins = 10, ends = steps; // steps at which lane 1 opens and ends
    int steadyEnds = steps;       // and lane 0 ends
    int admitted = 0;             // steps after it opens (its process looked up)
    uint64_t filled = 0, cut = 0; // at most
    size_t thirdEvery = 0;        // lane 2 delivers this many ticks every this many steps
};

struct Outcome {
    size_t timeline = 0; // frames pushed and silence returned
    size_t secondHeard = 0, secondDelivered = 0;
    size_t steadyMissed = 0; // frames summed without lane 0 while it played: holes
    uint64_t filled = 0, cut = 0;
};

Outcome run(const Case& c)
{
    StreamSum sum(4, 1, 24000, lag, burst, tick);
    Outcome out;
    bool steadyPlays = true;
    auto push = [&](const float* samples, size_t frames) {
        out.timeline += frames;
        for (size_t i = 0; samples && i < frames; ++i) {
            out.secondHeard += samples[i] >= other;
            out.steadyMissed += steadyPlays && std::fmod(samples[i], 2 * steady) < steady;
        }
    };
    std::vector<float> steadyFrames(tick, steady), otherFrames(24000, other), thirdFrames(24000, steady / 4);
    sum.open(0, true);
    if (c.thirdEvery)
        sum.open(2, true);
    for (int step = 0; step < steps; ++step) {
        if (c.thirdEvery && step % c.thirdEvery == 0)
            sum.deliver(2, thirdFrames.data(), c.thirdEvery * tick);
        if (step < c.steadyEnds)
            sum.deliver(0, steadyFrames.data(), tick);
        if (step == c.steadyEnds) {
            sum.end(0);
            steadyPlays = false;
        }
        if (step == c.joins)
            sum.open(1, c.admitted == 0);
        if (c.admitted > 0 && step == c.joins + c.admitted)
            sum.admit(1);
        if (step >= c.joins && step < c.ends) {
            if (size_t n = c.second(step - c.joins)) {
                sum.deliver(1, otherFrames.data(), n);
                out.secondDelivered += n;
            }
        }
        if (step == c.ends)
            sum.end(1);
        out.timeline += sum.mix(push, tick, 1.0f);
    }
    out.filled = sum.filledFrames();
    out.cut = sum.cutFrames();
    return out;
}

TEST(StreamSum, KeepsTheOutputsTimelineWhateverTheStreamsDo)
{
    // Held up for 160 ms, trickling meanwhile, then caught up: late, not lost.
    auto trickleThenBurst = [](int s) { return s == 0 ? tick / 4 : s == 1 ? 0 : s == 2 ? 8 * tick : tick; };
    auto heldUp = [](int s) { return s >= 20 && s < 28 ? tick / 4 : s == 28 ? 7 * tick : tick; };
    const Case cases[] = {
        {.what = "steady beside steady", .second = [](int) { return tick; }},
        // A new capture's first delivery brings 160 ms at once: what its
        // stream played while the capture was being made.
        {.what = "joining with a burst",
         .second = [](int s) { return s == 0 ? 8 * tick : tick; },
         .joins = 50,
         .cut = 7 * tick},
        // ... or after a first trickle, before the sum would give it up.
        {.what = "joining with a trickle, then a burst 40 ms later", .second = trickleThenBurst, .joins = 50,
         .cut = 6 * tick},
        // The same beside two established streams that deliver out of step.
        {.what = "joining with a burst beside 60-ms deliveries",
         .second = trickleThenBurst,
         .joins = 50,
         .filled = 2 * tick,
         .cut = 8 * tick,
         .thirdEvery = 3},
        {.what = "joining with a trickle, then a burst 80 ms later",
         .second = [](int s) { return s == 0 ? tick / 4 : s < 4 ? 0 : s == 4 ? 5 * tick : tick; },
         .joins = 50,
         .filled = 2 * tick,
         .cut = 2 * tick},
        // What it held while its process was looked up is older than the
        // sum's present.
        {.what = "admitted after 200 ms", .second = [](int) { return tick; }, .admitted = 10, .cut = 10 * tick},
        {.what = "held up", .second = heldUp, .filled = 4 * tick},
        // Silent for 80 ms, longer than the sum waits, then all at once.
        {.what = "given up, then back",
         .second = [](int s) { return s >= 20 && s < 24 ? 0 : s == 24 ? 5 * tick : tick; },
         .filled = tick,
         .cut = 4 * tick},
        // Delivers 80 ms at a time: what of its first burst lies before the
        // sum's present is cut, and then it is waited for.
        {.what = "bursts",
         .second = [](int s) { return s % 4 == 3 ? 4 * tick : 0; },
         .filled = 2 * tick,
         .cut = 4 * tick},
        // Both end, the one held up still holding its late frames: they are
        // heard in the place of the silence that keeps the timeline.
        {.what = "ending late", .second = heldUp, .ends = 45, .steadyEnds = 45, .filled = 4 * tick},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome out = run(c);
        // The steady stream delivered a tick at every step; the sum is behind
        // it by what it still holds, at most the lag it waits for.
        EXPECT_LE(out.timeline, steps * tick);
        EXPECT_GE(out.timeline, steps * tick - lag);
        EXPECT_LE(out.filled, c.filled);
        EXPECT_LE(out.cut, c.cut);
        EXPECT_EQ(out.steadyMissed, 0u);
        // Late frames wait in the stream's lane; once it has ended, all that
        // was not cut are heard.
        if (c.ends < steps) {
            EXPECT_EQ(out.secondHeard + out.cut, out.secondDelivered);
        }
    }
}

} // namespace
