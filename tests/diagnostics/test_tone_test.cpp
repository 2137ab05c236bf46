#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "diagnostics/test_tone.h"
#include "support/event_pipes.h"
#include "platform/platform.h"

using korvalin::TestTone;

namespace {

// An output with a chosen format that keeps what it is given.
struct FakeOutput final : platform::ToneOutput {
    double rate = 48000;
    int channels = 2;
    std::optional<std::string> refusal;
    std::vector<float> played;
    int stops = 0;

    double sampleRate() override { return rate; }
    int channelCount() override { return channels; }
    std::optional<std::string> start(std::vector<float> interleaved) override
    {
        if (!refusal)
            played = std::move(interleaved);
        return refusal;
    }
    void stop() override { ++stops; }
};

struct FakeFactory final : platform::ToneOutputFactory {
    FakeOutput* last = nullptr;
    std::function<void(FakeOutput&)> configure = [](FakeOutput&) {};
    std::unique_ptr<platform::ToneOutput> make() override
    {
        auto output = std::make_unique<FakeOutput>();
        configure(*output);
        last = output.get();
        return output;
    }
};

class Tone : public testing::Test {
protected:
    Tone() { platform::current().tone = &factory; }
    ~Tone() override { platform::current().tone = nullptr; }

    FakeFactory factory;
    korvalin::EventPipes pipes;
};

TEST(ToneBuffer, OneSecondOf440HzAtFifteenPercentInEveryChannel)
{
    auto samples = TestTone::makeBuffer(48000, 2);
    ASSERT_EQ(samples.size(), 2u * 48000);
    EXPECT_EQ(samples[0], 0.0f);
    float peak = 0;
    int crossings = 0;
    for (size_t i = 0; i < 48000; ++i) {
        ASSERT_EQ(samples[2 * i], samples[2 * i + 1]) << "frame " << i;
        peak = std::max(peak, std::abs(samples[2 * i]));
        if (i > 0 && (samples[2 * i - 2] < 0) != (samples[2 * i] < 0))
            ++crossings;
    }
    EXPECT_NEAR(peak, 0.15f, 1e-6f);
    EXPECT_LE(peak, 0.15f);
    // Two zero crossings per period: 440 Hz, not 440 rad/s nor 880 Hz.
    EXPECT_NEAR(crossings, 880, 1);
    // The loop joins without a jump: the last sample leads back into sample 0.
    EXPECT_LT(std::abs(samples[2 * 47999]), 0.15f * 2 * 3.1416f * 440 / 48000 * 1.01f);
}

TEST(ToneBuffer, FollowsTheOutputsOwnFormat)
{
    EXPECT_EQ(TestTone::makeBuffer(44100, 1).size(), 44100u);
    EXPECT_EQ(TestTone::makeBuffer(22050.9, 6).size(), 6u * 22050);
    EXPECT_TRUE(TestTone::makeBuffer(0, 2).empty());
    EXPECT_TRUE(TestTone::makeBuffer(-48000, 2).empty());
    EXPECT_TRUE(TestTone::makeBuffer(48000, 0).empty());
}

TEST_F(Tone, PlaysUntilStoppedOnce)
{
    TestTone tone(pipes.events);
    EXPECT_FALSE(tone.playing());
    EXPECT_FALSE(tone.didPlay());
    tone.start();
    EXPECT_TRUE(tone.playing());
    EXPECT_TRUE(tone.didPlay());
    EXPECT_EQ(factory.last->played, TestTone::makeBuffer(48000, 2));
    tone.stop();
    tone.stop();
    EXPECT_EQ(factory.last->stops, 1);
    EXPECT_FALSE(tone.playing());
    EXPECT_TRUE(tone.didPlay());
    EXPECT_EQ(pipes.err.take(), "");
}

TEST_F(Tone, FailuresAreLogLinesOnly)
{
    struct Case {
        std::function<void(FakeOutput&)> configure;
        std::string log;
    };
    const Case cases[] = {
        {[](FakeOutput& o) { o.rate = 0; }, "korvalin-cap: zkušební tón: neplatný výstupní formát (0.0 Hz)\n"},
        {[](FakeOutput& o) { o.rate = 44100.5; o.channels = 0; },
         "korvalin-cap: zkušební tón: neplatný výstupní formát (44100.5 Hz)\n"},
        {[](FakeOutput& o) { o.refusal = "zařízení je obsazené"; },
         "korvalin-cap: zkušební tón nelze přehrát: zařízení je obsazené\n"},
    };
    for (const Case& c : cases) {
        factory.configure = c.configure;
        TestTone tone(pipes.events);
        tone.start();
        EXPECT_FALSE(tone.playing());
        EXPECT_FALSE(tone.didPlay());
        tone.stop();
        EXPECT_EQ(factory.last->stops, 0) << "a tone that never started is not stopped";
        EXPECT_EQ(pipes.err.take(), c.log);
    }
}

TEST_F(Tone, WithoutAnOutputThereIsNoFormat)
{
    platform::current().tone = nullptr;
    TestTone tone(pipes.events);
    tone.start();
    tone.stop();
    EXPECT_FALSE(tone.didPlay());
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: zkušební tón: neplatný výstupní formát (0.0 Hz)\n");
}

} // namespace
