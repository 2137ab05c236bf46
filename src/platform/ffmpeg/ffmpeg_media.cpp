#include "platform/ffmpeg/ffmpeg_media.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "platform/ffmpeg/ffmpeg_asset_reader.h"
#include "platform/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/ffmpeg/ffmpeg_input.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace platform {

FfmpegMedia::FfmpegMedia()
{
    av_log_set_level(AV_LOG_QUIET);
}

void FfmpegMedia::loadAssetFacts(int file, std::function<void(AssetFacts)> completion)
{
    // Reading a file can hang (a dead network share); the caller bounds its
    // wait, so the work must not run on the caller's thread, and it reads a
    // descriptor of its own that the caller cannot close under it.
    const int own = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    std::thread([own, completion = std::move(completion)] {
        AssetFacts facts = own >= 0 ? readAssetFacts(own) : AssetFacts{};
        if (own >= 0)
            ::close(own);
        completion(std::move(facts));
    }).detach();
}

std::unique_ptr<AssetWriter> FfmpegMedia::makeAssetWriter(int file)
{
    return std::make_unique<FfmpegAssetWriter>(file);
}

std::unique_ptr<AssetReader> FfmpegMedia::makeAssetReader(int file)
{
    return std::make_unique<FfmpegAssetReader>(file);
}

namespace {

// The real length: a fragmented file's track duration is the sum of the
// sample durations of all its fragments (the demuxer reads every fragment
// header when it opens a seekable file); a length guessed from the bit rate
// is no length at all.
MediaTime durationOf(const AVFormatContext& format, const AVStream* track)
{
    if (track && track->duration != AV_NOPTS_VALUE && track->time_base.num == 1) {
        // Frames before time zero (the encoder's priming) do not play.
        int64_t preroll = track->start_time != AV_NOPTS_VALUE && track->start_time < 0 ? -track->start_time : 0;
        return {track->duration - preroll, track->time_base.den};
    }
    if (format.duration != AV_NOPTS_VALUE && format.duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
        return {format.duration, AV_TIME_BASE};
    return {};
}

} // namespace

AssetFacts readAssetFacts(int file)
{
    AssetFacts facts;
    InputPtr format;
    if (openInput(file, format) < 0)
        return facts;
    const AVStream* track = nullptr;
    for (unsigned i = 0; i < format->nb_streams && !track; ++i)
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            track = format->streams[i];
    facts.duration = durationOf(*format, track);
    // A track without channels holds nothing that can be decoded.
    if (track && track->codecpar->ch_layout.nb_channels > 0) {
        facts.audioTrack = track->index;
        if (track->codecpar->sample_rate > 0)
            facts.sampleRate = track->codecpar->sample_rate;
    }
    return facts;
}

} // namespace platform
