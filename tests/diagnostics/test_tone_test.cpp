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
    const std::tuple<double, int, size_t> cases[] = {
        {44100, 1, 44100}, {22050.9, 6, 6 * 22050}, {0, 2, 0}, {-48000, 2, 0}, {48000, 0, 0}};
    for (auto [rate, channels, size] : cases)
        EXPECT_EQ(TestTone::makeBuffer(rate, channels).size(), size) << rate << " Hz × " << channels;
}

// A tone plays until it is stopped, once; a failure is a log line only, and
// a tone that never started is not stopped.
TEST_F(Tone, PlaysUntilStoppedOnceOrLogsWhyNot)
{
    struct Case {
        std::function<void(FakeOutput&)> configure;
        std::string log; // empty: it plays
    };
    const Case cases[] = {
        {[](FakeOutput&) {}, ""},
        {[](FakeOutput& o) { o.rate = 0; }, "korvalin-cap: zkušební tón: neplatný výstupní formát (0.0 Hz)\n"},
        {[](FakeOutput& o) { o.rate = 44100.5; o.channels = 0; },
         "korvalin-cap: zkušební tón: neplatný výstupní formát (44100.5 Hz)\n"},
        {[](FakeOutput& o) { o.refusal = "zařízení je obsazené"; },
         "korvalin-cap: zkušební tón nelze přehrát: zařízení je obsazené\n"},
        {nullptr, "korvalin-cap: zkušební tón: neplatný výstupní formát (0.0 Hz)\n"}, // no output at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        factory.configure = c.configure;
        platform::current().tone = c.configure ? &factory : nullptr;
        TestTone tone(pipes.events);
        tone.start();
        const bool plays = c.log.empty();
        EXPECT_EQ(std::pair(tone.playing(), tone.didPlay()), std::pair(plays, plays));
        tone.stop();
        tone.stop();
        EXPECT_FALSE(tone.playing());
        EXPECT_EQ(tone.didPlay(), plays);
        if (c.configure)
            EXPECT_EQ(factory.last->stops, plays ? 1 : 0);
        if (plays)
            EXPECT_EQ(factory.last->played, TestTone::makeBuffer(48000, 2));
        EXPECT_EQ(pipes.err.take(), c.log);
    }
}

} // namespace
