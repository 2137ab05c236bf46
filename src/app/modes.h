#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"

namespace korvalin {

// A one-shot command-line mode: its option and what it runs. `run` gets the
// option as given and the arguments after it, and returns the exit status.
// A mode that leaves something behind while it runs (a file, a sound-system
// object) `cleansUp`: after a termination signal it stops at its next
// interruption point and unwinds its own work; any other mode ends at once.
struct Mode {
    std::string_view option;
    int (*run)(App& app, const std::string& option, const std::vector<std::string>& args);
    bool cleansUp = false;
};

// The mode whose option equals `argument` exactly, or null.
const Mode* findMode(std::string_view argument);

} // namespace korvalin

namespace korvalin {

// The trial capture's length from its command-line text: C-locale strtod of
// the whole text (no leading white space), 2 when that fails, then clamped
// to 0.2…30.
double probeSecondsArgument(const std::string& text);

} // namespace korvalin
