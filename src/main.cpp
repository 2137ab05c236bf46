#include "app/app.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/pulse/pulse_audio_hardware.h"
#include "platform/pulse/pulse_authorization.h"
#include "platform/pulse/pulse_tone_output.h"
#include "platform/signals.h"

int main(int argc, char** argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    platform::blockTerminationSignals();

    static korvalin::App app;
    static platform::PosixSystem system;
    static platform::FfmpegMedia media;
    // Connects lazily: the program starts, and reports no devices, without a
    // reachable sound server.
    static platform::PulseAudioHardware audio(std::nullopt,
                                              [](const std::string& message) { app.events.log(message); });
    static platform::PulseAuthorization authorization(audio);
    static platform::PulseToneOutputFactory tone;

    platform::Platform& platform = platform::current();
    platform.system = &system;
    platform.media = &media;
    platform.audio = &audio;
    platform.authorization = &authorization;
    platform.tone = &tone;

    korvalin::runEntryPoint(app, std::vector<std::string>(argv + 1, argv + argc));
}
