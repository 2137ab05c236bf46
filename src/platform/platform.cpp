#include "platform/platform.h"

namespace platform {

Platform& current()
{
    static Platform instance;
    return instance;
}

} // namespace platform
