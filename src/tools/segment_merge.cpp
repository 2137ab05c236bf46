#include "tools/segment_merge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/system.h"
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

MergeError interruptedError()
{
    return failed("spojování přerušeno signálem");
}

// The merge is written beside `out` under a name of the process's own and
// renamed over `out` only when it has succeeded, so a failed or interrupted
// merge leaves whatever is at `out` as it was.
class PendingOutput {
public:
    explicit PendingOutput(const std::string& out) : out_(out)
    {
        std::filesystem::path target(out);
        path_ = (target.parent_path() /
                 ("." + target.filename().string() + "." +
                  std::to_string(platform::current().system->pid()) + ".part"))
                    .string();
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    ~PendingOutput()
    {
        if (!kept_)
            ::unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }

    // Puts the finished file in place at `out`, replacing what was there.
    void keep()
    {
        if (platform::interrupted())
            throw interruptedError();
        if (::rename(path_.c_str(), out_.c_str()) != 0)
            throw failed("výstup nelze uložit: " + std::string(std::strerror(errno)));
        kept_ = true;
    }

private:
    std::string out_;
    std::string path_;
    bool kept_ = false;
};

std::optional<struct stat> fileStatus(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return status;
}

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
            throw interruptedError();
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

// Two or more segments re-encoded into `file`.
SegmentMerge::Result concatenate(const std::vector<std::string>& segments, const std::string& file)
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
        writer.emplace(file, sampleRate, false);
    } catch (const std::exception& error) {
        throw failed("výstupní soubor nelze otevřít: " + describeWriterError(error));
    }
    int64_t frames = 0;
    try {
        for (const std::string& segment : segments)
            frames += decode(segment, sampleRate, *writer);
    } catch (...) {
        writer->finish(0);
        throw;
    }
    ClosedSegment closed = writer->finish(0);
    if (frames < 1)
        throw MergeError(MergeError::Kind::empty);
    return {file, closed.durationMs, closed.bytes, "reencode"};
}

// One segment copied byte for byte into `file`.
SegmentMerge::Result copy(const std::string& segment, const std::string& file)
{
    if (!readableTrack(segment))
        throw MergeError(MergeError::Kind::empty);
    std::error_code error;
    std::filesystem::copy_file(segment, file, std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        throw failed("kopie segmentu selhala: " + error.message());
    platform::current().system->fullFlush(file);
    return {file, durationMs(file), fileSize(file), "copy"};
}

} // namespace

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
    Result result = segments.size() > 1 ? concatenate(segments, output.path()) : copy(segments.front(), output.path());
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
