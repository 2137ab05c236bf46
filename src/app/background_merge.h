#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

namespace korvalin {

// The serve loop's `merge`: decoding and encoding a long recording takes many
// seconds, so it runs on a thread of its own instead of the engine queue, and
// commands, device changes and signals are not held back meanwhile. One
// merge at a time; it reports `merged` or `error` when it ends.
class BackgroundMerge {
public:
    explicit BackgroundMerge(EventWriter& events) : events_(events) {}

    // Starts the merge; false when one is still running.
    bool start(std::vector<std::string> segments, std::string out);

    // Waits until no merge runs, or at most `seconds`; false when one still does.
    bool waitUntilIdle(double seconds);
    void waitUntilIdle();

private:
    void finish(const Event& outcome);

    EventWriter& events_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool running_ = false;
};

} // namespace korvalin
