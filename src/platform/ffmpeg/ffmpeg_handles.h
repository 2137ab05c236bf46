#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

// Owning pointers for FFmpeg's objects, each released by its own function.

namespace platform {

template <auto release>
struct FfmpegRelease {
    template <typename T>
    void operator()(T* object) const { release(&object); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, FfmpegRelease<avcodec_free_context>>;
using FramePtr = std::unique_ptr<AVFrame, FfmpegRelease<av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, FfmpegRelease<av_packet_free>>;
using ResamplerPtr = std::unique_ptr<SwrContext, FfmpegRelease<swr_free>>;

// A demuxer with the file it reads through its own I/O (see openInput).
struct InputRelease {
    void operator()(AVFormatContext* format) const;
};
using InputPtr = std::unique_ptr<AVFormatContext, InputRelease>;

// A muxer, with its file closed if it is still open.
struct OutputRelease {
    void operator()(AVFormatContext* muxer) const
    {
        avio_closep(&muxer->pb);
        avformat_free_context(muxer);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputRelease>;

} // namespace platform
