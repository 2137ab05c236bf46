#include "tools/mp4_box.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/utf8.h"

namespace korvalin {

std::optional<FileSlice> FileSlice::open(const std::string& path)
{
    // Non-blocking, so that a FIFO without a writer cannot hold the scan up;
    // it has no length and so no boxes.
    int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    std::optional<FileSlice> slice = open(handle);
    if (handle >= 0)
        ::close(handle);
    return slice;
}

std::optional<FileSlice> FileSlice::open(int file)
{
    const int handle = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    if (handle < 0)
        return std::nullopt;
    struct stat attributes {};
    uint64_t length = ::fstat(handle, &attributes) == 0 && S_ISREG(attributes.st_mode)
                          ? static_cast<uint64_t>(attributes.st_size)
                          : 0;
    return FileSlice(handle, length);
}

FileSlice::FileSlice(FileSlice&& other) noexcept : handle_(other.handle_), length_(other.length_)
{
    other.handle_ = -1;
}

FileSlice::~FileSlice()
{
    close();
}

void FileSlice::close()
{
    if (handle_ >= 0)
        ::close(handle_);
    handle_ = -1;
}

std::optional<std::vector<uint8_t>> FileSlice::bytes(uint64_t offset, size_t count) const
{
    if (offset > length_ || count > length_ - offset)
        return std::nullopt;
    std::vector<uint8_t> data(count);
    size_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(handle_, data.data() + done, count - done, static_cast<off_t>(offset + done));
        if (got <= 0)
            return std::nullopt;
        done += static_cast<size_t>(got);
    }
    return data;
}

namespace Mp4 {

namespace {

uint64_t bigEndian(const uint8_t* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

std::vector<Mp4Box> topLevelBoxes(const FileSlice& slice)
{
    std::vector<Mp4Box> boxes;
    const uint64_t length = slice.length();
    uint64_t offset = 0;
    while (offset <= length && length - offset >= 8) {
        auto header = slice.bytes(offset, 8);
        if (!header)
            break;
        const uint64_t size32 = bigEndian(header->data(), 4);
        uint64_t size = size32;
        if (size32 == 0) {
            size = length - offset;
        } else if (size32 == 1) {
            auto large = slice.bytes(offset + 8, 8);
            if (!large)
                break;
            size = bigEndian(large->data(), 8);
            if (size < 16)
                break;
        } else if (size32 < 8) {
            break;
        }
        // Written so that a size near 2^64 cannot wrap around.
        if (size > length - offset)
            break;
        std::string_view type(reinterpret_cast<const char*>(header->data() + 4), 4);
        boxes.push_back(Mp4Box{decodeUtf8Lossy(type), offset, size});
        offset += size;
    }
    return boxes;
}

std::optional<uint64_t> safeTruncation(const std::vector<Mp4Box>& boxes, uint64_t fileLength)
{
    size_t kept = boxes.size();
    while (kept > 0 && boxes[kept - 1].type == "moof")
        --kept;
    if (kept == 0)
        return std::nullopt;
    const Mp4Box& last = boxes[kept - 1];
    const uint64_t end = last.offset + last.size;
    if (end == 0 || end >= fileLength)
        return std::nullopt;
    return end;
}

} // namespace Mp4

} // namespace korvalin
