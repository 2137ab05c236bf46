#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

struct OSVersion {
    int major = 0;
    int minor = 0;
};

// Process and operating-system facts.
class System {
public:
    virtual ~System() = default;

    // The product version text ("14.4.1"). Nothing when the system cannot
    // say; an empty text when it said it has one but then failed to give it.
    virtual std::optional<std::string> productVersion() const = 0;
    virtual OSVersion osVersion() const = 0;
    virtual pid_t pid() const = 0;
    virtual pid_t parentPid() const = 0;
    // The application's bundle identifier; empty when the process has none.
    virtual std::string bundleIdentifier() const = 0;
    // The temporary directory, with a trailing slash.
    virtual std::string temporaryDirectory() const = 0;
    // Pushes a file's data to storage: open write-only, full flush, falling
    // back to fsync. Failures are ignored.
    virtual void fullFlush(const std::string& path) const = 0;
};

} // namespace platform
