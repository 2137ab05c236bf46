#include <csignal>
#include <unistd.h>

#include "app/app.h"
#include "app/modes.h"
#include "app/serve_loop.h"
#include "platform/signals.h"

namespace korvalin {

void exitProcess(int status)
{
    _exit(status);
}

void requireSupportedOS(App& app)
{
    if (isSupportedOS())
        return;
    app.events.emit(errorEvent(
        "internal",
        "korvalin-cap potřebuje libpulse 14.4 nebo novější (v systému je " + osVersionString() + ").",
        true));
    exitProcess(3);
}

namespace {

// A termination signal ends a one-shot mode with 128 + its number, at once or,
// for a mode that cleans up, once the mode has unwound.
int runOneShot(App& app, const Mode& mode, const std::vector<std::string>& args)
{
    platform::interruptOnTerminationSignals([&app, &mode](int number) {
        app.events.log("signál " + std::to_string(number) + " — přerušeno");
        if (!mode.cleansUp)
            exitProcess(128 + number);
    });
    int status = mode.run(app, args.front(), std::vector<std::string>(args.begin() + 1, args.end()));
    if (int number = platform::interruptingSignal())
        return 128 + number;
    return status;
}

} // namespace

void runEntryPoint(App& app, const std::vector<std::string>& args)
{
    // A reader of standard output that has gone fails the write (EPIPE)
    // instead of killing the process in the middle of a recording.
    std::signal(SIGPIPE, SIG_IGN);
    if (!args.empty()) {
        if (const Mode* mode = findMode(args.front()))
            exitProcess(runOneShot(app, *mode, args));
        if (args.front().starts_with("-")) {
            app.events.emit(errorEvent("bad_command", "neznámý přepínač " + args.front(), true));
            exitProcess(2);
        }
    }
    requireSupportedOS(app);
    serve(app);
}

} // namespace korvalin
