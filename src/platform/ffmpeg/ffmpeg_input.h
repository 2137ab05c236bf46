#pragma once

#include "platform/ffmpeg/ffmpeg_handles.h"

namespace platform {

// Reads the media file open at `file` and its stream facts, within bounds
// that a damaged file cannot push FFmpeg past: a regular file only, whose
// sample counts its bytes can hold, in one of the containers audio
// recordings come in. FFmpeg reads the very file that was checked, through
// its own duplicate of the descriptor, which stays the caller's. Returns 0,
// or FFmpeg's (negative) error code.
int openInput(int file, InputPtr& input);

} // namespace platform
