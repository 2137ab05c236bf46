#include "platform/ffmpeg/ffmpeg_asset_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <utility>

#include "platform/ffmpeg/ffmpeg_error.h"

namespace platform {

namespace {

constexpr int ioBufferBytes = 64 * 1024;
constexpr double runSeconds = 0.2;

// The muxer's output callbacks; `opaque` points at the descriptor. A failed
// write becomes the AVIOContext's error, which the muxer's calls return.
int writeToFile(void* opaque, uint8_t* data, int size)
{
    const int file = *static_cast<int*>(opaque);
    for (int done = 0; done < size;) {
        ssize_t written = ::write(file, data + done, static_cast<size_t>(size - done));
        if (written < 0 && errno != EINTR)
            return AVERROR(errno);
        done += written > 0 ? static_cast<int>(written) : 0;
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence)
{
    const int file = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat status {};
        return ::fstat(file, &status) == 0 ? status.st_size : AVERROR(errno);
    }
    off_t position = ::lseek(file, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : position;
}

} // namespace

FfmpegAssetWriter::FfmpegAssetWriter(int file) : file_(file)
{
    AVFormatContext* muxer = nullptr;
    int code = avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr);
    if (code < 0)
        throw MediaError(ffmpegErrorText(code));
    muxer_.reset(muxer);
}

FfmpegAssetWriter::~FfmpegAssetWriter() { releaseIo(); }

// The muxer's I/O context is ours: the descriptor under it stays open.
void FfmpegAssetWriter::releaseIo()
{
    if (!muxer_->pb)
        return;
    av_freep(&muxer_->pb->buffer);
    avio_context_free(&muxer_->pb);
}

bool FfmpegAssetWriter::addInput(const AudioEncoderSettings& settings)
{
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    const long rate = std::lround(settings.sampleRate);
    if (!codec || rate < 1 || rate > INT32_MAX || stream_)
        return false;
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder)
        return false;
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = static_cast<int>(rate);
    av_channel_layout_default(&encoder->ch_layout, settings.channels);
    encoder->bit_rate = settings.bitRate;
    encoder->time_base = AVRational{1, static_cast<int>(rate)};
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return false;

    AVStream* stream = avformat_new_stream(muxer_.get(), nullptr);
    PacketPtr packet(av_packet_alloc());
    if (!stream || !packet || avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0)
        return false;
    stream->time_base = encoder->time_base;
    std::vector<FramePtr> run(std::max<int64_t>(1, std::llround(runSeconds * rate / encoder->frame_size)));
    for (FramePtr& frame : run) {
        frame.reset(av_frame_alloc());
        if (!frame)
            return false;
        frame->format = encoder->sample_fmt;
        frame->nb_samples = encoder->frame_size;
        frame->sample_rate = encoder->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 ||
            av_frame_get_buffer(frame.get(), 0) < 0)
            return false;
    }

    stream_ = stream;
    encoder_ = std::move(encoder);
    run_ = std::move(run);
    packet_ = std::move(packet);
    fragmentMicroseconds_ = std::llround(settings.fragmentSeconds * 1e6);
    // Input that does not come in real time comes from files: decoded AAC,
    // which sits on the frame grid it was encoded on. Encoded again on that
    // very grid, a steady tone can come out smeared and spliced in every
    // other block (a merge's first segment, whose timeline starts where the
    // merge's does), so such input starts half a frame off the grid, behind
    // as much silence before time zero.
    leadIn_ = settings.expectsRealTime ? 0 : encoder_->frame_size / 2;
    // The muxer starts a fragment with the packet that is a whole fragment
    // or more past the first one's decode time; the first packet is the
    // encoder's priming, before time zero and the lead-in.
    fragmentTicks_ = av_rescale_rnd(fragmentMicroseconds_, rate, 1000000, AV_ROUND_UP);
    fragmentStart_ = -encoder_->initial_padding - leadIn_;
    return true;
}

bool FfmpegAssetWriter::startWriting()
{
    if (!stream_ || status_ != MediaStatus::unknown)
        return false;
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferBytes));
    muxer_->pb = buffer ? avio_alloc_context(buffer, ioBufferBytes, 1, &file_, nullptr, writeToFile, seekInFile)
                        : nullptr;
    if (!muxer_->pb) {
        av_free(buffer);
        return fail(AVERROR(ENOMEM));
    }
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Audio-only fragments are cut by duration; each finished fragment is
    // flushed to the file at once, so a crash loses at most the one being
    // filled. The header waits for the first fragment so that it can carry
    // the edit list that hides the encoder's priming frames from players.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "empty_moov+delay_moov+default_base_moof", 0);
    av_dict_set_int(&options, "frag_duration", fragmentMicroseconds_, 0);
    av_dict_set(&options, "flush_packets", "1", 0);
    int code = avformat_write_header(muxer_.get(), &options);
    av_dict_free(&options);
    if (code < 0)
        return fail(code);
    avio_flush(muxer_->pb);
    if (leadIn_ > 0) {
        AVFrame* frame = run_[0].get();
        frame->pts = -leadIn_;
        for (int c = 0; c < encoder_->ch_layout.nb_channels; ++c)
            std::fill_n(reinterpret_cast<float*>(frame->extended_data[c]), leadIn_, 0.0f);
        filled_ = leadIn_;
    }
    status_ = MediaStatus::active;
    return true;
}

bool FfmpegAssetWriter::isReadyForMoreMediaData() const
{
    return status_ == MediaStatus::active && !inputFinished_;
}

bool FfmpegAssetWriter::append(const float* samples, int64_t frames, int64_t presentationFrame)
{
    if (!isReadyForMoreMediaData())
        return false;
    const int channels = encoder_->ch_layout.nb_channels;
    const int capacity = encoder_->frame_size;
    for (int64_t done = 0; done < frames;) {
        AVFrame* frame = run_[full_].get();
        if (filled_ == 0) {
            // Usually a no-op: the encoder has copied the frame's earlier samples.
            int code = av_frame_make_writable(frame);
            if (code < 0)
                return fail(code);
            frame->pts = presentationFrame + done;
        }
        const int count = static_cast<int>(std::min<int64_t>(capacity - filled_, frames - done));
        const float* source = samples + done * channels;
        for (int c = 0; c < channels; ++c) {
            float* plane = reinterpret_cast<float*>(frame->extended_data[c]) + filled_;
            for (int i = 0; i < count; ++i)
                plane[i] = source[i * channels + c];
        }
        filled_ += count;
        done += count;
        if (filled_ == capacity) {
            filled_ = 0;
            ++full_;
            if ((full_ == run_.size() || frame->pts + capacity >= inputOpeningNextFragment()) && !encodeRun())
                return false;
        }
    }
    return true;
}

// The input through which the encoder gives out the packet that opens the
// next fragment. The muxer opens one with the first packet a whole fragment
// or more past the current one's first; packets are one encoder frame long
// from the priming offset on, and the encoder gives each out once it has
// been given the frame after it (its look-ahead), whole.
int64_t FfmpegAssetWriter::inputOpeningNextFragment() const
{
    const int64_t frame = encoder_->frame_size;
    const int64_t opening = fragmentStart_ + (fragmentTicks_ + frame - 1) / frame * frame;
    return opening + encoder_->initial_padding + 2 * frame;
}

bool FfmpegAssetWriter::encodeRun()
{
    const size_t full = std::exchange(full_, 0);
    for (size_t i = 0; i < full; ++i)
        if (!encode(run_[i].get()))
            return false;
    return true;
}

void FfmpegAssetWriter::finishWriting(std::function<void()> completion)
{
    if (status_ == MediaStatus::active) {
        // The run so far, its last, shorter frame, then whatever the encoder still holds.
        AVFrame* last = run_[full_].get();
        last->nb_samples = filled_;
        bool encoded = encodeRun() && (filled_ == 0 || encode(last)) && encode(nullptr);
        // The trailer flushes what is buffered and reports any write that failed.
        int code = encoded ? av_write_trailer(muxer_.get()) : 0;
        if (code >= 0)
            code = muxer_->pb->error;
        if (code < 0)
            fail(code);
        else if (status_ == MediaStatus::active)
            status_ = MediaStatus::completed;
    }
    releaseIo();
    completion();
}

// Sends one frame (null: the end of input) and writes every packet that comes out.
bool FfmpegAssetWriter::encode(const AVFrame* frame)
{
    int code = avcodec_send_frame(encoder_.get(), frame);
    while (code >= 0) {
        code = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (code < 0)
            break;
        // Mirrors the muxer's cut into fragments, for inputOpeningNextFragment().
        if (packet_->dts - fragmentStart_ >= fragmentTicks_)
            fragmentStart_ = packet_->dts;
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        code = av_write_frame(muxer_.get(), packet_.get());
        av_packet_unref(packet_.get());
    }
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
        return true;
    return fail(code);
}

bool FfmpegAssetWriter::fail(int code)
{
    status_ = MediaStatus::failed;
    if (!error_)
        error_ = ffmpegErrorText(code);
    return false;
}

} // namespace platform
