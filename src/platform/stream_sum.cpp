#include "platform/stream_sum.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace platform {

// One stream, and what it delivered that is not summed yet.
struct StreamSum::Lane {
    bool live = false;     // its stream has not ended
    bool admitted = false; // summed, not only held
    bool aligned = false;  // delivering: the sum waits for it
    size_t waited = 0;     // microphone frames since it last delivered
    size_t patience = 0;   // how long the sum waits for it: its longest pause between bursts
    size_t joined = 0;     // microphone frames it has delivered for since it joined (new, admitted, back)
    // Frames the sum went past while it lagged: it is heard that much later
    // than its timeline, its frames that late at the head of its buffer.
    size_t late = 0;
    uint32_t channels = 0;
    size_t capacity = 0;
    std::unique_ptr<float[]> frames; // capacity frames, circular
    size_t head = 0;
    size_t size = 0;

    // Frames that did not fit, the oldest, are dropped; returns how many.
    size_t push(const float* samples, size_t count)
    {
        size_t dropped = count > capacity ? count - capacity : 0;
        if (samples)
            samples += dropped * channels;
        count -= dropped;
        if (size_t excess = size + count > capacity ? size + count - capacity : 0) {
            consume(excess);
            dropped += excess;
        }
        for (size_t done = 0; done < count;) {
            size_t tail = (head + size) % capacity;
            size_t n = std::min(count - done, capacity - tail);
            float* to = frames.get() + tail * channels;
            if (samples)
                std::copy_n(samples + done * channels, n * channels, to);
            else
                std::fill_n(to, n * channels, 0.0f); // a hole in the stream
            size += n;
            done += n;
        }
        return dropped;
    }

    // Adds up to `count` frames, scaled, to `out` and lets them go.
    void addTo(float* out, size_t count, float gain)
    {
        for (size_t left = std::min(count, size); left > 0;) {
            size_t n = std::min(left, capacity - head);
            const float* from = frames.get() + head * channels;
            for (size_t i = 0; i < n * channels; ++i)
                out[i] += gain * from[i];
            out += n * channels;
            consume(n);
            left -= n;
        }
    }

    void consume(size_t count)
    {
        head = (head + count) % capacity;
        size -= count;
    }
};

StreamSum::StreamSum(size_t lanes, uint32_t channels, size_t capacity, size_t lagFrames, size_t burstFrames,
                     size_t chunkFrames)
    : channels_(channels), lagFrames_(lagFrames), burstFrames_(burstFrames),
      lanes_(lanes), sum_(std::max<size_t>(1, chunkFrames) * channels)
{
    for (Lane& lane : lanes_) {
        lane.channels = channels;
        lane.capacity = std::max<size_t>(1, capacity);
        lane.frames.reset(new float[lane.capacity * channels]); // touched only when used
    }
}

StreamSum::~StreamSum() = default;

void StreamSum::open(size_t index, bool admitted)
{
    Lane& lane = lanes_[index];
    lane.live = true;
    lane.admitted = admitted;
    lane.aligned = false;
    lane.waited = burstFrames_ + 1; // not heard yet: its start teaches nothing
    lane.patience = lagFrames_;
    lane.joined = 0;
    lane.late = 0;
    lane.head = lane.size = 0;
}

// What it held meanwhile is weighed against the others at the next mix.
void StreamSum::admit(size_t index)
{
    lanes_[index].admitted = true;
    lanes_[index].joined = 0;
}

void StreamSum::end(size_t index)
{
    Lane& lane = lanes_[index];
    lane.live = false;
    if (!lane.admitted)
        lane.size = 0;
}

bool StreamSum::admitted(size_t index) const { return lanes_[index].admitted; }

bool StreamSum::free(size_t index) const { return !lanes_[index].live && lanes_[index].size == 0; }

void StreamSum::deliver(size_t index, const float* samples, size_t frames)
{
    Lane& lane = lanes_[index];
    size_t dropped = lane.push(samples, frames);
    cut_ += dropped;
    lane.late -= std::min(lane.late, dropped);
    if (!lane.aligned) {
        // Back within a burst's pause: from now on the sum waits that long for it.
        if (lane.waited <= burstFrames_)
            lane.patience = std::max(lane.patience, lane.waited + lagFrames_);
        lane.late = 0;
        lane.joined = 0;
    }
    lane.aligned = true;
    lane.waited = 0;
}

size_t StreamSum::mix(const Push& push, size_t micFrames, float gain)
{
    auto settled = furthest();
    if (settled)
        trimNew(*settled);
    size_t frames = alignedFrames(settled);
    size_t owed = 0; // the wait for a stream that has stopped, when nothing else plays
    for (Lane& lane : lanes_) {
        if (!lane.live || !lane.admitted)
            continue;
        if (!lane.aligned) { // until it is back, if it comes
            lane.waited = std::min(lane.waited + micFrames, burstFrames_ + 1);
            continue;
        }
        lane.joined = std::min(lane.joined + micFrames, burstFrames_ + 1);
        if (lane.size < frames) {
            filled_ += frames - lane.size;
            // Beyond a burst's pause, what it brings is taken as the present.
            lane.late = std::min(lane.late + frames - lane.size, burstFrames_);
        }
        // A stream that stops delivering (a paused player) is not waited for
        // beyond its usual pauses.
        if (lane.size == 0 && (lane.waited += micFrames) > lane.patience) {
            lane.aligned = false;
            owed = std::max(owed, lane.waited - micFrames);
        }
    }
    size_t quiet = 0;
    if (!playing() && frames == 0) {
        quiet = micFrames + owed;
        for (const Lane& lane : lanes_)
            if (lane.admitted)
                frames = std::max(frames, std::min(lane.size, quiet));
        quiet -= frames;
    }
    sum(push, frames, gain);
    return quiet;
}

// Delivering, and no longer new: it sets where the sum's present is. An
// ended stream's last frames count too.
bool StreamSum::established(const Lane& lane) const
{
    return lane.admitted && lane.joined > burstFrames_ && (lane.live ? lane.aligned : lane.size > 0);
}

// Its frames beyond the sum's present.
size_t StreamSum::ahead(const Lane& lane) const { return lane.size > lane.late ? lane.size - lane.late : 0; }

// How far the established streams have come beyond the sum's present.
std::optional<size_t> StreamSum::furthest() const
{
    std::optional<size_t> most;
    for (const Lane& lane : lanes_)
        if (established(lane))
            most = std::max(most.value_or(0), ahead(lane));
    return most;
}

// A stream's first deliveries after it joined may bring what it played
// before the sum's present (the time it took to capture it, to look up its
// process, or to wake it up; on PipeWire a new capture brings 80-160 ms at
// once, sometimes after a first trickle). For as long as a burst's pause,
// what it holds beyond the established streams, more than the lag the sum
// waits for, is cut.
void StreamSum::trimNew(size_t most)
{
    for (Lane& lane : lanes_) {
        bool young = lane.live && lane.admitted && lane.aligned && lane.joined <= burstFrames_;
        if (!young || ahead(lane) <= most + lagFrames_)
            continue;
        size_t excess = ahead(lane) - most - lagFrames_;
        lane.consume(excess);
        cut_ += excess;
    }
}

// As many frames as every delivering stream has come beyond the sum's
// present, unless one lags more than lagFrames_ behind the furthest of the
// established streams (of all, if none is): a new stream never leads them.
size_t StreamSum::alignedFrames(std::optional<size_t> settled) const
{
    size_t most = settled.value_or(0), least = SIZE_MAX;
    for (const Lane& lane : lanes_) {
        if (!lane.admitted)
            continue;
        if (!settled)
            most = std::max(most, ahead(lane));
        if (lane.live && lane.aligned)
            least = std::min(least, ahead(lane));
    }
    if (least == SIZE_MAX)
        return most;
    return std::max(least, most > lagFrames_ ? most - lagFrames_ : 0);
}

bool StreamSum::playing() const
{
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.live && l.admitted && l.aligned; });
}

void StreamSum::sum(const Push& push, size_t frames, float gain)
{
    size_t chunk = sum_.size() / channels_;
    while (frames > 0) {
        size_t n = std::min(frames, chunk);
        std::fill_n(sum_.data(), n * channels_, 0.0f);
        for (Lane& lane : lanes_)
            if (lane.admitted)
                lane.addTo(sum_.data(), n, gain);
        push(sum_.data(), n);
        frames -= n;
    }
}

} // namespace platform
