#pragma once

#include <string>

#include "platform/ffmpeg/ffmpeg_handles.h"
#include "platform/media.h"

namespace platform {

// Encodes with FFmpeg's native AAC encoder into the ipod muxer, as movie
// fragments that reach the file as soon as each is complete. Encoding runs
// inside append(), so the writer is always ready while it is writing. The
// muxer writes through the descriptor it was given, never by a file name.
class FfmpegAssetWriter final : public AssetWriter {
public:
    explicit FfmpegAssetWriter(int file);
    ~FfmpegAssetWriter() override;

    bool addInput(const AudioEncoderSettings& settings) override;
    bool startWriting() override;
    bool isReadyForMoreMediaData() const override;
    MediaStatus status() const override { return status_; }
    std::optional<std::string> errorText() const override { return error_; }
    bool append(const float* samples, int64_t frames, int64_t presentationFrame) override;
    int64_t framesUntilFragmentWritten() const override;
    void markAsFinished() override { inputFinished_ = true; }
    void finishWriting(std::function<void()> completion) override;

private:
    bool encode(const AVFrame* frame);
    bool fail(int code);
    void releaseIo();

    int file_;
    OutputPtr muxer_;
    CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    FramePtr frame_;  // the encoder frame being filled
    int filled_ = 0;  // frames in it so far
    int64_t nextFrame_ = 0; // presentation frame of the next input
    PacketPtr packet_;
    int64_t fragmentMicroseconds_ = 0;
    int64_t fragmentTicks_ = 0;    // the same in the encoder's time base
    int64_t fragmentStart_ = 0;    // decode time of the fragment's first packet
    bool fragmentStarted_ = false; // a packet has been written
    MediaStatus status_ = MediaStatus::unknown;
    std::optional<std::string> error_;
    bool inputFinished_ = false;
};

} // namespace platform
