#pragma once

// The services of the operating system that the program uses, reached
// through one replaceable set of interfaces. The production binary installs
// the Linux implementations; the simulator and the tests install their own.

namespace platform {

class System;
class AudioHardware;
class Media;
class Authorization;
class ToneOutputFactory;

struct Platform {
    System* system = nullptr;
    AudioHardware* audio = nullptr;
    Media* media = nullptr;
    Authorization* authorization = nullptr;
    ToneOutputFactory* tone = nullptr;
    // How long closing a segment waits for its writer thread, in seconds.
    double writerDeadline = 15;
    // How long a recording waits for an audio system that stopped answering
    // (its server restarting), in seconds.
    double audioSystemPatience = 60;
};

// The process's platform. Installed once at start-up, before any thread runs.
Platform& current();

} // namespace platform
