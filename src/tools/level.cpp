#include "tools/level.h"

#include <algorithm>
#include <cmath>

namespace korvalin {

double levelDb(float linear)
{
    if (!(linear > 1e-6f))
        return -120.0;
    return std::max(20.0 * std::log10(std::min(static_cast<double>(linear), 1.0)), -120.0);
}

double roundedLevel(double db)
{
    // + 0.0 turns the −0.0 of a level just below full scale into 0.0, so
    // events never carry "-0".
    return std::round(db * 10.0) / 10.0 + 0.0;
}

} // namespace korvalin
