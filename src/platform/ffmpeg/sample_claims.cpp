#include "platform/ffmpeg/sample_claims.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace platform {

namespace {

// The boxes whose payload FFmpeg's MP4 reader reads as a list of boxes, each
// of which it may take for a table of the current track. A "free" or "hoov"
// box that starts with a movie header is read as a movie.
constexpr std::array<std::string_view, 18> containers{"moov", "trak", "mdia", "minf", "stbl", "dinf",
                                                      "edts", "mvex", "moof", "traf", "tref", "udta",
                                                      "ilst", "sinf", "schi", "wave", "free", "hoov"};
// FFmpeg stops at 11 levels of boxes; a file nested deeper is refused here
// before FFmpeg could find a table the walk did not see.
constexpr int maxDepth = 12;
// A sample description is a few hundred bytes; FFmpeg reads the boxes after
// each entry's codec header, whose length depends on the codec, so no box
// type that carries a count or cannot be followed may appear in it at all.
constexpr uint64_t maxDescription = 64 * 1024;
constexpr std::array<std::string_view, 5> unfollowableInDescription{"stsz", "stz2", "trun", "cmov", "sidx"};

// The tables FFmpeg allocates whole by the count they state, before it reads
// an entry: where the count stands (after the version and flags, in the
// sample groups after the grouping type too) and the fewest bytes an entry
// takes. Their entries must stand in the box itself: a chunk table of 16
// bytes that claims 2^27 chunks would take 1 GiB. (Sample counts are bounded
// by the whole file instead: the runs of a file cut short are read in part.)
struct Table {
    std::string_view type;
    uint64_t countAt;
    uint64_t entryBytes;
};
constexpr std::array<Table, 8> tables{{{"stco", 4, 4},
                                       {"co64", 4, 8},
                                       {"stss", 4, 4},
                                       {"stps", 4, 4},
                                       {"ctts", 4, 8},
                                       {"keys", 4, 8},
                                       {"sbgp", 8, 8},
                                       {"sgpd", 8, 1}}};

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

uint64_t add(uint64_t total, uint64_t claim)
{
    return claim > unfollowable - total ? unfollowable : total + claim;
}

class Walk {
public:
    Walk(int fd, uint64_t length) : fd_(fd), length_(length) {}

    // The counts in the boxes between `begin` and `end`. A box that runs past
    // `end` is read up to it, as FFmpeg reads a file cut short.
    uint64_t between(uint64_t begin, uint64_t end, int depth)
    {
        if (depth > maxDepth)
            return unfollowable;
        uint64_t total = 0;
        for (uint64_t offset = begin; offset < end && end - offset >= 8 && total != unfollowable;) {
            uint8_t header[16];
            if (!readAt(fd_, offset, header, 8))
                break;
            uint64_t size = bigEndian(header, 4);
            uint64_t headerSize = 8;
            if (size == 1) {
                if (end - offset < 16 || !readAt(fd_, offset + 8, header + 8, 8))
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
            total = add(total, box(type, offset + headerSize, offset + size, depth));
            offset += size;
        }
        return total;
    }

private:
    uint64_t box(std::string_view type, uint64_t begin, uint64_t end, int depth)
    {
        if (std::find(containers.begin(), containers.end(), type) != containers.end())
            return between(begin, end, depth + 1);
        if (type == "cmov" || type == "sidx")
            return unfollowable;
        if (type == "meta")
            return meta(begin, end, depth);
        if (type == "stsd")
            return description(begin, end);
        if (type == "trun" || type == "stsz" || type == "stz2")
            // The count follows the version and flags, and in the sample
            // tables the sample size (or the field size) too.
            return count(begin + (type == "trun" ? 4 : 8), end);
        const auto table = std::find_if(tables.begin(), tables.end(), [&](const Table& t) { return t.type == type; });
        if (table == tables.end())
            return 0;
        uint8_t version = 0;
        if (begin < end && !readAt(fd_, begin, &version, 1))
            return 0;
        // Version 1 of a sample-to-group table and versions 1 and 2 of a
        // group description add a field before the count.
        const uint64_t at = begin + table->countAt + (type == "sbgp" ? (version == 1) * 4 : 0) +
                            (type == "sgpd" ? std::min<uint8_t>(version, 2) * 4 : 0);
        const uint64_t entries = count(at, end);
        if (entries == unfollowable || entries == 0)
            return entries;
        return entries > (end - at - 4) / table->entryBytes ? unfollowable : 0;
    }

    // The count at `at` of a box that ends at `end`. FFmpeg reads a count
    // that the box is too short to hold from the bytes after it, so such a
    // box cannot be followed, unless the file ends there (FFmpeg reads 0).
    uint64_t count(uint64_t at, uint64_t end)
    {
        uint8_t bytes[4];
        if (at + 4 <= end)
            return readAt(fd_, at, bytes, 4) ? bigEndian(bytes, 4) : 0;
        return at < length_ ? unfollowable : 0;
    }

    // FFmpeg looks for the handler's type in steps of four bytes and reads
    // the boxes from that handler box on.
    uint64_t meta(uint64_t begin, uint64_t end, int depth)
    {
        for (uint64_t at = begin; end - at > 8; at += 4) {
            uint8_t tag[4];
            if (!readAt(fd_, at, tag, 4))
                return 0;
            if (std::string_view(reinterpret_cast<const char*>(tag), 4) == "hdlr")
                return between(at - 4, end, depth + 1);
        }
        return 0;
    }

    uint64_t description(uint64_t begin, uint64_t end)
    {
        if (end - begin > maxDescription)
            return unfollowable;
        bytes_.resize(end - begin);
        if (!readAt(fd_, begin, bytes_.data(), bytes_.size()))
            return 0;
        const std::string_view text(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
        for (std::string_view type : unfollowableInDescription)
            if (text.find(type) != std::string_view::npos)
                return unfollowable;
        return 0;
    }

    int fd_;
    uint64_t length_;
    std::vector<uint8_t> bytes_;
};

} // namespace

uint64_t claimedSamples(int fd, uint64_t length)
{
    return Walk(fd, length).between(0, length, 0);
}

} // namespace platform
