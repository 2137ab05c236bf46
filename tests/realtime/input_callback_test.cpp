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
using platform::AudioBufferList;

namespace {

// A delivery of interleaved buffers, laid out as the platform hands it over.
class Delivery {
public:
    Delivery(std::vector<int> channels, int64_t frames) : channels_(std::move(channels))
    {
        memory_.resize(platform::audioBufferListSize(static_cast<uint32_t>(channels_.size())));
        list()->mNumberBuffers = static_cast<uint32_t>(channels_.size());
        data_.resize(channels_.size());
        for (size_t b = 0; b < channels_.size(); ++b) {
            data_[b].assign(static_cast<size_t>(frames * channels_[b]), 0.0f);
            list()->mBuffers[b] = {static_cast<uint32_t>(channels_[b]),
                                   static_cast<uint32_t>(data_[b].size() * sizeof(float)),
                                   data_[b].empty() ? nullptr : data_[b].data()};
        }
    }

    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(memory_.data()); }
    float& at(size_t buffer, int64_t frame, int channel)
    {
        return data_[buffer][static_cast<size_t>(frame * channels_[buffer] + channel)];
    }

private:
    std::vector<int> channels_;
    std::vector<std::vector<float>> data_;
    std::vector<unsigned char> memory_;
};

std::vector<float> drain(AudioRing& ring)
{
    std::vector<float> out(2 * 100000);
    auto block = ring.read(out.data(), 100000);
    EXPECT_EQ(block.gapFrames, 0);
    out.resize(static_cast<size_t>(2 * block.frames));
    return out;
}

} // namespace

TEST(InputCallback, MixesMicrophoneLeftAndTheTapsMeanRight)
{
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    DownmixScratch scratch(plan.mic, plan.system);
    AudioRing ring(1024);
    Delivery delivery({1, 2}, 3);
    for (int64_t i = 0; i < 3; ++i) {
        delivery.at(0, i, 0) = 0.25f * (i + 1);
        delivery.at(1, i, 0) = 1.5f;
        delivery.at(1, i, 1) = -0.5f * i;
    }
    scratch.deliver(*delivery.list(), ring);
    EXPECT_EQ(drain(ring), (std::vector<float>{0.25f, 0.75f, 0.5f, 0.5f, 0.75f, 0.25f}));
}

TEST(InputCallback, MissingChannelsOnlyLowerTheLevelAndMicOnlyLeavesRightSilent)
{
    // The plan expects a stereo tap in buffer 1; the delivery brings a mono one.
    std::vector<ChannelRange> mic{{0, 0, 1}}, system{{1, 0, 2}};
    DownmixScratch scratch(mic, system);
    AudioRing ring(1024);
    Delivery delivery({1, 1}, 2);
    delivery.at(0, 0, 0) = 2.0f; // beyond full scale: passes unchanged
    delivery.at(1, 0, 0) = 0.8f;
    delivery.at(1, 1, 0) = -0.8f;
    scratch.deliver(*delivery.list(), ring);
    EXPECT_EQ(drain(ring), (std::vector<float>{2.0f, 0.4f, 0.0f, -0.4f}));

    DownmixScratch micOnly(mic, {});
    micOnly.deliver(*delivery.list(), ring);
    EXPECT_EQ(drain(ring), (std::vector<float>{2.0f, 0.0f, 0.0f, 0.0f}));
}

TEST(InputCallback, FrameCountComesFromTheFirstBufferWithChannels)
{
    std::vector<ChannelRange> mic{{1, 0, 1}}, system{{2, 0, 1}};
    DownmixScratch scratch(mic, system);
    AudioRing ring(1024);
    Delivery delivery({0, 1, 1}, 4);
    delivery.at(1, 3, 0) = 0.5f;
    delivery.at(2, 3, 0) = -0.5f;
    scratch.deliver(*delivery.list(), ring);
    auto frames = drain(ring);
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[6], 0.5f);
    EXPECT_EQ(frames[7], -0.5f);

    Delivery silent({0, 0}, 4);
    scratch.deliver(*silent.list(), ring);
    EXPECT_EQ(ring.queued(), 0);
}

TEST(InputCallback, AnOversizedDeliveryContributesItsFirst48000Frames)
{
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    DownmixScratch scratch(plan.mic, plan.system);
    AudioRing ring(100000);
    Delivery delivery({1, 2}, 60000);
    delivery.at(0, 47999, 0) = 1.0f;
    delivery.at(0, 48000, 0) = 1.0f;
    scratch.deliver(*delivery.list(), ring);
    auto frames = drain(ring);
    ASSERT_EQ(frames.size(), 2u * 48000);
    EXPECT_EQ(frames[2 * 47999], 1.0f);
}

TEST(InputCallback, AllocatesNothingPerDelivery)
{
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    DownmixScratch scratch(plan.mic, plan.system);
    AudioRing ring(384000);
    std::vector<float> sink(2 * 512);
    Delivery delivery({1, 2}, 512);
    watching = true;
    for (int i = 0; i < 20000; ++i) {
        scratch.deliver(*delivery.list(), ring);
        ring.read(sink.data(), 512); // the writer thread's part, keeping the ring from overflowing
    }
    watching = false;
    EXPECT_EQ(allocations, 0);

    // The counter does see allocations, so zero above means none happened.
    watching = true;
    delete new int(1);
    watching = false;
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(ring.droppedFrames(), 0);
}

// The writer thread sleeps on the ring until a delivery wakes it; the wake-up
// is part of the delivery and must allocate nothing either.
TEST(InputCallback, WakingTheSleepingWriterAllocatesNothing)
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
    allocations = 0;
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
    EXPECT_EQ(received, 400 * 480);
}
