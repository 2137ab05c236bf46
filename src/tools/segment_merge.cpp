#include "tools/segment_merge.h"

#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/platform.h"
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

void removeQuietly(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// One decoded buffer into the writer, retrying while the encoder is busy.
int64_t appendBuffer(const platform::PcmBuffer& buffer, SegmentWriter& writer, const std::string& path)
{
    if (!buffer.samples || buffer.channels != 2 || buffer.frames < 1)
        return 0;
    for (int attempt = 0; attempt < appendAttempts; ++attempt) {
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
int64_t decode(const std::string& path, double sampleRate, SegmentWriter& writer)
{
    AssetInfo info = loadAssetInfo(path);
    if (!info.audioTrack) {
        std::string line = "korvalin-cap: segment " + path + " nemá čitelnou zvukovou stopu, přeskočeno\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
        return 0;
    }
    int64_t frames = 0;
    auto failure = decodeTrack(path, *info.audioTrack, {sampleRate, 2}, [&](const platform::PcmBuffer& buffer) {
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

SegmentMerge::Result concatenate(const std::vector<std::string>& segments, const std::string& out)
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
        writer.emplace(out, sampleRate, false);
    } catch (const std::exception& error) {
        throw failed("výstupní soubor nelze otevřít: " + describeWriterError(error));
    }
    int64_t frames = 0;
    try {
        for (const std::string& segment : segments)
            frames += decode(segment, sampleRate, *writer);
    } catch (const MergeError&) {
        writer->finish(0);
        removeQuietly(out);
        throw;
    }
    ClosedSegment closed = writer->finish(0);
    if (frames < 1) {
        removeQuietly(out);
        throw MergeError(MergeError::Kind::empty);
    }
    return {out, closed.durationMs, closed.bytes, "reencode"};
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
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(out).parent_path(), ignored);
    removeQuietly(out);
    if (segments.size() > 1)
        return concatenate(segments, out);

    std::error_code error;
    std::filesystem::copy_file(segments.front(), out, error);
    if (error)
        throw failed("kopie segmentu selhala: " + error.message());
    platform::current().system->fullFlush(out);
    return {out, durationMs(out), fileSize(out), "copy"};
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
