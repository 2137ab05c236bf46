#pragma once

#include "capture/capture_engine.h"
#include "protocol/command.h"

namespace korvalin {

// Carries out one command against the engine, on the engine queue. Every
// failure becomes exactly one fatal `error` event; nothing is thrown.
void handle(const Command& command, CaptureEngine& engine);

} // namespace korvalin
