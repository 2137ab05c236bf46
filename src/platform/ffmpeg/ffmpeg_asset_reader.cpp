#include "platform/ffmpeg/ffmpeg_asset_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/ffmpeg/ffmpeg_error.h"
#include "platform/ffmpeg/ffmpeg_input.h"

namespace platform {

FfmpegAssetReader::FfmpegAssetReader(int file)
{
    if (int code = openInput(file, demuxer_); code < 0)
        throw MediaError(ffmpegErrorText(code));
}

bool FfmpegAssetReader::addOutput(int track, const PcmFormat& format)
{
    if (track < 0 || track >= static_cast<int>(demuxer_->nb_streams) || decoder_)
        return false;
    if ((format.sampleRate && !(*format.sampleRate >= 1 && *format.sampleRate <= INT32_MAX)) ||
        (format.channels && *format.channels < 1))
        return false;
    const AVCodecParameters* parameters = demuxer_->streams[track]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (parameters->codec_type != AVMEDIA_TYPE_AUDIO || !codec)
        return false;
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return false;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_)
        return false;
    for (unsigned i = 0; i < demuxer_->nb_streams; ++i)
        demuxer_->streams[i]->discard = static_cast<int>(i) == track ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    // The track's own timeline: priming frames before time zero and the
    // padding after its duration are decoded but do not play.
    const AVStream* stream = demuxer_->streams[track];
    const AVRational perFrame{1, parameters->sample_rate};
    if (stream->start_time != AV_NOPTS_VALUE && stream->start_time < 0 && parameters->sample_rate > 0)
        playFrom_ = av_rescale_q(-stream->start_time, stream->time_base, perFrame);
    if (stream->duration != AV_NOPTS_VALUE && parameters->sample_rate > 0 &&
        demuxer_->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
        playUntil_ = av_rescale_q(stream->duration, stream->time_base, perFrame);
    decoder_ = std::move(decoder);
    track_ = track;
    format_ = format;
    return true;
}

bool FfmpegAssetReader::startReading()
{
    if (!decoder_ || status_ != MediaStatus::unknown)
        return false;
    status_ = MediaStatus::active;
    return true;
}

std::optional<PcmBuffer> FfmpegAssetReader::copyNextSampleBuffer()
{
    while (status_ == MediaStatus::active) {
        int code = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (code >= 0) {
            const int64_t first = decoded_;
            decoded_ += frame_->nb_samples;
            const int64_t begin = std::max(playFrom_ - first, int64_t{0});
            const int64_t end = std::min(playUntil_ - first, int64_t{frame_->nb_samples});
            std::optional<PcmBuffer> buffer;
            if (begin < end)
                buffer = convert(frame_.get(), static_cast<int>(begin), static_cast<int>(end - begin));
            av_frame_unref(frame_.get());
            if (status_ != MediaStatus::active || (buffer && buffer->frames > 0))
                return buffer;
        } else if (code == AVERROR_EOF) {
            // The resampler's tail: frames it held back for its filter.
            std::optional<PcmBuffer> tail = resampler_ ? convert(nullptr, 0, 0) : std::nullopt;
            if (tail && tail->frames > 0)
                return tail;
            if (status_ == MediaStatus::active)
                status_ = MediaStatus::completed;
        } else if (!readPacket()) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Feeds the decoder one packet of the track (at the end of the file: the
// signal to drain). A packet the decoder rejects is skipped, as players do;
// a failure to read the file fails the reader. A decoder that errs while
// draining has nothing more to give.
bool FfmpegAssetReader::readPacket()
{
    if (draining_) {
        status_ = MediaStatus::completed;
        return false;
    }
    for (;;) {
        int code = av_read_frame(demuxer_.get(), packet_.get());
        if (code == AVERROR_EOF || (code < 0 && avio_feof(demuxer_->pb))) {
            draining_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
            return true;
        }
        if (code < 0) {
            fail(code);
            return false;
        }
        bool ours = packet_->stream_index == track_;
        if (ours)
            avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (ours)
            return true;
    }
}

// Converts `count` frames of a decoded frame from `offset` on (no frame:
// flushes the resampler) into buffer_.
std::optional<PcmBuffer> FfmpegAssetReader::convert(const AVFrame* frame, int offset, int count)
{
    const uint8_t** input = nullptr;
    if (frame) {
        if (!configureResampler(*frame))
            return std::nullopt;
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const int channels = frame->ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(format);
        const int step = av_get_bytes_per_sample(format) * (planar ? 1 : channels);
        planes_.assign(frame->extended_data, frame->extended_data + (planar ? channels : 1));
        for (const uint8_t*& plane : planes_)
            plane += static_cast<ptrdiff_t>(offset) * step;
        input = planes_.data();
    }
    const int capacity = swr_get_out_samples(resampler_.get(), count);
    if (capacity < 0)
        return fail(capacity);
    buffer_.resize(static_cast<size_t>(capacity) * outputChannels_);
    auto* out = reinterpret_cast<uint8_t*>(buffer_.data());
    const int produced = swr_convert(resampler_.get(), &out, capacity, input, count);
    if (produced < 0)
        return fail(produced);
    return PcmBuffer{buffer_.data(), produced, outputChannels_, static_cast<double>(outputRate_)};
}

// Sets the resampler up for the frame's format, again whenever that changes.
bool FfmpegAssetReader::configureResampler(const AVFrame& frame)
{
    if (resampler_ && frame.format == inputFormat_ && frame.sample_rate == inputRate_ &&
        av_channel_layout_compare(&frame.ch_layout, &inputLayout_) == 0)
        return true;
    if (frame.sample_rate < 1 || frame.ch_layout.nb_channels < 1) {
        fail(AVERROR_INVALIDDATA);
        return false;
    }
    AVChannelLayout output{};
    if (format_.channels)
        av_channel_layout_default(&output, *format_.channels);
    else
        av_channel_layout_copy(&output, &frame.ch_layout);
    const int rate = format_.sampleRate ? static_cast<int>(std::lround(*format_.sampleRate)) : frame.sample_rate;
    SwrContext* resampler = nullptr;
    int code = swr_alloc_set_opts2(&resampler, &output, AV_SAMPLE_FMT_FLT, rate, const_cast<AVChannelLayout*>(&frame.ch_layout),
                                   static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
    resampler_.reset(resampler);
    if (code >= 0)
        code = swr_init(resampler);
    outputChannels_ = output.nb_channels;
    av_channel_layout_uninit(&output);
    if (code < 0) {
        resampler_.reset();
        fail(code);
        return false;
    }
    inputFormat_ = frame.format;
    inputRate_ = frame.sample_rate;
    av_channel_layout_uninit(&inputLayout_);
    av_channel_layout_copy(&inputLayout_, &frame.ch_layout);
    outputRate_ = rate;
    return true;
}

std::optional<PcmBuffer> FfmpegAssetReader::fail(int code)
{
    status_ = MediaStatus::failed;
    error_ = ffmpegErrorText(code);
    return std::nullopt;
}

} // namespace platform
