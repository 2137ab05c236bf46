#include "protocol/line_reader.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "protocol/utf8.h"

namespace korvalin {

// A host may hand over a non-blocking descriptor: "try again" only means that
// nothing has arrived yet.
bool LineReader::awaitInput()
{
    pollfd waiting{fd_, POLLIN, 0};
    for (;;) {
        int ready = ::poll(&waiting, 1, -1);
        if (ready >= 0 || errno != EINTR)
            return ready > 0;
    }
}

std::optional<std::string> LineReader::next()
{
    for (;;) {
        size_t newline = buffer_.find('\n', scanned_);
        if (newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            scanned_ = 0;
            if (discarding_) {
                discarding_ = false;
                continue;
            }
            return decodeUtf8Lossy(line);
        }
        scanned_ = buffer_.size();
        if (buffer_.size() > lineCap) {
            buffer_.clear();
            buffer_.shrink_to_fit();
            scanned_ = 0;
            discarding_ = true;
        }
        if (eof_)
            break;
        char chunk[chunkSize] = {};
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0)
            buffer_.append(chunk, static_cast<size_t>(n));
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            eof_ = !awaitInput();
        else if (n == 0 || errno != EINTR)
            eof_ = true;
    }
    if (buffer_.empty() || discarding_)
        return std::nullopt;
    std::string last;
    last.swap(buffer_);
    scanned_ = 0;
    return decodeUtf8Lossy(last);
}

} // namespace korvalin
