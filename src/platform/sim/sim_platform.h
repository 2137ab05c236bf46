#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_authorization.h"
#include "platform/system.h"
#include "platform/tone_output.h"

namespace platform::sim {

// The system facts of the scenario; files and the temporary directory are
// the real machine's.
class SimSystem final : public System {
public:
    explicit SimSystem(const Scenario& scenario) : scenario_(scenario) {}

    std::optional<std::string> productVersion() const override { return scenario_.osVersion; }
    OSVersion osVersion() const override { return parseVersion(scenario_.osVersion); }
    pid_t pid() const override { return scenario_.pid; }
    pid_t parentPid() const override { return scenario_.parentPid; }
    std::string bundleIdentifier() const override { return scenario_.bundleIdentifier; }
    std::string temporaryDirectory() const override { return host_.temporaryDirectory(); }
    void fullFlush(const std::string& path) const override { host_.fullFlush(path); }

private:
    const Scenario& scenario_;
    PosixSystem host_;
};

// The program's own output: what it plays is heard by taps that do not
// exclude the program's process.
class SimToneOutputFactory final : public ToneOutputFactory {
public:
    SimToneOutputFactory(const Scenario& scenario, SimAudioHardware& audio) : scenario_(scenario), audio_(audio) {}
    std::unique_ptr<ToneOutput> make() override;

private:
    const Scenario& scenario_;
    SimAudioHardware& audio_;
};

// Everything simulated, installed as the process's platform.
struct SimPlatform {
    explicit SimPlatform(Scenario scenario);
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    // Points platform::current() at the simulated system and audio hardware
    // (and the tone output and permissions); other services stay as they are.
    void install();

    Scenario scenario;
    SimSystem system;
    SimAudioHardware audio;
    SimToneOutputFactory tone;
    SimAuthorization authorization{scenario};
};

} // namespace platform::sim
