#pragma once

#include <memory>

#include "platform/dispatch.h"

namespace korvalin {

// Waits until everything queued before it has run. The semaphore is shared
// with the work item, so it outlives the signal however the threads interleave.
inline void drain(platform::SerialQueue& queue)
{
    auto done = std::make_shared<platform::Semaphore>();
    queue.async([done] { done->signal(); });
    done->wait();
}

} // namespace korvalin
