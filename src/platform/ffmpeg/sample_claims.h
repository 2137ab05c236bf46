#pragma once

#include <cstdint>
#include <limits>

namespace platform {

// A claim no file can hold: what claimedSamples returns for a file whose
// boxes FFmpeg would read beyond what the guard can follow.
constexpr uint64_t unfollowable = std::numeric_limits<uint64_t>::max();

// The number of index entries that an MP4 file's sample tables ("stsz",
// "stz2"), fragment runs ("trun") and, for uncompressed sound, chunk tables
// ("stsc" with "stco" or "co64") claim, each time an edit list ("elst")
// plays them, and the entries its encryption tables ("senc") claim, summed
// over every track and fragment, wherever FFmpeg's MP4 reader would find
// them; 0 for a file that is not MP4.
// FFmpeg builds its index (about 32 bytes an entry) by these counts before it
// reads a sample, so a total the file's bytes cannot hold (every sample takes
// at least a byte) marks a damaged file that must not reach it. A compressed
// header ("cmov") and a segment index ("sidx", which sends the reader to
// fragments anywhere in the file) cannot be followed: `unfollowable`; so is
// a table that FFmpeg allocates by a count its own box cannot hold, or whose
// count lies beyond its box. Reads only box headers and counts from `fd`, a
// regular file of `length` bytes.
uint64_t claimedSamples(int fd, uint64_t length);

} // namespace platform
