#pragma once

#include <string>

#include "platform/ffmpeg/ffmpeg_handles.h"

namespace platform {

// Refuses, from now on, any single FFmpeg allocation larger than the tables
// of a day-long recording. Process-wide: call before any thread runs.
void boundAllocations();

// Opens a media file for reading and reads its stream facts, within bounds
// that a damaged file cannot push FFmpeg past: a regular file only, whose
// sample counts its bytes can hold, in one of the containers audio
// recordings come in, the path always taken as a file name. Returns 0, or
// FFmpeg's (negative) error code.
int openInput(const std::string& path, InputPtr& input);

} // namespace platform
