#include "platform/pulse/pulse_audio_hardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

// A fixed-size property (`pid` its qualifier); unwritten it would read as -1.
template <class T>
T read(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector,
       const int32_t* pid = nullptr)
{
    T value = T(-1);
    uint32_t size = sizeof value;
    EXPECT_EQ(hardware.getPropertyData(object, address(selector), pid ? sizeof *pid : 0, pid, &size, &value), noErr);
    return value;
}

AudioObjectID defaultInput(AudioHardware& hardware)
{
    return read<AudioObjectID>(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
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

class PulseHardware : public pulsetest::OnServer {
protected:
    void SetUp() override
    {
        OnServer::SetUp();
        if (IsSkipped())
            return;
        hardware = std::make_unique<PulseAudioHardware>(server);
        if (!hardware->reachable())
            GTEST_SKIP() << "the private sound server does not answer";
    }

    // The engine's graph: a tap on the default output and an aggregate of
    // the default input with it.
    AudioObjectID buildAggregate(bool withTap)
    {
        auto micUID = text(*hardware, defaultInput(*hardware), kAudioDevicePropertyDeviceUID).value_or("");
        AggregateDeviceDescription description;
        description.uid = "KorvalinCapture:TEST";
        description.mainSubDevice = micUID;
        description.subDevices = {{micUID, 0}};
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

    std::unique_ptr<PulseAudioHardware> hardware;
    AudioObjectID tap = 0;
};

TEST_F(PulseHardware, DevicesAnswerTheEnginesReads)
{
    AudioObjectID mic = defaultInput(*hardware);
    ASSERT_NE(mic, 0u);
    EXPECT_EQ(text(*hardware, mic, kAudioDevicePropertyDeviceUID), "virtual_mic");
    EXPECT_EQ(read<double>(*hardware, mic, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_EQ(buffers(*hardware, mic, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{1});
    EXPECT_EQ(PulseAuthorization(*hardware).microphoneStatus(), 3);

    auto speakers = read<AudioObjectID>(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_NE(speakers, mic);
    EXPECT_EQ(text(*hardware, speakers, kAudioDevicePropertyDeviceUID), "speakers");
    EXPECT_EQ(buffers(*hardware, speakers, kAudioObjectPropertyScopeOutput), std::vector<uint32_t>{2});
    EXPECT_EQ(buffers(*hardware, speakers, kAudioObjectPropertyScopeInput), std::vector<uint32_t>{});

    // A fixed-size property refuses a short buffer rather than writing past it.
    uint16_t tooSmall = 0;
    uint32_t size = sizeof tooSmall;
    EXPECT_EQ(hardware->getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), 0,
                                        nullptr, &size, &tooSmall),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(text(*hardware, 0x7F000001, kAudioDevicePropertyDeviceUID), std::nullopt);

    // An output's monitor as the default source is no microphone.
    ASSERT_TRUE(pulsetest::setDefault("source", "speakers.monitor"));
    EXPECT_EQ(defaultInput(*hardware), 0u);

    // Speakers, or an output worn on the head (here by its form factor).
    auto source = [&](AudioObjectID output) {
        uint32_t value = 0, size = sizeof value;
        EXPECT_EQ(hardware->getPropertyData(output, address(kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeOutput),
                                            0, nullptr, &size, &value),
                  noErr);
        return value;
    };
    EXPECT_EQ(source(speakers), kAudioDataSourceSpeakers);
    std::string module = pulsetest::output(
        "pactl load-module module-null-sink sink_name=worn sink_properties=device.form_factor=headphone");
    ASSERT_TRUE(pulsetest::setDefault("sink", "worn"));
    EXPECT_EQ(source(read<AudioObjectID>(*hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice)),
              kAudioDataSourceHeadphones);
    pulsetest::setDefault("sink", "speakers");
    pulsetest::shell("pactl unload-module " + module);
}

TEST_F(PulseHardware, OwnProcessIsAProcessObjectWithItsExecutableAsBundle)
{
    const int32_t pid = int32_t(getpid()), stranger = 4000000; // above any pid this machine hands out
    auto translate = kAudioHardwarePropertyTranslatePIDToProcessObject;
    auto process = read<AudioObjectID>(*hardware, kAudioObjectSystemObject, translate, &pid);
    ASSERT_NE(process, 0u) << "our own connection names this process";
    EXPECT_EQ(read<int32_t>(*hardware, process, kAudioProcessPropertyPID), pid);
    EXPECT_EQ(text(*hardware, process, kAudioProcessPropertyBundleID), ProcessTable().identityOf(pid)->application);
    EXPECT_EQ(read<AudioObjectID>(*hardware, kAudioObjectSystemObject, translate, &stranger), 0u);

    auto where = address(kAudioHardwarePropertyProcessObjectList);
    uint32_t size = 0;
    ASSERT_EQ(hardware->getPropertyDataSize(kAudioObjectSystemObject, where, 0, nullptr, &size), noErr);
    std::vector<AudioObjectID> list(size / 4);
    ASSERT_EQ(hardware->getPropertyData(kAudioObjectSystemObject, where, 0, nullptr, &size, list.data()), noErr);
    EXPECT_NE(std::find(list.begin(), list.end(), process), list.end());
}

// Deliveries follow the microphone, also while the output is suspended (its
// tap then delivers silence) and without a tap at all.
TEST_F(PulseHardware, AggregateDeliversOnTheMicrophonesClockWithOrWithoutATap)
{
    ASSERT_EQ(pulsetest::shell("pactl suspend-sink speakers 1"), 0);
    auto micTone = pulsetest::tone("micsink", 440, 10);
    ASSERT_TRUE(pulsetest::waitForPlayback(1));
    for (bool withTap : {true, false}) {
        SCOPED_TRACE(withTap);
        const auto layout = withTap ? std::vector<uint32_t>{1, 1} : std::vector<uint32_t>{1};
        AudioObjectID aggregate = buildAggregate(withTap);
        EXPECT_EQ(buffers(*hardware, aggregate, kAudioObjectPropertyScopeInput), layout);
        Recording recording;
        auto started = std::chrono::steady_clock::now();
        record(aggregate, recording, 1.5);
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // About the time recorded (a loose bound; the machine is shared).
        EXPECT_GT(double(recording.frames), 0.6 * 1.5 * 48000);
        EXPECT_LT(double(recording.frames), 1.2 * elapsed * 48000);
        EXPECT_EQ(recording.layout, layout);
        EXPECT_TRUE(recording.consistent);
        EXPECT_NEAR(measure(recording.mic, 24000).hz, 440, 10);
        EXPECT_EQ(measure(recording.system, 24000).rms, 0.0);
        EXPECT_EQ(hardware->destroyAggregateDevice(aggregate), noErr);
        EXPECT_EQ(withTap ? hardware->destroyProcessTap(tap) : noErr, noErr);
    }
}

TEST_F(PulseHardware, AggregateWithAVanishedMicrophoneHasNoActiveSubDeviceAndDoesNotStart)
{
    AggregateDeviceDescription description;
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

// PipeWire's pulse server answers a new client with a guessed default until
// its own copy of the defaults arrives, which tells subscribed clients.
// Fresh connections catch that moment now and then; a change after it must
// be heard whatever the first answer was, on the listener's queue. Only the
// very listener that was added can be removed.
TEST_F(PulseHardware, ADefaultSourceChangeCallsTheListenerOnItsQueueRightAfterConnecting)
{
    for (int connection = 0; connection < 10; ++connection) {
        SCOPED_TRACE(connection);
        ASSERT_TRUE(pulsetest::setDefault("source", "virtual_mic"));
        PulseAudioHardware fresh(server);
        SerialQueue queue("listener");
        Semaphore called;
        bool onQueue = true;
        auto listener = makeListener([&](uint32_t count, const AudioObjectPropertyAddress* changed) {
            onQueue = onQueue && queue.isCurrent() && count == 1 &&
                      changed[0].mSelector == kAudioHardwarePropertyDefaultInputDevice;
            called.signal();
        });
        auto where = address(kAudioHardwarePropertyDefaultInputDevice);
        ASSERT_EQ(fresh.addPropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
        ASSERT_TRUE(pulsetest::setDefault("source", "second_mic"));
        bool heard = false; // a call for the guessed default may come first
        while (!heard && called.wait(5.0))
            heard = text(fresh, defaultInput(fresh), kAudioDevicePropertyDeviceUID) == "second_mic";
        EXPECT_TRUE(heard);
        auto twin = makeListener([](uint32_t, const AudioObjectPropertyAddress*) {});
        EXPECT_NE(fresh.removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, twin), noErr);
        EXPECT_EQ(fresh.removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
        EXPECT_NE(fresh.removePropertyListenerBlock(kAudioObjectSystemObject, where, &queue, listener), noErr);
        queue.sync([] {});
        EXPECT_TRUE(onQueue);
    }
}

TEST(PulseNoServer, StartsAndAnswersAsAnAudioSystemThatIsNotRunning)
{
    PulseAudioHardware hardware(std::string("unix:/nonexistent/korvalin/native"));
    EXPECT_FALSE(hardware.reachable());
    EXPECT_EQ(PulseAuthorization(hardware).microphoneStatus(), -1);
    for (auto selector : {kAudioHardwarePropertyDefaultInputDevice, kAudioHardwarePropertyDefaultOutputDevice}) {
        AudioObjectID device = 0;
        uint32_t size = sizeof device;
        EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, address(selector), 0, nullptr, &size, &device),
                  kAudioHardwareNotRunningError);
    }
    AudioObjectID tap = 0;
    EXPECT_NE(hardware.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses({}, "T"), &tap), noErr);
    AudioObjectID aggregate = 0;
    EXPECT_NE(hardware.createAggregateDevice(AggregateDeviceDescription{}, &aggregate), noErr);

    PulseToneOutput output(std::string("unix:/nonexistent/korvalin/native"));
    EXPECT_EQ(output.sampleRate(), 0.0);
    EXPECT_NE(output.start(std::vector<float>(2, 0.0f)), std::nullopt);
}

} // namespace
