#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "platform/posix/process_table.h"

namespace platform {

// What a playback stream says about the process that plays it.
struct StreamProcess {
    pid_t pid = 0;
    std::string binary;  // the name of its executable; empty when not said
    uint64_t seenAt = 0; // bootTicks() when the stream was known to exist; 0 when not known
};

// Which processes' sound a tap leaves out. A process is named by its pid and
// its start time, so a pid handed out again later is another process. A
// process is left out when it is one of the excluded processes, descends
// from one of them (helper processes the host started), or belongs to the
// desktop application one of them stands for (ProcessTable::identityOf).
// The executable alone decides nothing: an interpreter runs many programs.
// What an excluded process opened through a desktop launcher (xdg-open) is
// the opened application's, even while it still descends from it.
//
// A stream whose pid cannot be its player is reported and kept: /proc does
// not know the pid, or it names a process that began after the stream
// existed or runs another executable than the stream says (a pid from
// another PID namespace, a sandbox).
class ProcessExclusion {
public:
    using Unresolved = std::function<void(pid_t pid)>;

    // Pids of 1 and below are ignored: everything descends from init.
    ProcessExclusion(ProcessTable table, const std::vector<pid_t>& excluded, Unresolved unresolved);

    bool excludes(const StreamProcess& stream) const;

private:
    bool plays(const StreamProcess& stream, const ProcessStat& process) const;

    ProcessTable table_;
    std::set<std::pair<pid_t, uint64_t>> processes_; // pid, start
    std::set<std::string> applications_;
    Unresolved unresolved_;
};

// The host: the program's parent when it started, unless that is init or a
// service manager (the program was started by systemd-run, or orphaned).
std::optional<ProcessIdentity> hostOf(const ProcessTable& table, pid_t parent);

// The log line that tells whose sound is left out as the host's.
std::string hostLine(const std::optional<ProcessIdentity>& host);

} // namespace platform
