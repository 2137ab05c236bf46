// The facts of arbitrary bytes: a duration the file's bytes could hold, and
// a sample rate only with an audio track.

#include <cstdlib>

#include "fuzz_support.h"
#include "segment/media_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::installPlatform();
    const std::string path = fuzz::scratchFile(data, size);
    korvalin::AssetInfo info = korvalin::loadAssetInfo(path);
    if (info.duration.isValid() && info.duration.seconds() > static_cast<double>(size))
        std::abort();
    if (info.sampleRate && (!info.audioTrack || !(*info.sampleRate > 0)))
        std::abort();
    return 0;
}
