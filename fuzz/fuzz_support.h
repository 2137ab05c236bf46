#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/event_writer.h"

// What the media targets share: the program's own platform on this
// machine's services, a scratch file that holds the input, and an event
// writer whose lines go nowhere.

namespace fuzz {

// Installs the Linux platform once; later calls do nothing.
void installPlatform();

// Writes the input to this process's scratch file (named `name`, in memory
// when /dev/shm exists) and returns its path.
std::string scratchFile(const uint8_t* data, size_t size, const std::string& name = "input.m4a");

// The whole content of a file; empty when it cannot be read.
std::string contentOf(const std::string& path);

korvalin::EventWriter& quietEvents();

} // namespace fuzz
