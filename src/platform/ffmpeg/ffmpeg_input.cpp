#include "platform/ffmpeg/ffmpeg_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <set>

#include "platform/ffmpeg/sample_claims.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace platform {

namespace {

// Every other demuxer stays out of reach of a file's bytes.
constexpr const char* audioContainers = "mov,wav,aiff,caf,mp3,aac,flac";
constexpr int bufferSize = 64 * 1024;

// FFmpeg's readers allocate by the sizes and counts a file states (a WAV
// of 109 bytes made it zero 840 MB for a text its list chunk claimed); the
// sample-count check covers only the MP4 sample tables. So every single
// allocation is capped at 32 bytes for each byte of the file being read, and
// at least 64 MiB. The largest a good file needs, its index (24 bytes a
// sample, grown by 1/16), stays inside: a day at 96 kHz takes 206 MB for an
// 86 MB file, and even a sample in every byte, the most the sample-count
// check lets through, fits. FFmpeg's cap is one for the whole process, so it
// follows the largest file open in any thread, from open to release (packets
// read later grow the index), and returns to FFmpeg's default when none is.
constexpr uint64_t capPerByte = 32;
constexpr uint64_t leastCap = 64 << 20;
std::mutex capLock;
std::multiset<uint64_t> openLengths;

void capAllocations()
{
    av_max_alloc(openLengths.empty() ? INT_MAX : std::max(leastCap, capPerByte * *openLengths.rbegin()));
}

// The file that was checked, as FFmpeg's I/O reads it: through its own
// descriptor and at its own position, whoever else reads the file. Closes
// the descriptor when deleted.
struct CheckedFile {
    CheckedFile(int fd, int64_t length) : fd(fd), length(length)
    {
        const std::lock_guard lock(capLock);
        openLengths.insert(static_cast<uint64_t>(length));
        capAllocations();
    }
    ~CheckedFile()
    {
        ::close(fd);
        const std::lock_guard lock(capLock);
        openLengths.erase(openLengths.find(static_cast<uint64_t>(length)));
        capAllocations();
    }
    CheckedFile(const CheckedFile&) = delete;
    CheckedFile& operator=(const CheckedFile&) = delete;

    int fd;
    int64_t length;  // FFmpeg asks for it before every top-level box
    int64_t position = 0;
};

int readFile(void* opaque, uint8_t* buffer, int size)
{
    auto* file = static_cast<CheckedFile*>(opaque);
    ssize_t got;
    do
        got = ::pread(file->fd, buffer, static_cast<size_t>(size), static_cast<off_t>(file->position));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return AVERROR(errno);
    file->position += got;
    return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

int64_t seekFile(void* opaque, int64_t offset, int whence)
{
    auto* file = static_cast<CheckedFile*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return file->length;
    case SEEK_CUR:
        offset += file->position;
        break;
    case SEEK_END:
        offset += file->length;
        break;
    }
    if (offset < 0)
        return AVERROR(EINVAL);
    return file->position = offset;
}

// A duplicate of `file` if it is a regular file; anything else is refused.
int duplicateRegularFile(int file, uint64_t& length)
{
    struct stat attributes {};
    if (::fstat(file, &attributes) != 0 || !S_ISREG(attributes.st_mode))
        return AVERROR(EINVAL);
    const int fd = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return AVERROR(errno);
    length = static_cast<uint64_t>(attributes.st_size);
    return fd;
}

// Closes the file under the I/O and frees both; FFmpeg leaves I/O it was
// given to its owner.
void releaseIo(AVIOContext* io)
{
    delete static_cast<CheckedFile*>(io->opaque);
    av_freep(&io->buffer);
    avio_context_free(&io);
}

} // namespace

void InputRelease::operator()(AVFormatContext* format) const
{
    AVIOContext* io = format->pb;
    avformat_close_input(&format);
    releaseIo(io);
}

int openInput(int file, InputPtr& input)
{
    uint64_t length = 0;
    const int fd = duplicateRegularFile(file, length);
    if (fd < 0)
        return fd;
    if (claimedSamples(fd, length) > length) {
        ::close(fd);
        return AVERROR_INVALIDDATA;
    }
    auto* checked = new CheckedFile{fd, static_cast<int64_t>(length)};
    auto* buffer = static_cast<uint8_t*>(av_malloc(bufferSize));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, bufferSize, 0, checked, readFile, nullptr, seekFile) : nullptr;
    AVFormatContext* format = io ? avformat_alloc_context() : nullptr;
    if (!format) {
        if (io) {
            releaseIo(io);
        } else {
            av_free(buffer);
            delete checked;
        }
        return AVERROR(ENOMEM);
    }
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    input.reset(format);

    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", audioContainers, 0);
    av_dict_set(&options, "max_streams", "16", 0);
    // The fragment index at the end ("mfra") could send the reader to
    // fragments the check never saw; fragments are read in file order.
    av_dict_set(&options, "use_mfra_for", "0", 0);
    int code = avformat_open_input(&format, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (code < 0) {
        // FFmpeg has freed the context, but not the I/O.
        (void)input.release();
        releaseIo(io);
        return code;
    }
    code = avformat_find_stream_info(format, nullptr);
    return code < 0 ? code : 0;
}

} // namespace platform
