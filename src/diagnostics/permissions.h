#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

namespace korvalin {

// The permissions recording depends on, as the host asks for them. None of
// these operations fails: every outcome is a state string in an event.
namespace Permissions {

// "undetermined", "restricted", "denied", "granted" for the capture-device
// statuses 0 to 3; "unknown" for any other.
std::string microphoneState(int status);
// The microphone state now, without prompting.
std::string microphoneState();
// "granted" (0), "not_running" (-600), "denied" (-1743), "undetermined"
// (-1744); "unknown" for any other result or no result at all.
std::string automationState(std::optional<int32_t> result);

// One `permissions` event: system version, microphone, input device.
void report(EventWriter& events);
// Prompts when the state is not yet determined and waits for the answer at
// most `timeoutSeconds`; returns the state then.
std::string requestMicrophone(double timeoutSeconds = 120);
// One `automation` event with the state of each application, in the order given.
void automation(const std::vector<std::string>& bundleIDs, bool request, EventWriter& events);

} // namespace Permissions

} // namespace korvalin
