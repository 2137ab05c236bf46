#include "segment/media_facts.h"

#include <sys/stat.h>

#include <cmath>
#include <memory>

#include "platform/dispatch.h"
#include "platform/platform.h"

namespace korvalin {

int64_t fileSize(const std::string& path)
{
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0)
        return 0;
    return attributes.st_size;
}

AssetInfo loadAssetInfo(const std::string& path, double timeoutSeconds)
{
    // Shared with the loading work, which may outlive this call after a
    // time-out; then nobody reads what it writes.
    struct Box {
        AssetInfo info;
        platform::Semaphore loaded;
    };
    auto box = std::make_shared<Box>();
    platform::current().media->loadAssetFacts(path, [box](AssetInfo info) {
        box->info = std::move(info);
        box->loaded.signal();
    });
    if (!box->loaded.wait(timeoutSeconds))
        return {};
    // No audio codec stores a second of sound in less than a byte: a longer
    // duration is the claim of a damaged header, and such a file is unreadable.
    if (box->info.duration.isValid() && box->info.duration.seconds() > static_cast<double>(fileSize(path)))
        return {};
    return box->info;
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
