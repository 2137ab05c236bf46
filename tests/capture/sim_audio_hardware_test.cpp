#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <numbers>

#include "capture/core_audio.h"
#include "drain.h"
#include "platform/dispatch.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"

namespace korvalin {
namespace {

using namespace platform;
using platform::sim::Census;
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

// Collects deliveries of an IO callback.
struct Deliveries {
    std::mutex mutex;
    std::vector<std::vector<float>> mic, tap; // first delivery's channels
    int count = 0;
    Semaphore enough;

    AudioDeviceIOBlock block(int wanted)
    {
        return [this, wanted](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                              AudioBufferList*, const AudioTimeStamp*) {
            std::lock_guard guard(mutex);
            if (count++ == 0) {
                for (uint32_t b = 0; b < input->mNumberBuffers; ++b) {
                    const AudioBuffer& buffer = input->mBuffers[b];
                    const auto* samples = static_cast<const float*>(buffer.mData);
                    size_t values = buffer.mDataByteSize / 4;
                    (b == 0 ? mic : tap).emplace_back(samples, samples + values);
                }
            }
            if (count == wanted)
                enough.signal();
        };
    }
};

// The first delivery of an aggregate of the microphone and a tap that leaves
// out the program or not, while the program plays a constant 0.125.
TEST_F(SimHardware, AggregateDeliversMicrophoneAndSystemTones)
{
    for (bool excludeSelf : {false, true}) {
        SCOPED_TRACE(excludeSelf);
        use(Scenario{});
        sim->audio.playOwnSound(std::vector<float>(96000, 0.125f), 2);
        std::vector<AudioObjectID> excluded;
        if (excludeSelf)
            excluded.push_back(sim->audio.selfProcessID());
        AudioObjectID tap = 0, aggregate = 0;
        ASSERT_EQ(sim->audio.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses(excluded, "TAP-1"),
                                              &tap),
                  noErr);
        AggregateDeviceDescription combined;
        combined.mainSubDevice = "sim-mic";
        combined.subDevices = {{"sim-mic", 0}};
        combined.taps = {{"TAP-1", 1, 96}};
        ASSERT_EQ(sim->audio.createAggregateDevice(combined, &aggregate), noErr);
        EXPECT_EQ(CA::channelsPerBuffer(aggregate, kAudioObjectPropertyScopeInput), (std::vector<int>{1, 2}));

        Deliveries got;
        AudioDeviceIOProcID proc = 0;
        ASSERT_EQ(sim->audio.createIOProcIDWithBlock(&proc, aggregate, nullptr, got.block(3)), noErr);
        ASSERT_EQ(sim->audio.deviceStart(aggregate, proc), noErr);
        ASSERT_TRUE(got.enough.wait(10.0));
        ASSERT_EQ(sim->audio.deviceStop(aggregate, proc), noErr);
        int stoppedAt = got.count;
        ASSERT_EQ(sim->audio.destroyIOProcID(aggregate, proc), noErr);
        EXPECT_EQ(got.count, stoppedAt); // nothing after the stop

        ASSERT_EQ(got.mic[0].size(), 480u); // 10 ms of mono at 48 kHz
        ASSERT_EQ(got.tap[0].size(), 960u); // and of the stereo tap
        for (size_t i = 0; i < 480; ++i) {
            double t = double(i) / 48000;
            ASSERT_NEAR(got.mic[0][i], 0.25 * std::sin(2 * std::numbers::pi * 1000 * t), 1e-5);
            double system = 0.5 * std::sin(2 * std::numbers::pi * 440 * t) + (excludeSelf ? 0 : 0.125);
            ASSERT_NEAR(got.tap[0][2 * i], system, 1e-5);
            ASSERT_NEAR(got.tap[0][2 * i + 1], system, 1e-5);
        }
        sim->audio.destroyAggregateDevice(aggregate);
        sim->audio.destroyProcessTap(tap);
        EXPECT_EQ(sim->audio.census(), Census{});
    }
}

// The listener is registered after the simulator starts its clock: the
// changes come late enough that a slow (sanitised) run does not miss one.
TEST_F(SimHardware, TimelineNotifiesOnTheListenersQueue)
{
    use(Scenario::parse(R"({"devices": [{"uid": "a"}, {"uid": "b"}],
                            "timeline": [{"at": 0.5, "default_input": "b"}, {"at": 0.6, "default_input": null}]})"));
    SerialQueue queue("listeners");
    Semaphore notified;
    std::vector<AudioObjectID> seen;
    AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice};
    auto listener = makeListener([&](uint32_t count, const AudioObjectPropertyAddress* addresses) {
        EXPECT_TRUE(queue.isCurrent());
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(addresses[0], address);
        AudioObjectID device = 99;
        CA::read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, device);
        seen.push_back(device);
        notified.signal();
    });
    ASSERT_EQ(sim->audio.addPropertyListenerBlock(kAudioObjectSystemObject, address, &queue, listener), noErr);
    ASSERT_TRUE(notified.wait(10.0));
    ASSERT_TRUE(notified.wait(10.0));
    drain(queue);
    EXPECT_EQ(seen, (std::vector<AudioObjectID>{sim->audio.deviceID("b"), 0}));

    // Only the very listener that was registered removes it.
    auto twin = makeListener([](uint32_t, const AudioObjectPropertyAddress*) {});
    EXPECT_NE(sim->audio.removePropertyListenerBlock(kAudioObjectSystemObject, address, &queue, twin), noErr);
    EXPECT_EQ(sim->audio.census().listeners, 1);
    EXPECT_EQ(sim->audio.removePropertyListenerBlock(kAudioObjectSystemObject, address, &queue, listener), noErr);
    EXPECT_EQ(sim->audio.census(), Census{});
    // The simulator's clock thread may still be inside its last hand-over to
    // the queue: it ends before the queue does.
    sim.reset();
}

} // namespace
} // namespace korvalin
