#pragma once

#include <functional>

#include "platform/dispatch.h"

namespace platform {

// SIGTERM, SIGINT and SIGHUP are blocked in every thread (call this first in
// main, before any thread exists), so their default action can never end the
// process; one thread waits for them.
void blockTerminationSignals();

// The serve loop: starts the waiting thread, which interrupts the process
// (see interrupt) and posts the handler with each signal's number onto queue.
void deliverTerminationSignals(SerialQueue& queue, std::function<void(int)> handler);

// The one-shot modes: starts the waiting thread. The first signal interrupts
// the process: from then on standard output goes to /dev/null (a line being
// written is still completed), interrupted() is true and every
// sleepUnlessInterrupted returns; then the handler runs on the waiting
// thread with the signal's number. Later signals are left pending.
void interruptOnTerminationSignals(std::function<void(int)> handler);

// Marks the process interrupted by signal `number` (the serve loop does so
// before it ends): interrupted() becomes true, every sleepUnlessInterrupted
// returns, and work that checks interrupted() stops at its next check.
void interrupt(int number);

// The number of the signal that interrupted the process, or 0.
int interruptingSignal();
bool interrupted();

// Sleeps for `seconds`, or until the process is interrupted.
void sleepUnlessInterrupted(double seconds);

} // namespace platform
