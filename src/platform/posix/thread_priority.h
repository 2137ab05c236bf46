#pragma once

#include <functional>
#include <string>

namespace platform {

// Makes the calling thread round robin at `priority`: directly where the
// system allows it (root, an rtprio limit), else through RealtimeKit at as
// much of it as that grants, waiting at most 0.3 s for each of its four
// answers.
// `log` is told in one line which priority the thread got. Not for a
// real-time loop: call it before.
void raiseThreadPriority(int priority, const std::function<void(const std::string&)>& log);

} // namespace platform
