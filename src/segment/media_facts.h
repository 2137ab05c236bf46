#pragma once

#include <cstdint>
#include <string>

#include "platform/media.h"
#include "segment/file_handle.h"

// Facts about a media file on disk, as blocking calls with a bounded wait.
// Failures give neutral values (0, no track), never errors.

namespace korvalin {

using AssetInfo = platform::AssetFacts;

// The file at the path, opened for reading without waiting for a writer or
// a device: a regular file only. Everything learned about a file is read
// from the one descriptor, so a file put in its place later is never read.
// An empty handle otherwise, with errno telling why.
FileHandle openMediaFile(const std::string& path);

// The size in bytes of the item at the path (following a symbolic link); 0
// when it cannot be read.
int64_t fileSize(const std::string& path);
// The size in bytes of the open file; 0 when it cannot be read (as for the
// -1 of an empty handle).
int64_t fileSize(int file);

// The duration, first audio track and its sample rate of the open file; the
// defaults when the platform has not answered within `timeoutSeconds`, or
// for the -1 of an empty handle.
AssetInfo loadAssetInfo(int file, double timeoutSeconds = 60);
// The same for the file at the path, opened once.
AssetInfo loadAssetInfo(const std::string& path, double timeoutSeconds = 60);

// The media's duration in whole milliseconds (halves away from zero); 0 when
// it cannot be told.
int64_t durationMs(const std::string& path);

// A time in whole milliseconds by the same rule.
int64_t durationMs(const platform::MediaTime& duration);

} // namespace korvalin
