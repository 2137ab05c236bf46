#include "diagnostics/permissions.h"

#include <memory>

#include "capture/core_audio.h"
#include "platform/audio_hardware.h"
#include "platform/authorization.h"
#include "platform/dispatch.h"
#include "platform/os_version.h"
#include "platform/platform.h"

namespace korvalin::Permissions {

namespace {

constexpr int notDetermined = 0;

// The default input device's name; "neznámé zařízení" when its name cannot
// be read, empty when there is no default input device (and why, when the
// audio system does not answer).
std::string inputDeviceName(EventWriter& events)
{
    platform::AudioObjectID device = 0;
    OSStatus status =
        CA::read(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultInputDevice, device);
    if (status == platform::kAudioHardwareNotRunningError)
        events.log(audioSystemDown);
    if (status != platform::noErr || device == 0)
        return "";
    return CA::string(device, platform::kAudioObjectPropertyName, platform::kAudioObjectPropertyScopeGlobal)
        .value_or("neznámé zařízení");
}

} // namespace

std::string microphoneState(int status)
{
    switch (status) {
    case 0: return "undetermined";
    case 1: return "restricted";
    case 2: return "denied";
    case 3: return "granted";
    default: return "unknown";
    }
}

std::string microphoneState()
{
    return microphoneState(platform::current().authorization->microphoneStatus());
}

std::string automationState(std::optional<int32_t> result)
{
    if (!result)
        return "unknown";
    switch (*result) {
    case 0: return "granted";
    case -600: return "not_running";
    case -1743: return "denied";
    case -1744: return "undetermined";
    default: return "unknown";
    }
}

void report(EventWriter& events)
{
    events.emit(Event{{"ev", "permissions"},
                      {"os_version", osVersionString()},
                      {"os_supported", isSupportedOS()},
                      {"microphone", microphoneState()},
                      {"system_audio", "unknown"},
                      {"input_device", inputDeviceName(events)}});
}

std::string requestMicrophone(double timeoutSeconds)
{
    platform::Authorization& authorization = *platform::current().authorization;
    if (authorization.microphoneStatus() == notDetermined) {
        // Shared with the completion, which may run after a timed-out wait.
        auto answered = std::make_shared<platform::Semaphore>(0);
        authorization.requestMicrophoneAccess([answered](bool) { answered->signal(); });
        answered->wait(timeoutSeconds);
    }
    return microphoneState();
}

void automation(const std::vector<std::string>& bundleIDs, bool request, EventWriter& events)
{
    Json apps = Json::array();
    for (const std::string& bundleID : bundleIDs) {
        auto result = platform::current().authorization->automationPermission(bundleID, request);
        apps.push_back(Json{{"bundle_id", bundleID}, {"state", automationState(result)}});
    }
    events.emit(Event{{"ev", "automation"}, {"apps", apps}});
}

} // namespace korvalin::Permissions
