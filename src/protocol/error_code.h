#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace korvalin {

// The protocol's error vocabulary; raw values are what the host receives.
enum class ErrorCode {
    badCommand,
    badJSON,
    busy,
    noSegment,
    permissionDenied,
    noDevice,
    tapFailed,
    aggregateFailed,
    ioFailed,
    writerFailed,
    mergeFailed,
    repairFailed,
    internalError,
};

std::string_view rawValue(ErrorCode code);

// The failure thrown inside the program and turned into an `error` event at
// the protocol boundary.
class CommandError : public std::runtime_error {
public:
    CommandError(ErrorCode code, std::string message)
        : std::runtime_error(message), code(code), message(std::move(message))
    {
    }

    ErrorCode code;
    std::string message;
};

} // namespace korvalin
