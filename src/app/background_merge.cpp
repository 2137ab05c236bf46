#include "app/background_merge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/signals.h"
#include "tools/segment_merge.h"

namespace korvalin {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    return {ends[0], ends[1]};
}

// The merging process: this very program, with `arguments`, its answer into
// `answer` and its log lines into `log`. It shares this process's memory
// until its exec (vfork: no page of the recording is copied or write-
// protected meanwhile), so only plain system calls run before. It is sent
// SIGTERM, and so stops and removes its partial output, when the thread that
// started it ends: that thread waits for it, so in effect when this process
// dies.
pid_t spawn(const std::vector<std::string>& arguments, const Pipe& answer, const Pipe& log)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t child = ::vfork();
    if (child == 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent || nothing < 0 ||
            ::dup2(nothing, 0) < 0 || ::dup2(answer.write, 1) < 0 || ::dup2(log.write, 2) < 0)
            ::_exit(127);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    if (nothing >= 0)
        ::close(nothing);
    return child;
}

} // namespace

bool BackgroundMerge::start(std::vector<std::string> segments, std::string out)
{
    {
        std::lock_guard guard(mutex_);
        if (running_)
            return false;
        running_ = true;
        stopping_ = false;
    }
    std::vector<std::string> arguments{"korvalin-cap", "--merge", std::move(out)};
    arguments.insert(arguments.end(), segments.begin(), segments.end());
    // Detached: the process may end while it runs (after a signal has
    // stopped it, or at once when the merge does not stop in time).
    std::thread([this, arguments = std::move(arguments)] { finish(run(arguments)); }).detach();
    return true;
}

void BackgroundMerge::stop()
{
    std::lock_guard guard(mutex_);
    stopping_ = true;
    if (child_ > 0)
        ::kill(child_, SIGTERM);
}

Event BackgroundMerge::run(const std::vector<std::string>& arguments)
{
    Pipe answer = makePipe(), log = makePipe();
    pid_t child = -1;
    if (answer.read >= 0 && log.read >= 0) {
        std::lock_guard guard(mutex_);
        child = spawn(arguments, answer, log);
        child_ = child;
        if (child > 0 && stopping_)
            ::kill(child, SIGTERM);
    }
    const int spawnError = errno;
    for (int end : {answer.write, log.write})
        if (end >= 0)
            ::close(end);
    if (child <= 0) {
        for (int end : {answer.read, log.read})
            if (end >= 0)
                ::close(end);
        return errorEvent("merge_failed", "spojování nelze spustit: " + std::string(std::strerror(spawnError)), true);
    }

    const std::string said = collect(answer.read, log.read);
    {
        std::lock_guard guard(mutex_);
        child_ = 0;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    if (said.ends_with('\n')) {
        try {
            return Json::parse(said);
        } catch (const Json::exception&) {
            // Not an answer: reported below as a merge that ended without one.
        }
    }
    if (platform::interrupted() || stopping())
        return errorEvent("merge_failed", mergeMessage(mergeInterrupted()), true);
    const std::string how = WIFSIGNALED(status) ? "signálem " + std::to_string(WTERMSIG(status))
                                                : "se stavem " + std::to_string(WEXITSTATUS(status));
    return errorEvent("merge_failed", "spojování skončilo bez výsledku (" + how + ")", true);
}

// Reads the merging process's pipes to their ends, closing them: returns
// what it said on `answer` (one line) and passes on what it logs on `log`.
std::string BackgroundMerge::collect(int answer, int log)
{
    std::string said, pending;
    std::array<pollfd, 2> ends{pollfd{answer, POLLIN, 0}, pollfd{log, POLLIN, 0}};
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        if (::poll(ends.data(), ends.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd& end : ends) {
            if (end.fd < 0 || !end.revents)
                continue;
            char chunk[4096];
            const ssize_t got = ::read(end.fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(end.fd);
                end.fd = -1;
            } else if (end.fd == answer) {
                said.append(chunk, static_cast<size_t>(got));
            } else {
                pending.append(chunk, static_cast<size_t>(got));
                passOnLog(pending, false);
            }
        }
    }
    for (const pollfd& end : ends)
        if (end.fd >= 0)
            ::close(end.fd);
    passOnLog(pending, true);
    return said;
}

// Passes the merging process's complete log lines on (`all`: the rest too,
// ended), byte for byte and each in one write, as the program writes its
// own; none once it has been asked to stop.
void BackgroundMerge::passOnLog(std::string& pending, bool all)
{
    if (all && !pending.empty() && !pending.ends_with('\n'))
        pending += '\n';
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        if (!stopping())
            (void)!::write(STDERR_FILENO, pending.data(), end + 1);
        pending.erase(0, end + 1);
    }
}

bool BackgroundMerge::stopping()
{
    std::lock_guard guard(mutex_);
    return stopping_;
}

void BackgroundMerge::finish(const Event& outcome)
{
    // Reported and marked idle in one step: a host that sends the next merge
    // as soon as it reads this one's answer is not told `busy`, and a waiter
    // that ends the process sees the merge idle only once it is reported.
    std::lock_guard guard(mutex_);
    events_.emit(outcome);
    running_ = false;
    idle_.notify_all();
}

bool BackgroundMerge::waitUntilIdle(double seconds)
{
    std::unique_lock guard(mutex_);
    return idle_.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return !running_; });
}

void BackgroundMerge::waitUntilIdle()
{
    std::unique_lock guard(mutex_);
    idle_.wait(guard, [this] { return !running_; });
}

} // namespace korvalin
