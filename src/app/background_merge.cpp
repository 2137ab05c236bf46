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
        try {
            events_.emit(mergedEvent(SegmentMerge::run(segments, out)));
        } catch (const std::exception& error) {
            events_.emit(errorEvent("merge_failed", mergeMessage(error), true));
        }
        finished();
    }).detach();
    return true;
}

void BackgroundMerge::finished()
{
    std::lock_guard guard(mutex_);
    running_ = false;
    // Under the lock: a waiter may end the process as soon as it sees this.
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
