#include "platform/sim/sim_authorization.h"

#include <algorithm>

namespace platform::sim {

int SimAuthorization::microphoneStatus()
{
    static const std::string states[] = {"undetermined", "restricted", "denied", "granted"};
    auto found = std::find(std::begin(states), std::end(states), scenario_.microphone);
    return found == std::end(states) ? -1 : static_cast<int>(found - std::begin(states));
}

void SimAuthorization::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    completion(microphoneStatus() == 3);
}

std::optional<int32_t> SimAuthorization::automationPermission(const std::string& bundleID, bool askUser)
{
    if (bundleID.empty())
        return std::nullopt;
    bool running = std::any_of(scenario_.processes.begin(), scenario_.processes.end(),
                               [&](const ProcessSpec& process) { return process.bundleID == bundleID; });
    if (!running)
        return -600;
    return askUser ? 0 : -1744;
}

} // namespace platform::sim
