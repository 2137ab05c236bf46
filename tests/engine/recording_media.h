#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/media.h"

// Media whose writers keep what they are given in memory, so a test can see
// exactly which samples reached the file and in which blocks.
class RecordingMedia final : public platform::Media {
public:
    struct Written {
        std::mutex lock;
        std::vector<float> samples;    // interleaved stereo
        std::vector<int64_t> blocks;   // frames per accepted append
        std::vector<int64_t> presentation;
        bool finished = false;
    };

    std::atomic<bool> ready{true};
    std::atomic<bool> failing{false};
    std::atomic<int> refusals{0}; // times a writer was told to wait
    std::shared_ptr<Written> last = std::make_shared<Written>();

    void loadAssetFacts(int, std::function<void(platform::AssetFacts)> completion) override
    {
        completion({});
    }
    std::unique_ptr<platform::AssetWriter> makeAssetWriter(int file) override;
    std::unique_ptr<platform::AssetReader> makeAssetReader(int) override
    {
        throw platform::MediaError("no reader");
    }
};
