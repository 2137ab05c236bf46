#pragma once

// The audio hardware layer in the shape of Core Audio's object-property
// interface. The capture engine is written against these calls; the
// simulated audio system (platform/sim) and the PulseAudio client
// (platform/pulse) stand behind them.
//
// Conventions every implementation follows:
// - Objects are AudioObjectID; 0 is no object, 1 is the system object.
// - Every call answers with an OSStatus; 0 (noErr) is success, anything else
//   a failure whose value is shown to the user (rendered as four characters
//   when printable), so prefer the Core Audio error codes below.
// - Property data is raw memory of the size the caller passes; a read never
//   writes more than *ioDataSize bytes and sets *ioDataSize to what it wrote.
// - String-valued properties ("uid ", "lnam", "pbid") answer with one
//   StringRef (8 bytes) that the caller owns and releases.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class SerialQueue;

using AudioObjectID = uint32_t;
using OSStatus = int32_t;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;

// 'abcd' as a 32-bit big-endian character code.
constexpr uint32_t fourCharCode(const char (&code)[5])
{
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

constexpr OSStatus noErr = 0;
constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes and the one element used.
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// Properties the program reads or listens to. Scope is "glob" unless noted.
//
// System object (1):
//   "dIn "  default input device: AudioObjectID (0 = none). Listened to.
//   "dOut"  default output device: AudioObjectID. Listened to.
//   "prs#"  process objects: array of AudioObjectID.
//   "id2p"  process object of a pid: AudioObjectID (0 = the process has no
//           audio process object yet); qualifier = the pid as int32_t.
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject = fourCharCode("id2p");
// Process object:
//   "ppid"  pid: int32_t.
//   "pbid"  bundle identifier: StringRef (may be an empty string).
constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
// Process tap:
//   "tfmt"  format: AudioStreamBasicDescription (mChannelsPerFrame is used).
constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");
// Device (microphone, aggregate, aggregate sub-device):
//   "uid "  UID: StringRef.
//   "lnam"  name: StringRef.
//   "nsrt"  nominal sample rate: Float64 (double). Listened to on the aggregate.
//   "slay"  stream configuration in scope "inpt": AudioBufferList whose
//           mData are null and mNumberChannels give each buffer's channels;
//           the size query answers audioBufferListSize(number of buffers).
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = fourCharCode("slay");
//   "ssrc"  an output's data source in scope "outp": UInt32, "hdpn" for
//           headphones or a headset, "ispk" for speakers.
constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSource = fourCharCode("ssrc");
constexpr uint32_t kAudioDataSourceHeadphones = fourCharCode("hdpn");
constexpr uint32_t kAudioDataSourceSpeakers = fourCharCode("ispk");
// Aggregate device:
//   "agrp"  active sub-devices: array of AudioObjectID, the microphone's
//           device first when it is active.
constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyActiveSubDeviceList = fourCharCode("agrp");

// Statuses. The first six are what a system refusal looks like (see
// CA::isPermissionRefusal); -1 counts too.
constexpr OSStatus kAudioDevicePermissionsError = OSStatus(fourCharCode("!hog"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCharCode("nope"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCharCode("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCharCode("what"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCharCode("!siz"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCharCode("!dev"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCharCode("unop"));

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
    AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;

    bool operator==(const AudioObjectPropertyAddress&) const = default;
};

// A string property's value, owned by the caller once read.
using StringRef = std::string*;
inline void releaseStringRef(StringRef string) { delete string; }

// 40 bytes, as Core Audio lays it out.
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = 0;
    uint32_t mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 0;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// One buffer of interleaved float32 samples: mDataByteSize / (4 ×
// mNumberChannels) frames.
struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A variable-length record: mNumberBuffers entries follow in place of the
// one declared (allocate audioBufferListSize(n) bytes).
struct AudioBufferList {
    uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

constexpr size_t audioBufferListSize(uint32_t buffers)
{
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (buffers > 0 ? buffers : 1);
}

struct AudioTimeStamp {
    double mSampleTime = 0;
    uint64_t mHostTime = 0;
};

// Process tap description: a stereo mix of everything the system plays
// except the sound of the listed process objects.
struct CATapDescription {
    std::vector<AudioObjectID> processes; // excluded
    bool stereoMixdown = true;
    bool exclusive = true; // true: `processes` are excluded, not the only ones tapped
    std::string name;
    std::string uuid; // the text form the aggregate description refers to
    bool isPrivate = false;
    int muteBehavior = 0; // 0: the tapped sound still plays

    static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes,
                                                               std::string uuid)
    {
        CATapDescription description;
        description.processes = std::move(processes);
        description.uuid = std::move(uuid);
        return description;
    }
};

// Aggregate device description; the fields are Core Audio's published
// aggregate-device keys.
struct AggregateSubDevice {
    std::string uid;       // "uid"
    int drift = 0;         // "drift"
};

struct AggregateTap {
    std::string uid;            // "uid": the tap description's UUID
    int drift = 1;              // "drift"
    uint32_t driftQuality = 0;  // "drift quality"
};

struct AggregateDeviceDescription {
    std::string name;                          // "name"
    std::string uid;                           // "uid"
    bool isPrivate = true;                     // "private"
    bool isStacked = false;                    // "stacked"
    bool tapAutoStart = false;                 // "tapautostart"
    std::string mainSubDevice;                 // "master": UID of the clock device
    std::vector<AggregateSubDevice> subDevices; // "subdevices"
    std::vector<AggregateTap> taps;            // "taps"
};

// The real-time input callback: (now, input, input time, output, output
// time). Called on the implementation's IO thread when registered without a
// queue. The input buffers are valid only during the call.
using AudioDeviceIOBlock = std::function<void(const AudioTimeStamp* now, const AudioBufferList* input,
                                              const AudioTimeStamp* inputTime, AudioBufferList* output,
                                              const AudioTimeStamp* outputTime)>;
// Identifies one registered IO callback; 0 is none.
using AudioDeviceIOProcID = uint64_t;

// A property listener: (number of addresses, addresses that changed). Its
// identity is the pointer: removal must pass the very object that was added.
using AudioObjectPropertyListenerFunction =
    std::function<void(uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses)>;
using AudioObjectPropertyListenerBlock = std::shared_ptr<const AudioObjectPropertyListenerFunction>;

inline AudioObjectPropertyListenerBlock makeListener(AudioObjectPropertyListenerFunction function)
{
    return std::make_shared<const AudioObjectPropertyListenerFunction>(std::move(function));
}

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // AudioObjectGetPropertyDataSize: the size in bytes the data would take.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         uint32_t qualifierSize, const void* qualifier,
                                         uint32_t* outDataSize) = 0;
    // AudioObjectGetPropertyData: fills at most *ioDataSize bytes of outData.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                     void* outData) = 0;

    // AudioHardwareCreateProcessTap / AudioHardwareDestroyProcessTap.
    virtual OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

    // AudioHardwareCreateAggregateDevice / AudioHardwareDestroyAggregateDevice.
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID* outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // AudioDeviceCreateIOProcIDWithBlock: queue null means the callback runs
    // directly on the real-time IO thread.
    virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device,
                                             SerialQueue* queue, AudioDeviceIOBlock block) = 0;
    // AudioDeviceStart / AudioDeviceStop: after stop returns the callback is
    // not called again.
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    // AudioDeviceDestroyIOProcID: releases the callback (and what it holds).
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

    // AudioObjectAddPropertyListenerBlock / AudioObjectRemovePropertyListenerBlock:
    // the listener is called on `queue` whenever the property changes.
    virtual OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              SerialQueue* queue, AudioObjectPropertyListenerBlock listener) = 0;
    virtual OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 SerialQueue* queue,
                                                 const AudioObjectPropertyListenerBlock& listener) = 0;
};

} // namespace platform
