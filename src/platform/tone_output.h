#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A private output stream on the default output device that loops one
// buffer until stopped.
class ToneOutput {
public:
    virtual ~ToneOutput() = default;

    // The output's own format; a sample rate of 0 when it cannot be learnt.
    virtual double sampleRate() = 0;
    virtual int channelCount() = 0;
    // Starts looping `interleaved` (frames × channelCount samples). Returns
    // the error's description when the output cannot start.
    virtual std::optional<std::string> start(std::vector<float> interleaved) = 0;
    virtual void stop() = 0;
};

class ToneOutputFactory {
public:
    virtual ~ToneOutputFactory() = default;
    virtual std::unique_ptr<ToneOutput> make() = 0;
};

} // namespace platform
