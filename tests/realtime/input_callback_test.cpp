#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "capture/audio_ring.h"
#include "capture/channel_plan.h"
#include "capture/downmix.h"
#include "support/buffer_list.h"

// Every allocation of the process goes through here; a thread counts its
// own while it is being watched.
namespace {
thread_local bool watching = false;
thread_local long allocations = 0;

void* counted(std::size_t size)
{
    if (watching)
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using korvalin::AudioRing;
using korvalin::ChannelRange;
using korvalin::DownmixScratch;
using Delivery = korvalin::BufferList;

namespace {

std::vector<float> drain(AudioRing& ring)
{
    std::vector<float> out(2 * 100000);
    auto block = ring.read(out.data(), 100000);
    EXPECT_EQ(block.gapFrames, 0);
    out.resize(static_cast<size_t>(2 * block.frames));
    return out;
}

} // namespace

// Left the microphone, right the mean of the planned system channels: a
// missing channel only lowers the level, samples beyond full scale pass,
// the frame count comes from the first buffer with channels.
TEST(InputCallback, MixesMicrophoneLeftAndTheSystemsMeanRight)
{
    using Ranges = std::vector<ChannelRange>;
    struct Case {
        std::vector<int> channels;
        std::vector<std::vector<float>> data;
        Ranges mic, system;
        std::vector<float> frames;
    };
    const Case cases[] = {
        {{1, 2}, {{0.25f, 0.5f, 0.75f}, {1.5f, 0, 1.5f, -0.5f, 1.5f, -1.0f}}, {{0, 0, 1}}, {{1, 0, 2}},
         {0.25f, 0.75f, 0.5f, 0.5f, 0.75f, 0.25f}},
        {{1, 1}, {{2.0f, 0}, {0.8f, -0.8f}}, {{0, 0, 1}}, {{1, 0, 2}}, {2.0f, 0.4f, 0, -0.4f}},
        {{1, 1}, {{2.0f, 0}, {0.8f, -0.8f}}, {{0, 0, 1}}, {}, {2.0f, 0, 0, 0}},
        {{0, 1, 1}, {{}, {0, 0.5f}, {0, -0.5f}}, {{1, 0, 1}}, {{2, 0, 1}}, {0, 0, 0.5f, -0.5f}},
        {{0, 0}, {{}, {}}, {{0, 0, 1}}, {{1, 0, 1}}, {}},
    };
    for (const Case& c : cases) {
        DownmixScratch scratch(c.mic, c.system);
        AudioRing ring(1024);
        Delivery delivery(c.channels, c.data);
        scratch.deliver(*delivery.list(), ring);
        EXPECT_EQ(drain(ring), c.frames) << testing::PrintToString(c.channels);
    }
}

TEST(InputCallback, AnOversizedDeliveryContributesItsFirst48000Frames)
{
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    DownmixScratch scratch(plan.mic, plan.system);
    AudioRing ring(100000);
    Delivery delivery({1, 2}, 60000);
    delivery.data[0][47999] = 1.0f;
    scratch.deliver(*delivery.list(), ring);
    auto frames = drain(ring);
    ASSERT_EQ(frames.size(), 2u * 48000);
    EXPECT_EQ(frames[2 * 47999], 1.0f);
}

// Deliveries, the ring writes and the wake-ups of the writer sleeping on the
// ring allocate nothing.
TEST(InputCallback, AllocatesNothingPerDelivery)
{
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    DownmixScratch scratch(plan.mic, plan.system);
    AudioRing ring(384000);
    Delivery delivery({1, 2}, 480);
    int64_t received = 0;
    std::thread writer([&] {
        std::vector<float> sink(2 * 960);
        for (;;) {
            ring.waitForFrames(960, AudioRing::Clock::now() + std::chrono::seconds(10));
            int64_t frames = ring.read(sink.data(), 960).frames;
            if (frames == 0)
                return; // only after the end of input
            received += frames;
        }
    });
    watching = true;
    for (int i = 0; i < 400; ++i) {
        scratch.deliver(*delivery.list(), ring);
        if (i % 2 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the writer falls asleep on half a block
    }
    watching = false;
    ring.endInput();
    writer.join();
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(received, 400 * 480); // the ring holds all of it: nothing may be lost

    // The counter does see allocations, so zero above means none happened.
    watching = true;
    delete new int(1);
    watching = false;
    EXPECT_EQ(allocations, 1);
}
