#pragma once

#include <cstdint>

namespace korvalin {

// What the writer thread has written into the current segment.
struct SessionStats {
    float micPeak = 0;
    float systemPeak = 0;
    double micEnergy = 0;
    double systemEnergy = 0;
    int64_t frames = 0;
};

} // namespace korvalin
