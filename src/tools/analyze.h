#pragma once

#include <string>

#include "protocol/event_writer.h"

namespace korvalin::Analyze {

// Decodes the file's first audio track at its own rate and channel count and
// reports its length and the peak and RMS levels of its first two channels
// in one "analysis" event. Returns the exit status: 0 after the event, 2 when
// the file does not exist, 1 for any other failure (reported as an error).
int run(const std::string& path, EventWriter& events);

} // namespace korvalin::Analyze
