#pragma once

#include <mutex>
#include <string_view>

#include "protocol/json_line.h"

namespace korvalin {

using Event = Json;

// Writes event lines to standard output and log lines to standard error.
// Callable from any thread; lines never interleave.
class EventWriter {
public:
    explicit EventWriter(int handle = 1, int logHandle = 2) : handle_(handle), logHandle_(logHandle) {}

    void emit(const Event& event);
    void log(std::string_view message);

private:
    std::mutex lock_;
    int handle_;
    int logHandle_;
};

// The common shape of every failure reported to the host.
Event errorEvent(std::string_view code, std::string_view message, bool fatal);

} // namespace korvalin
