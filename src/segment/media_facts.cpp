#include "segment/media_facts.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/dispatch.h"
#include "platform/platform.h"

namespace korvalin {

FileHandle openMediaFile(const std::string& path)
{
    FileHandle file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file)
        return file;
    struct stat attributes {};
    if (::fstat(file.get(), &attributes) != 0 || !S_ISREG(attributes.st_mode) ||
        ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
        errno = EINVAL;
        return {};
    }
    return file;
}

int64_t fileSize(const std::string& path)
{
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0)
        return 0;
    return attributes.st_size;
}

int64_t fileSize(int file)
{
    struct stat attributes {};
    if (::fstat(file, &attributes) != 0)
        return 0;
    return attributes.st_size;
}

AssetInfo loadAssetInfo(int file, double timeoutSeconds)
{
    // Shared with the loading work, which may outlive this call after a
    // time-out; then nobody reads what it writes.
    struct Box {
        AssetInfo info;
        platform::Semaphore loaded;
    };
    auto box = std::make_shared<Box>();
    platform::current().media->loadAssetFacts(file, [box](AssetInfo info) {
        box->info = std::move(info);
        box->loaded.signal();
    });
    if (!box->loaded.wait(timeoutSeconds))
        return {};
    // No audio codec stores a second of sound in less than a byte: a longer
    // duration is the claim of a damaged header, and such a file is unreadable.
    if (box->info.duration.isValid() && box->info.duration.seconds() > static_cast<double>(fileSize(file)))
        return {};
    return box->info;
}

AssetInfo loadAssetInfo(const std::string& path, double timeoutSeconds)
{
    FileHandle file = openMediaFile(path);
    return file ? loadAssetInfo(file.get(), timeoutSeconds) : AssetInfo{};
}

int64_t durationMs(const platform::MediaTime& duration)
{
    if (!duration.isValid())
        return 0;
    const double ms = std::round(duration.seconds() * 1000.0);
    if (!std::isfinite(ms) || ms <= 0)
        return 0;
    return ms >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(ms);
}

int64_t durationMs(const std::string& path)
{
    return durationMs(loadAssetInfo(path).duration);
}

} // namespace korvalin
