#include "platform/posix/realtime_kit.h"

#include <dbus/dbus.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

constexpr const char* service = "org.freedesktop.RealtimeKit1";
constexpr const char* object = "/org/freedesktop/RealtimeKit1";
constexpr const char* systemBus = "unix:path=/var/run/dbus/system_bus_socket";

// What RealtimeKit asks of a client when it does not say (its default).
constexpr int64_t defaultRealtimeMicroseconds = 200000;

struct Error {
    DBusError error;
    Error() { dbus_error_init(&error); }
    ~Error() { dbus_error_free(&error); }
    std::string text() const { return error.message ? error.message : "neznámá chyba D-Bus"; }
};

} // namespace

RealtimeKit::RealtimeKit(int timeoutMs) : timeoutMs_(timeoutMs)
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    dbus_connection_set_change_sigpipe(false); // the program decides what SIGPIPE does
    Error error;
    connection_ = dbus_connection_open_private(address && *address ? address : systemBus, &error.error);
    if (!connection_) {
        error_ = error.text();
        return;
    }
    dbus_connection_set_exit_on_disconnect(connection_, false);
    // A bus answers nothing before Hello; dbus_bus_register would wait for
    // it as long as libdbus's default (25 s).
    DBusMessage* reply =
        call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"));
    const char* name = nullptr;
    if (reply && dbus_message_get_args(reply, &error.error, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
        dbus_bus_set_unique_name(connection_, name);
    else if (reply)
        error_ = error.text();
    if (reply)
        dbus_message_unref(reply);
    if (!name) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
}

RealtimeKit::~RealtimeKit()
{
    if (connection_) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
}

DBusMessage* RealtimeKit::call(DBusMessage* message)
{
    if (!message)
        return nullptr;
    Error error;
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection_, message, timeoutMs_, &error.error);
    dbus_message_unref(message);
    if (!reply)
        error_ = error.text();
    return reply;
}

std::optional<int64_t> RealtimeKit::property(const char* name)
{
    if (!connection_)
        return std::nullopt;
    DBusMessage* message = dbus_message_new_method_call(service, object, DBUS_INTERFACE_PROPERTIES, "Get");
    if (!message)
        return std::nullopt;
    const char* interface = service;
    dbus_message_append_args(message, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    DBusMessage* reply = call(message);
    if (!reply)
        return std::nullopt;
    std::optional<int64_t> value;
    DBusMessageIter iter, variant;
    if (dbus_message_iter_init(reply, &iter) && dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&iter, &variant);
        if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_INT32) {
            dbus_int32_t number;
            dbus_message_iter_get_basic(&variant, &number);
            value = number;
        } else if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_INT64) {
            dbus_int64_t number;
            dbus_message_iter_get_basic(&variant, &number);
            value = number;
        }
    }
    if (!value)
        error_ = std::string("RealtimeKit nezná ") + name;
    dbus_message_unref(reply);
    return value;
}

std::optional<int> RealtimeKit::maxPriority()
{
    auto priority = property("MaxRealtimePriority");
    return priority ? std::optional(int(*priority)) : std::nullopt;
}

bool RealtimeKit::makeRealtime(pid_t thread, int priority)
{
    if (!connection_)
        return false;
    int64_t most = property("RTTimeUSecMax").value_or(defaultRealtimeMicroseconds);
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 && (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > rlim_t(most))) {
        limit.rlim_cur = limit.rlim_max = rlim_t(most);
        setrlimit(RLIMIT_RTTIME, &limit);
    }
    DBusMessage* message = dbus_message_new_method_call(service, object, service, "MakeThreadRealtimeWithPID");
    if (!message)
        return false;
    dbus_uint64_t process = dbus_uint64_t(getpid()), task = dbus_uint64_t(thread);
    dbus_uint32_t level = dbus_uint32_t(priority);
    dbus_message_append_args(message, DBUS_TYPE_UINT64, &process, DBUS_TYPE_UINT64, &task, DBUS_TYPE_UINT32, &level,
                             DBUS_TYPE_INVALID);
    DBusMessage* reply = call(message);
    if (reply)
        dbus_message_unref(reply);
    return reply != nullptr;
}

} // namespace platform
