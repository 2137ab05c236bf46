#include "tools/repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "protocol/error_code.h"
#include "segment/media_facts.h"
#include "tools/mp4_box.h"

namespace korvalin::Repair {

namespace {

bool hasM4aExtension(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name.ends_with(".m4a");
}

// The directory's own .m4a files, by name in byte order; none when it cannot be listed.
std::vector<std::string> segmentFiles(const std::string& directory)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        if (std::string name = it->path().filename().string(); hasM4aExtension(name))
            names.push_back(std::move(name));
    if (error)
        return {};
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const std::string& name : names)
        paths.push_back((std::filesystem::path(directory) / name).string());
    return paths;
}

void reportError(EventWriter& events, const std::string& message)
{
    events.emit(errorEvent(rawValue(ErrorCode::repairFailed), message, false));
}

} // namespace

// The length to cut the file to, if its tail is incomplete.
std::optional<uint64_t> cutLength(const std::string& path)
{
    return cutLength(openMediaFile(path).get());
}

std::optional<uint64_t> cutLength(int file)
{
    std::optional<FileSlice> slice = FileSlice::open(file);
    if (!slice)
        return std::nullopt;
    return Mp4::safeTruncation(Mp4::topLevelBoxes(*slice), slice->length());
}

// The reason a cut failed, or nothing when it succeeded.
std::optional<std::string> truncate(const std::string& path, uint64_t length)
{
    int handle = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (handle < 0)
        return std::strerror(errno);
    std::optional<std::string> failure;
    if (::ftruncate(handle, static_cast<off_t>(length)) != 0)
        failure = std::strerror(errno);
    if (::close(handle) != 0 && !failure)
        failure = std::strerror(errno);
    return failure;
}

std::string_view rawValue(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ok:
        return "ok";
    case Outcome::trimmed:
        return "trimmed";
    case Outcome::unrecoverable:
        break;
    }
    return "unrecoverable";
}

Outcome repairOne(const std::string& path, EventWriter& events)
{
    // The cut, the duration and the size are read from this one descriptor;
    // a name that holds no regular file reads as an empty one.
    FileHandle file = openMediaFile(path);
    Outcome outcome = Outcome::ok;
    if (std::optional<uint64_t> length = cutLength(file.get())) {
        if (std::optional<std::string> failure = truncate(path, *length)) {
            reportError(events, path + " nelze zkrátit: " + *failure);
        } else {
            platform::current().system->fullFlush(path);
            outcome = Outcome::trimmed;
        }
    }
    const int64_t duration = durationMs(loadAssetInfo(file.get()).duration);
    if (duration < 1)
        outcome = Outcome::unrecoverable;
    events.emit(Event{{"ev", "repaired"},
                      {"path", path},
                      {"action", rawValue(outcome)},
                      {"duration_ms", duration},
                      {"bytes", fileSize(file.get())}});
    return outcome;
}

int run(const std::vector<std::string>& targets, EventWriter& events)
{
    std::vector<std::string> files;
    for (const std::string& target : targets) {
        std::error_code error;
        if (std::filesystem::is_directory(target, error)) {
            std::vector<std::string> found = segmentFiles(target);
            files.insert(files.end(), found.begin(), found.end());
        } else if (hasM4aExtension(target)) {
            files.push_back(target);
        } else {
            reportError(events, target + " není adresář ani .m4a soubor");
        }
    }
    int64_t recovered = 0;
    for (const std::string& file : files) {
        // Between files, so that no file is ever left half-cut.
        if (platform::interrupted())
            break;
        if (repairOne(file, events) != Outcome::unrecoverable)
            ++recovered;
    }
    events.emit(Event{{"ev", "repair_done"}, {"files", static_cast<int64_t>(files.size())}, {"recovered", recovered}});
    return !files.empty() && recovered == 0 ? 1 : 0;
}

} // namespace korvalin::Repair
