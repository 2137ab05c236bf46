#pragma once

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "protocol/event_writer.h"

namespace korvalin {

// An event writer whose event lines and log lines land in two pipes.
struct EventPipes {
    struct Pipe {
        int fds[2] = {-1, -1};
        Pipe() { (void)!pipe2(fds, O_NONBLOCK); }
        ~Pipe()
        {
            close(fds[0]);
            close(fds[1]);
        }
        // Everything written so far.
        std::string take() const
        {
            std::string text;
            char buffer[4096];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
                text.append(buffer, static_cast<size_t>(n));
            return text;
        }
    };

    Pipe out;
    Pipe err;
    EventWriter events{out.fds[1], err.fds[1]};
};

} // namespace korvalin
