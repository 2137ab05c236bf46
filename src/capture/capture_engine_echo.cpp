// Whether a segment cancels the speakers' echo, and with which canceller.
#include "capture/capture_engine.h"
#include "capture/core_audio.h"
#include "capture/echo_canceller.h"
#include "platform/platform.h"

namespace korvalin {

bool CaptureEngine::outputIsHeadphones() const
{
    platform::AudioObjectID output = 0;
    if (CA::read(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultOutputDevice, output) !=
            platform::noErr ||
        output == 0)
        return false;
    uint32_t source = 0, size = sizeof source;
    platform::AudioObjectPropertyAddress address{platform::kAudioDevicePropertyDataSource,
                                                 platform::kAudioObjectPropertyScopeOutput};
    return platform::current().audio->getPropertyData(output, address, 0, nullptr, &size, &source) == platform::noErr &&
           source == platform::kAudioDataSourceHeadphones;
}

void CaptureEngine::prepareEchoCanceller()
{
    bool wanted = echoMode == EchoCancel::on || (echoMode == EchoCancel::automatic && !outputIsHeadphones());
    if (!wanted || plan.system.empty()) {
        echo.reset();
        return;
    }
    platform::AudioObjectID input = 0, output = 0;
    CA::read(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultInputDevice, input);
    CA::read(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultOutputDevice, output);
    auto devices = std::tuple(input, output, sampleRate);
    // What it learned holds for the same microphone, speakers and rate.
    if (!echo || devices != echoDevices) {
        echo = std::make_shared<EchoCanceller>(sampleRate, [&log = events](const std::string& line) { log.log(line); });
        echoDevices = devices;
    }
    echoSkippedBefore = echo->skippedFrames();
}

} // namespace korvalin
