#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// The system's per-application permissions: microphone access and the right
// to send automation events to other applications.
class Authorization {
public:
    virtual ~Authorization() = default;

    // Capture-device authorisation for audio: 0 not determined,
    // 1 restricted, 2 denied, 3 authorised; other values are unknown states.
    virtual int microphoneStatus() = 0;
    // Shows the consent prompt when needed; completion runs once, on any
    // thread, when the user has answered.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
    // The result of asking whether this process may automate the application
    // with the given bundle identifier (0, -600, -1743, -1744, ...); nothing
    // when no target descriptor could be made for it.
    virtual std::optional<int32_t> automationPermission(const std::string& bundleID, bool askUser) = 0;
};

} // namespace platform
