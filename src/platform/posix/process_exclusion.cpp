#include "platform/posix/process_exclusion.h"

namespace platform {
namespace {

// Deeper than any real process tree; ends a walk through a looping tree.
constexpr int maxDepth = 1024;

} // namespace

ProcessExclusion::ProcessExclusion(ProcessTable table, const std::vector<pid_t>& excluded,
                                   Unresolved unresolved)
    : table_(std::move(table)), unresolved_(std::move(unresolved))
{
    for (pid_t pid : excluded) {
        if (pid <= 1)
            continue;
        pids_.insert(pid);
        if (auto executable = table_.executableOf(pid))
            executables_.insert(*executable);
    }
}

bool ProcessExclusion::excludes(pid_t pid) const
{
    if (pids_.count(pid))
        return true;
    auto parent = table_.parentOf(pid);
    if (!parent) {
        if (unresolved_)
            unresolved_(pid);
        return false;
    }
    if (auto executable = table_.executableOf(pid); executable && executables_.count(*executable))
        return true;
    for (int depth = 0; parent && *parent > 1 && depth < maxDepth; ++depth) {
        if (pids_.count(*parent))
            return true;
        parent = table_.parentOf(*parent);
    }
    return false;
}

} // namespace platform
