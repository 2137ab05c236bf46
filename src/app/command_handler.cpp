#include "app/command_handler.h"

#include "diagnostics/permissions.h"
#include "diagnostics/probe.h"
#include "protocol/error_code.h"

namespace korvalin {

namespace {

void report(CaptureEngine& engine, const std::exception& error)
{
    if (auto* command = dynamic_cast<const CommandError*>(&error))
        engine.events.emit(errorEvent(rawValue(command->code), command->message, true));
    else
        engine.events.emit(errorEvent("internal", error.what(), true));
}

void record(CaptureEngine& engine, const Command& command)
{
    const std::string& out = command.out;
    if (engine.hasOpenSegment())
        throw CommandError(ErrorCode::busy, "segment už běží");
    engine.setEchoCancel(command.echoCancel);
    engine.buildDevices(true);
    try {
        engine.openSegment(out);
        engine.startIO();
    } catch (...) {
        engine.stopIO();
        engine.finishSegment();
        engine.teardownDevices();
        throw;
    }
    engine.installDeviceListeners();
    engine.events.emit(engine.startedEvent(out, false));
}

// Stops input, closes the file and tears the graph down; reports the closed
// segment, or fails when the file could not be finished.
void closeSegment(CaptureEngine& engine)
{
    engine.stopIO();
    auto closed = engine.finishSegment();
    engine.teardownDevices();
    if (!closed)
        throw CommandError(ErrorCode::writerFailed, "segment se nepodařilo uzavřít");
    engine.events.emit(engine.closedEvent(*closed));
}

void pause(CaptureEngine& engine)
{
    if (!engine.hasOpenSegment())
        throw CommandError(ErrorCode::noSegment, "žádný otevřený segment");
    closeSegment(engine);
}

void stop(CaptureEngine& engine)
{
    if (engine.hasOpenSegment())
        closeSegment(engine);
    engine.events.emit(Event{{"ev", "stopped"}, {"reason", "stop"}});
}

void probe(CaptureEngine& engine, double seconds)
{
    if (engine.hasOpenSegment())
        throw CommandError(ErrorCode::busy, "probíhá nahrávání, zkušební capture nelze spustit");
    Probe::run(seconds, engine, engine.events);
}

} // namespace

void handle(const Command& command, CaptureEngine& engine)
{
    try {
        switch (command.kind) {
        case Command::Kind::start:
        case Command::Kind::resume: record(engine, command); break;
        case Command::Kind::pause: pause(engine); break;
        case Command::Kind::stop: stop(engine); break;
        case Command::Kind::probe: probe(engine, command.seconds); break;
        case Command::Kind::permissions: Permissions::report(engine.events); break;
        case Command::Kind::merge:
        case Command::Kind::quit: break; // the serve loop's own
        }
    } catch (const std::exception& error) {
        report(engine, error);
    }
}

} // namespace korvalin
