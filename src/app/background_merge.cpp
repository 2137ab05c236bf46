#include "app/background_merge.h"

#include <chrono>
#include <thread>

#include "tools/segment_merge.h"

namespace korvalin {

bool BackgroundMerge::start(std::vector<std::string> segments, std::string out)
{
    {
        std::lock_guard guard(mutex_);
        if (running_)
            return false;
        running_ = true;
    }
    // Detached: the process may end while it runs (after a signal has
    // stopped it, or at once when the merge does not stop in time).
    std::thread([this, segments = std::move(segments), out = std::move(out)] {
        Event outcome;
        try {
            outcome = mergedEvent(SegmentMerge::run(segments, out));
        } catch (const std::exception& error) {
            outcome = errorEvent("merge_failed", mergeMessage(error), true);
        }
        finish(outcome);
    }).detach();
    return true;
}

void BackgroundMerge::finish(const Event& outcome)
{
    // Reported and marked idle in one step: a host that sends the next merge
    // as soon as it reads this one's answer is not told `busy`, and a waiter
    // that ends the process sees the merge idle only once it is reported.
    std::lock_guard guard(mutex_);
    events_.emit(outcome);
    running_ = false;
    idle_.notify_all();
}

bool BackgroundMerge::waitUntilIdle(double seconds)
{
    std::unique_lock guard(mutex_);
    return idle_.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return !running_; });
}

void BackgroundMerge::waitUntilIdle()
{
    std::unique_lock guard(mutex_);
    idle_.wait(guard, [this] { return !running_; });
}

} // namespace korvalin
