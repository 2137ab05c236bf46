// Repair on arbitrary bytes never grows a file and never changes a byte
// before the cut: what is left is always a prefix of what was there.

#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"
#include "tools/repair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::installPlatform();
    const std::string path = fuzz::scratchFile(data, size);
    korvalin::Repair::repairOne(path, fuzz::quietEvents());
    const std::string after = fuzz::contentOf(path);
    if (after.size() > size || std::string_view(reinterpret_cast<const char*>(data), after.size()) != after)
        std::abort();
    return 0;
}
