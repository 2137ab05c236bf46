#pragma once

#include <cstdint>
#include <string>

namespace korvalin {

// What a finished segment file amounts to.
struct ClosedSegment {
    std::string path;
    int64_t durationMs = 0;
    int64_t bytes = 0;
    int64_t droppedFrames = 0;
};

} // namespace korvalin
