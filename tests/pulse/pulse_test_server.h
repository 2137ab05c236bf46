#pragma once

// The private sound server the pulse tests run against (started by
// scripts/pulse_server.sh or scripts/pipewire_server.sh), and small helpers
// around it.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pulsetest {

// The script that started the shared server; it also plays the tones.
inline const std::string script = std::getenv("KORVALIN_SERVER_SCRIPT")
                                      ? std::getenv("KORVALIN_SERVER_SCRIPT")
                                      : std::string(KORVALIN_SOURCE_DIR) + "/scripts/pulse_server.sh";

// Commands start with pactl; a server that stops answering fails a test in
// seconds rather than holding it until ctest's own limit.
inline std::string bounded(const std::string& command) { return "timeout 20 " + command; }

inline int shell(const std::string& command) { return std::system((bounded(command) + " >/dev/null 2>&1").c_str()); }

// The first line a shell command prints.
inline std::string output(const std::string& command)
{
    std::string line;
    if (FILE* pipe = popen((bounded(command) + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, pipe))
            line = buffer;
        pclose(pipe);
    }
    return line.substr(0, line.find('\n'));
}

// Makes `name` the default "source" or "sink" and waits until the server
// reports it: PipeWire applies a new default a little after pactl returns.
inline bool setDefault(const std::string& kind, const std::string& name)
{
    if (shell("pactl set-default-" + kind + " " + name) != 0)
        return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (output("pactl get-default-" + kind) == name)
            return true;
        usleep(20000);
    }
    return false;
}

// A child process, ended (SIGTERM) when the object goes.
class Child {
public:
    explicit Child(std::vector<std::string> arguments)
    {
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

private:
    pid_t pid_ = -1;
};

// A sine played into a sink of the shared server for `seconds`. The player
// is orphaned at once, so that a tap leaving this process out still hears
// it; the shell in between ends it.
inline Child tone(const std::string& sink, int hz, int seconds)
{
    return Child({"/bin/sh", "-c",
                  "p=$( (\"$0\" tone \"$1\" \"$2\" \"$3\" >/dev/null 2>&1 & echo $!) ); "
                  "sleep \"$3\" & trap 'kill $p $!' TERM; wait",
                  script, sink, std::to_string(hz), std::to_string(seconds)});
}

// Waits (at most 20 s: making the tone files takes a while on a busy
// machine) until `streams` clients play on the shared server. The server's
// own streams (loopbacks) have no client.
inline bool waitForPlayback(int streams)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (std::atoi(output("pactl list short sink-inputs | awk '$3 != \"-\"' | wc -l").c_str()) >= streams)
            return true;
        usleep(100000);
    }
    return false;
}

// A test on the server this run started (skipped when there is none rather
// than touch a user's session server), which it leaves as it found it.
class OnServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server)
            GTEST_SKIP() << "no private sound server (scripts/pulse_server.sh start)";
    }
    void TearDown() override
    {
        if (!server)
            return;
        setDefault("source", "virtual_mic");
        setDefault("sink", "speakers");
        shell("pactl suspend-sink speakers 0");
        shell("pactl set-sink-volume speakers 100%");
    }

    const std::optional<std::string> server = [] {
        const char* dir = std::getenv("KORVALIN_PULSE_DIR");
        const char* server = std::getenv("PULSE_SERVER");
        return dir && server && *dir && *server ? std::optional<std::string>(server) : std::nullopt;
    }();
};

} // namespace pulsetest
