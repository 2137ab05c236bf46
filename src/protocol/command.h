#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalin {

// Whether a recording cancels the speakers' echo in the microphone: never,
// always, or unless the output is headphones or a headset.
enum class EchoCancel { off, on, automatic };

// One command from the host.
struct Command {
    enum class Kind { start, resume, merge, probe, pause, stop, permissions, quit };

    Kind kind = Kind::quit;
    std::string out;                   // start, resume, merge
    std::vector<std::string> segments; // merge
    double seconds = 2.0;              // probe
    EchoCancel echoCancel = EchoCancel::off; // start, resume
};

namespace CommandParser {

// Nothing for a blank line; throws CommandError for anything that is not a
// well-formed command.
std::optional<Command> parse(std::string_view line);

} // namespace CommandParser

} // namespace korvalin
