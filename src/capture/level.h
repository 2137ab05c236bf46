#pragma once

#include <cmath>

namespace korvalin {

// A linear peak or RMS value in dBFS: never above 0.0 (full scale), never
// below the −120.0 floor, which is also what silence and NaN report.
inline double levelDb(double linear)
{
    if (!(static_cast<float>(linear) > 1e-6f))
        return -120.0;
    double level = 20.0 * std::log10(std::fmin(linear, 1.0));
    return level < -120.0 ? -120.0 : level;
}

// One decimal place, halves away from zero, as levels are reported.
inline double roundToTenth(double value)
{
    return std::round(value * 10.0) / 10.0;
}

} // namespace korvalin
