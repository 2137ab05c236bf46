#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_loop.h"
#include "platform/tone_output.h"

namespace platform {

// A playback stream on the default sink, in the sink's own rate and channel
// count, that loops one buffer until stopped.
class PulseToneOutput final : public ToneOutput {
public:
    explicit PulseToneOutput(std::optional<std::string> server);
    ~PulseToneOutput() override;

    double sampleRate() override;
    int channelCount() override;
    std::optional<std::string> start(std::vector<float> interleaved) override;
    void stop() override;

private:
    // Learns the default sink's format once; false without a server.
    bool prepare();
    static void writable(pa_stream* stream, size_t bytes, void* self);

    PulseLoop loop_;
    bool prepared_ = false;
    uint32_t rate_ = 0;
    uint32_t channels_ = 0;
    std::vector<float> samples_;
    size_t position_ = 0; // next sample to play
    pa_stream* stream_ = nullptr;
};

class PulseToneOutputFactory final : public ToneOutputFactory {
public:
    explicit PulseToneOutputFactory(std::optional<std::string> server = std::nullopt) : server_(std::move(server)) {}
    std::unique_ptr<ToneOutput> make() override { return std::make_unique<PulseToneOutput>(server_); }

private:
    std::optional<std::string> server_;
};

} // namespace platform
