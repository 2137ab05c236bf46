#include "platform/pulse/pulse_audio_hardware.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/dispatch.h"
#include "platform/pulse/pulse_authorization.h"
#include "platform/pulse/pulse_tone_output.h"
#include "pulse_test_server.h"

using namespace platform;

namespace {

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

AudioObjectID objectProperty(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector)
{
    AudioObjectID value = 0;
    uint32_t size = sizeof value;
    EXPECT_EQ(hardware.getPropertyData(object, address(selector), 0, nullptr, &size, &value), noErr);
    return value;
}

std::optional<std::string> text(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector)
{
    StringRef value = nullptr;
    uint32_t size = sizeof value;
    if (hardware.getPropertyData(object, address(selector), 0, nullptr, &size, &value) != noErr || !value)
        return std::nullopt;
    std::string result = *value;
    releaseStringRef(value);
    return result;
}

double nominalRate(AudioHardware& hardware, AudioObjectID object)
{
    double rate = 0;
    uint32_t size = sizeof rate;
    EXPECT_EQ(hardware.getPropertyData(object, address(kAudioDevicePropertyNominalSampleRate), 0, nullptr, &size,
                                       &rate),
              noErr);
    return rate;
}

std::vector<uint32_t> buffers(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertyScope scope)
{
    auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    uint32_t size = 0;
    if (hardware.getPropertyDataSize(object, where, 0, nullptr, &size) != noErr)
        return {};
    std::vector<unsigned char> storage(size);
    if (hardware.getPropertyData(object, where, 0, nullptr, &size, storage.data()) != noErr)
        return {};
    auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    std::vector<uint32_t> channels;
    for (uint32_t i = 0; i < list->mNumberBuffers; ++i)
        channels.push_back(list->mBuffers[i].mNumberChannels);
    return channels;
}

// What an IO block received: the first channel of each buffer.
struct Recording {
    std::mutex lock;
    std::vector<float> mic;
    std::vector<float> system;
    std::vector<uint32_t> layout; // buffers' channels, of every delivery alike
    bool consistent = true;       // every buffer of a delivery had the same frame count
    uint64_t frames = 0;

    AudioDeviceIOBlock block()
    {
        return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) {
            std::lock_guard guard(lock);
            std::vector<uint32_t> channels;
            size_t count = input->mBuffers[0].mDataByteSize / (4 * input->mBuffers[0].mNumberChannels);
            for (uint32_t b = 0; b < input->mNumberBuffers; ++b) {
                const AudioBuffer& buffer = input->mBuffers[b];
                channels.push_back(buffer.mNumberChannels);
                consistent = consistent && buffer.mDataByteSize / (4 * buffer.mNumberChannels) == count;
                auto& target = b == 0 ? mic : system;
                for (size_t i = 0; i < count; ++i)
                    target.push_back(static_cast<const float*>(buffer.mData)[i * buffer.mNumberChannels]);
            }
            if (!layout.empty() && layout != channels)
                consistent = false;
            layout = channels;
            frames += count;
        };
    }
};

struct Tone {
    double hz = 0;
    double rms = 0;
};

// Frequency by zero crossings and level of the last `count` samples.
Tone measure(const std::vector<float>& samples, size_t count)
{
    if (samples.size() < count || count < 2)
        return {};
    size_t first = samples.size() - count;
    size_t crossings = 0;
    double energy = 0;
    for (size_t i = first; i < samples.size(); ++i) {
        energy += double(samples[i]) * samples[i];
        if (i > first && (samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    }
    return {crossings / 2.0 / (double(count) / 48000.0), std::sqrt(energy / double(count))};
}

class PulseHardware : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = pulsetest::sharedServer();
        if (!server)
            GTEST_SKIP() << "no private sound server (scripts/pulse_server.sh start)";
        hardware = std::make_unique<PulseAudioHardware>(server);
        if (!hardware->reachable())
            GTEST_SKIP() << "the private sound server does not answer";
    }

    void TearDown() override
    {
        if (!server)
            return;
        pulsetest::setDefault("source", "virtual_mic");
        pulsetest::setDefault("sink", "speakers");
        pulsetest::shell("pactl suspend-sink speakers 0");
    }

    // The engine's graph: a tap on the default output and an aggregate of
    // the default input with it.
    AudioObjectID buildAggregate(bool withTap = true)
    {
        AudioObjectID mic = objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
        auto micUID = text(*hardware, mic, kAudioDevicePropertyDeviceUID);
        AggregateDeviceDescription description;
        description.name = "Korvalin Capture";
        description.uid = "KorvalinCapture:TEST";
        description.mainSubDevice = micUID.value_or("");
        description.subDevices = {{micUID.value_or(""), 0}};
        if (withTap) {
            auto tapDescription = CATapDescription::stereoGlobalTapButExcludeProcesses({}, "TAP-UUID");
            EXPECT_EQ(hardware->createProcessTap(tapDescription, &tap), noErr);
            description.taps = {{"TAP-UUID", 1, 96}};
        }
        AudioObjectID aggregate = 0;
        EXPECT_EQ(hardware->createAggregateDevice(description, &aggregate), noErr);
        return aggregate;
    }

    // Runs the aggregate's IO for `seconds` into `recording`.
    void record(AudioObjectID aggregate, Recording& recording, double seconds)
    {
        AudioDeviceIOProcID proc = 0;
        ASSERT_EQ(hardware->createIOProcIDWithBlock(&proc, aggregate, nullptr, recording.block()), noErr);
        ASSERT_EQ(hardware->deviceStart(aggregate, proc), noErr);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        EXPECT_EQ(hardware->deviceStop(aggregate, proc), noErr);
        std::lock_guard guard(recording.lock);
        uint64_t framesAfterStop = recording.frames;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(recording.frames, framesAfterStop) << "no delivery after stop";
        EXPECT_EQ(hardware->destroyIOProcID(aggregate, proc), noErr);
    }

    std::optional<std::string> server;
    std::unique_ptr<PulseAudioHardware> hardware;
    AudioObjectID tap = 0;
};

TEST_F(PulseHardware, DevicesAnswerTheEnginesReads)
{
    AudioObjectID mic = objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_NE(mic, 0u);
    EXPECT_EQ(text(*hardware, mic, kAudioDevicePropertyDeviceUID), "virtual_mic");
    EXPECT_EQ(text(*hardware, mic, kAudioObjectPropertyName), "Virtual Microphone");
    EXPECT_EQ(nominalRate(*hardware, mic), 48000.0);
    EXPECT_EQ(buffers(*hardware, mic, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{1});

    AudioObjectID speakers =
        objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_NE(speakers, 0u);
    EXPECT_NE(speakers, mic);
    EXPECT_EQ(text(*hardware, speakers, kAudioDevicePropertyDeviceUID), "speakers");
    EXPECT_EQ(buffers(*hardware, speakers, kAudioObjectPropertyScopeOutput), std::vector<uint32_t>{2});
    EXPECT_EQ(buffers(*hardware, speakers, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{});

    // A 44.1 kHz microphone reports its own rate.
    ASSERT_TRUE(pulsetest::setDefault("source", "second_mic"));
    AudioObjectID second = objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_NE(second, mic);
    EXPECT_EQ(nominalRate(*hardware, second), pulsetest::sourceRate("second_mic"));

    // A fixed-size property refuses a short buffer rather than writing past it.
    uint16_t tooSmall = 0;
    uint32_t size = sizeof tooSmall;
    EXPECT_EQ(hardware->getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), 0,
                                        nullptr, &size, &tooSmall),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(text(*hardware, 0x7F000001, kAudioDevicePropertyDeviceUID), std::nullopt);
}

TEST_F(PulseHardware, AMonitorAsDefaultSourceIsNoMicrophone)
{
    ASSERT_TRUE(pulsetest::setDefault("source", "speakers.monitor"));
    EXPECT_EQ(objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), 0u);
}

TEST_F(PulseHardware, OwnProcessIsAProcessObjectWithItsExecutableAsBundle)
{
    int32_t pid = int32_t(getpid());
    AudioObjectID process = 0;
    uint32_t size = sizeof process;
    ASSERT_EQ(hardware->getPropertyData(kAudioObjectSystemObject,
                                        address(kAudioHardwarePropertyTranslatePIDToProcessObject), sizeof pid, &pid,
                                        &size, &process),
              noErr);
    ASSERT_NE(process, 0u) << "our own connection names this process";

    uint32_t listSize = 0;
    ASSERT_EQ(hardware->getPropertyDataSize(kAudioObjectSystemObject,
                                            address(kAudioHardwarePropertyProcessObjectList), 0, nullptr, &listSize),
              noErr);
    std::vector<AudioObjectID> list(listSize / 4);
    ASSERT_EQ(hardware->getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyProcessObjectList), 0,
                                        nullptr, &listSize, list.data()),
              noErr);
    EXPECT_NE(std::find(list.begin(), list.end(), process), list.end());

    int32_t readPid = 0;
    size = sizeof readPid;
    ASSERT_EQ(hardware->getPropertyData(process, address(kAudioProcessPropertyPID), 0, nullptr, &size, &readPid), noErr);
    EXPECT_EQ(readPid, pid);
    EXPECT_EQ(text(*hardware, process, kAudioProcessPropertyBundleID), ProcessTable().applicationOf(pid).value_or(""));

    int32_t stranger = 4000000; // above any pid this machine hands out
    process = 7;
    size = sizeof process;
    ASSERT_EQ(hardware->getPropertyData(kAudioObjectSystemObject,
                                        address(kAudioHardwarePropertyTranslatePIDToProcessObject), sizeof stranger,
                                        &stranger, &size, &process),
              noErr);
    EXPECT_EQ(process, 0u);
}

TEST_F(PulseHardware, AggregateDeliversMicrophoneLeftOfTheOutputMixOnOneClock)
{
    auto micTone = pulsetest::tone("micsink", 440, 6);
    auto speakerTone = pulsetest::tone("speakers", 1000, 6);
    ASSERT_TRUE(pulsetest::waitForPlayback(2));

    AudioObjectID aggregate = buildAggregate();
    AudioStreamBasicDescription format;
    uint32_t size = sizeof format;
    ASSERT_EQ(hardware->getPropertyData(tap, address(kAudioTapPropertyFormat), 0, nullptr, &size, &format), noErr);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(buffers(*hardware, aggregate, kAudioObjectPropertyScopeInput), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(nominalRate(*hardware, aggregate), 48000.0);
    AudioObjectID mic = objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    AudioObjectID active = 0;
    size = sizeof active;
    ASSERT_EQ(hardware->getPropertyData(aggregate, address(kAudioAggregateDevicePropertyActiveSubDeviceList), 0,
                                        nullptr, &size, &active),
              noErr);
    EXPECT_EQ(active, mic);

    Recording recording;
    record(aggregate, recording, 2.0);
    EXPECT_EQ(recording.layout, (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(recording.consistent);
    Tone left = measure(recording.mic, 48000);
    Tone right = measure(recording.system, 48000);
    EXPECT_NEAR(left.hz, 440, 10);
    EXPECT_NEAR(left.rms, 0.5 / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(right.hz, 1000, 20);
    EXPECT_NEAR(right.rms, 0.5 / std::sqrt(2.0), 0.05);

    EXPECT_EQ(hardware->destroyAggregateDevice(aggregate), noErr);
    EXPECT_EQ(hardware->destroyProcessTap(tap), noErr);
}

TEST_F(PulseHardware, ASuspendedOutputStillAdvancesWithTheMicrophoneAsSilence)
{
    ASSERT_EQ(pulsetest::shell("pactl suspend-sink speakers 1"), 0);
    auto micTone = pulsetest::tone("micsink", 440, 5);
    ASSERT_TRUE(pulsetest::waitForPlayback(1));
    AudioObjectID aggregate = buildAggregate();

    Recording recording;
    auto started = std::chrono::steady_clock::now();
    record(aggregate, recording, 1.5);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Deliveries follow the microphone, not the silent output: about the
    // time recorded (a loose bound; the machine is shared).
    EXPECT_GT(double(recording.frames), 0.6 * 1.5 * 48000);
    EXPECT_LT(double(recording.frames), 1.2 * elapsed * 48000);
    EXPECT_EQ(recording.system.size(), recording.mic.size());
    EXPECT_EQ(measure(recording.system, 24000).rms, 0.0);
    EXPECT_NEAR(measure(recording.mic, 24000).hz, 440, 10);
    hardware->destroyAggregateDevice(aggregate);
}

TEST_F(PulseHardware, MicrophoneOnlyAggregateHasOneBuffer)
{
    AudioObjectID aggregate = buildAggregate(false);
    EXPECT_EQ(buffers(*hardware, aggregate, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{1});
    Recording recording;
    record(aggregate, recording, 0.5);
    EXPECT_EQ(recording.layout, std::vector<uint32_t>{1});
    EXPECT_GT(recording.frames, 0u);
}

TEST_F(PulseHardware, AggregateWithAVanishedMicrophoneHasNoActiveSubDevice)
{
    AggregateDeviceDescription description;
    description.uid = "KorvalinCapture:GONE";
    description.mainSubDevice = "no_such_source";
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hardware->createAggregateDevice(description, &aggregate), noErr);
    uint32_t size = 0;
    ASSERT_EQ(hardware->getPropertyDataSize(aggregate, address(kAudioAggregateDevicePropertyActiveSubDeviceList), 0,
                                            nullptr, &size),
              noErr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffers(*hardware, aggregate, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{});
    AudioDeviceIOProcID proc = 0;
    Recording recording;
    ASSERT_EQ(hardware->createIOProcIDWithBlock(&proc, aggregate, nullptr, recording.block()), noErr);
    EXPECT_NE(hardware->deviceStart(aggregate, proc), noErr);
    EXPECT_EQ(hardware->destroyIOProcID(aggregate, proc), noErr);
}

TEST_F(PulseHardware, DefaultSourceChangeCallsTheInputListenerOnItsQueue)
{
    SerialQueue queue("listener");
    Semaphore called;
    bool onQueue = false;
    auto listener = makeListener([&](uint32_t count, const AudioObjectPropertyAddress* changed) {
        onQueue = queue.isCurrent() && count == 1 && changed[0].mSelector == kAudioHardwarePropertyDefaultInputDevice;
        called.signal();
    });
    auto where = address(kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_EQ(hardware->addPropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);

    ASSERT_EQ(pulsetest::shell("pactl set-default-source second_mic"), 0);
    ASSERT_TRUE(called.wait(5.0));
    queue.sync([] {});
    EXPECT_TRUE(onQueue);
    AudioObjectID mic = objectProperty(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_EQ(text(*hardware, mic, kAudioDevicePropertyDeviceUID), "second_mic");

    // Only the very listener that was added can be removed.
    auto twin = makeListener([](uint32_t, const AudioObjectPropertyAddress*) {});
    EXPECT_NE(hardware->removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, twin), noErr);
    EXPECT_EQ(hardware->removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
    EXPECT_NE(hardware->removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
}

// PipeWire's pulse server answers a new client with a guessed default until
// its own copy of the defaults arrives, which tells subscribed clients.
// Fresh connections catch that moment now and then; a change after it must
// be heard whatever the first answer was.
TEST_F(PulseHardware, ADefaultChangeRightAfterConnectingIsHeard)
{
    for (int connection = 0; connection < 10; ++connection) {
        SCOPED_TRACE(connection);
        ASSERT_TRUE(pulsetest::setDefault("source", "virtual_mic"));
        PulseAudioHardware fresh(server);
        SerialQueue queue("listener");
        Semaphore called;
        auto listener = makeListener([&](uint32_t, const AudioObjectPropertyAddress*) { called.signal(); });
        auto where = address(kAudioHardwarePropertyDefaultInputDevice);
        ASSERT_EQ(fresh.addPropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
        ASSERT_TRUE(pulsetest::setDefault("source", "second_mic"));
        // A call for the guessed default may come first.
        bool heard = false;
        while (!heard && called.wait(5.0)) {
            AudioObjectID mic = objectProperty(fresh, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
            heard = text(fresh, mic, kAudioDevicePropertyDeviceUID) == "second_mic";
        }
        EXPECT_TRUE(heard);
        fresh.removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener);
    }
}

TEST_F(PulseHardware, MicrophoneIsAuthorisedWhileTheServerAnswers)
{
    PulseAuthorization authorization(*hardware);
    EXPECT_EQ(authorization.microphoneStatus(), 3);
    EXPECT_EQ(authorization.automationPermission("com.example.browser", false), -1);
}

TEST(PulseServerLoss, InputListenerHearsTheServerDieAndNoMicrophoneRemains)
{
    if (!pulsetest::sharedServer())
        GTEST_SKIP() << "no private sound server (scripts/pulse_server.sh start)";
    pulsetest::OwnServer own;
    ASSERT_TRUE(own.server()) << "could not start a second private server";
    PulseAudioHardware hardware(own.server());
    ASSERT_NE(objectProperty(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), 0u);

    SerialQueue queue("engine");
    Semaphore called;
    auto listener = makeListener([&](uint32_t, const AudioObjectPropertyAddress*) { called.signal(); });
    ASSERT_EQ(hardware.addPropertyListenerBlock(kAudioObjectSystemObject,
                                                address(kAudioHardwarePropertyDefaultInputDevice), &queue, listener),
              noErr);

    // A recording is running when the server goes.
    AudioObjectID mic = objectProperty(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    AggregateDeviceDescription description;
    description.mainSubDevice = *text(hardware, mic, kAudioDevicePropertyDeviceUID);
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hardware.createAggregateDevice(description, &aggregate), noErr);
    Recording recording;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, aggregate, nullptr, recording.block()), noErr);
    ASSERT_EQ(hardware.deviceStart(aggregate, proc), noErr);

    own.killHard();
    ASSERT_TRUE(called.wait(5.0));
    EXPECT_EQ(objectProperty(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), 0u);
    EXPECT_FALSE(hardware.reachable());
    PulseAuthorization authorization(hardware);
    EXPECT_EQ(authorization.microphoneStatus(), -1);
    // The dead graph is torn down as usual.
    EXPECT_EQ(hardware.deviceStop(aggregate, proc), noErr);
    EXPECT_EQ(hardware.destroyIOProcID(aggregate, proc), noErr);
    EXPECT_EQ(hardware.destroyAggregateDevice(aggregate), noErr);
}

TEST(PulseNoServer, StartsWithoutInputDeviceAndRefusesToBuild)
{
    PulseAudioHardware hardware(std::string("unix:/nonexistent/korvalin/native"));
    EXPECT_FALSE(hardware.reachable());
    EXPECT_EQ(objectProperty(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), 0u);
    AudioObjectID tap = 0;
    EXPECT_NE(hardware.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses({}, "T"), &tap), noErr);
    AudioObjectID aggregate = 0;
    EXPECT_NE(hardware.createAggregateDevice(AggregateDeviceDescription{}, &aggregate), noErr);

    PulseToneOutput output(std::string("unix:/nonexistent/korvalin/native"));
    EXPECT_EQ(output.sampleRate(), 0.0);
    EXPECT_NE(output.start(std::vector<float>(2, 0.0f)), std::nullopt);
}

} // namespace
