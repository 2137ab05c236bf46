#include "platform/posix/process_exclusion.h"

namespace platform {
namespace {

// Deeper than any real process tree; ends a walk through a looping tree.
constexpr int maxDepth = 1024;

// The kernel keeps 15 bytes of an executable's name as the command.
constexpr size_t commandLength = 15;

} // namespace

ProcessExclusion::ProcessExclusion(ProcessTable table, const std::vector<pid_t>& excluded,
                                   Unresolved unresolved)
    : table_(std::move(table)), unresolved_(std::move(unresolved))
{
    for (pid_t pid : excluded) {
        auto process = pid > 1 ? table_.statOf(pid) : std::nullopt;
        if (!process)
            continue;
        processes_.emplace(pid, process->start);
        if (auto application = table_.applicationOf(pid))
            applications_.insert(*application);
    }
}

bool ProcessExclusion::plays(const StreamProcess& stream, const ProcessStat& process) const
{
    if (stream.seenAt != 0 && process.start > stream.seenAt)
        return false;
    if (stream.binary.empty() || stream.binary.substr(0, commandLength) == process.command)
        return true;
    auto executable = table_.executableOf(stream.pid);
    return executable && executable->substr(executable->rfind('/') + 1) == stream.binary;
}

bool ProcessExclusion::excludes(const StreamProcess& stream) const
{
    auto process = table_.statOf(stream.pid);
    if (!process || !plays(stream, *process)) {
        if (unresolved_)
            unresolved_(stream.pid);
        return false;
    }
    if (processes_.count({stream.pid, process->start}))
        return true;
    if (auto application = table_.applicationOf(stream.pid); application && applications_.count(*application))
        return true;
    for (int depth = 0; process->parent > 1 && depth < maxDepth; ++depth) {
        pid_t parent = process->parent;
        process = table_.statOf(parent);
        if (!process)
            return false;
        if (processes_.count({parent, process->start}))
            return true;
    }
    return false;
}

} // namespace platform
