#include "platform/system_audio_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "clock_drift.h"

namespace {

using platform::SystemAudioQueue;

constexpr uint32_t rate = 48000;
constexpr size_t block = 960;
constexpr uint32_t simulated = 16000; // the rate does not change the timing, only the cost

TEST(SystemAudioQueue, StallsReanchorAndAreCounted)
{
    struct Case {
        bool burst; // the withheld second arrives at once, or never
        bool cuts;
    };
    for (auto c : {Case{false, false}, Case{true, true}}) {
        SCOPED_TRACE(c.burst);
        drift::Run run = drift::simulate({.ppm = 2000, .seconds = 60, .rate = simulated, .stallAt = 20,
                                          .stallSeconds = 1, .burst = c.burst, .settledAt = 10});
        EXPECT_EQ(run.cut > 0, c.cuts);
        EXPECT_GE(run.filled, simulated * 8 / 10); // the microphone went on for a second, less the backlog
        EXPECT_EQ(run.cutSettled, run.cut); // nothing before the stall
        auto [low, high] = run.lagRange(35); // back where it was: the cushion beyond a delivery
        EXPECT_LE(high, 0.080);
        EXPECT_GE(low, 0.060);
    }
}

// Queue operations on stereo frames, with a clock that stands still: the ratio stays put.
struct Ops : SystemAudioQueue {
    Ops() : SystemAudioQueue(rate, 2, [] { return 0.0; }) {}
    std::vector<float> out;
    Ops& push(size_t frames, float value = 0.5f)
    {
        std::vector<float> samples(frames * 2, value);
        SystemAudioQueue::push(samples.data(), frames);
        return *this;
    }
    Ops& hole(size_t frames) { return SystemAudioQueue::push(nullptr, frames), *this; }
    Ops& take(size_t frames)
    {
        out.assign(frames * 2, -1.0f);
        SystemAudioQueue::take(out.data(), frames);
        return *this;
    }
    Ops& done() { return finish(), *this; }
};

TEST(SystemAudioQueue, CountsWhatItCutsAndFills)
{
    const size_t cushion = Ops().cushion(), bound = Ops().bound(), largest = rate / 4;
    struct Case {
        const char* name;
        std::function<void(Ops&)> ops;
        size_t backlog;
        uint64_t cut, filled;
    };
    const Case cases[] = {
        {"nothing arrived yet", [](Ops& q) { q.take(block); }, 0, 0, 0},
        {"waiting for the cushion", [&](Ops& q) { q.push(cushion - 1).take(block); }, cushion - 1, 0, 0},
        {"exactly at the bound", [&](Ops& q) { q.push(bound); }, bound, 0, 0},
        {"beyond the bound", [&](Ops& q) { q.push(bound - 10).push(11); }, cushion, bound + 1 - cushion, 0},
        {"one block beyond the bound", [&](Ops& q) { q.push(2 * bound); }, cushion, 2 * bound - cushion, 0},
        {"blocks: the cushion beyond one",
         [&](Ops& q) { q.push(block).take(block).push(block).take(block).push(block).take(block); }, cushion, 0, 0},
        {"a burst: the cushion beyond it", [&](Ops& q) { q.push(10000).take(block); }, cushion + 10000 - block, 0,
         0},
        {"one burst after blocks is not the pattern",
         [&](Ops& q) { q.push(block).take(block).push(block).take(block).push(10000).take(block); },
         cushion, 10000 + block - cushion, 0},
        {"a burst beyond the largest delivery", [&](Ops& q) { q.push(20000).take(block); },
         cushion + largest - block, 20000 - cushion - largest, 0},
        {"running dry", [&](Ops& q) { q.push(cushion).take(block).take(2 * cushion - block).take(block); }, 0, 0,
         block},
        {"refilling after running dry",
         [&](Ops& q) { q.push(cushion).take(block).take(2 * cushion - block).take(block).push(block).take(block); },
         block, 0, 2 * block},
        {"finished: the rest flows out", [&](Ops& q) { q.push(block).done().take(2 * block); }, 0, 0, 0},
        {"holes are frames", [&](Ops& q) { q.hole(cushion).take(block); }, 2 * cushion - block, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ops q;
        c.ops(q);
        EXPECT_EQ(q.backlog(), c.backlog);
        EXPECT_EQ(q.cutFrames(), c.cut);
        EXPECT_EQ(q.filledFrames(), c.filled);
    }
}

// What comes out: the frames, delayed by the resampler's filter, then
// silence for holes and for running dry.
TEST(SystemAudioQueue, HolesAndRunningDryAreSilence)
{
    Ops q;
    const size_t cushion = q.cushion(), delay = 100;
    for (int i = 0; i < 20; ++i) // every slot of the ring has held sound; a cushion stays queued
        q.push(cushion).take(cushion);
    q.push(cushion, 0.5f).hole(cushion).take(cushion).take(cushion);
    EXPECT_NEAR(q.out[2 * delay], 0.5f, 1e-3);
    q.take(cushion);
    EXPECT_TRUE(std::all_of(q.out.begin() + 2 * delay, q.out.end(), [](float s) { return s == 0.0f; }));
    q.take(block);
    EXPECT_TRUE(std::all_of(q.out.begin(), q.out.end(), [](float s) { return s == 0.0f; }));
}

} // namespace
