#include "app/app.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/signals.h"

int main(int argc, char** argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    platform::blockTerminationSignals();

    static platform::PosixSystem system;
    platform::current().system = &system;
    static platform::FfmpegMedia media;
    platform::current().media = &media;

    static korvalin::App app;
    korvalin::runEntryPoint(app, std::vector<std::string>(argv + 1, argv + argc));
}
