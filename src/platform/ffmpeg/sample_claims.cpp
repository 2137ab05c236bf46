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
constexpr std::array<std::string_view, 10> unfollowableInDescription{"stsz", "stz2", "trun", "senc", "stsc",
                                                                     "stco", "co64", "elst", "cmov", "sidx"};

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
constexpr std::array<Table, 9> tables{{{"stco", 4, 4},
                                       {"stsc", 4, 12},
                                       {"co64", 4, 8},
                                       {"stss", 4, 4},
                                       {"stps", 4, 4},
                                       {"ctts", 4, 8},
                                       {"keys", 4, 8},
                                       {"sbgp", 8, 8},
                                       {"sgpd", 8, 1}}};

// An audio track whose samples each last one tick (uncompressed sound) is
// indexed by its chunks instead of its samples: every chunk is split into
// entries of at least 160 samples, however many samples the chunk table says
// it holds, so the track's index takes up to its chunk count times the most
// samples a chunk holds, over 160.
constexpr uint64_t leastSamplesPerEntry = 160;

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

uint64_t multiply(uint64_t a, uint64_t b)
{
    return a != 0 && b > unfollowable / a ? unfollowable : a * b;
}

class Walk {
public:
    Walk(int fd, uint64_t length) : fd_(fd), length_(length) {}

    // Every index entry the file's tables claim.
    uint64_t claims()
    {
        const uint64_t samples = between(0, length_, 0);
        return add(samples, trackEntries());
    }

private:
    struct Track {
        uint64_t samples = 0; // its sample table's count, already in the sum
        uint64_t chunks = 0;
        uint64_t mostPerChunk = 0;
        uint64_t edits = 0; // edits that play media
    };

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

    uint64_t box(std::string_view type, uint64_t begin, uint64_t end, int depth)
    {
        if (type == "trak")
            tracks_.emplace_back();
        if (std::find(containers.begin(), containers.end(), type) != containers.end())
            return between(begin, end, depth + 1);
        if (type == "cmov" || type == "sidx")
            return unfollowable;
        if (type == "meta")
            return meta(begin, end, depth);
        if (type == "stsd")
            return description(begin, end);
        if (type == "elst")
            return edits(begin, end);
        // After the version and flags: a fragment run's samples, and the
        // entries of an encryption table, one for each sample it claims even
        // where they take no bytes of the file.
        if (type == "trun" || type == "senc")
            return count(begin + 4, end);
        if (type == "stsz" || type == "stz2") {
            // After the sample size (or the field size) too.
            const uint64_t samples = count(begin + 8, end);
            if (!tracks_.empty())
                tracks_.back().samples = std::max(tracks_.back().samples, samples);
            return samples;
        }
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
        if (entries > (end - at - 4) / table->entryBytes)
            return unfollowable;
        // Tables outside any track are FFmpeg's for the last one opened, or for none.
        if (!tracks_.empty() && (type == "stco" || type == "co64"))
            tracks_.back().chunks = std::max(tracks_.back().chunks, entries);
        if (!tracks_.empty() && type == "stsc")
            tracks_.back().mostPerChunk = std::max(tracks_.back().mostPerChunk, mostPerChunk(at + 4, entries));
        return 0;
    }

    // Calls `visit` with each of the `entries` entries of `entryBytes` bytes
    // from `at` on, as far as the file has them.
    template <typename Visit>
    void forEachEntry(uint64_t at, uint64_t entries, uint64_t entryBytes, Visit visit)
    {
        constexpr uint64_t batch = 4096;
        for (uint64_t done = 0; done < entries;) {
            const uint64_t n = std::min(batch, entries - done);
            bytes_.resize(n * entryBytes);
            if (!readAt(fd_, at + done * entryBytes, bytes_.data(), bytes_.size()))
                return;
            for (uint64_t i = 0; i < n; ++i)
                visit(&bytes_[i * entryBytes]);
            done += n;
        }
    }

    // The largest samples-per-chunk field of the chunk table's `entries`
    // entries from `at` on: first chunk, samples per chunk, description.
    uint64_t mostPerChunk(uint64_t at, uint64_t entries)
    {
        uint64_t most = 0;
        forEachEntry(at, entries, 12, [&](const uint8_t* entry) { most = std::max(most, bigEndian(entry + 4, 4)); });
        return most;
    }

    // An edit list: FFmpeg copies the index entries each edit plays (every
    // edit but an empty one, whose media time is -1) into a new index, so
    // edits that each play the whole track multiply it. FFmpeg reads as many
    // entries as the box holds.
    uint64_t edits(uint64_t begin, uint64_t end)
    {
        uint8_t version = 0;
        if (tracks_.empty() || end - begin < 8 || !readAt(fd_, begin, &version, 1))
            return 0;
        const uint64_t entryBytes = version == 1 ? 20 : 12, timeBytes = version == 1 ? 8 : 4;
        const uint64_t entries = std::min(count(begin + 4, end), (end - begin - 8) / entryBytes);
        const uint64_t empty = timeBytes == 8 ? ~uint64_t{0} : 0xffffffff;
        uint64_t playing = 0;
        forEachEntry(begin + 8, entries, entryBytes,
                     [&](const uint8_t* entry) { playing += bigEndian(entry + timeBytes, timeBytes) != empty; });
        tracks_.back().edits = std::max(tracks_.back().edits, playing);
        return 0;
    }

    // What the tracks claim beyond their sample tables: a track indexed by
    // chunks (FFmpeg indexes a track by one or the other), and the copies
    // its edits make.
    uint64_t trackEntries() const
    {
        uint64_t total = 0;
        for (const Track& track : tracks_) {
            const uint64_t chunks =
                track.chunks * ((track.mostPerChunk + leastSamplesPerEntry - 1) / leastSamplesPerEntry);
            total = add(total, chunks - std::min(chunks, track.samples));
            if (track.edits > 1)
                total = add(total, multiply(track.edits - 1, std::max(chunks, track.samples)));
        }
        return total;
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
    std::vector<Track> tracks_;
};

} // namespace

uint64_t claimedSamples(int fd, uint64_t length)
{
    return Walk(fd, length).claims();
}

} // namespace platform
