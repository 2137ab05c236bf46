#pragma once

#include "capture/capture_engine.h"
#include "protocol/event_writer.h"

namespace korvalin {

// The trial capture: a few seconds through the whole recording path into a
// throw-away segment while the test tone plays, then one `probe_result`
// with the measured levels, the microphone permission and a verdict on
// system audio.
namespace Probe {

// Blocks the calling thread for `seconds` plus the time to open and close
// the segment; run it on the engine queue so that no device-change rebuild
// touches the engine meanwhile. Returns 0 when system audio was heard,
// 1 otherwise (every failure included). Leaves the engine with no segment
// and no graph, and the scratch directory removed.
int run(double seconds, CaptureEngine& engine, EventWriter& events);

} // namespace Probe

} // namespace korvalin
