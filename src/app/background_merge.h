#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

namespace korvalin {

// The serve loop's `merge`: decoding and encoding a long recording takes many
// seconds, so it does not hold back commands, device changes and signals.
// It reads files the host names, which may be damaged or crafted, so it runs
// in a process of its own: the program itself in its `--merge` mode, whose
// answer and log lines are passed on as they come. Whatever a file does to
// that process (its memory, a crash) leaves the recording alone. One merge at
// a time; it reports `merged` or `error` when it ends.
class BackgroundMerge {
public:
    explicit BackgroundMerge(EventWriter& events) : events_(events) {}

    // Starts the merge; false when one is still running.
    bool start(std::vector<std::string> segments, std::string out);

    // Asks a running merge to stop: it removes its partial output and ends,
    // reported as interrupted; what it logs about its stop is not passed on.
    void stop();

    // Waits until no merge runs, or at most `seconds`; false when one still does.
    bool waitUntilIdle(double seconds);
    void waitUntilIdle();

private:
    Event run(const std::vector<std::string>& arguments);
    std::string collect(int answer, int log);
    void passOnLog(std::string& pending, bool all);
    bool stopping();
    void finish(const Event& outcome);

    EventWriter& events_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool running_ = false;
    pid_t child_ = 0;       // the merging process while it may be signalled
    bool stopping_ = false; // stop() was asked for this merge
};

} // namespace korvalin
