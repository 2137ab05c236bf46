#include "platform/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

namespace platform {

namespace {

sigset_t terminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

int waitForSignal()
{
    sigset_t set = terminationSet();
    int number = 0;
    while (sigwait(&set, &number) != 0) {
    }
    return number;
}

// Descriptor 1 is replaced, never closed, so that no file opened later can
// take its number and receive event lines.
void silenceStandardOutput()
{
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
}

std::mutex interruptionLock;
std::condition_variable interruptionWake;
std::atomic<int> interruption{0};

} // namespace

void blockTerminationSignals()
{
    sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void deliverTerminationSignals(SerialQueue& queue, std::function<void(int)> handler)
{
    blockTerminationSignals();
    std::thread([&queue, handler = std::move(handler)] {
        for (;;) {
            int number = waitForSignal();
            // What the queue is busy with wakes from its sleep (a trial
            // capture of up to 30 s), so the handler runs within a moment.
            interrupt(number);
            queue.async([handler, number] { handler(number); });
        }
    }).detach();
}

void interruptOnTerminationSignals(std::function<void(int)> handler)
{
    blockTerminationSignals();
    std::thread([handler = std::move(handler)] {
        int number = waitForSignal();
        // Silenced first: whoever sees the interruption can no longer be heard.
        silenceStandardOutput();
        interrupt(number);
        handler(number);
    }).detach();
}

void interrupt(int number)
{
    {
        std::lock_guard guard(interruptionLock);
        interruption = number;
    }
    interruptionWake.notify_all();
}

int interruptingSignal()
{
    return interruption;
}

bool interrupted()
{
    return interruption != 0;
}

void sleepUnlessInterrupted(double seconds)
{
    std::unique_lock guard(interruptionLock);
    interruptionWake.wait_for(guard, std::chrono::duration<double>(seconds), [] { return interrupted(); });
}

} // namespace platform
