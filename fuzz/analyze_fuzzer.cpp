// Analysis of arbitrary bytes: whatever FFmpeg makes of them, the program
// answers with one event and an exit status, within the fuzzer's memory and
// time limits.

#include <cstdlib>

#include "fuzz_support.h"
#include "tools/analyze.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::installPlatform();
    int status = korvalin::Analyze::run(fuzz::scratchFile(data, size), fuzz::quietEvents());
    if (status != 0 && status != 1)
        std::abort();
    return 0;
}
