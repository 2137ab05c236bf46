#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace {

class SimToneOutput final : public ToneOutput {
public:
    SimToneOutput(const Scenario& scenario, SimAudioHardware& audio) : scenario_(scenario), audio_(audio) {}
    ~SimToneOutput() override { stop(); }

    double sampleRate() override { return 48000; }
    int channelCount() override { return 2; }

    std::optional<std::string> start(std::vector<float> interleaved) override
    {
        if (scenario_.toneOutputFails)
            return "simulovaný výstup nelze spustit";
        audio_.playOwnSound(std::move(interleaved), channelCount());
        playing_ = true;
        return std::nullopt;
    }

    void stop() override
    {
        if (playing_)
            audio_.stopOwnSound();
        playing_ = false;
    }

private:
    const Scenario& scenario_;
    SimAudioHardware& audio_;
    bool playing_ = false;
};

} // namespace

std::unique_ptr<ToneOutput> SimToneOutputFactory::make()
{
    return std::make_unique<SimToneOutput>(scenario_, audio_);
}

SimPlatform::SimPlatform(Scenario scenario)
    : scenario(std::move(scenario)), system(this->scenario), audio(this->scenario), tone(this->scenario, audio)
{
}

void SimPlatform::install()
{
    Platform& platform = current();
    platform.system = &system;
    platform.audio = &audio;
    platform.tone = &tone;
    platform.authorization = &authorization;
    if (scenario.writer.deadline)
        platform.writerDeadline = *scenario.writer.deadline;
}

} // namespace platform::sim
