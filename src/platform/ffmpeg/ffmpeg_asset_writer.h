#pragma once

#include <string>
#include <vector>

#include "platform/ffmpeg/ffmpeg_handles.h"
#include "platform/media.h"

namespace platform {

// Encodes with FFmpeg's native AAC encoder into the ipod muxer, as movie
// fragments that reach the file as soon as each is complete. Input comes
// every 20 ms or so; it is encoded in runs of about 0.2 s, which costs the
// encoder a quarter less than one frame at a time with its caches gone cold
// in between, except that a run ends early with the frame that completes a
// fragment, so that the fragment is never held back. Encoding runs
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
    void markAsFinished() override { inputFinished_ = true; }
    void finishWriting(std::function<void()> completion) override;

private:
    bool encode(const AVFrame* frame);
    bool encodeRun();
    int64_t inputOpeningNextFragment() const;
    bool fail(int code);
    void releaseIo();

    int file_;
    OutputPtr muxer_;
    CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    std::vector<FramePtr> run_; // encoder frames collected before encoding them together
    size_t full_ = 0;           // frames of the run that are full
    int filled_ = 0;            // samples in the next one so far
    PacketPtr packet_;
    int64_t fragmentMicroseconds_ = 0;
    int64_t fragmentTicks_ = 0;    // the same in the encoder's time base
    int64_t fragmentStart_ = 0;    // decode time of the fragment's first packet
    int leadIn_ = 0;               // silent frames before time zero, hidden like the priming
    MediaStatus status_ = MediaStatus::unknown;
    std::optional<std::string> error_;
    bool inputFinished_ = false;
};

} // namespace platform
