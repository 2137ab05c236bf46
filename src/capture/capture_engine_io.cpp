// Starting and stopping the real-time input on the aggregate device.
#include "capture/audio_ring.h"
#include "capture/capture_engine.h"
#include "capture/core_audio.h"
#include "capture/downmix.h"
#include "platform/platform.h"

namespace korvalin {

void CaptureEngine::startIO()
{
    if (!ring)
        throw CommandError(ErrorCode::internalError, "chybí buffer");
    platform::AudioHardware& audio = *platform::current().audio;

    // The callback owns its scratch, copies of the plan and a hold on the
    // ring; nothing else of the engine is reachable from it.
    auto scratch = std::make_shared<DownmixScratch>(plan.mic, plan.system);
    platform::AudioDeviceIOBlock callback = [scratch, ring = ring](const platform::AudioTimeStamp*,
                                                                  const platform::AudioBufferList* input,
                                                                  const platform::AudioTimeStamp*,
                                                                  platform::AudioBufferList*,
                                                                  const platform::AudioTimeStamp*) {
        if (input)
            scratch->deliver(*input, *ring);
    };
    platform::AudioDeviceIOProcID procID = 0;
    OSStatus status = audio.createIOProcIDWithBlock(&procID, aggregateID, nullptr, std::move(callback));
    if (status != platform::noErr || procID == 0)
        throw CommandError(ErrorCode::ioFailed, "IOProc nelze vytvořit (" + fourCC(status) + ")");
    ioProcID = procID;

    status = audio.deviceStart(aggregateID, procID);
    if (status != platform::noErr) {
        audio.destroyIOProcID(aggregateID, procID);
        ioProcID.reset();
        if (CA::isPermissionRefusal(status))
            throw CommandError(ErrorCode::permissionDenied,
                               "systém odmítl spustit nahrávání — zkontroluj oprávnění mikrofonu");
        throw CommandError(ErrorCode::ioFailed, "nahrávání nelze spustit (" + fourCC(status) + ")");
    }
    running = true;
}

void CaptureEngine::stopIO()
{
    if (ioProcID && aggregateID != 0) {
        platform::AudioHardware& audio = *platform::current().audio;
        if (running)
            audio.deviceStop(aggregateID, *ioProcID);
        audio.destroyIOProcID(aggregateID, *ioProcID);
    }
    ioProcID.reset();
    running = false;
}

} // namespace korvalin
