// Bytes on standard input, read and parsed as the serve loop does: every
// line is either a command with its required fields or an error that can be
// written as an event line.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/event_writer.h"
#include "protocol/line_reader.h"

using korvalin::Command;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int input = ::memfd_create("stdin", MFD_CLOEXEC);
    if (input < 0 || ::write(input, data, size) != static_cast<ssize_t>(size) || ::lseek(input, 0, SEEK_SET) != 0)
        std::abort();
    korvalin::LineReader reader(input);
    while (std::optional<std::string> line = reader.next()) {
        try {
            std::optional<Command> command = korvalin::CommandParser::parse(*line);
            if (!command)
                continue;
            const bool needsOut = command->kind == Command::Kind::start || command->kind == Command::Kind::resume ||
                                  command->kind == Command::Kind::merge;
            if ((needsOut && command->out.empty()) ||
                (command->kind == Command::Kind::merge && command->segments.empty()) ||
                !(command->seconds >= 0.2 && command->seconds <= 30))
                std::abort();
        } catch (const korvalin::CommandError& error) {
            if (!korvalin::encodeJson(korvalin::errorEvent(korvalin::rawValue(error.code), error.message, false)))
                std::abort();
        }
    }
    ::close(input);
    return 0;
}
