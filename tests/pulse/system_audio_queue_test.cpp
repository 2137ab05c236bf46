#include "platform/pulse/system_audio_queue.h"

#include <gtest/gtest.h>

#include <vector>

using platform::SystemAudioQueue;

namespace {

// Stereo frames whose left sample is the frame's number and right its negative.
std::vector<float> frames(int first, int count)
{
    std::vector<float> samples;
    for (int i = first; i < first + count; ++i) {
        samples.push_back(float(i));
        samples.push_back(-float(i));
    }
    return samples;
}

std::vector<float> take(SystemAudioQueue& queue, size_t count)
{
    std::vector<float> out(count * 2, 123.0f);
    queue.take(out.data(), count);
    return out;
}

} // namespace

TEST(SystemAudioQueue, NothingQueuedGivesSilenceOfTheFullLength)
{
    SystemAudioQueue queue(2, 4, 16);
    EXPECT_EQ(take(queue, 8), std::vector<float>(16, 0.0f));
    EXPECT_EQ(queue.trimmedFrames(), 0u);
}

TEST(SystemAudioQueue, WaitsForTheCushionThenPlaysInOrderAcrossTheWrap)
{
    SystemAudioQueue queue(2, 4, 16);
    queue.push(frames(0, 3).data(), 3);
    EXPECT_EQ(take(queue, 2), std::vector<float>(4, 0.0f)) << "below the cushion nothing is played";
    queue.push(frames(3, 1).data(), 1);

    // Many small pushes and takes run the write position round the buffer.
    int next = 4;
    int expected = 0;
    for (int round = 0; round < 20; ++round) {
        queue.push(frames(next, 3).data(), 3);
        next += 3;
        EXPECT_EQ(take(queue, 3), frames(expected, 3)) << "round " << round;
        expected += 3;
    }
    EXPECT_EQ(queue.backlog(), 4u);
    EXPECT_EQ(queue.trimmedFrames(), 0u);
}

TEST(SystemAudioQueue, RunningDryFillsTheRestWithSilenceAndRebuildsTheCushion)
{
    SystemAudioQueue queue(2, 4, 16);
    queue.push(frames(0, 6).data(), 6);
    std::vector<float> expected = frames(0, 6);
    expected.resize(16, 0.0f);
    EXPECT_EQ(take(queue, 8), expected);

    queue.push(frames(6, 2).data(), 2);
    EXPECT_EQ(take(queue, 2), std::vector<float>(4, 0.0f)) << "two frames do not refill a cushion of four";
    queue.push(frames(8, 2).data(), 2);
    EXPECT_EQ(take(queue, 4), frames(6, 4));
}

TEST(SystemAudioQueue, BacklogBeyondTheBoundIsCutToTheNewestCushionAndCounted)
{
    SystemAudioQueue queue(2, 4, 16);
    queue.push(frames(0, 10).data(), 10);
    queue.push(frames(10, 10).data(), 10); // 20 > 16: keep the newest 4
    EXPECT_EQ(queue.backlog(), 4u);
    EXPECT_EQ(queue.trimmedFrames(), 16u);
    EXPECT_EQ(take(queue, 4), frames(16, 4));

    queue.push(frames(100, 40).data(), 40); // one push larger than the bound
    EXPECT_EQ(queue.trimmedFrames(), 16u + 36u);
    EXPECT_EQ(take(queue, 4), frames(136, 4));
}

TEST(SystemAudioQueue, AHoleInTheStreamQueuesSilence)
{
    SystemAudioQueue queue(2, 1, 16);
    queue.push(frames(1, 2).data(), 2);
    queue.push(nullptr, 2);
    queue.push(frames(5, 1).data(), 1);
    std::vector<float> expected = frames(1, 2);
    expected.insert(expected.end(), 4, 0.0f);
    auto tail = frames(5, 1);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(take(queue, 5), expected);
}
