#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/media.h"

namespace korvalin {

// Where decoding a track stopped short, with the platform's text if it gave one.
struct DecodeFailure {
    enum class Stage {
        open,    // no reader for the file
        output,  // the decoder refused the format
        start,   // reading did not start
        read,    // reading ended in failure
    };
    Stage stage;
    std::optional<std::string> detail;
};

// Decodes `track` of the open file into `format`, handing every buffer to
// `consume` in playing order. Nothing when the track was read to its end.
// Whatever `consume` throws passes through.
std::optional<DecodeFailure> decodeTrack(int file, int track, const platform::PcmFormat& format,
                                         const std::function<void(const platform::PcmBuffer&)>& consume);
// The same for the file at the path, opened once.
std::optional<DecodeFailure> decodeTrack(const std::string& path, int track, const platform::PcmFormat& format,
                                         const std::function<void(const platform::PcmBuffer&)>& consume);

} // namespace korvalin
