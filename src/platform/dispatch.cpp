#include "platform/dispatch.h"

namespace platform {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); })
{
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void SerialQueue::async(Work work)
{
    // Notified under the lock: the queue may be destroyed as soon as the
    // work has run, which can be before an unlocked notify returns.
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(work));
    wake_.notify_all();
}

void SerialQueue::asyncAfter(double seconds, Work work)
{
    auto when = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    std::lock_guard lock(mutex_);
    delayed_.emplace(when, std::move(work));
    wake_.notify_all();
}

void SerialQueue::sync(const Work& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    Semaphore done;
    async([&] {
        work();
        done.signal();
    });
    done.wait();
}

bool SerialQueue::isCurrent() const
{
    return thread_.get_id() == std::this_thread::get_id();
}

void SerialQueue::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!ready_.empty()) {
            Work work = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            work();
            lock.lock();
            continue;
        }
        if (stopping_)
            return;
        if (delayed_.empty())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, delayed_.begin()->first);
    }
}

void Semaphore::signal()
{
    // Notified under the lock: a waiter may destroy the semaphore as soon as
    // it can see the new value.
    std::lock_guard lock(mutex_);
    ++value_;
    cond_.notify_one();
}

void Semaphore::wait()
{
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [this] { return value_ > 0; });
    --value_;
}

bool Semaphore::wait(double seconds)
{
    std::unique_lock lock(mutex_);
    auto limit = std::chrono::duration<double>(seconds > 0 ? seconds : 0);
    if (!cond_.wait_for(lock, limit, [this] { return value_ > 0; }))
        return false;
    --value_;
    return true;
}

} // namespace platform
