#include "app/memory_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace korvalin {

namespace {

// Reading a 24-hour 96 kHz recording back maps well under 1 GiB; the rest is
// room for the libraries' own reservations (thread arenas, stacks).
constexpr rlim_t addressSpace = rlim_t{4} << 30;

// A sanitizer's shadow memory alone spans terabytes of address space.
#if defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||
                           __has_feature(memory_sanitizer);
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

} // namespace

void limitMemory()
{
    struct rlimit limit {};
    if (sanitized || ::getrlimit(RLIMIT_AS, &limit) != 0)
        return;
    // Never raise a limit someone already set lower.
    limit.rlim_cur = std::min(limit.rlim_cur, addressSpace);
    ::setrlimit(RLIMIT_AS, &limit);
}

} // namespace korvalin
