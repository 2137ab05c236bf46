#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The top-level box layout of an MP4 file and the rule for cutting a file
// back to whole boxes. Only box headers are read.

namespace korvalin {

struct Mp4Box {
    std::string type;  // the four type bytes as UTF-8, invalid bytes replaced
    uint64_t offset = 0;
    uint64_t size = 0;  // header included

    bool operator==(const Mp4Box&) const = default;
};

// A reader that never reads past the length the file had when it was opened.
class FileSlice {
public:
    // Nothing when the file cannot be opened for reading. A size that cannot
    // be read counts as 0.
    static std::optional<FileSlice> open(const std::string& path);
    // The same for an open file, read through a descriptor of its own.
    static std::optional<FileSlice> open(int file);

    FileSlice(FileSlice&& other) noexcept;
    FileSlice& operator=(FileSlice&&) = delete;
    ~FileSlice();

    uint64_t length() const { return length_; }
    // Exactly `count` bytes from `offset`, or nothing.
    std::optional<std::vector<uint8_t>> bytes(uint64_t offset, size_t count) const;
    void close();

private:
    FileSlice(int handle, uint64_t length) : handle_(handle), length_(length) {}

    int handle_;
    uint64_t length_;
};

namespace Mp4 {

// The complete top-level boxes in file order, up to the first header that is
// unreadable, malformed or runs past the end of the file.
std::vector<Mp4Box> topLevelBoxes(const FileSlice& slice);

// The length to cut the file to so that it ends on a whole box, dropping
// trailing "moof" boxes whose media data never followed; nothing when the
// file already ends on a whole box or no cut is safe.
std::optional<uint64_t> safeTruncation(const std::vector<Mp4Box>& boxes, uint64_t fileLength);

} // namespace Mp4

} // namespace korvalin
