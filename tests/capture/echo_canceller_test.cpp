#include <gtest/gtest.h>

#include "echo_scene.h"

namespace korvalin {
namespace {

using namespace echo_scene;

constexpr double seconds = 12;

// A far end talking from 1 s, heard through `room` (none: headphones),
// the reference `lag` late in the recording, a near end in `nearStretches`.
struct Call {
    std::vector<float> system, echo, near, mic;
    std::vector<std::string> log;
    Output out;

    Call(std::optional<Room> room, std::vector<std::pair<double, double>> nearStretches, double lag = 0,
         double farLevel = 0.1, double jumpAt = 0)
    {
        std::vector<float> speakers = voice(seconds, 7, {{1, seconds}}, farLevel);
        echo.assign(speakers.size(), 0.0f);
        if (room)
            addEcho(speakers, *room, echo, 0, echo.size());
        system.assign(speakers.size(), 0.0f);
        auto late = static_cast<long>(at(lag));
        std::copy(speakers.begin(), speakers.end() - late, system.begin() + late);
        if (jumpAt > 0) // from then on the reference comes 20 ms later
            system.insert(system.begin() + static_cast<long>(at(jumpAt)), at(0.02), 0.0f), system.resize(echo.size());
        near = voice(seconds, 11, nearStretches);
        for (size_t n = 0; n < echo.size(); ++n)
            mic.push_back(std::clamp(echo[n] + near[n], -1.0f, 1.0f));
    }

    Call& cancel()
    {
        EchoCanceller canceller(rate, [this](const std::string& line) { log.push_back(line); });
        out = run(canceller, mic, system);
        EXPECT_EQ(out.mic.size(), mic.size());
        EXPECT_EQ(out.system, system); // the reference is written as it came, aligned
        return *this;
    }
};

// Also while the echo path drifts (a lag still settling): 20 ppm leaves a
// fixed filter some 13 dB.
TEST(EchoCanceller, RemovesTheEchoWhetherTheReferenceLeadsOrTrails)
{
    const std::pair<const char*, Call> calls[] = {
        {"leads by 47 ms", Call(Room{}, {})},
        {"trails by 30 ms", Call(Room{.delay = 0.005}, {}, 0.035)},
        {"leads, the path drifting by 20 ppm", Call(Room{.ppm = 20}, {})},
        {"trails, the path drifting by -20 ppm", Call(Room{.delay = 0.005, .ppm = -20}, {}, 0.035)},
    };
    for (auto [name, call] : calls)
        EXPECT_GE(erle(call.echo, call.near, call.cancel().out.mic, 6, seconds), 20) << name;
}

// A lag that jumps by 20 ms, beyond what the drift follows (a busy server's
// gap): the lead is found again and the filter learns afresh.
TEST(EchoCanceller, FindsTheEchoAgainAfterTheLagJumps)
{
    Call call(Room{}, {}, 0, 0.1, 6);
    call.cancel();
    EXPECT_GE(erle(call.echo, call.near, call.out.mic, 9, seconds), 20);
    EXPECT_EQ(call.log.back(), "potlačení ozvěny: systémový zvuk je od své ozvěny 27 ms");
}

// The near end may lose at most 1.5 dB wherever it talks; where nothing is
// to be cancelled the microphone passes untouched.
TEST(EchoCanceller, KeepsTheNearEnd)
{
    const std::vector<std::pair<double, double>> talk{{7, 11}};
    struct Case {
        const char* name;
        Call call;
        bool untouched;
    } cases[] = {
        {"double talk", Call(Room{}, talk), false},
        {"clipping", Call(Room{.levelDb = 0}, talk, 0, 0.5), false},
        {"headphones", Call(std::nullopt, talk), true},
        {"no system audio", Call(Room{}, talk, 0, 0), true},
    };
    for (auto& [name, call, untouched] : cases) {
        call.cancel();
        NearEnd kept = nearEnd(call.near, call.out.mic, 0, seconds);
        EXPECT_GE(kept.gainDb, -1.5) << name;
        EXPECT_GE(kept.p10Db, -6) << name; // not cut in bits, nor out of step with the reference
        if (untouched) {
            EXPECT_EQ(call.out.mic, call.mic) << name;
        }
        for (const std::string& line : call.log) // the lead, when found, and nothing out of reach
            EXPECT_EQ(line.find("mimo dosah"), std::string::npos) << name << ": " << line;
    }
}

// A writer that is behind has frames pass uncancelled, and counted, until
// it catches up.
TEST(EchoCanceller, CountsWhatItLetThroughUncancelled)
{
    Call call(Room{}, {});
    EchoCanceller canceller(rate, [](const std::string&) {});
    const size_t half = at(seconds / 2), frame = at(0.02);
    std::vector<float> stereo(2 * call.mic.size()), out(2 * call.mic.size());
    for (size_t n = 0; n < call.mic.size(); ++n)
        stereo[2 * n] = call.mic[n], stereo[2 * n + 1] = call.system[n];
    canceller.push(stereo.data(), static_cast<int64_t>(half));
    ASSERT_TRUE(canceller.leadSeconds()); // cancelling by now
    canceller.push(stereo.data() + 2 * half, static_cast<int64_t>(call.mic.size() - half), false);
    canceller.flush();
    ASSERT_EQ(canceller.pull(out.data(), static_cast<int64_t>(call.mic.size())), static_cast<int64_t>(call.mic.size()));
    // All but the frames around the switch passed as they came.
    const size_t uncancelled = (call.mic.size() - half) / frame * frame - 2 * frame;
    EXPECT_GE(canceller.skippedFrames(), static_cast<int64_t>(uncancelled));
    EXPECT_LE(canceller.skippedFrames(), static_cast<int64_t>(call.mic.size() - half));
    EXPECT_TRUE(std::equal(out.end() - 2 * uncancelled, out.end(), stereo.end() - 2 * uncancelled));
}

TEST(EchoCanceller, LeavesAnEchoOutOfReachAloneAndSaysSoOnce)
{
    Call call(Room{.delay = 0.3}, {{7, 11}});
    call.cancel();
    EXPECT_EQ(call.out.mic, call.mic);
    ASSERT_EQ(call.log.size(), 1u);
    EXPECT_TRUE(call.log[0].starts_with("potlačení ozvěny: systémový zvuk je od své ozvěny 30")) << call.log[0];
    EXPECT_TRUE(call.log[0].ends_with(" ms, mimo dosah filtru — mikrofon zůstává beze změny")) << call.log[0];
}

} // namespace
} // namespace korvalin
