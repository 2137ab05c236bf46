#include "platform/os_version.h"

#include "platform/platform.h"
#include "platform/system.h"

namespace korvalin {

std::string osVersionString()
{
    const platform::System& system = *platform::current().system;
    if (auto text = system.productVersion())
        return *text;
    auto version = system.osVersion();
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

bool isSupportedOS()
{
    auto version = platform::current().system->osVersion();
    return version.major > 14 || (version.major == 14 && version.minor >= 4);
}

} // namespace korvalin
