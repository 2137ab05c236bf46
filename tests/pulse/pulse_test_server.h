#pragma once

// The private sound server the pulse tests run against (started by
// scripts/pulse_server.sh or scripts/pipewire_server.sh), and small helpers
// around it.

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pulsetest {

// The script that started the shared server; it starts the tests' own too.
inline const std::string script = std::getenv("KORVALIN_SERVER_SCRIPT")
                                      ? std::getenv("KORVALIN_SERVER_SCRIPT")
                                      : std::string(KORVALIN_SOURCE_DIR) + "/scripts/pulse_server.sh";

// The server that the script started for this run; nothing when there is
// none (the tests then skip rather than touch a user's session server).
inline std::optional<std::string> sharedServer()
{
    const char* dir = std::getenv("KORVALIN_PULSE_DIR");
    const char* server = std::getenv("PULSE_SERVER");
    if (!dir || !server || !*dir || !*server)
        return std::nullopt;
    return std::string(server);
}

inline int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// The first line a shell command prints.
inline std::string output(const std::string& command)
{
    std::string line;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
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

// The rate the server gives a source: second_mic is a 44.1 kHz source on
// PulseAudio, while PipeWire runs every source at its graph's rate.
inline double sourceRate(const std::string& name)
{
    return std::atof(output("pactl list short sources | awk -F '\\t' '$2 == \"" + name + "\" {split($4, spec, \" \"); print spec[3]}'").c_str());
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

// A sine played into a sink of the shared server for `seconds`.
inline Child tone(const std::string& sink, int hz, int seconds)
{
    return Child({script, "tone", sink, std::to_string(hz), std::to_string(seconds)});
}

// Waits (at most 20 s: making the tone files takes a while on a busy
// machine) until `streams` clients play on the shared server. The server's
// own streams (loopbacks) have no client.
inline bool waitForPlayback(int streams)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (FILE* list = popen("pactl list short sink-inputs 2>/dev/null | awk '$3 != \"-\"' | wc -l", "r")) {
            int lines = 0;
            if (std::fscanf(list, "%d", &lines) != 1)
                lines = 0;
            pclose(list);
            if (lines >= streams)
                return true;
        }
        usleep(100000);
    }
    return false;
}

// A second private server of the tests' own, to be killed.
class OwnServer {
public:
    OwnServer()
    {
        char pattern[] = "/tmp/korvalin-pulse-test.XXXXXX";
        if (!mkdtemp(pattern))
            return;
        dir_ = pattern;
        if (shell(script + " start " + dir_) == 0)
            server_ = "unix:" + dir_ + "/runtime/native";
    }
    ~OwnServer()
    {
        if (!dir_.empty())
            shell(script + " stop " + dir_);
    }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;

    const std::optional<std::string>& server() const { return server_; }

    void killHard()
    {
        std::ifstream file(dir_ + "/server.pid");
        pid_t pid = 0;
        if (file >> pid && pid > 0)
            kill(pid, SIGKILL);
    }

private:
    std::string dir_;
    std::optional<std::string> server_;
};

} // namespace pulsetest
