#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

// What /proc tells about a process: its parent and its executable. The root
// is a parameter so that a test can lay out a process tree of its own.
class ProcessTable {
public:
    explicit ProcessTable(std::string root = "/proc");

    // The parent's pid (field 4 of /proc/PID/stat); nothing when /proc does
    // not know the process (it ended, or lives in another PID namespace).
    std::optional<pid_t> parentOf(pid_t pid) const;
    // The path of the executable (/proc/PID/exe); nothing when unreadable.
    // A binary replaced on disk while running still gives its path.
    std::optional<std::string> executableOf(pid_t pid) const;

private:
    std::string path(pid_t pid, const char* entry) const;

    std::string root_;
};

// The pid and parent pid in the text of /proc/PID/stat: "pid (comm) state
// ppid …", where comm may itself contain spaces and parentheses.
std::optional<pid_t> parentInStat(const std::string& stat);

} // namespace platform
