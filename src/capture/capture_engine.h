#pragma once

#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "protocol/event_writer.h"
#include "segment/closed_segment.h"

namespace korvalin {

// Everything between the audio hardware and the segment writer. Its
// operations run on the engine queue.
class CaptureEngine {
public:
    CaptureEngine(EventWriter& events, platform::SerialQueue& queue);

    // A segment is open exactly when its writer exists.
    bool hasOpenSegment() const;

    void stopIO();
    std::optional<ClosedSegment> finishSegment();
    Event closedEvent(const ClosedSegment& segment) const;
    void teardownDevices();
    void removeDeviceListeners();

    EventWriter& events;
    platform::SerialQueue& queue;
};

} // namespace korvalin
