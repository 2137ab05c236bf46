#include "platform/signals.h"

#include <csignal>
#include <pthread.h>
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
        sigset_t set = terminationSet();
        for (;;) {
            int number = 0;
            if (sigwait(&set, &number) == 0)
                queue.async([handler, number] { handler(number); });
        }
    }).detach();
}

} // namespace platform
