#include "app/serve_loop.h"

#include <thread>

#include "app/background_merge.h"
#include "app/command_handler.h"
#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/line_reader.h"

namespace korvalin {

namespace {

// How long a signal waits for a running merge to stop and remove its partial
// output; it stops after the decoded buffer under way, so this is only a
// bound against a merge stuck in the system.
constexpr double mergeStopSeconds = 2.0;

} // namespace

void shutdownEngine(CaptureEngine& engine)
{
    if (engine.hasOpenSegment()) {
        engine.stopIO();
        if (auto closed = engine.finishSegment())
            engine.events.emit(engine.closedEvent(*closed));
    }
    engine.teardownDevices();
    engine.removeDeviceListeners();
}

void serve(App& app)
{
    // Every ending runs on the engine queue and ends the process there, so
    // exactly one of them runs its shutdown.
    static CaptureEngine engine(app.events, app.engineQueue);
    static BackgroundMerge merges(app.events);

    // End of input, and the host no longer reading: a running merge is
    // finished, then the open segment closed.
    auto endOfInput = [&app](const std::string& why) {
        app.events.log(why + " — ukončuji");
        merges.waitUntilIdle();
        app.engineQueue.sync([] {
            shutdownEngine(engine);
            exitProcess(0);
        });
    };
    app.events.onReaderGone([endOfInput] { std::thread(endOfInput, "stdout uzavřen").detach(); });

    platform::deliverTerminationSignals(app.engineQueue, [&app](int number) {
        app.events.log("signál " + std::to_string(number) + " — uzavírám segment");
        merges.stop();
        merges.waitUntilIdle(mergeStopSeconds);
        shutdownEngine(engine);
        app.events.emit(Event{{"ev", "stopped"}, {"reason", "signal"}});
        exitProcess(0);
    });

    app.events.emit(Event{{"ev", "ready"},
                          {"pid", static_cast<int64_t>(platform::current().system->pid())},
                          {"version", app.version}});

    LineReader reader(0);
    while (auto line = reader.next()) {
        std::optional<Command> command;
        try {
            command = CommandParser::parse(*line);
        } catch (const CommandError& error) {
            app.events.emit(errorEvent(rawValue(error.code), error.message, false));
            continue;
        } catch (const std::exception& error) {
            app.events.emit(errorEvent("bad_command", error.what(), false));
            continue;
        }
        if (!command)
            continue;
        switch (command->kind) {
        case Command::Kind::quit:
            merges.waitUntilIdle();
            app.engineQueue.sync([&] {
                shutdownEngine(engine);
                app.events.emit(Event{{"ev", "stopped"}, {"reason", "quit"}});
                exitProcess(0);
            });
            break;
        case Command::Kind::merge:
            if (!merges.start(command->segments, command->out))
                app.events.emit(errorEvent(rawValue(ErrorCode::busy), "spojování segmentů už běží", true));
            break;
        default:
            app.engineQueue.sync([&] { handle(*command, engine); });
        }
    }
    endOfInput("stdin uzavřen");
    exitProcess(0);
}

} // namespace korvalin
