#pragma once

#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/posix/process_table.h"

namespace platform {

// Which processes' sound a tap leaves out. A process is left out when it is
// one of the excluded processes, runs the executable of one of them (another
// instance of the host application), or descends from one of them (helper
// processes the host started). A process that /proc cannot resolve (another
// PID namespace, a sandbox) is reported and kept.
class ProcessExclusion {
public:
    using Unresolved = std::function<void(pid_t pid)>;

    // Pids of 1 and below are ignored: everything descends from init.
    ProcessExclusion(ProcessTable table, const std::vector<pid_t>& excluded, Unresolved unresolved);

    bool excludes(pid_t pid) const;

private:
    ProcessTable table_;
    std::set<pid_t> pids_;
    std::set<std::string> executables_;
    Unresolved unresolved_;
};

} // namespace platform
