#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

struct DBusConnection;
struct DBusMessage;

namespace platform {

// A client of RealtimeKit (org.freedesktop.RealtimeKit1 on the system bus),
// through which a desktop gives its users' audio threads a real-time
// priority that their own limits (no rtprio) do not let them take. Every
// call waits at most `timeoutMs` for an answer; none is for a real-time
// loop.
class RealtimeKit {
public:
    // The system bus: DBUS_SYSTEM_BUS_ADDRESS, else the system's socket.
    explicit RealtimeKit(int timeoutMs);
    ~RealtimeKit();
    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    // The highest priority it grants; nothing when it cannot be asked.
    std::optional<int> maxPriority();
    // Makes a thread of this process (its kernel id) round robin at
    // `priority`. RealtimeKit serves only a process that cannot hold a CPU
    // for long, so this first limits the process's real-time CPU time
    // between blocking calls (RLIMIT_RTTIME) to what it asks for.
    bool makeRealtime(pid_t thread, int priority);
    // Why the last call failed, as the bus said it.
    const std::string& error() const { return error_; }

private:
    std::optional<int64_t> property(const char* name);
    DBusMessage* call(DBusMessage* message); // sends and frees it; the reply (to unref) or nullptr

    DBusConnection* connection_ = nullptr;
    const int timeoutMs_;
    std::string error_;
};

} // namespace platform
