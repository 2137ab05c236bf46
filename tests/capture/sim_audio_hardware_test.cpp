#include <gtest/gtest.h>

#include "capture/core_audio.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"

namespace korvalin {
namespace {

using namespace platform;
using platform::sim::Scenario;

// What a scenario key can silently get wrong: a list's order, null against
// absent, and a bad value that must not pass. (The engine's tests rely on
// the other keys.)
TEST(SimScenario, KeysThatAreEasyToGetWrong)
{
    Scenario full = Scenario::parse(R"({"output_clock": {"ppm": -500, "jitter_ms": 20},
        "timeline": [{"at": 2, "rate": 96000}, {"at": 1, "default_input": null}]})");
    EXPECT_EQ(std::pair(full.outputClock->ppm, full.outputClock->jitterMs), std::pair(-500.0, 20.0));
    EXPECT_EQ(std::get<sim::TimelineEvent::DefaultInput>(full.timeline.at(0).change).uid, std::nullopt);
    EXPECT_EQ(Scenario::parse(R"({"default_input": null})").defaultInput, std::nullopt);
    for (const char* bad : {"[]", "{", R"({"microphone": "maybe"})", R"({"tap_channels": "two"})",
                            R"({"timeline": [{"at": 1}]})", R"({"system_tone": [440]})",
                            R"({"output_clock": {"jitter_ms": -1}})", R"({"output_clock": 5})"})
        EXPECT_THROW(Scenario::parse(bad), std::invalid_argument) << bad;
}

class SimHardware : public ::testing::Test {
protected:
    void SetUp() override { saved_ = current(); }
    void TearDown() override { current() = saved_; }

    void use(Scenario scenario)
    {
        sim = std::make_unique<platform::sim::SimPlatform>(std::move(scenario));
        sim->install();
    }

    std::unique_ptr<platform::sim::SimPlatform> sim;

private:
    Platform saved_;
};

// Where the simulator could be kinder than the system: a missing qualifier,
// an unknown object, a buffer too short for the whole list.
TEST_F(SimHardware, AnswersLikeTheSystem)
{
    use(Scenario{});
    AudioObjectID process = 0;
    EXPECT_EQ(CA::read(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject, process),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(CA::string(12345, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal), std::nullopt);
    AudioObjectID first[1] = {0};
    uint32_t size = 6;
    EXPECT_EQ(sim->audio.getPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyProcessObjectList}, 0,
                                         nullptr, &size, first),
              noErr);
    EXPECT_EQ(std::pair(size, first[0]), std::pair(4u, sim->audio.selfProcessID()));
}

} // namespace
} // namespace korvalin
