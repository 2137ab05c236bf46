#include <unistd.h>

#include "app/app.h"
#include "app/modes.h"
#include "app/serve_loop.h"

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
        "Korvalin Recorder potřebuje macOS 14.4 nebo novější (tento Mac má " + osVersionString() + ").",
        true));
    exitProcess(3);
}

void runEntryPoint(App& app, const std::vector<std::string>& args)
{
    if (!args.empty()) {
        if (const Mode* mode = findMode(args.front())) {
            std::vector<std::string> rest(args.begin() + 1, args.end());
            exitProcess(mode->run(app, args.front(), rest));
        }
        if (args.front().starts_with("-")) {
            app.events.emit(errorEvent("bad_command", "neznámý přepínač " + args.front(), true));
            exitProcess(2);
        }
    }
    requireSupportedOS(app);
    serve(app);
}

} // namespace korvalin
