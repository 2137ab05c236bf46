#include "recording_media.h"

namespace {

class RecordingWriter final : public platform::AssetWriter {
public:
    RecordingWriter(RecordingMedia& media, std::shared_ptr<RecordingMedia::Written> written)
        : media_(media), written_(std::move(written))
    {
    }

    bool addInput(const platform::AudioEncoderSettings&) override { return true; }
    bool startWriting() override { return true; }
    bool isReadyForMoreMediaData() const override { return media_.ready || (++media_.refusals, false); }
    platform::MediaStatus status() const override
    {
        return media_.failing ? platform::MediaStatus::failed : platform::MediaStatus::active;
    }
    std::optional<std::string> errorText() const override
    {
        return media_.failing ? std::optional<std::string>("disk je plný") : std::nullopt;
    }
    bool append(const float* samples, int64_t frames, int64_t presentationFrame) override
    {
        std::lock_guard guard(written_->lock);
        written_->samples.insert(written_->samples.end(), samples, samples + 2 * frames);
        written_->blocks.push_back(frames);
        written_->presentation.push_back(presentationFrame);
        return true;
    }
    void markAsFinished() override {}
    void finishWriting(std::function<void()> completion) override
    {
        {
            std::lock_guard guard(written_->lock);
            written_->finished = true;
        }
        completion();
    }

private:
    RecordingMedia& media_;
    std::shared_ptr<RecordingMedia::Written> written_;
};

} // namespace

std::unique_ptr<platform::AssetWriter> RecordingMedia::makeAssetWriter(int)
{
    last = std::make_shared<Written>();
    return std::make_unique<RecordingWriter>(*this, last);
}
