#include "tools/track_decoder.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "segment/media_facts.h"

namespace korvalin {

std::optional<DecodeFailure> decodeTrack(int file, int track, const platform::PcmFormat& format,
                                         const std::function<void(const platform::PcmBuffer&)>& consume)
{
    using Stage = DecodeFailure::Stage;
    std::unique_ptr<platform::AssetReader> reader;
    try {
        reader = platform::current().media->makeAssetReader(file);
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

std::optional<DecodeFailure> decodeTrack(const std::string& path, int track, const platform::PcmFormat& format,
                                         const std::function<void(const platform::PcmBuffer&)>& consume)
{
    FileHandle file = openMediaFile(path);
    if (!file)
        return DecodeFailure{DecodeFailure::Stage::open, std::strerror(errno)};
    return decodeTrack(file.get(), track, format, consume);
}

} // namespace korvalin
