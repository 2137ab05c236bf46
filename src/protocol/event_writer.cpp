#include "protocol/event_writer.h"

#include <cerrno>
#include <unistd.h>

#include "protocol/utf8.h"

namespace korvalin {

namespace {
// False when the reader has gone; any other failure drops the rest of the line.
bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !(n < 0 && errno == EPIPE);
        done += static_cast<size_t>(n);
    }
    return true;
}
} // namespace

void EventWriter::emit(const Event& event)
{
    auto line = encodeJson(event);
    if (!line) {
        log("nelze serializovat event " + event.dump(-1, ' ', false, Json::error_handler_t::replace));
        return;
    }
    *line += '\n';
    {
        std::lock_guard guard(lock_);
        if (gone_ || writeAll(handle_, *line))
            return;
        gone_ = true;
    }
    if (readerGone_)
        readerGone_();
}

void EventWriter::log(std::string_view message)
{
    std::string line = "korvalin-cap: ";
    line += decodeUtf8Lossy(message); // a path in the message need not be UTF-8
    line += '\n';
    (void)!::write(logHandle_, line.data(), line.size());
}

Event errorEvent(std::string_view code, std::string_view message, bool fatal)
{
    return Event{{"ev", "error"}, {"code", code}, {"msg", message}, {"fatal", fatal}};
}

} // namespace korvalin
