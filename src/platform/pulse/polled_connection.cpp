#include "platform/pulse/polled_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace platform {
namespace {

// More than one delivery's worth of the server's messages; a bound, so that
// a flood cannot hold the microphone's delivery.
constexpr int maxDispatches = 64;

} // namespace

PolledConnection::PolledConnection(std::optional<std::string> server)
    : server_(std::move(server)), mainloop_(pa_mainloop_new())
{
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "korvalin-cap");
    context_ = pa_context_new_with_proplist(pa_mainloop_get_api(mainloop_), "korvalin-cap system audio", properties);
    pa_proplist_free(properties);
}

PolledConnection::~PolledConnection()
{
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_mainloop_free(mainloop_);
}

bool PolledConnection::connect(double seconds)
{
    const char* server = server_ ? server_->c_str() : nullptr;
    if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    waitFor([this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
                            pa_context_get_state(context_) == PA_CONTEXT_READY; },
            seconds);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PolledConnection::dispatch()
{
    for (int i = 0; i < maxDispatches && iterate(0) > 0; ++i) {
    }
}

int PolledConnection::serve(pa_usec_t timeout, std::unique_lock<std::mutex>& lock)
{
    pa_mainloop_set_poll_func(
        mainloop_,
        [](pollfd* fds, unsigned long count, int milliseconds, void* held) {
            auto& lock = *static_cast<std::unique_lock<std::mutex>*>(held);
            lock.unlock();
            int polled = poll(fds, count, milliseconds);
            int error = errno; // the loop tells an interruption by it
            lock.lock();
            errno = error;
            return polled;
        },
        &lock);
    int dispatched = iterate(timeout);
    pa_mainloop_set_poll_func(mainloop_, nullptr, nullptr);
    return dispatched;
}

int PolledConnection::iterate(pa_usec_t timeout)
{
    if (pa_mainloop_prepare(mainloop_, int(std::min<pa_usec_t>(timeout, PA_USEC_PER_SEC))) < 0 ||
        pa_mainloop_poll(mainloop_) < 0)
        return -1;
    return pa_mainloop_dispatch(mainloop_);
}

} // namespace platform
