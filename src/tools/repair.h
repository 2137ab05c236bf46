#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/event_writer.h"

namespace korvalin::Repair {

// The verdict on one file, as the events carry it.
enum class Outcome { ok, trimmed, unrecoverable };
std::string_view rawValue(Outcome outcome);

// Cuts every segment file found in the targets (directories and .m4a files)
// back to whole MP4 boxes, reports each file and a summary, and returns the
// exit status: 1 when files were found and none plays, else 0.
int run(const std::vector<std::string>& targets, EventWriter& events);

// The length to cut the file to, when its tail is not a whole MP4 box.
std::optional<uint64_t> cutLength(const std::string& path);
std::optional<uint64_t> cutLength(int file);

// Cuts the file to `length` bytes; the reason when that failed.
std::optional<std::string> truncate(const std::string& path, uint64_t length);

// Repairs one file and reports it.
Outcome repairOne(const std::string& path, EventWriter& events);

} // namespace korvalin::Repair
