#include "capture/capture_engine.h"

namespace korvalin {

CaptureEngine::CaptureEngine(EventWriter& events, platform::SerialQueue& queue)
    : events(events), queue(queue), self_(std::make_shared<CaptureEngine*>(this))
{
}

bool CaptureEngine::hasOpenSegment() const { return false; }

void CaptureEngine::stopIO() {}

std::optional<ClosedSegment> CaptureEngine::finishSegment() { return std::nullopt; }

Event CaptureEngine::closedEvent(const ClosedSegment& segment) const
{
    return Event{{"ev", "segment_closed"}, {"path", segment.path}};
}

void CaptureEngine::removeDeviceListeners() {}

void CaptureEngine::handleDeviceChange(RebuildReason) {}

} // namespace korvalin
