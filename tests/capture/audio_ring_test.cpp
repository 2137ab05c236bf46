#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/audio_ring.h"

namespace korvalin {
namespace {

using namespace std::chrono_literals;

// A 1024-frame ring fed with frames whose two samples both carry the
// frame's number in the stream written so far.
class Ring : public testing::Test {
protected:
    void push(int64_t count)
    {
        std::vector<float> frames;
        for (int64_t i = 0; i < count; ++i)
            frames.insert(frames.end(), {float(next + i), float(next + i)});
        ring->write(frames.data(), count);
        next += std::max<int64_t>(count, 0);
    }
    // Reads with room for `room` frames; the numbers it got must run on from
    // `first` in stream order.
    void expectRead(int64_t room, int64_t frames, int64_t gap, int64_t first = -1)
    {
        std::vector<float> out(2 * std::max<int64_t>(room, 1), -1.0f);
        AudioRing::Block block = ring->read(out.data(), room);
        EXPECT_EQ(std::pair(block.frames, block.gapFrames), std::pair(frames, gap));
        for (int64_t i = 0; i < block.frames && first >= 0; ++i)
            ASSERT_EQ(std::pair(out[2 * i], out[2 * i + 1]), std::pair(float(first + i), float(first + i)));
    }

    std::unique_ptr<AudioRing> ring = std::make_unique<AudioRing>(1024);
    int64_t next = 0;
};

// Scripts of writes (wN), reads with room for R frames that get F frames after
// a gap of G, numbered on from S (rR=F+G@S), and the queued (qN) and dropped
// (dN) counts, on a ring asked for 10 frames, which holds 1024.
TEST_F(Ring, LossesAreReportedWhereTheyHappened)
{
    const char* scripts[] = {
        // Empty calls change nothing. Everything audible is read first; the
        // loss is still owed.
        "w0 w-3 r0=0+0 r1=0+0 q0 d0 w1024 w500 d500 q1524 r4096=1024+0@0 q500 r4096=0+500 w100 r4096=100+0@1524 q0",
        // A partial write keeps what it stored; a read wraps around the end
        // of the storage in stream order, yet stops at the loss.
        "w1000 r600=600+0@0 w700 d76 r200=200+0@600 w150 r2048=824+0@800 r2048=150+76@1700 q0",
        // Adjacent losses merge; one stored frame between two keeps them apart.
        "w1024 w10 w20 r1=1+0@0 w1 w5 q1059 r2048=1023+0@1 r2048=1+30@1054 r2048=0+5 q0",
    };
    for (const char* script : scripts) {
        std::tie(ring, next) = std::pair(std::make_unique<AudioRing>(10), 0);
        std::istringstream ops(script);
        for (std::string op; ops >> op;) {
            SCOPED_TRACE(op);
            long long n = std::atoll(op.c_str() + 1), frames = 0, gap = 0, first = -1;
            if (op[0] == 'r' && std::sscanf(op.c_str(), "r%lld=%lld+%lld@%lld", &n, &frames, &gap, &first) >= 3)
                expectRead(n, frames, gap, first);
            else if (op[0] == 'w')
                push(n);
            else
                EXPECT_EQ(op[0] == 'q' ? ring->queued() : ring->droppedFrames(), n);
        }
    }
}

// More separate losses than the table holds: the last ones are owed at the
// newest entry's place, and together the losses keep their full length.
TEST_F(Ring, AFullTableOfLossesMergesTheNewestWithoutForgettingAny)
{
    const int64_t losses = AudioRing::gapSlots + 3;
    push(1024);
    for (int64_t i = 0; i < losses; ++i) {
        push(1 + i); // lost
        expectRead(1, 1, 0);
        push(1); // stored: the next loss is a gap of its own
    }
    EXPECT_EQ(ring->droppedFrames(), losses * (losses + 1) / 2);
    EXPECT_EQ(ring->queued(), 1024 + ring->droppedFrames());
    int64_t frames = 0, gaps = 0, reads = 0;
    for (AudioRing::Block block; ring->queued() > 0; ++reads) {
        std::vector<float> out(2 * 2048);
        block = ring->read(out.data(), 2048);
        frames += block.frames;
        gaps += block.gapFrames;
    }
    EXPECT_EQ(std::pair(frames, gaps), std::pair(int64_t(1024), ring->droppedFrames()));
    EXPECT_EQ(reads, AudioRing::gapSlots + 1);
}

// The writer sleeps on the ring: whatever wakes it must not be missed, or a
// recording stalls until the next level report; a deadline nobody beats
// must hold, or the writer spins. The bounds only guard against a hang.
TEST_F(Ring, AWaitEndsOnEnoughFramesALossTheEndOfInputOrItsDeadline)
{
    const auto wakes = [](AudioRing& ring, std::function<void()> act, int64_t frames) {
        std::thread other([&] {
            std::this_thread::sleep_for(20ms);
            act();
        });
        auto began = AudioRing::Clock::now();
        ring.waitForFrames(frames, began + 30s);
        other.join();
        return AudioRing::Clock::now() - began < 10s;
    };
    push(200);
    EXPECT_TRUE(wakes(*ring, [] {}, 200));
    for (int i = 0; i < 2; ++i) { // a timed-out wait leaves no wake-up behind
        auto deadline = AudioRing::Clock::now() + 50ms;
        ring->waitForFrames(201, deadline);
        EXPECT_GE(AudioRing::Clock::now(), deadline);
    }
    EXPECT_TRUE(wakes(*ring, [&] { push(300); }, 500));
    EXPECT_TRUE(wakes(*ring, [&] { push(1000); }, 5000)); // more than the ring holds: a loss fills it
    EXPECT_EQ(ring->droppedFrames(), 476);
    AudioRing drained(1024);
    EXPECT_TRUE(wakes(drained, [&] { drained.endInput(); }, 1));
    EXPECT_TRUE(wakes(drained, [] {}, 1)); // later waits end at once too
}

// One producer and one consumer at full speed, the consumer pausing now and
// then so the ring overflows. Every frame number must arrive in order, and
// every missing number must be covered by a gap reported exactly there.
TEST(AudioRing, ConcurrentProducerAndConsumerAccountForEveryFrame)
{
    constexpr int64_t total = 3'000'000;
    AudioRing ring(1024);
    std::atomic<bool> producing{true};

    std::thread producer([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> size(1, 700);
        std::vector<float> frames(2 * 700);
        for (int64_t next = 0; next < total;) {
            int64_t count = std::min<int64_t>(size(random), total - next);
            for (int64_t i = 0; i < count; ++i) {
                // Two exact floats: number = high × 1e6 + low.
                frames[2 * i] = float((next + i) % 1'000'000);
                frames[2 * i + 1] = float((next + i) / 1'000'000);
            }
            ring.write(frames.data(), count);
            next += count;
        }
        producing = false;
    });

    std::mt19937 random(11);
    std::uniform_int_distribution<int> capacity(1, 900);
    std::vector<float> out(2 * 900);
    int64_t expected = 0, received = 0, gapTotal = 0, reads = 0;
    while (producing || ring.queued() > 0) {
        AudioRing::Block block = ring.read(out.data(), capacity(random));
        expected += block.gapFrames;
        gapTotal += block.gapFrames;
        for (int64_t i = 0; i < block.frames; ++i, ++expected)
            ASSERT_EQ(int64_t(out[2 * i]) + int64_t(out[2 * i + 1]) * 1'000'000, expected) << "frame " << i;
        received += block.frames;
        if (++reads % 64 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    producer.join();

    EXPECT_EQ(expected, total);
    EXPECT_EQ(ring.droppedFrames(), gapTotal);
    EXPECT_GT(gapTotal, 0) << "the ring never overflowed";
    EXPECT_GT(received, 0);
}

} // namespace
} // namespace korvalin
