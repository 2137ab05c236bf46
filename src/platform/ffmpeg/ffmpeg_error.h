#pragma once

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace platform {

// FFmpeg's own text for an error code ("No such file or directory").
inline std::string ffmpegErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace platform
