#include "app/command_handler.h"

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

void record(CaptureEngine& engine)
{
    if (engine.hasOpenSegment())
        throw CommandError(ErrorCode::busy, "segment už běží");
    throw CommandError(ErrorCode::noDevice, "nahrávání zatím není k dispozici");
}

void pause(CaptureEngine& engine)
{
    if (!engine.hasOpenSegment())
        throw CommandError(ErrorCode::noSegment, "žádný otevřený segment");
}

void stop(CaptureEngine& engine)
{
    engine.events.emit(Event{{"ev", "stopped"}, {"reason", "stop"}});
}

} // namespace

void handle(const Command& command, CaptureEngine& engine)
{
    try {
        switch (command.kind) {
        case Command::Kind::start:
        case Command::Kind::resume: record(engine); break;
        case Command::Kind::pause: pause(engine); break;
        case Command::Kind::stop: stop(engine); break;
        case Command::Kind::merge:
        case Command::Kind::probe:
        case Command::Kind::permissions:
            throw CommandError(ErrorCode::internalError, "příkaz zatím není k dispozici");
        case Command::Kind::quit: break;
        }
    } catch (const std::exception& error) {
        report(engine, error);
    }
}

} // namespace korvalin
