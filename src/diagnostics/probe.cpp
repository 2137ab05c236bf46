#include "diagnostics/probe.h"

#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "diagnostics/permissions.h"
#include "diagnostics/test_tone.h"
#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "tools/level.h"

namespace korvalin::Probe {

namespace {

// System audio quieter than this (dBFS) was not heard.
constexpr double audibleLevel = -60.0;

double reported(float linear)
{
    return roundedLevel(levelDb(linear));
}

double rmsLevel(double energy, int64_t frames)
{
    if (frames < 1)
        return -120.0;
    return reported(static_cast<float>(std::sqrt(energy / static_cast<double>(frames))));
}

// Records the scratch segment with the tone playing and reports it; throws
// when the capture cannot be set up.
int capture(double seconds, CaptureEngine& engine, EventWriter& events, const std::string& path)
{
    TestTone tone(events);
    if (engine.hasOpenSegment())
        throw CommandError(ErrorCode::busy, "segment už běží");
    // The program's own output stays in the tap: that is how the tone is
    // heard, so it must not be cancelled as echo either.
    engine.setEchoCancel(EchoCancel::off);
    engine.buildDevices(false);
    try {
        engine.openSegment(path);
        engine.startIO();
    } catch (...) {
        engine.finishSegment();
        engine.teardownDevices();
        throw;
    }
    engine.installDeviceListeners();
    events.emit(engine.startedEvent(path, false));

    tone.start();
    // A termination signal cuts the capture short; the steps below still run
    // and leave nothing behind (in a one-shot mode their events go nowhere
    // by then; in the serve loop they come before the signal's own).
    platform::sleepUnlessInterrupted(seconds);
    tone.stop();

    SessionStats stats = engine.segmentStats();
    std::optional<std::string> problem = engine.systemAudioError();
    bool hasSystem = engine.capturesSystemAudio();

    std::optional<ClosedSegment> closed;
    if (engine.hasOpenSegment()) {
        engine.stopIO();
        closed = engine.finishSegment();
        engine.teardownDevices();
        if (closed)
            events.emit(engine.closedEvent(*closed));
    }

    double systemPeak = reported(stats.systemPeak);
    std::string verdict = !hasSystem ? "denied" : systemPeak > audibleLevel ? "granted" : "silent";
    Event result{{"ev", "probe_result"},
                 {"microphone", Permissions::microphoneState()},
                 {"system_audio", verdict},
                 {"mic_peak_db", reported(stats.micPeak)},
                 {"sys_peak_db", systemPeak},
                 {"mic_rms_db", rmsLevel(stats.micEnergy, stats.frames)},
                 {"sys_rms_db", rmsLevel(stats.systemEnergy, stats.frames)},
                 {"frames", stats.frames},
                 {"sample_rate", static_cast<int64_t>(engine.captureRate())},
                 {"tone_played", tone.didPlay()},
                 {"seconds", std::round(seconds * 10.0) / 10.0}};
    if (problem)
        result["msg"] = *problem;
    if (closed)
        result["bytes"] = closed->bytes;
    events.emit(result);
    return verdict == "granted" ? 0 : 1;
}

Event failureEvent(const CommandError& error)
{
    return Event{{"ev", "probe_result"},
                 {"microphone", Permissions::microphoneState()},
                 {"system_audio", error.code == ErrorCode::permissionDenied ? "denied" : "error"},
                 {"error_code", rawValue(error.code)},
                 {"msg", error.message},
                 {"mic_peak_db", -120.0},
                 {"sys_peak_db", -120.0}};
}

// A scratch directory of the probe's own, under a name nobody can guess or
// plant beforehand, that only this user can enter.
std::string scratchDirectory()
{
    std::string path = platform::current().system->temporaryDirectory() + "korvalin-probe-XXXXXX";
    if (!::mkdtemp(path.data()))
        throw std::runtime_error(std::strerror(errno));
    return path;
}

} // namespace

int run(double seconds, CaptureEngine& engine, EventWriter& events)
{
    std::string directory;
    int status = 1;
    try {
        directory = scratchDirectory();
        status = capture(seconds, engine, events, directory + "/probe.m4a");
    } catch (const CommandError& error) {
        events.emit(failureEvent(error));
    } catch (const std::exception& error) {
        events.emit(errorEvent("internal", std::string("zkušební capture selhal: ") + error.what(), true));
    }
    std::error_code ignored;
    if (!directory.empty())
        std::filesystem::remove_all(directory, ignored);
    return status;
}

} // namespace korvalin::Probe
