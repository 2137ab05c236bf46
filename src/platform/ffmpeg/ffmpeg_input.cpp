#include "platform/ffmpeg/ffmpeg_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ffmpeg/sample_claims.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace platform {

namespace {

// The sample table of 24 hours of 48 kHz AAC takes about 100 MB. FFmpeg
// sizes its tables by the counts a file claims, read or not, so a few bytes
// of a damaged file could otherwise ask for gigabytes.
constexpr size_t maxAllocation = size_t{128} << 20;

// Every other demuxer stays out of reach of a file's bytes.
constexpr const char* audioContainers = "mov,wav,aiff,caf,mp3,aac,flac";

} // namespace

void boundAllocations()
{
    av_max_alloc(maxAllocation);
}

int openInput(const std::string& path, InputPtr& input)
{
    // Only regular files hold media: opening a FIFO would wait for a writer
    // that may never come.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return AVERROR(errno);
    struct stat attributes {};
    const bool regular = ::fstat(fd, &attributes) == 0 && S_ISREG(attributes.st_mode);
    const auto length = static_cast<uint64_t>(attributes.st_size);
    const bool believable = regular && claimedSamples(fd, length) <= length;
    ::close(fd);
    if (!regular)
        return AVERROR(EINVAL);
    if (!believable)
        return AVERROR_INVALIDDATA;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", audioContainers, 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "max_streams", "16", 0);
    AVFormatContext* format = nullptr;
    // "file:" keeps a name such as "rec12:30.m4a" from being read as a protocol.
    int code = avformat_open_input(&format, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (code < 0)
        return code;
    input.reset(format);
    code = avformat_find_stream_info(format, nullptr);
    return code < 0 ? code : 0;
}

} // namespace platform
