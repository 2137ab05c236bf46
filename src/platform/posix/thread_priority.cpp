#include "platform/posix/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/realtime_kit.h"

namespace platform {
namespace {

// Each call on the bus: Hello, two properties, the request.
constexpr int busTimeoutMs = 300;

std::string granted(int priority, const char* how)
{
    return "vlákno zachytávání běží v reálném čase (round robin) s prioritou " + std::to_string(priority) + how;
}

} // namespace

void raiseThreadPriority(int priority, const std::function<void(const std::string&)>& log)
{
    sched_param parameters{};
    parameters.sched_priority = priority;
    std::string line;
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &parameters) == 0) {
        line = granted(priority, "");
    } else {
        RealtimeKit kit(busTimeoutMs);
        auto most = kit.maxPriority();
        int asked = std::min(priority, most.value_or(0));
        if (asked > 0 && kit.makeRealtime(pid_t(gettid()), asked)) {
            line = granted(asked, " od RealtimeKit");
        } else {
            std::string why = most && *most <= 0 ? "povoluje nejvýš " + std::to_string(*most) : kit.error();
            line = "vlákno zachytávání běží s běžnou prioritou: reálný čas systém nepovolil a RealtimeKit ho nedal (" +
                   why + ")";
        }
    }
    if (log)
        log(line);
}

} // namespace platform
