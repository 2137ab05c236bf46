#pragma once

#include <functional>
#include <optional>
#include <string>

#include <pulse/pulseaudio.h>

namespace platform {

// One connection to the sound server: a threaded main loop and its context.
// Callbacks of the context and its streams run on the loop's thread with the
// loop locked; other threads lock it (Lock) before touching either.
class PulseLoop {
public:
    // `server` is a libpulse server string; nothing means libpulse's own
    // choice (the user's session server).
    PulseLoop(std::string clientName, std::optional<std::string> server);
    ~PulseLoop();
    PulseLoop(const PulseLoop&) = delete;
    PulseLoop& operator=(const PulseLoop&) = delete;

    // Connects without ever starting a server, waiting at most `seconds`.
    // False when the server cannot be reached.
    bool connect(double seconds);
    bool ready();

    // Called on the loop thread once when a ready connection is lost.
    void onLost(std::function<void()> lost);

    pa_context* context() { return context_; }
    pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(mainloop_); }

    class Lock {
    public:
        explicit Lock(PulseLoop& loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_.mainloop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_.mainloop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PulseLoop& loop_;
    };

    // With the loop locked: sleeps until some callback calls signal().
    void wait() { pa_threaded_mainloop_wait(mainloop_); }
    void signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

    // With the loop locked: waits for `operation` (taking ownership) to end.
    // False when it could not be started or was cancelled.
    bool await(pa_operation* operation);

private:
    static void stateChanged(pa_context* context, void* self);

    std::optional<std::string> server_;
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::function<void()> lost_;
    bool wasReady_ = false;
    bool closing_ = false;
};

} // namespace platform
