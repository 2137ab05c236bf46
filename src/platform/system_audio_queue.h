#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/rate_controller.h"
#include "platform/resampler.h"

namespace platform {

// The system-audio side of an aggregate: frames from the output wait here
// until the microphone's clock asks for them. The two clocks are different
// crystals, so the frames are resampled on the way out at the ratio that
// follows their offset (RateController): the output running fast or slow is
// absorbed without cuts or holes, and the lag behind the microphone stays
// still. The queue starts flowing once it holds a cushion beyond the
// output's usual delivery (the second largest of the latest eight, so that
// one burst after a stall is not taken for the pattern), so that the next
// delivery, 20 ms or a 200-ms burst later, comes before it runs dry. What the rate cannot absorb
// re-anchors the queue there: a backlog beyond the bound (a burst after a
// stall) is cut, dropping the oldest frames; running dry (a suspended
// output) gives silence until the cushion is full again. Frames cut and
// frames filled with silence are counted; the silence before the stream
// first flowed, and after it has finished, is not.
//
// Single-threaded; construction allocates everything, push, pad and take
// neither allocate nor block.
class SystemAudioQueue {
public:
    // Seconds on a monotonic clock.
    using Clock = std::function<double()>;

    // Frames of `channels` interleaved samples.
    SystemAudioQueue(uint32_t rate, uint32_t channels);
    SystemAudioQueue(uint32_t rate, uint32_t channels, Clock clock);

    // At the output's clock. `samples` null means silence (a hole in the stream).
    void push(const float* samples, size_t frames);
    // Silence at the microphone's clock, while the output has nothing to
    // deliver (nothing plays, or a stream is late): it keeps the timeline but
    // says nothing of the output's clock. Frames pushed next take the place
    // of the padding still queued, so a late delivery neither adds to the
    // lag nor leaves a hole where it was waited for.
    void pad(size_t frames);
    // At the microphone's clock. Fills exactly `frames` frames of `out`.
    void take(float* out, size_t frames);
    // No more frames will come: what is queued flows out without waiting
    // for the cushion.
    void finish() { finished_ = true; }

    size_t backlog() const { return size_; }
    uint64_t cutFrames() const { return cut_; }
    uint64_t filledFrames() const { return filled_; }

    size_t cushion() const { return cushion_; }
    size_t bound() const { return bound_; }
    // Output frames consumed per microphone frame, as applied.
    double ratio() const { return resampler_.ratio(); }

private:
    void startFlowing();
    size_t anchor() const;
    size_t resample(float* out, size_t frames);
    void drop(size_t frames);
    void prepend(size_t frames);
    void append(const float* samples, size_t frames);
    void write(size_t at, const float* samples, size_t frames);
    double seconds(uint64_t frames) const { return double(frames) / rate_; }

    uint32_t rate_;
    size_t channels_;
    size_t cushion_;
    size_t bound_;
    size_t slack_;
    size_t largestDelivery_;
    std::vector<float> buffer_; // bound_ frames, circular
    size_t head_ = 0;           // first queued frame
    size_t size_ = 0;
    size_t padding_ = 0;        // the last queued frames are padding
    size_t padRun_ = 0;         // frames padded since the last push
    size_t delivery_ = 0;   // frames pushed since the last take: one delivery
    std::array<size_t, 8> deliveries_{}; // the latest, circular
    size_t deliveryCount_ = 0;
    uint64_t pushed_ = 0;   // frames from the output, in all
    uint64_t taken_ = 0;    // microphone frames, in all
    double takenAt_ = 0;    // when the last take was
    bool flowing_ = false;
    bool flowed_ = false;
    bool finished_ = false;
    uint64_t cut_ = 0;
    uint64_t filled_ = 0;
    Clock clock_;
    RateController controller_;
    Resampler resampler_;
};

} // namespace platform
