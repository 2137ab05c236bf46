#pragma once

#include "platform/media.h"

namespace platform {

// Media on FFmpeg's libraries: the native AAC encoder and the ipod (.m4a)
// muxer for writing, any demuxer and decoder FFmpeg has for reading.
class FfmpegMedia final : public Media {
public:
    // Silences FFmpeg's own logging: standard error carries the program's
    // lines only.
    FfmpegMedia();

    void loadAssetFacts(int file, std::function<void(AssetFacts)> completion) override;
    std::unique_ptr<AssetWriter> makeAssetWriter(int file) override;
    std::unique_ptr<AssetReader> makeAssetReader(int file) override;
};

// The facts, learned on the calling thread.
AssetFacts readAssetFacts(int file);

} // namespace platform
