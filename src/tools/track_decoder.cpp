#include "tools/track_decoder.h"

#include <memory>

#include "platform/platform.h"

namespace korvalin {

std::optional<DecodeFailure> decodeTrack(const std::string& path, int track, const platform::PcmFormat& format,
                                         const std::function<void(const platform::PcmBuffer&)>& consume)
{
    using Stage = DecodeFailure::Stage;
    std::unique_ptr<platform::AssetReader> reader;
    try {
        reader = platform::current().media->makeAssetReader(path);
    } catch (const platform::MediaError& error) {
        return DecodeFailure{Stage::open, error.what()};
    }
    if (!reader->addOutput(track, format))
        return DecodeFailure{Stage::output, std::nullopt};
    if (!reader->startReading())
        return DecodeFailure{Stage::start, reader->errorText()};
    while (std::optional<platform::PcmBuffer> buffer = reader->copyNextSampleBuffer())
        consume(*buffer);
    if (reader->status() == platform::MediaStatus::failed)
        return DecodeFailure{Stage::read, reader->errorText()};
    return std::nullopt;
}

} // namespace korvalin
