#pragma once

namespace korvalin {

// A linear level in dBFS: 20 × log10(min(level, 1)) when the level is above
// 1e-6 (as single precision), never below −120; −120 otherwise.
double levelDb(float linear);

// A level as reported: one decimal place, halves away from zero.
double roundedLevel(double db);

} // namespace korvalin
