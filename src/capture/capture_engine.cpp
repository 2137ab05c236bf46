#include "capture/capture_engine.h"

#include "capture/audio_ring.h"
#include "segment/segment_writer.h"

namespace korvalin {

CaptureEngine::CaptureEngine(EventWriter& events, platform::SerialQueue& queue)
    : events(events), queue(queue), self_(std::make_shared<CaptureEngine*>(this))
{
}

bool CaptureEngine::hasOpenSegment() const { return writer != nullptr; }

SessionStats CaptureEngine::segmentStats() const
{
    std::lock_guard guard(stateLock);
    return stats;
}

} // namespace korvalin
