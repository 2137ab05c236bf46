#include "platform/posix/process_exclusion.h"

#include <algorithm>
#include <string_view>

namespace platform {
namespace {

// Deeper than any real process tree; ends a walk through a looping tree.
constexpr int maxDepth = 1024;

// The kernel keeps 15 bytes of an executable's name as the command.
constexpr size_t commandLength = 15;

// Programs that open a file or a link in the application the desktop picks.
// (The kernel's command names: gio-launch-desktop cut to 15 bytes.)
constexpr std::string_view launchers[] = {"xdg-open",  "gio",       "gio-launch-desk", "kde-open",   "kde-open5",
                                          "kioclient", "kioclient5", "exo-open",       "gnome-open", "gvfs-open"};

bool launches(const std::string& command)
{
    return std::find(std::begin(launchers), std::end(launchers), command) != std::end(launchers);
}

} // namespace

ProcessExclusion::ProcessExclusion(ProcessTable table, const std::vector<pid_t>& excluded,
                                   Unresolved unresolved)
    : table_(std::move(table)), unresolved_(std::move(unresolved))
{
    for (pid_t pid : excluded) {
        auto process = pid > 1 ? table_.identityOf(pid) : std::nullopt;
        if (!process)
            continue;
        processes_.emplace(pid, process->start);
        if (!process->application.empty())
            applications_.insert(process->application);
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
        if (!process || launches(process->command))
            return false;
        if (processes_.count({parent, process->start}))
            return true;
    }
    return false;
}

std::optional<ProcessIdentity> hostOf(const ProcessTable& table, pid_t parent)
{
    if (parent <= 1 || table.managesServices(parent))
        return std::nullopt;
    return table.identityOf(parent);
}

std::string hostLine(const std::optional<ProcessIdentity>& host)
{
    if (!host)
        return "hostitel: žádný — jako hostitelův se nevylučuje žádný zvuk";
    return "hostitel: proces " + std::to_string(host->pid) + " (" + host->command + ") a jeho potomci" +
           (host->application.empty() ? ", bez vlastní aplikace" : ", aplikace " + host->application);
}

} // namespace platform
