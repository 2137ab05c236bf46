#pragma once

#include <chrono>

#include "platform/media.h"
#include "platform/sim/scenario.h"

namespace platform::sim {

// The real media services with the scenario's writer faults laid over the
// writers they make: not ready during a stall, failed from `fail_at` on
// (seconds since this object was created).
class FaultyMedia final : public Media {
public:
    FaultyMedia(Media& inner, WriterFaults faults);

    void loadAssetFacts(int file, std::function<void(AssetFacts)> completion) override;
    std::unique_ptr<AssetWriter> makeAssetWriter(int file) override;
    std::unique_ptr<AssetReader> makeAssetReader(int file) override;

private:
    Media& inner_;
    WriterFaults faults_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace platform::sim
