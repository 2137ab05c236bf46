#pragma once

#include <functional>

#include "platform/dispatch.h"

namespace platform {

// SIGTERM, SIGINT and SIGHUP are blocked in every thread (call this first in
// main, before any thread exists), so their default action can never end the
// process; one thread waits for them and posts the handler onto a queue.
void blockTerminationSignals();

// Starts the waiting thread. The handler runs on queue with the signal number.
void deliverTerminationSignals(SerialQueue& queue, std::function<void(int)> handler);

} // namespace platform
