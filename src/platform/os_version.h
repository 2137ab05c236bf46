#pragma once

#include <string>

namespace korvalin {

// The system's product version text (for example "16.1.0"); the major and
// minor numbers joined by a full stop when the system gives no text.
std::string osVersionString();
// The rule for the systems the program runs on: 14.4 or later.
bool isSupportedOS();

} // namespace korvalin
