#pragma once

#include <mutex>
#include <optional>
#include <string>

#include <pulse/pulseaudio.h>

namespace platform {

// A connection to the sound server without a thread of its own: its socket
// is read only when it is dispatched or served. The system-audio streams of
// an aggregate live on one, so that their fragments wake nobody: the
// microphone's delivery dispatches them. Not thread-safe: its owner
// serialises every call (the aggregate's IO lock), except wakeUp().
class PolledConnection {
public:
    explicit PolledConnection(std::optional<std::string> server);
    ~PolledConnection();
    PolledConnection(const PolledConnection&) = delete;
    PolledConnection& operator=(const PolledConnection&) = delete;

    // Connects without ever starting a server, waiting at most `seconds`.
    bool connect(double seconds);
    // Handles what the server has sent, without waiting.
    void dispatch();
    // Waits at most `timeout` for the server or wakeUp(), with `lock` (its
    // owner's, held otherwise) released meanwhile, and handles what came.
    // Sources dispatched, or -1 when the loop fails.
    int serve(pa_usec_t timeout, std::unique_lock<std::mutex>& lock);
    // Ends a wait of serve() from any thread.
    void wakeUp() { pa_mainloop_wakeup(mainloop_); }
    // Handles what the server sends until `done` or `seconds` have passed.
    template <typename Done>
    bool waitFor(Done done, double seconds)
    {
        pa_usec_t end = pa_rtclock_now() + pa_usec_t(seconds * PA_USEC_PER_SEC);
        while (!done()) {
            pa_usec_t now = pa_rtclock_now();
            if (now >= end || iterate(end - now) < 0)
                return false;
        }
        return true;
    }

    pa_context* context() { return context_; }
    pa_mainloop_api* api() { return pa_mainloop_get_api(mainloop_); }

private:
    // Sources dispatched, or -1 when the loop fails.
    int iterate(pa_usec_t timeout);

    std::optional<std::string> server_;
    pa_mainloop* mainloop_;
    pa_context* context_;
};

} // namespace platform
