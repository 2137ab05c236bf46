#pragma once

#include "platform/authorization.h"
#include "platform/sim/scenario.h"

namespace platform::sim {

// Permissions as the scenario states them. A request answers at once and
// leaves the state as it is, like a user who dismisses the prompt.
class SimAuthorization final : public Authorization {
public:
    explicit SimAuthorization(const Scenario& scenario) : scenario_(scenario) {}

    int microphoneStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    // An application among the scenario's processes needs consent: given
    // when asked for, undetermined otherwise; any other is not running. An
    // empty identifier makes no target.
    std::optional<int32_t> automationPermission(const std::string& bundleID, bool askUser) override;

private:
    const Scenario& scenario_;
};

} // namespace platform::sim
