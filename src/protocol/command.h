#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalin {

// One command from the host.
struct Command {
    enum class Kind { start, resume, merge, probe, pause, stop, permissions, quit };

    Kind kind = Kind::quit;
    std::string out;                   // start, resume, merge
    std::vector<std::string> segments; // merge
    double seconds = 2.0;              // probe
};

namespace CommandParser {

// Nothing for a blank line; throws CommandError for anything that is not a
// well-formed command.
std::optional<Command> parse(std::string_view line);

} // namespace CommandParser

} // namespace korvalin
