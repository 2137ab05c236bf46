#pragma once

#include "platform/posix/process_table.h"
#include "platform/system.h"

namespace platform {

// Linux: the sound system's client library stands in for the audio services
// of the platform, so its version is the platform version.
// The host is recorded when the object is made, at start-up: a parent asked
// later may be whoever adopted the program after its host ended.
class PosixSystem final : public System {
public:
    PosixSystem();
    std::optional<std::string> productVersion() const override;
    OSVersion osVersion() const override;
    pid_t pid() const override;
    pid_t parentPid() const override;
    std::string bundleIdentifier() const override;
    std::string temporaryDirectory() const override;
    void fullFlush(const std::string& path) const override;

private:
    const ProcessTable table_;
    const pid_t host_; // 0: none
};

// "16.1.0" → {16, 1}; missing parts read as 0.
OSVersion parseVersion(const std::string& text);

} // namespace platform
