#pragma once

#include <functional>
#include <mutex>
#include <string_view>

#include "protocol/json_line.h"

namespace korvalin {

using Event = Json;

// Writes event lines to standard output and log lines to standard error.
// Callable from any thread; lines never interleave. Once the reader of the
// event lines has gone (a write fails with EPIPE), no more lines are written.
class EventWriter {
public:
    explicit EventWriter(int handle = 1, int logHandle = 2) : handle_(handle), logHandle_(logHandle) {}

    void emit(const Event& event);
    void log(std::string_view message);

    // Runs `handler` once, on the thread whose event found the reader gone.
    // Set it before events are emitted from more than one thread.
    void onReaderGone(std::function<void()> handler) { readerGone_ = std::move(handler); }

private:
    std::mutex lock_;
    int handle_;
    int logHandle_;
    bool gone_ = false; // guarded by lock_
    std::function<void()> readerGone_;
};

// The common shape of every failure reported to the host.
Event errorEvent(std::string_view code, std::string_view message, bool fatal);

} // namespace korvalin
