#include "platform/sim/sim_media.h"

namespace platform::sim {

namespace {

class FaultyWriter final : public AssetWriter {
public:
    FaultyWriter(std::unique_ptr<AssetWriter> inner, const WriterFaults& faults,
                 std::chrono::steady_clock::time_point start)
        : inner_(std::move(inner)), faults_(faults), start_(start)
    {
    }

    bool addInput(const AudioEncoderSettings& settings) override { return inner_->addInput(settings); }
    bool startWriting() override { return inner_->startWriting(); }

    bool isReadyForMoreMediaData() const override
    {
        double now = elapsed();
        bool stalled = faults_.stallAt && now >= *faults_.stallAt && now < *faults_.stallAt + faults_.stallFor.value_or(0);
        return !stalled && inner_->isReadyForMoreMediaData();
    }

    MediaStatus status() const override { return failing() ? MediaStatus::failed : inner_->status(); }

    std::optional<std::string> errorText() const override
    {
        return failing() ? std::optional<std::string>("simulovaná chyba zápisu") : inner_->errorText();
    }

    bool append(const float* samples, int64_t frames, int64_t presentationFrame) override
    {
        return !failing() && inner_->append(samples, frames, presentationFrame);
    }

    void markAsFinished() override { inner_->markAsFinished(); }
    void finishWriting(std::function<void()> completion) override { inner_->finishWriting(std::move(completion)); }

private:
    double elapsed() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    bool failing() const { return faults_.failAt && elapsed() >= *faults_.failAt; }

    std::unique_ptr<AssetWriter> inner_;
    const WriterFaults& faults_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace

FaultyMedia::FaultyMedia(Media& inner, WriterFaults faults) : inner_(inner), faults_(std::move(faults)) {}

void FaultyMedia::loadAssetFacts(int file, std::function<void(AssetFacts)> completion)
{
    inner_.loadAssetFacts(file, std::move(completion));
}

std::unique_ptr<AssetWriter> FaultyMedia::makeAssetWriter(int file)
{
    return std::make_unique<FaultyWriter>(inner_.makeAssetWriter(file), faults_, start_);
}

std::unique_ptr<AssetReader> FaultyMedia::makeAssetReader(int file)
{
    return inner_.makeAssetReader(file);
}

} // namespace platform::sim
