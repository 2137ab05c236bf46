#include "platform/posix/process_table.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iterator>

namespace platform {

ProcessTable::ProcessTable(std::string root) : root_(std::move(root)) {}

std::string ProcessTable::path(pid_t pid, const char* entry) const
{
    return root_ + "/" + std::to_string(pid) + "/" + entry;
}

std::optional<pid_t> ProcessTable::parentOf(pid_t pid) const
{
    if (pid <= 0)
        return std::nullopt;
    std::ifstream file(path(pid, "stat"));
    std::string stat(std::istreambuf_iterator<char>(file), {});
    return parentInStat(stat);
}

std::optional<std::string> ProcessTable::executableOf(pid_t pid) const
{
    if (pid <= 0)
        return std::nullopt;
    char target[4096];
    ssize_t length = readlink(path(pid, "exe").c_str(), target, sizeof target);
    if (length <= 0 || size_t(length) == sizeof target)
        return std::nullopt;
    std::string executable(target, size_t(length));
    const std::string deleted = " (deleted)";
    if (executable.size() > deleted.size() && executable.ends_with(deleted))
        executable.resize(executable.size() - deleted.size());
    return executable;
}

std::optional<pid_t> parentInStat(const std::string& stat)
{
    // The command name ends at the last ')'; state and ppid follow it.
    size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.size() < close + 4 || stat[close + 1] != ' ' || stat[close + 3] != ' ')
        return std::nullopt;
    const char* begin = stat.data() + close + 4;
    const char* end = stat.data() + stat.size();
    pid_t parent = -1;
    auto [next, error] = std::from_chars(begin, end, parent);
    if (error != std::errc{} || next == begin || parent < 0)
        return std::nullopt;
    return parent;
}

} // namespace platform
