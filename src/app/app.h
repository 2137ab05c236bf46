#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/os_version.h"
#include "protocol/event_writer.h"

namespace korvalin {

// The process-wide values every mode shares.
struct App {
    const std::string version = "0.1.0";
    EventWriter events;
    platform::SerialQueue engineQueue{"cz.korvalin.cap.engine"};
};

// Runs the mode chosen by the first argument; never returns. In a one-shot
// mode SIGTERM, SIGINT and SIGHUP end the process with 128 + the signal's
// number and nothing more on standard output; the serve loop closes an open
// segment and exits 0.
[[noreturn]] void runEntryPoint(App& app, const std::vector<std::string>& args);

// Ends the process at once with the given status. Every event line has been
// written with write(2) before, so nothing is lost.
[[noreturn]] void exitProcess(int status);

// Returns when the system is new enough; otherwise reports it and exits 3.
void requireSupportedOS(App& app);

} // namespace korvalin
