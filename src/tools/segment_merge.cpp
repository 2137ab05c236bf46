#include "tools/segment_merge.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>

#include "platform/signals.h"
#include "segment/file_handle.h"
#include "segment/media_facts.h"
#include "segment/segment_writer.h"
#include "tools/track_decoder.h"

namespace korvalin {

namespace {

constexpr int appendAttempts = 5001;
constexpr useconds_t appendRetryMicroseconds = 2000;

MergeError failed(std::string message)
{
    return MergeError(MergeError::Kind::failed, std::move(message));
}

std::optional<struct stat> fileStatus(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return status;
}

// The merge is written beside `out` into a file of its own, created under a
// name nobody can guess or plant beforehand (never through a symbolic link),
// and renamed over `out` only when it has succeeded, so a failed or
// interrupted merge leaves whatever is at `out` as it was. The output keeps
// the mode of the file it replaces; a new one gets the usual mode.
class PendingOutput {
public:
    explicit PendingOutput(const std::string& out) : out_(out)
    {
        std::optional<struct stat> earlier = fileStatus(out);
        std::filesystem::path target(out);
        std::random_device random;
        const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
            std::string tag;
            for (int i = 0; i < 8; ++i)
                tag += letters[random() % letters.size()];
            path_ = (target.parent_path() / ("." + target.filename().string() + "." + tag + ".part")).string();
            file_ = FileHandle(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                      earlier ? 0600 : 0666));
            if (!file_ && errno != EEXIST)
                break;
        }
        if (!file_)
            throw failed("výstupní soubor nelze otevřít: " + std::string(std::strerror(errno)));
        if (earlier && ::fchmod(file_.get(), earlier->st_mode & 07777) != 0) {
            std::string reason = std::strerror(errno);
            ::unlink(path_.c_str());
            throw failed("výstupní soubor nelze otevřít: " + reason);
        }
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    ~PendingOutput()
    {
        if (!kept_)
            ::unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }
    // The open file, for whoever writes it.
    FileHandle& file() { return file_; }

    // Puts the finished file in place at `out`, replacing what was there.
    void keep()
    {
        if (platform::interrupted())
            throw mergeInterrupted();
        if (::rename(path_.c_str(), out_.c_str()) != 0)
            throw failed("výstup nelze uložit: " + std::string(std::strerror(errno)));
        kept_ = true;
    }

private:
    std::string out_;
    std::string path_;
    FileHandle file_;
    bool kept_ = false;
};

// Refuses an output that would destroy what the merge did not write: a
// directory, or one of the segments under whatever spelling (the same device
// and inode).
void checkOutput(const std::vector<std::string>& segments, const std::string& out)
{
    std::optional<struct stat> target = fileStatus(out);
    if (out.ends_with('/') || (target && S_ISDIR(target->st_mode)))
        throw failed("výstup je adresář");
    if (!target)
        return;
    for (const std::string& segment : segments) {
        std::optional<struct stat> file = fileStatus(segment);
        if (file && file->st_dev == target->st_dev && file->st_ino == target->st_ino)
            throw failed("výstup nesmí být jeden ze segmentů");
    }
}

// One decoded buffer into the writer, retrying while the encoder is busy.
int64_t appendBuffer(const platform::PcmBuffer& buffer, SegmentWriter& writer, const std::string& path)
{
    if (!buffer.samples || buffer.channels != 2 || buffer.frames < 1)
        return 0;
    for (int attempt = 0; attempt < appendAttempts; ++attempt) {
        if (platform::interrupted())
            throw mergeInterrupted();
        if (attempt > 0)
            usleep(appendRetryMicroseconds);
        try {
            if (writer.append(buffer.samples, buffer.frames))
                return buffer.frames;
        } catch (const std::exception& error) {
            throw failed("segment " + path + ": " + describeWriterError(error));
        }
    }
    throw failed("segment " + path + ": kodér nepřijímá data");
}

// One segment into the writer; returns the frames appended.
// The segment's audio track; nothing, and a line on standard error, when it
// has none that can be read.
std::optional<int> readableTrack(const std::string& path)
{
    std::optional<int> track = loadAssetInfo(path).audioTrack;
    if (!track) {
        std::string line = "korvalin-cap: segment " + path + " nemá čitelnou zvukovou stopu, přeskočeno\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
    }
    return track;
}

int64_t decode(const std::string& path, double sampleRate, SegmentWriter& writer)
{
    std::optional<int> track = readableTrack(path);
    if (!track)
        return 0;
    int64_t frames = 0;
    auto failure = decodeTrack(path, *track, {sampleRate, 2}, [&](const platform::PcmBuffer& buffer) {
        frames += appendBuffer(buffer, writer, path);
    });
    if (!failure)
        return frames;
    using Stage = DecodeFailure::Stage;
    switch (failure->stage) {
    case Stage::open:
        throw failed("segment " + path + " nelze otevřít: " + failure->detail.value_or(""));
    case Stage::output:
        throw failed("segment " + path + ": dekodér odmítl nastavení");
    case Stage::start:
        throw failed("segment " + path + ": " + failure->detail.value_or("čtení nezačalo"));
    case Stage::read:
        break;
    }
    throw failed("segment " + path + ": " + failure->detail.value_or("čtení selhalo"));
}

// Two or more segments re-encoded into the output.
SegmentMerge::Result concatenate(const std::vector<std::string>& segments, PendingOutput& output)
{
    double sampleRate = 0;
    for (const std::string& segment : segments) {
        std::optional<double> rate = loadAssetInfo(segment).sampleRate;
        if (rate && *rate > 0) {
            sampleRate = *rate;
            break;
        }
    }
    if (sampleRate <= 0)
        throw MergeError(MergeError::Kind::empty);

    std::optional<SegmentWriter> writer;
    try {
        writer.emplace(output.path(), std::move(output.file()), sampleRate, false);
    } catch (const std::exception& error) {
        throw failed("výstupní soubor nelze otevřít: " + describeWriterError(error));
    }
    int64_t frames = 0;
    try {
        for (const std::string& segment : segments)
            frames += decode(segment, sampleRate, *writer);
    } catch (...) {
        try {
            writer->finish(0);
        } catch (const SegmentWriterError&) {
            // The failure that stopped the merge is the one to report.
        }
        throw;
    }
    ClosedSegment closed;
    try {
        closed = writer->finish(0);
    } catch (const SegmentWriterError& error) {
        throw failed("výstupní soubor nelze dokončit: " + describeWriterError(error));
    }
    if (frames < 1)
        throw MergeError(MergeError::Kind::empty);
    return {output.path(), closed.durationMs, closed.bytes, "reencode"};
}

// The reason `segment` could not be copied into `file`, or nothing.
std::optional<std::string> copyInto(const std::string& segment, FileHandle& file)
{
    FileHandle source(::open(segment.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source)
        return std::strerror(errno);
    for (;;) {
        ssize_t sent = ::sendfile(file.get(), source.get(), nullptr, 1 << 20);
        if (sent == 0)
            break;
        if (sent < 0 && errno != EINTR)
            return std::strerror(errno);
    }
    if (std::optional<std::string> failure = file.sync())
        return failure;
    return file.close();
}

// One segment copied byte for byte into the output.
SegmentMerge::Result copy(const std::string& segment, PendingOutput& output)
{
    if (!readableTrack(segment))
        throw MergeError(MergeError::Kind::empty);
    if (std::optional<std::string> failure = copyInto(segment, output.file()))
        throw failed("kopie segmentu selhala: " + *failure);
    return {output.path(), durationMs(output.path()), fileSize(output.path()), "copy"};
}

} // namespace

MergeError mergeInterrupted()
{
    return failed("spojování přerušeno signálem");
}

SegmentMerge::Result SegmentMerge::run(const std::vector<std::string>& segments, const std::string& out)
{
    if (segments.empty())
        throw MergeError(MergeError::Kind::empty);
    for (const std::string& segment : segments) {
        std::error_code error;
        if (!std::filesystem::exists(segment, error))
            throw MergeError(MergeError::Kind::missing, segment);
    }
    checkOutput(segments, out);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(out).parent_path(), ignored);
    PendingOutput output(out);
    Result result = segments.size() > 1 ? concatenate(segments, output) : copy(segments.front(), output);
    output.keep();
    result.path = out;
    return result;
}

std::string mergeMessage(const std::exception& error)
{
    const auto* merge = dynamic_cast<const MergeError*>(&error);
    if (!merge)
        return error.what();
    switch (merge->kind) {
    case MergeError::Kind::missing:
        return "segment " + merge->detail + " neexistuje";
    case MergeError::Kind::failed:
        break;
    case MergeError::Kind::empty:
        return "žádné použitelné segmenty ke spojení";
    }
    return merge->detail;
}

Event mergedEvent(const SegmentMerge::Result& result)
{
    return Event{{"ev", "merged"},
                 {"out", result.path},
                 {"duration_ms", result.durationMs},
                 {"bytes", result.bytes},
                 {"method", result.method}};
}

} // namespace korvalin
