#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "capture/audio_ring.h"

namespace korvalin {
namespace {

// Frames whose two samples both carry the frame's number.
std::vector<float> numbered(int first, int count)
{
    std::vector<float> frames;
    for (int i = 0; i < count; ++i)
        frames.insert(frames.end(), {float(first + i), float(first + i)});
    return frames;
}

TEST(AudioRing, RaisesSmallCapacityAndIgnoresEmptyCalls)
{
    AudioRing ring(10);
    EXPECT_EQ(ring.capacityFrames, 1024);
    float frame[2] = {1, 1};
    ring.write(frame, 0);
    ring.write(frame, -3);
    AudioRing::Block block = ring.read(frame, 0);
    EXPECT_EQ(block.frames, 0);
    EXPECT_EQ(block.gapFrames, 0);
    EXPECT_EQ(ring.queued(), 0);
    EXPECT_EQ(ring.droppedFrames(), 0);
}

TEST(AudioRing, OverflowIsReportedWhereItHappened)
{
    AudioRing ring(1024);
    auto first = numbered(0, 1024);
    ring.write(first.data(), 1024);
    auto lost = numbered(1024, 500);
    ring.write(lost.data(), 500);
    EXPECT_EQ(ring.droppedFrames(), 500);
    EXPECT_EQ(ring.queued(), 1524);

    std::vector<float> out(2 * 4096);
    AudioRing::Block block = ring.read(out.data(), 4096);
    EXPECT_EQ(block.frames, 1024);
    EXPECT_EQ(block.gapFrames, 0);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(out[2 * i], float(i));
    // Everything audible was read, but the loss is still owed.
    EXPECT_EQ(ring.queued(), 500);

    block = ring.read(out.data(), 4096);
    EXPECT_EQ(block.frames, 0);
    EXPECT_EQ(block.gapFrames, 500);

    auto later = numbered(1524, 100);
    ring.write(later.data(), 100);
    block = ring.read(out.data(), 4096);
    EXPECT_EQ(block.frames, 100);
    EXPECT_EQ(block.gapFrames, 0);
    EXPECT_EQ(out[0], 1524.0f);
    EXPECT_EQ(ring.queued(), 0);
}

TEST(AudioRing, PartialWriteKeepsStoredFramesAndReadsStopAtTheGap)
{
    AudioRing ring(1024);
    std::vector<float> out(2 * 2048);
    auto head = numbered(0, 1000);
    ring.write(head.data(), 1000);
    ASSERT_EQ(ring.read(out.data(), 600).frames, 600);
    auto tooMuch = numbered(1000, 700); // 624 fit (around the end), 76 are lost
    ring.write(tooMuch.data(), 700);
    EXPECT_EQ(ring.droppedFrames(), 76);
    ASSERT_EQ(ring.read(out.data(), 200).frames, 200);
    auto after = numbered(1700, 150); // stored behind the loss
    ring.write(after.data(), 150);

    // Room for everything, yet the read ends at the loss; it wraps around the
    // end of the storage in stream order.
    AudioRing::Block block = ring.read(out.data(), 2048);
    EXPECT_EQ(block.frames, 824);
    EXPECT_EQ(block.gapFrames, 0);
    for (int i = 0; i < 824; ++i)
        ASSERT_EQ(out[2 * i + 1], float(800 + i));

    block = ring.read(out.data(), 2048);
    EXPECT_EQ(block.gapFrames, 76);
    EXPECT_EQ(block.frames, 150);
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(out[2 * i], float(1700 + i));
    EXPECT_EQ(ring.queued(), 0);
}

TEST(AudioRing, AdjacentLossesMergeAndSeparatedLossesDoNot)
{
    AudioRing ring(1024);
    auto frames = numbered(0, 1024);
    ring.write(frames.data(), 1024);
    ring.write(frames.data(), 10);
    ring.write(frames.data(), 20); // nothing stored in between: one gap of 30
    std::vector<float> out(2 * 1024);
    ASSERT_EQ(ring.read(out.data(), 1).frames, 1);
    ring.write(frames.data(), 1);  // one frame stored...
    ring.write(frames.data(), 5);  // ...so this loss is a gap of its own
    EXPECT_EQ(ring.droppedFrames(), 35);
    EXPECT_EQ(ring.queued(), 1024 + 35);

    AudioRing::Block block = ring.read(out.data(), 2048);
    EXPECT_EQ(block.frames, 1023);
    EXPECT_EQ(block.gapFrames, 0);
    block = ring.read(out.data(), 2048);
    EXPECT_EQ(block.gapFrames, 30);
    EXPECT_EQ(block.frames, 1);
    block = ring.read(out.data(), 2048);
    EXPECT_EQ(block.gapFrames, 5);
    EXPECT_EQ(block.frames, 0);
    EXPECT_EQ(ring.queued(), 0);
}

// How long a wait for `frames` lasted, in seconds.
double waited(AudioRing& ring, int64_t frames, AudioRing::Clock::time_point deadline)
{
    auto began = AudioRing::Clock::now();
    ring.waitForFrames(frames, deadline);
    return std::chrono::duration<double>(AudioRing::Clock::now() - began).count();
}

// The writer sleeps on the ring: whatever wakes it must not be missed, or a
// recording stalls until the next level report; a deadline nobody beats
// must hold, or the writer spins.
TEST(AudioRing, AWaitEndsOnEnoughFramesALossTheEndOfInputOrItsDeadline)
{
    using namespace std::chrono_literals;
    const auto later = [] { return AudioRing::Clock::now() + 30s; };
    AudioRing ring(1024);
    auto frames = numbered(0, 1024);

    ring.write(frames.data(), 200);
    EXPECT_LT(waited(ring, 200, later()), 10);
    auto deadline = AudioRing::Clock::now() + 50ms;
    ring.waitForFrames(201, deadline);
    EXPECT_GE(AudioRing::Clock::now(), deadline);
    deadline = AudioRing::Clock::now() + 50ms; // the timed-out wait left no wake-up behind
    ring.waitForFrames(201, deadline);
    EXPECT_GE(AudioRing::Clock::now(), deadline);

    std::thread producer([&] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(20ms);
            ring.write(frames.data(), 100);
        }
    });
    EXPECT_LT(waited(ring, 500, later()), 10);
    producer.join();
    EXPECT_EQ(ring.queued(), 600);

    // More than the ring holds: a full ring, here by a loss, is enough.
    std::thread overflow([&] {
        std::this_thread::sleep_for(20ms);
        ring.write(frames.data(), 1000);
    });
    EXPECT_LT(waited(ring, 5000, later()), 10);
    overflow.join();
    EXPECT_EQ(ring.droppedFrames(), 576);

    AudioRing drained(1024);
    std::thread ending([&] {
        std::this_thread::sleep_for(20ms);
        drained.endInput();
    });
    EXPECT_LT(waited(drained, 1, later()), 10);
    ending.join();
    EXPECT_LT(waited(drained, 1, later()), 10);
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
        ASSERT_GE(block.gapFrames, 0);
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
    EXPECT_EQ(received + gapTotal, total);
    EXPECT_EQ(ring.droppedFrames(), gapTotal);
    EXPECT_GT(gapTotal, 0) << "the ring never overflowed";
    EXPECT_GT(received, 0);
    EXPECT_EQ(ring.queued(), 0);
}

} // namespace
} // namespace korvalin
