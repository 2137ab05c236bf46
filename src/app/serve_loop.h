#pragma once

#include "app/app.h"
#include "capture/capture_engine.h"

namespace korvalin {

// The protocol mode: commands on standard input, events on standard output,
// until end of input, `quit` or a termination signal.
[[noreturn]] void serve(App& app);

// Closes an open segment (reporting it), tears the graph down and removes the
// device listeners. Runs on the engine queue.
void shutdownEngine(CaptureEngine& engine);

} // namespace korvalin
