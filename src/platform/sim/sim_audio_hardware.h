#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/sim/scenario.h"

namespace platform::sim {

// Objects alive in the simulated system that the program created or
// registered; all zero once everything was released.
struct Census {
    int taps = 0;
    int aggregates = 0;
    int ioProcs = 0;
    int listeners = 0;

    bool operator==(const Census&) const = default;
};

// An in-process audio system: the system object, the scenario's devices and
// processes, default devices, process taps, aggregate devices, property
// listeners and IO threads that deliver a buffer of about 10 ms in real time.
// A device's input carries its tone on every channel; a tap's channels carry
// the system tone plus the program's own sound (unless the tap excludes the
// program's process object), on the output's own clock when the scenario
// gives it one. Timeline changes run on a thread of their own.
class SimAudioHardware final : public AudioHardware {
public:
    explicit SimAudioHardware(Scenario scenario);
    ~SimAudioHardware() override;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                             void* outData) override;
    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device, SerialQueue* queue,
                                     AudioDeviceIOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      SerialQueue* queue, AudioObjectPropertyListenerBlock listener) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         SerialQueue* queue,
                                         const AudioObjectPropertyListenerBlock& listener) override;

    // Applies a timeline change now and notifies the listeners concerned.
    void apply(const TimelineEvent& event);

    // The program's own output (the test tone): interleaved frames looped
    // until stopped.
    void playOwnSound(std::vector<float> interleaved, int channels);
    void stopOwnSound();

    // What the program left created or registered.
    Census census() const;
    // Creations, destructions, starts and stops, in call order ("createProcessTap", ...).
    std::vector<std::string> calls() const;
    std::optional<CATapDescription> lastTapDescription() const;
    std::optional<AggregateDeviceDescription> lastAggregateDescription() const;
    // The object of a scenario device, or 0 (the device and process tables
    // never change shape, so these two need no lock).
    AudioObjectID deviceID(const std::string& uid) const;
    // The object of the program's own process, or 0 when the scenario has none.
    AudioObjectID selfProcessID() const;

private:
    struct Device {
        DeviceSpec spec;
    };
    struct Process {
        pid_t pid;
        std::string bundleID;
    };
    struct Tap {
        CATapDescription description;
    };
    struct Aggregate {
        AggregateDeviceDescription description;
        AudioObjectID mic = 0; // the clock sub-device, 0 when its UID is unknown
        AudioObjectID tap = 0;
    };
    struct IOProc;
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        SerialQueue* queue;
        AudioObjectPropertyListenerBlock block;
    };
    // One answer to a property read.
    struct Answer {
        OSStatus status = noErr;
        std::vector<uint8_t> bytes;
        std::optional<std::string> string; // string-valued properties
        bool array = false;                // reads may take a prefix of whole elements
        uint32_t elementSize = 1;
    };

    Answer answer(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                  const void* qualifier) const;
    std::vector<int> inputBuffers(AudioObjectID device) const;
    double rate(AudioObjectID device) const;
    void notify(const std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>>& changed);
    void deliver(IOProc& proc);
    void runTimeline();
    void stop(IOProc& proc);

    Scenario scenario_;
    mutable std::mutex mutex_;
    std::map<AudioObjectID, Device> devices_;
    std::map<AudioObjectID, std::string> outputs_; // output device objects by name
    std::map<AudioObjectID, Process> processes_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioDeviceIOProcID, std::shared_ptr<IOProc>> procs_;
    std::vector<Listener> listeners_;
    AudioObjectID defaultInput_ = 0;
    AudioObjectID defaultOutput_ = 0;
    AudioObjectID nextObject_ = 1000;
    AudioDeviceIOProcID nextProc_ = 1;
    std::vector<std::string> calls_;
    std::optional<CATapDescription> lastTap_;
    std::optional<AggregateDeviceDescription> lastAggregate_;
    std::vector<float> ownSound_;
    int ownChannels_ = 0;

    std::condition_variable timelineWake_;
    bool closing_ = false;
    std::thread timeline_;
};

} // namespace platform::sim
