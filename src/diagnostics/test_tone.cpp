#include "diagnostics/test_tone.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/platform.h"

namespace korvalin {

namespace {

constexpr double twoPiTimes440 = 2764.601535159018;
constexpr float amplitude = 0.15f;

// A rate as a decimal fraction in its shortest round-trip form: "48000.0", "0.0".
std::string rateText(double rate)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, rate);
    std::string text(buffer, result.ptr);
    if (std::isfinite(rate) && text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

} // namespace

TestTone::TestTone(EventWriter& events) : events_(events)
{
    if (platform::ToneOutputFactory* factory = platform::current().tone)
        output_ = factory->make();
}

std::vector<float> TestTone::makeBuffer(double sampleRate, int channelCount)
{
    if (!(sampleRate > 0) || sampleRate > std::numeric_limits<uint32_t>::max() || channelCount < 1)
        return {};
    auto frames = static_cast<size_t>(static_cast<uint32_t>(sampleRate));
    std::vector<float> samples(frames * static_cast<size_t>(channelCount));
    for (size_t i = 0; i < frames; ++i) {
        float sample = static_cast<float>(std::sin(static_cast<double>(i) * twoPiTimes440 / sampleRate)) * amplitude;
        for (int c = 0; c < channelCount; ++c)
            samples[i * static_cast<size_t>(channelCount) + static_cast<size_t>(c)] = sample;
    }
    return samples;
}

void TestTone::start()
{
    double rate = output_ ? output_->sampleRate() : 0.0;
    std::vector<float> buffer = makeBuffer(rate, output_ ? output_->channelCount() : 0);
    if (buffer.empty()) {
        events_.log("zkušební tón: neplatný výstupní formát (" + rateText(rate) + " Hz)");
        return;
    }
    if (auto error = output_->start(std::move(buffer))) {
        events_.log("zkušební tón nelze přehrát: " + *error);
        return;
    }
    playing_ = true;
    didPlay_ = true;
}

void TestTone::stop()
{
    if (!playing_)
        return;
    output_->stop();
    playing_ = false;
}

} // namespace korvalin
