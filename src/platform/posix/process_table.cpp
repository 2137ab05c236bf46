#include "platform/posix/process_table.h"

#include <time.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform {
namespace {

std::string contents(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

template <class Number>
std::optional<Number> number(std::string_view text)
{
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// name= in the [Application] group of a Flatpak sandbox's .flatpak-info.
std::optional<std::string> flatpakApplication(const std::string& info)
{
    std::istringstream lines(info);
    std::string group;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with('['))
            group = line;
        else if (group == "[Application]" && line.starts_with("name=") && line.size() > 5)
            return line.substr(5);
    }
    return std::nullopt;
}

// Undoes systemd's unit-name escaping of the ID (\x2d for '-').
std::string unescaped(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned byte = 0;
        if (i + 4 <= text.size() && text.substr(i, 2) == "\\x" &&
            std::from_chars(text.data() + i + 2, text.data() + i + 4, byte, 16).ptr == text.data() + i + 4) {
            out += char(byte);
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

ProcessTable::ProcessTable(std::string root) : root_(std::move(root)) {}

std::string ProcessTable::path(pid_t pid, const char* entry) const
{
    return root_ + "/" + std::to_string(pid) + "/" + entry;
}

std::optional<ProcessStat> ProcessTable::statOf(pid_t pid) const
{
    if (pid <= 0)
        return std::nullopt;
    return statFrom(contents(path(pid, "stat")));
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

std::optional<std::string> ProcessTable::applicationOf(pid_t pid) const
{
    if (pid <= 0)
        return std::nullopt;
    if (auto flatpak = flatpakApplication(contents(path(pid, "root/.flatpak-info"))))
        return flatpak;
    return applicationInCgroup(contents(path(pid, "cgroup")));
}

std::optional<ProcessIdentity> ProcessTable::identityOf(pid_t pid) const
{
    auto stat = statOf(pid);
    if (!stat)
        return std::nullopt;
    ProcessIdentity identity{pid, stat->start, stat->command, {}};
    if (auto flatpak = flatpakApplication(contents(path(pid, "root/.flatpak-info")))) {
        identity.application = *flatpak;
    } else {
        // A scope's first process: its parent is elsewhere (the desktop
        // started it), and no older one is left in it (a program orphaned
        // in a terminal's scope also has its parent elsewhere).
        std::string cgroup = contents(path(pid, "cgroup"));
        auto application = applicationInCgroup(cgroup);
        if (application && contents(path(stat->parent, "cgroup")) != cgroup && oldestIn(cgroup, pid, stat->start))
            identity.application = *application;
    }
    return identity;
}

bool ProcessTable::oldestIn(const std::string& cgroup, pid_t pid, uint64_t start) const
{
    std::error_code error;
    for (std::filesystem::directory_iterator entry(root_, error), end; !error && entry != end;
         entry.increment(error)) {
        auto other = number<pid_t>(entry->path().filename().string());
        if (!other || *other == pid)
            continue;
        auto stat = statOf(*other);
        bool older = stat && (stat->start < start || (stat->start == start && *other < pid));
        if (older && contents(path(*other, "cgroup")) == cgroup)
            return false;
    }
    return true;
}

bool ProcessTable::managesServices(pid_t pid) const
{
    std::istringstream lines(contents(path(pid, "cgroup")));
    for (std::string line; std::getline(lines, line);)
        if (line.ends_with("/init.scope"))
            return true;
    return false;
}

std::optional<ProcessStat> statFrom(const std::string& stat)
{
    // The command name ends at the last ')'; state, ppid and 17 more
    // fields up to starttime follow it.
    size_t open = stat.find(" (");
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field[20];
    for (std::string& f : field)
        if (!(fields >> f))
            return std::nullopt;
    auto parent = number<pid_t>(field[1]);
    auto start = number<uint64_t>(field[19]);
    if (!parent || *parent < 0 || !start)
        return std::nullopt;
    return ProcessStat{stat.substr(open + 2, close - open - 2), *parent, *start};
}

std::optional<std::string> applicationInCgroup(const std::string& cgroup)
{
    std::istringstream lines(cgroup);
    for (std::string line; std::getline(lines, line);) {
        // "ID:CONTROLLERS:PATH"; the unit is the path's last part.
        std::string_view unit(line);
        unit.remove_prefix(std::min(unit.size(), unit.rfind('/') + 1));
        if (!unit.ends_with(".scope"))
            continue;
        unit.remove_suffix(6);
        if (unit.starts_with("snap.")) { // snap.NAME.APP-UUID
            unit.remove_prefix(5);
            if (size_t dot = unit.find('.'); dot != 0 && dot != std::string_view::npos)
                return unescaped(unit.substr(0, dot));
        } else if (unit.starts_with("app-")) { // app-[LAUNCHER-]ID-RANDOM
            unit.remove_prefix(4);
            size_t last = unit.rfind('-');
            if (last == std::string_view::npos || last == 0)
                continue;
            unit = unit.substr(0, last);
            if (size_t first = unit.find('-'); first != std::string_view::npos)
                unit.remove_prefix(first + 1);
            if (!unit.empty())
                return unescaped(unit);
        }
    }
    return std::nullopt;
}

uint64_t bootTicks()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    auto hz = uint64_t(sysconf(_SC_CLK_TCK));
    return uint64_t(now.tv_sec) * hz + uint64_t(now.tv_nsec) * hz / 1'000'000'000;
}

} // namespace platform
