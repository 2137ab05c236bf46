#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

// The media services: an asset writer that encodes interleaved float frames
// into a fragmented AAC .m4a file, and an asset reader that decodes the
// first audio track of a file into interleaved 32-bit floats.

namespace platform {

// A time as a count of ticks of a clock with `timescale` ticks per second.
// A timescale of 0 marks a time that is not known.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;

    bool isValid() const { return timescale > 0; }
    double seconds() const { return static_cast<double>(value) / timescale; }
};

// What a file holds, as far as decoding it is concerned.
struct AssetFacts {
    MediaTime duration{0, 1};
    std::optional<int> audioTrack;     // the first audio track
    std::optional<double> sampleRate;  // that track's sample rate
};

// The writer's and the reader's state.
enum class MediaStatus { unknown, active, completed, failed };

// A platform call that could not even begin; what() is the platform's own
// description of why.
class MediaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The encoder settings of a writer's one audio input (AAC, constant bit rate,
// interleaved float source frames of `channels` samples).
struct AudioEncoderSettings {
    double sampleRate = 48000;
    int channels = 2;
    int bitRate = 64000;
    double fragmentSeconds = 2;
    bool expectsRealTime = false;
};

class AssetWriter {
public:
    virtual ~AssetWriter() = default;

    // Adds the one audio input; false when the encoder refuses the settings.
    virtual bool addInput(const AudioEncoderSettings& settings) = 0;
    // Starts the file and the session at time zero; false on failure
    // (errorText() may tell why).
    virtual bool startWriting() = 0;

    virtual bool isReadyForMoreMediaData() const = 0;
    virtual MediaStatus status() const = 0;
    virtual std::optional<std::string> errorText() const = 0;

    // Hands over `frames` interleaved frames whose first one plays at
    // `presentationFrame` (in frames of the input's rate). The samples are
    // copied before the call returns. False when the input refused them.
    virtual bool append(const float* samples, int64_t frames, int64_t presentationFrame) = 0;

    virtual void markAsFinished() = 0;
    // Completes the file: everything is handed to the file's descriptor, or
    // status() is failed. `completion` runs once afterwards, on any thread.
    virtual void finishWriting(std::function<void()> completion) = 0;
};

// Decoded audio: `frames` interleaved frames of `channels` floats. Valid until
// the reader's next call.
struct PcmBuffer {
    const float* samples = nullptr;
    int64_t frames = 0;
    int channels = 0;
    double sampleRate = 0;
};

// The decoded format; what is left unset comes from the track itself.
struct PcmFormat {
    std::optional<double> sampleRate;
    std::optional<int> channels;
};

class AssetReader {
public:
    virtual ~AssetReader() = default;

    // Decodes `track` into `format`; false when that cannot be done.
    virtual bool addOutput(int track, const PcmFormat& format) = 0;
    virtual bool startReading() = 0;
    // The next buffer in playing order; nothing at the end or on failure.
    virtual std::optional<PcmBuffer> copyNextSampleBuffer() = 0;

    virtual MediaStatus status() const = 0;
    virtual std::optional<std::string> errorText() const = 0;
};

class Media {
public:
    virtual ~Media() = default;

    // Files to read are open descriptors that stay the caller's; the media
    // read them through descriptors of their own, at their own positions.

    // Learns the facts of `file` and hands them to `completion`, once,
    // possibly on another thread (the caller may close `file` as soon as
    // this returns). Unreadable files give the defaults.
    virtual void loadAssetFacts(int file, std::function<void(AssetFacts)> completion) = 0;

    // A writer into `file`, an open, empty, seekable file that stays the
    // caller's to flush and close once the writer has finished. Both throw
    // MediaError when no writer or reader can be made.
    virtual std::unique_ptr<AssetWriter> makeAssetWriter(int file) = 0;
    virtual std::unique_ptr<AssetReader> makeAssetReader(int file) = 0;
};

} // namespace platform
