#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

// A process as /proc/PID/stat shows it.
struct ProcessStat {
    std::string command; // comm: at most 15 bytes of the executable's name
    pid_t parent = 0;
    uint64_t start = 0;  // clock ticks after boot; with the pid, it names the process

    bool operator==(const ProcessStat&) const = default;
};

// A process named for good, with the desktop application it stands for.
struct ProcessIdentity {
    pid_t pid = 0;
    uint64_t start = 0;
    std::string command;
    std::string application; // empty: none; the process is known by its tree alone

    bool operator==(const ProcessIdentity&) const = default;
};

// What /proc tells about a process. The root is a parameter so that a test
// can lay out a process tree of its own.
class ProcessTable {
public:
    explicit ProcessTable(std::string root = "/proc");

    // Nothing when /proc does not know the process (it ended, or lives in
    // another PID namespace).
    std::optional<ProcessStat> statOf(pid_t pid) const;
    // The path of the executable (/proc/PID/exe); nothing when unreadable.
    // A binary replaced on disk while running still gives its path.
    std::optional<std::string> executableOf(pid_t pid) const;
    // The desktop application the process belongs to: its Flatpak app ID,
    // its Snap name, or the application ID of the systemd scope the desktop
    // launched it in (app-[LAUNCHER-]ID-RANDOM.scope); nothing for a process
    // that only runs a program, whose executable may be any interpreter.
    std::optional<std::string> applicationOf(pid_t pid) const;
    // The process now, with the application it stands for: its Flatpak app
    // ID, or the application of the Snap's or desktop's scope it leads (its
    // parent is outside that scope and no process in it is older). A
    // program started from a terminal or an IDE runs in their scope without
    // being them.
    std::optional<ProcessIdentity> identityOf(pid_t pid) const;
    // Whether it runs in a service manager's own unit (init.scope): systemd,
    // or a user's systemd, which adopts orphans and starts units.
    bool managesServices(pid_t pid) const;

private:
    std::string path(pid_t pid, const char* entry) const;
    bool oldestIn(const std::string& cgroup, pid_t pid, uint64_t start) const;

    std::string root_;
};

// The text of /proc/PID/stat: "pid (comm) state ppid … starttime …", where
// comm may itself contain spaces and parentheses.
std::optional<ProcessStat> statFrom(const std::string& stat);

// The application ID in the text of /proc/PID/cgroup, when the process runs
// in a Snap's or a desktop-launched application's scope.
std::optional<std::string> applicationInCgroup(const std::string& cgroup);

// Now, in the clock of ProcessStat::start.
uint64_t bootTicks();

} // namespace platform
