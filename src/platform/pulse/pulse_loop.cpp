#include "platform/pulse/pulse_loop.h"

namespace platform {

PulseLoop::PulseLoop(std::string clientName, std::optional<std::string> server)
    : server_(std::move(server)), mainloop_(pa_threaded_mainloop_new())
{
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "korvalin-cap");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), clientName.c_str(), properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(context_, &PulseLoop::stateChanged, this);
    pa_threaded_mainloop_set_name(mainloop_, "korvalin.pulse");
    pa_threaded_mainloop_start(mainloop_);
}

PulseLoop::~PulseLoop()
{
    {
        Lock lock(*this);
        closing_ = true;
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

bool PulseLoop::connect(double seconds)
{
    Lock lock(*this);
    if (pa_context_get_state(context_) != PA_CONTEXT_UNCONNECTED)
        return pa_context_get_state(context_) == PA_CONTEXT_READY;
    const char* server = server_ ? server_->c_str() : nullptr;
    if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;

    // A server that accepts the socket but never answers must not hold us up.
    bool timedOut = false;
    struct TimeOut {
        PulseLoop* loop;
        bool* flag;
    } timeOut{this, &timedOut};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + pa_usec_t(seconds * PA_USEC_PER_SEC),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* t = static_cast<TimeOut*>(data);
            *t->flag = true;
            t->loop->signal();
        },
        &timeOut);
    for (;;) {
        pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state) || timedOut)
            break;
        wait();
    }
    pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    if (pa_context_get_state(context_) == PA_CONTEXT_READY)
        return true;
    closing_ = true;
    pa_context_disconnect(context_);
    return false;
}

bool PulseLoop::ready()
{
    Lock lock(*this);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseLoop::onLost(std::function<void()> lost)
{
    Lock lock(*this);
    lost_ = std::move(lost);
}

bool PulseLoop::await(pa_operation* operation)
{
    if (!operation)
        return false;
    pa_operation_state_t state;
    while ((state = pa_operation_get_state(operation)) == PA_OPERATION_RUNNING) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            pa_operation_cancel(operation);
            state = PA_OPERATION_CANCELLED;
            break;
        }
        wait();
    }
    pa_operation_unref(operation);
    return state == PA_OPERATION_DONE;
}

void PulseLoop::stateChanged(pa_context* context, void* self)
{
    auto* loop = static_cast<PulseLoop*>(self);
    pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY)
        loop->wasReady_ = true;
    if (!PA_CONTEXT_IS_GOOD(state) && loop->wasReady_ && !loop->closing_) {
        loop->wasReady_ = false;
        if (loop->lost_)
            loop->lost_();
    }
    loop->signal();
}

} // namespace platform
