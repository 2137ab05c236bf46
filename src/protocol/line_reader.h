#pragma once

#include <optional>
#include <string>

namespace korvalin {

// Splits a byte stream into lines. A line that grows past the cap without a
// line feed is dropped whole, so a runaway writer cannot exhaust memory.
class LineReader {
public:
    static constexpr size_t chunkSize = 4096;
    static constexpr size_t lineCap = 1'048'576;

    explicit LineReader(int fd = 0) : fd_(fd) {}

    // The next line without its line feed, decoded as UTF-8 with invalid
    // bytes replaced; nothing once the input has ended. Waits for input, on
    // a non-blocking descriptor too.
    std::optional<std::string> next();

private:
    bool awaitInput();

    int fd_;
    std::string buffer_;
    size_t scanned_ = 0; // bytes of buffer_ known to hold no line feed
    bool eof_ = false;
    bool discarding_ = false;
};

} // namespace korvalin
