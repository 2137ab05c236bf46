#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/posix/process_table.h"
#include "platform/pulse/pulse_aggregate_io.h"
#include "platform/pulse/pulse_loop.h"
#include "platform/pulse/pulse_query.h"

namespace platform {

// The audio hardware on a PulseAudio server (PipeWire's pulse server too).
//
// Objects: the system object (1); every source that is not a monitor is an
// input device (UID = source name, name = description, one input buffer of
// the source's channels, nominal rate = the source's rate); every sink is an
// output device; a process object stands for each process that plays (the
// application.process.id of a playback stream), for this program and for
// its host (System::parentPid); its bundle id is the desktop application it
// stands for (ProcessTable::identityOf), empty for a plain program. Default
// input/output = the server's default source/sink; a default source that is
// a monitor counts as no input device.
//
// A process tap listens to the default sink, in one channel (the mean of
// the sink's: its format is mono). Without exclusions it records
// the sink's monitor, the whole output mix; with exclusions it records each
// playback stream that does not belong to an excluded process alone
// (ExclusionTap, rules in ProcessExclusion). An aggregate that stops leaves
// its system-audio recording running with its tap, and the next aggregate
// at the same rate on that tap goes on with it; destroying the tap ends it.
// The taps of a server whose connection is lost are gone.
//
// An aggregate device pairs the microphone source with a tap; started, it
// records both on its own connection and delivers them on the microphone's
// clock (PulseAggregateIO).
//
// "dIn " and "dOut" listeners on the system object hear default source and
// sink changes, "nsrt" listeners on an aggregate its microphone's rate
// changes. When the connection to the server is lost the "dIn " listeners
// are told, and until a server can be reached again the default devices
// read as kAudioHardwareNotRunningError, as Core Audio's do while its
// daemon is down; the outage's length is logged on reconnecting. Creating
// the object never fails and does not touch the server; the first call
// that needs it connects, waiting at most about 2 seconds.
class PulseAudioHardware final : public AudioHardware {
public:
    using Log = std::function<void(const std::string& message)>;

    // `server` is a libpulse server string, nothing for the session's own.
    // `log` receives log lines (Czech, without prefix).
    explicit PulseAudioHardware(std::optional<std::string> server = std::nullopt, Log log = {});
    ~PulseAudioHardware() override;

    // A server answers (connecting again if the connection was lost).
    bool reachable();

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t* ioDataSize, void* outData) override;

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
                                         SerialQueue* queue, const AudioObjectPropertyListenerBlock& listener) override;

private:
    struct Tap {
        CATapDescription description;
        TapOutput output;
        uint32_t rate = 0;
        // Left running by the last aggregate on the tap, for the next one.
        std::unique_ptr<SystemCapture> parked;
    };
    struct Aggregate {
        AggregateDeviceDescription description;
        std::optional<DeviceFacts> mic;
        uint32_t rate = 0; // the microphone's, kept up to date
        std::optional<TapOutput> output;
        std::vector<pid_t> excluded;
        uint32_t tap = 0; // the number of the tap it records, 0 for none
    };
    struct IOProc {
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        std::unique_ptr<PulseAggregateIO> running;
        uint32_t tap = 0; // the running aggregate's
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        SerialQueue* queue;
        AudioObjectPropertyListenerBlock block;
    };
    struct PropertyValue;

    std::shared_ptr<PulseLoop> connection();
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                  const void* qualifier, PropertyValue& value);
    OSStatus readSystem(const AudioObjectPropertyAddress& address, uint32_t qualifierSize, const void* qualifier,
                        PropertyValue& value);
    OSStatus readDevice(const std::optional<DeviceFacts>& device, bool input,
                        const AudioObjectPropertyAddress& address, PropertyValue& value);
    OSStatus readAggregate(uint32_t number, const AudioObjectPropertyAddress& address, PropertyValue& value);
    std::vector<int32_t> processes();
    AudioObjectID defaultInput(PulseLoop& loop);
    AudioObjectID defaultOutput(PulseLoop& loop);
    std::unique_ptr<PulseAggregateIO> takeRunning(AudioDeviceIOProcID procID, uint32_t& tap);
    // Logs what a stopped aggregate counted and parks its system side with its tap.
    void stopped(std::unique_ptr<PulseAggregateIO> running, uint32_t tap);

    // On the loop thread of the connection.
    static void subscribed(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    void serverChanged(const std::string& defaultSource, const std::string& defaultSink);
    void micRateChanged(uint32_t sourceIndex, uint32_t rate);
    void connectionLost();
    void unresolved(pid_t pid);
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);

    const std::optional<std::string> server_;
    const Log log_;
    const ProcessTable processTable_;

    std::mutex connecting_; // one connection attempt at a time
    std::shared_ptr<PulseLoop> loop_;

    // Never held while waiting for the server.
    std::mutex mutex_;
    std::string defaultSource_;
    std::string defaultSink_;
    std::map<uint32_t, Tap> taps_;
    std::map<uint32_t, Aggregate> aggregates_;
    std::map<AudioDeviceIOProcID, IOProc> procs_;
    std::vector<Listener> listeners_;
    std::set<pid_t> unresolved_; // reported once each
    bool hostTold_ = false;       // the host's identity is logged once
    std::optional<std::chrono::steady_clock::time_point> lostAt_; // until connected again
    uint32_t nextObject_ = 1;
    AudioDeviceIOProcID nextProc_ = 1;
};

} // namespace platform
