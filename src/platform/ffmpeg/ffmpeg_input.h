#pragma once

#include <string>

#include "platform/ffmpeg/ffmpeg_handles.h"

namespace platform {

// Opens a media file for reading and reads its stream facts, within bounds
// that a damaged file cannot push FFmpeg past: a regular file only (opening
// never waits), whose sample counts its bytes can hold, in one of the
// containers audio recordings come in. FFmpeg reads the very file that was
// checked, through the descriptor the check used; the path is only ever a
// file name. Returns 0, or FFmpeg's (negative) error code.
int openInput(const std::string& path, InputPtr& input);

} // namespace platform
