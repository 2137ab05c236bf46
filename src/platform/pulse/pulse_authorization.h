#pragma once

#include "platform/authorization.h"
#include "platform/pulse/pulse_audio_hardware.h"

namespace platform {

// Linux grants no per-application microphone or automation permission: the
// microphone counts as authorised whenever the sound server can be reached,
// and automation states are unknown.
class PulseAuthorization final : public Authorization {
public:
    explicit PulseAuthorization(PulseAudioHardware& hardware) : hardware_(hardware) {}

    static constexpr int authorised = 3;
    static constexpr int unknown = -1;

    int microphoneStatus() override { return hardware_.reachable() ? authorised : unknown; }
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override
    {
        completion(microphoneStatus() == authorised);
    }
    std::optional<int32_t> automationPermission(const std::string&, bool) override { return unknown; }

private:
    PulseAudioHardware& hardware_;
};

} // namespace platform
