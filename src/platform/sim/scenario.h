#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <variant>
#include <vector>

#include "platform/audio_hardware.h"

namespace platform::sim {

// A sine: frequency in Hz and amplitude of full scale.
struct Tone {
    double hz = 0;
    double amplitude = 0;
};

struct DeviceSpec {
    std::string uid;
    std::string name;
    std::vector<int> input; // channels per input buffer
    double rate = 48000;
    Tone tone;
};

// A process the audio system knows; pid is a number or the program's own
// ("self") or parent's ("parent") process id.
struct ProcessSpec {
    enum class Who { number, self, parent };
    Who who = Who::number;
    pid_t pid = 0;
    std::string bundleID;
};

// Platform calls made to answer with a chosen status.
struct Failures {
    std::optional<OSStatus> tap;
    bool tapFormat = false; // the tap's format reads as 0 channels
    std::optional<OSStatus> aggregate;
    std::optional<OSStatus> ioProc;
    std::optional<OSStatus> deviceStart;
    std::optional<OSStatus> listener;
};

// A change at a moment after start: exactly one of the three.
struct TimelineEvent {
    struct DefaultInput {
        std::optional<std::string> uid; // nothing: no default input
    };
    struct DefaultOutput {
        std::string name;
    };
    struct Rate {
        double hz = 0;
    };
    double at = 0; // seconds since the simulated system was created
    std::variant<DefaultInput, DefaultOutput, Rate> change;
};

// The output's own crystal: `ppm` faster (or, negative, slower) than the
// microphone's, its 10-ms blocks each arriving up to `jitterMs` late.
struct OutputClock {
    double ppm = 0;
    double jitterMs = 0;
    double blockMs = 10;
    double holdMs = 0;
    double holdEverySeconds = 0;
};

struct WriterFaults {
    std::optional<double> stallAt;
    std::optional<double> stallFor;
    std::optional<double> failAt;
    std::optional<double> deadline; // replaces the engine's wait for a writer thread
};

// The simulated world, read from a JSON object whose keys are all optional:
//
//   "os_version":   "14.4.1"       product version; major and minor parsed from it
//   "microphone":   "granted" | "denied" | "restricted" | "undetermined"
//   "devices":      [{"uid", "name", "input": [channels per buffer], "rate": Hz,
//                     "tone": [Hz, amplitude]}]
//                   default: one mono 48 kHz device "sim-mic" playing 1000 Hz at 0.25
//   "default_input":  a device uid, or null for none (default: the first device)
//   "default_output": the output device's name (default "sim-speakers")
//   "headphones":   [name…]: output devices that are headphones or a headset
//   "system_tone":  [Hz, amplitude] other applications play (default [440, 0.5]);
//                   a tap hears it on each channel, plus the program's own
//                   sound unless the tap excludes the program's process
//   "tap_channels": channels of a tap's format (default 2)
//   "output_clock": {"ppm": number, "jitter_ms": number, "block_ms": number,
//                    "hold_ms": number, "hold_every_s": number}: the output runs
//                   on a clock of its own, so the aggregate's system side passes
//                   through a SystemAudioQueue like a real one: blocks of
//                   block_ms (default 10; 200 is a Bluetooth burst) at the
//                   output's pace pushed, each up to jitter_ms late (a fixed
//                   pseudo-random sequence), and taken at the microphone's.
//                   Every hold_every_s seconds the output holds its blocks back
//                   for hold_ms, then delivers them at once, as a sum waiting for
//                   a stream that joins or leaves does.
//                   Without it the tap shares the microphone's clock.
//   "processes":    [{"pid": number | "self" | "parent", "bundle_id": string}]
//                   default: self and parent, without bundle ids
//   "fail":         {"tap": status, "tap_format": true, "aggregate": status,
//                    "io_proc": status, "device_start": status, "listener": status}
//   "aggregate_input": [channels per buffer] replacing the aggregate's own
//                   (the microphone's buffers, then one buffer of the tap's channels)
//   "aggregate_without_mic": true leaves the aggregate's active sub-devices empty
//   "timeline":     [{"at": seconds, "default_input": uid | null}
//                    | {"at": s, "default_output": name} | {"at": s, "rate": Hz}]
//                   "rate" sets the nominal rate of the default input device and
//                   of every aggregate built on it; each change notifies the
//                   listeners of the property it changes
//   "writer":       {"stall_at": s, "stall_for": s, "fail_at": s} for the media writer,
//                   "deadline": s for how long closing a segment waits for the writer thread
//   "tone_output":  "fail" makes the program's own test-tone output refuse to start
struct Scenario {
    std::string osVersion = "14.4.1";
    std::string microphone = "granted";
    std::vector<DeviceSpec> devices{{"sim-mic", "Simulovaný mikrofon", {1}, 48000, {1000, 0.25}}};
    std::optional<std::string> defaultInput = "sim-mic";
    std::string defaultOutput = "sim-speakers";
    std::vector<std::string> headphones; // output devices that are headphones
    Tone systemTone{440, 0.5};
    int tapChannels = 2;
    std::optional<OutputClock> outputClock;
    std::vector<ProcessSpec> processes{{ProcessSpec::Who::self, 0, ""}, {ProcessSpec::Who::parent, 0, ""}};
    Failures fail;
    std::optional<std::vector<int>> aggregateInput;
    bool aggregateWithoutMic = false;
    std::vector<TimelineEvent> timeline;
    WriterFaults writer;
    bool toneOutputFails = false;

    // Not read from JSON: the identity the simulated system reports for the
    // program, taken from the real process unless a test sets them.
    pid_t pid;
    pid_t parentPid;
    std::string bundleIdentifier;

    Scenario();

    // Throws std::invalid_argument with a message naming the bad key.
    static Scenario parse(const std::string& json);
    static Scenario load(const std::string& path);
};

} // namespace platform::sim
