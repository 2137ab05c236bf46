#pragma once

#include <string>
#include <vector>

#include "platform/ffmpeg/ffmpeg_handles.h"
#include "platform/media.h"

namespace platform {

// Demuxes one track, decodes it and converts every decoded frame to
// interleaved float at the requested rate and channel count (swresample).
class FfmpegAssetReader final : public AssetReader {
public:
    // Reads `file`, a descriptor that stays the caller's; throws MediaError
    // when FFmpeg cannot read it.
    explicit FfmpegAssetReader(int file);
    ~FfmpegAssetReader() override { av_channel_layout_uninit(&inputLayout_); }

    bool addOutput(int track, const PcmFormat& format) override;
    bool startReading() override;
    std::optional<PcmBuffer> copyNextSampleBuffer() override;
    MediaStatus status() const override { return status_; }
    std::optional<std::string> errorText() const override { return error_; }

private:
    bool readPacket();
    std::optional<PcmBuffer> convert(const AVFrame* frame, int offset, int count);
    bool configureResampler(const AVFrame& frame);
    std::optional<PcmBuffer> fail(int code);

    InputPtr demuxer_;
    CodecContextPtr decoder_;
    ResamplerPtr resampler_;
    FramePtr frame_;
    PacketPtr packet_;
    int track_ = -1;
    PcmFormat format_;
    // The input the resampler was set up for, and its output.
    int inputFormat_ = -1;
    int inputRate_ = 0;
    AVChannelLayout inputLayout_{};
    int outputRate_ = 0;
    int outputChannels_ = 0;
    std::vector<float> buffer_;
    std::vector<const uint8_t*> planes_;
    // The decoded frames that play: [playFrom_, playUntil_) counted from the
    // first decoded frame; decoded_ counts the frames decoded so far.
    int64_t playFrom_ = 0;
    int64_t playUntil_ = INT64_MAX;
    int64_t decoded_ = 0;
    bool draining_ = false;
    MediaStatus status_ = MediaStatus::unknown;
    std::optional<std::string> error_;
};

} // namespace platform
