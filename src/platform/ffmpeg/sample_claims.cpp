#include "platform/ffmpeg/sample_claims.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace platform {

namespace {

// The boxes FFmpeg's MP4 reader descends into on the way to a sample table
// or a fragment run.
constexpr std::array<std::string_view, 11> containers{"moov", "trak", "mdia", "minf", "stbl", "moof",
                                                      "traf", "edts", "dinf", "mvex", "udta"};
constexpr int maxDepth = 8;

bool readAt(int fd, uint64_t offset, uint8_t* out, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

uint64_t bigEndian(const uint8_t* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// The counts in the boxes between `begin` and `end`. A box that runs past
// `end` is read up to it, as FFmpeg reads a file cut short.
uint64_t claimedBetween(int fd, uint64_t begin, uint64_t end, int depth)
{
    uint64_t total = 0;
    for (uint64_t offset = begin; offset < end && end - offset >= 8;) {
        uint8_t header[16];
        if (!readAt(fd, offset, header, 8))
            break;
        uint64_t size = bigEndian(header, 4);
        uint64_t headerSize = 8;
        if (size == 1) {
            if (end - offset < 16 || !readAt(fd, offset + 8, header + 8, 8))
                break;
            size = bigEndian(header + 8, 8);
            headerSize = 16;
        } else if (size == 0) {
            size = end - offset;
        }
        if (size < headerSize)
            break;
        size = std::min(size, end - offset);
        const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
        if (std::find(containers.begin(), containers.end(), type) != containers.end()) {
            if (depth < maxDepth)
                total += claimedBetween(fd, offset + headerSize, offset + size, depth + 1);
        } else if (type == "trun" || type == "stsz" || type == "stz2") {
            // The count follows the version and flags, and in the sample
            // tables the sample size (or the field size) too.
            const uint64_t at = offset + headerSize + (type == "trun" ? 4 : 8);
            uint8_t count[4];
            if (at + 4 <= offset + size && readAt(fd, at, count, 4))
                total += bigEndian(count, 4);
        }
        offset += size;
    }
    return total;
}

} // namespace

uint64_t claimedSamples(int fd, uint64_t length)
{
    return claimedBetween(fd, 0, length, 0);
}

} // namespace platform
