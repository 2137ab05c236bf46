// Following the system's default devices and the capture rate: a burst of
// changes becomes one rebuild that continues in a continuation file.
#include <cmath>

#include "capture/capture_engine.h"
#include "capture/continuation_path.h"
#include "capture/core_audio.h"
#include "platform/platform.h"
#include "segment/segment_writer.h"

namespace korvalin {

namespace {

constexpr double debounceSeconds = 0.4;
// How often a rebuild asks again for an audio system that does not answer.
constexpr double audioSystemPollSeconds = 0.25;

const char* phrase(RebuildReason reason)
{
    switch (reason) {
    case RebuildReason::defaultInputChanged: return "vstupní zařízení";
    case RebuildReason::defaultOutputChanged: return "výstupní zařízení";
    case RebuildReason::sampleRateChanged: return "vzorkovací frekvence";
    }
    return "";
}

} // namespace

void CaptureEngine::installDeviceListeners()
{
    if (!deviceListeners.empty())
        return;
    const std::pair<platform::AudioObjectPropertySelector, RebuildReason> watched[] = {
        {platform::kAudioHardwarePropertyDefaultInputDevice, RebuildReason::defaultInputChanged},
        {platform::kAudioHardwarePropertyDefaultOutputDevice, RebuildReason::defaultOutputChanged},
    };
    for (auto [selector, reason] : watched) {
        platform::AudioObjectPropertyAddress address{selector};
        auto listener = platform::makeListener([weak = std::weak_ptr(self_), reason = reason](uint32_t, const auto*) {
            if (auto engine = weak.lock())
                (*engine)->handleDeviceChange(reason);
        });
        OSStatus status = platform::current().audio->addPropertyListenerBlock(platform::kAudioObjectSystemObject,
                                                                              address, &queue, listener);
        if (status != platform::noErr)
            events.log("posluchače změny zařízení nelze přidat (" + fourCC(status) + ")");
        else
            deviceListeners.push_back({platform::kAudioObjectSystemObject, address, listener});
    }
}

void CaptureEngine::removeDeviceListeners()
{
    for (const RegisteredListener& entry : deviceListeners)
        platform::current().audio->removePropertyListenerBlock(entry.object, entry.address, &queue, entry.listener);
    deviceListeners.clear();
}

void CaptureEngine::handleDeviceChange(RebuildReason reason)
{
    if (!hasOpenSegment())
        return;
    int64_t generation = ++rebuildGeneration;
    queue.asyncAfter(debounceSeconds, [weak = std::weak_ptr(self_), generation, reason] {
        if (auto engine = weak.lock())
            (*engine)->rebuild(generation, reason, std::nullopt);
    });
}

bool CaptureEngine::awaitAudioSystem(std::optional<std::chrono::steady_clock::time_point>& waitingSince)
{
    AudioObjectID mic = 0;
    OSStatus status = CA::read(platform::kAudioObjectSystemObject,
                               platform::kAudioHardwarePropertyDefaultInputDevice, mic);
    // A server that has just come back may not have set up its devices yet.
    bool down = status == platform::kAudioHardwareNotRunningError ||
                (waitingSince && (status != platform::noErr || mic == 0));
    if (!down)
        return false;
    auto now = std::chrono::steady_clock::now();
    double patience = platform::current().audioSystemPatience;
    if (!waitingSince) {
        waitingSince = now;
        events.log("zvukový server neodpovídá — čekám na něj nejvýše " + std::to_string(int64_t(patience)) + " s");
    }
    return now - *waitingSince < std::chrono::duration<double>(patience);
}

void CaptureEngine::rebuild(int64_t generation, RebuildReason reason,
                            std::optional<std::chrono::steady_clock::time_point> waitingSince)
{
    if (rebuildGeneration != generation || !hasOpenSegment())
        return;
    // Meanwhile the segment stays open, without input: a stop closes it as usual.
    if (awaitAudioSystem(waitingSince)) {
        queue.asyncAfter(audioSystemPollSeconds, [weak = std::weak_ptr(self_), generation, reason, waitingSince] {
            if (auto engine = weak.lock())
                (*engine)->rebuild(generation, reason, waitingSince);
        });
        return;
    }
    std::string next = continuationPath(writer->path());
    events.emit(Event{{"ev", "device_changed"},
                      {"desc", std::string("změnilo se ") + phrase(reason) + " — pokračuji novým segmentem"},
                      {"reason", phrase(reason)},
                      {"next", next}});
    stopIO();
    if (auto closed = finishSegment())
        events.emit(closedEvent(*closed));
    // Only the microphone changed: system audio goes on through the same tap.
    teardownDevices(reason == RebuildReason::defaultInputChanged);
    echo.reset(); // a new echo path
    try {
        buildDevices(excludingSelf);
        openSegment(next);
        startIO();
    } catch (const std::exception& error) {
        stopIO();
        finishSegment();
        teardownDevices();
        auto* command = dynamic_cast<const CommandError*>(&error);
        events.emit(errorEvent(command ? rawValue(command->code) : "internal",
                               "po změně zařízení nelze pokračovat: " +
                                   (command ? command->message : std::string(error.what())),
                               true));
        return;
    }
    events.emit(startedEvent(next, true));
}

} // namespace korvalin
