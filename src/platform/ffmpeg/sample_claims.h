#pragma once

#include <cstdint>

namespace platform {

// The number of samples that an MP4 file's sample tables ("stsz", "stz2")
// and fragment runs ("trun") claim, summed over every track; 0 for a file
// that is not MP4. FFmpeg sizes its tables by these counts before it reads
// a sample, so a count the file's bytes cannot hold (every sample takes at
// least a byte) marks a damaged file that must not reach it. Reads only box
// headers and counts from `fd`, a regular file of `length` bytes.
uint64_t claimedSamples(int fd, uint64_t length);

} // namespace platform
