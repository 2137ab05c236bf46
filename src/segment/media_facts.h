#pragma once

#include <cstdint>
#include <string>

#include "platform/media.h"

// Facts about a media file on disk, as blocking calls with a bounded wait.
// Failures give neutral values (0, no track), never errors.

namespace korvalin {

using AssetInfo = platform::AssetFacts;

// The size in bytes of the item at the path (following a symbolic link); 0
// when it cannot be read.
int64_t fileSize(const std::string& path);

// The duration, first audio track and its sample rate; the defaults when
// the platform has not answered within `timeoutSeconds`.
AssetInfo loadAssetInfo(const std::string& path, double timeoutSeconds = 60);

// The media's duration in whole milliseconds (halves away from zero); 0 when
// it cannot be told.
int64_t durationMs(const std::string& path);

// A time in whole milliseconds by the same rule.
int64_t durationMs(const platform::MediaTime& duration);

} // namespace korvalin
