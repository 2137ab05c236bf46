#include "app/serve_loop.h"

#include "app/command_handler.h"
#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/line_reader.h"

namespace korvalin {

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

    platform::deliverTerminationSignals(app.engineQueue, [&app](int number) {
        app.events.log("signál " + std::to_string(number) + " — uzavírám segment");
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
        if (command->kind == Command::Kind::quit) {
            app.engineQueue.sync([&] {
                shutdownEngine(engine);
                app.events.emit(Event{{"ev", "stopped"}, {"reason", "quit"}});
                exitProcess(0);
            });
        }
        app.engineQueue.sync([&] { handle(*command, engine); });
    }

    app.events.log("stdin uzavřen — ukončuji");
    app.engineQueue.sync([&] {
        shutdownEngine(engine);
        exitProcess(0);
    });
    exitProcess(0);
}

} // namespace korvalin
