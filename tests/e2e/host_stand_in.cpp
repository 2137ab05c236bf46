// Stands in for the host application in the black-box tests: it plays a
// tone itself and, when asked, a sound file from a helper child process
// (paplay, another executable), and starts the program as its child on its
// own standard input and output, as a meeting recorder would.
//
//   host_stand_in [--play HZ] [--child-plays FILE] [--seconds S] [-- PROGRAM ARG…]
//
// With a PROGRAM it ends when the program ends, with its exit status;
// without one after S seconds (default 60). The tone is 0.2 of full scale;
// everything plays on the default output (PULSE_SERVER names the server).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/pulse_tone_output.h"

namespace {

constexpr float amplitude = 0.2f;

// One second of the tone (a whole number of cycles, so it loops cleanly).
std::unique_ptr<platform::PulseToneOutput> play(double hz)
{
    auto output = std::make_unique<platform::PulseToneOutput>(std::nullopt);
    double rate = output->sampleRate();
    int channels = output->channelCount();
    if (rate <= 0 || channels <= 0) {
        std::fprintf(stderr, "host_stand_in: no output\n");
        std::exit(2);
    }
    std::vector<float> samples(size_t(rate) * size_t(channels));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * float(std::sin(2 * M_PI * hz * double(i / size_t(channels)) / rate));
    if (auto error = output->start(std::move(samples))) {
        std::fprintf(stderr, "host_stand_in: %s\n", error->c_str());
        std::exit(2);
    }
    return output;
}

} // namespace

int main(int argc, char** argv)
{
    double hz = 0, seconds = 60;
    const char* childPlays = nullptr;
    char** program = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--" && i + 1 < argc) {
            program = argv + i + 1;
            break;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr,
                         "usage: host_stand_in [--play HZ] [--child-plays FILE] [--seconds S] [-- PROGRAM ARG...]\n");
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--play")
            hz = std::atof(value);
        else if (arg == "--child-plays")
            childPlays = value;
        else if (arg == "--seconds")
            seconds = std::atof(value);
    }

    // Children are made before any thread runs.
    if (childPlays && fork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execlp("paplay", "paplay", childPlays, static_cast<char*>(nullptr));
        std::perror("host_stand_in: paplay");
        _exit(127);
    }
    pid_t child = -1;
    if (program) {
        child = fork();
        if (child == 0) {
            execv(program[0], program);
            std::perror("host_stand_in: exec");
            _exit(127);
        }
    }
    std::unique_ptr<platform::PulseToneOutput> tone;
    if (hz > 0)
        tone = play(hz);

    if (!program) {
        usleep(useconds_t(seconds * 1e6));
        return 0;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
