#pragma once

#include <string>

namespace korvalin {

// The file a recording continues in after a device change: the stem gets a
// tilde and a counter of at least three digits ("seg-000.m4a" →
// "seg-000~001.m4a" → "seg-000~002.m4a"), so plain string order is capture
// order.
std::string continuationPath(const std::string& path);

} // namespace korvalin
