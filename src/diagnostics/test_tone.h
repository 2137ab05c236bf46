#pragma once

#include <memory>
#include <vector>

#include "platform/tone_output.h"
#include "protocol/event_writer.h"

namespace korvalin {

// A steady tone on the default output during a trial capture: one second of
// a 440 Hz sine at 0.15 of full scale, looped until stopped. Failures are
// log lines only; the capture goes on without the tone.
class TestTone {
public:
    explicit TestTone(EventWriter& events);
    TestTone(const TestTone&) = delete;
    TestTone& operator=(const TestTone&) = delete;

    // One second of the tone, interleaved, the same sine in every channel;
    // empty when the format cannot hold it.
    static std::vector<float> makeBuffer(double sampleRate, int channelCount);

    void start();
    // Does nothing unless the tone is playing.
    void stop();

    bool playing() const { return playing_; }
    // The tone has been started at least once.
    bool didPlay() const { return didPlay_; }

private:
    EventWriter& events_;
    std::unique_ptr<platform::ToneOutput> output_;
    bool playing_ = false;
    bool didPlay_ = false;
};

} // namespace korvalin
