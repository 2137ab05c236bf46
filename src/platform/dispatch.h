#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// A serial queue: one thread runs its work items one at a time, in the
// order they were submitted (delayed items once their time has come).
class SerialQueue {
public:
    using Work = std::function<void()>;

    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(Work work);
    void asyncAfter(double seconds, Work work);
    // Runs work on the queue and waits for it. Called on the queue itself it
    // runs the work at once, so that nested calls cannot deadlock.
    void sync(const Work& work);
    bool isCurrent() const;

private:
    using Clock = std::chrono::steady_clock;
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> ready_;
    std::multimap<Clock::time_point, Work> delayed_;
    bool stopping_ = false;
    std::thread thread_;
};

// A counting semaphore whose wait can time out.
class Semaphore {
public:
    explicit Semaphore(long value = 0) : value_(value) {}

    void signal();
    void wait();
    // False when the time ran out before a signal arrived.
    bool wait(double seconds);

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    long value_;
};

} // namespace platform
