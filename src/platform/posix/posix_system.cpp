#include "platform/posix/posix_system.h"

#include "platform/posix/process_exclusion.h"

#include <fcntl.h>
#include <pulse/version.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace platform {

OSVersion parseVersion(const std::string& text)
{
    OSVersion v;
    const char* p = text.c_str();
    char* end = nullptr;
    v.major = static_cast<int>(std::strtol(p, &end, 10));
    if (end && *end == '.')
        v.minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    return v;
}

std::optional<std::string> PosixSystem::productVersion() const
{
    const char* version = pa_get_library_version();
    if (!version || !*version)
        return std::nullopt;
    return std::string(version);
}

OSVersion PosixSystem::osVersion() const
{
    return parseVersion(productVersion().value_or(""));
}

pid_t PosixSystem::pid() const { return getpid(); }

PosixSystem::PosixSystem() : host_(hostOf(table_, getppid()).value_or(ProcessIdentity{}).pid) {}

// 0 once the host has ended: the program then has another parent, whatever
// the host's pid names now.
pid_t PosixSystem::parentPid() const { return host_ != 0 && getppid() == host_ ? host_ : 0; }

// The desktop application's ID; an executable's path would name every
// program of an interpreter.
std::string PosixSystem::bundleIdentifier() const
{
    auto self = table_.identityOf(getpid());
    return self ? self->application : "";
}

std::string PosixSystem::temporaryDirectory() const
{
    std::error_code ec;
    std::string dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || dir.empty())
        dir = "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

void PosixSystem::fullFlush(const std::string& path) const
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) != 0)
#endif
        fsync(fd);
    close(fd);
}

} // namespace platform
