#pragma once

#include "platform/system.h"

namespace platform {

// Linux: the sound system's client library stands in for the audio services
// of the platform, so its version is the platform version.
class PosixSystem final : public System {
public:
    std::optional<std::string> productVersion() const override;
    OSVersion osVersion() const override;
    pid_t pid() const override;
    pid_t parentPid() const override;
    std::string bundleIdentifier() const override;
    std::string temporaryDirectory() const override;
    void fullFlush(const std::string& path) const override;
};

// "16.1.0" → {16, 1}; missing parts read as 0.
OSVersion parseVersion(const std::string& text);

} // namespace platform
