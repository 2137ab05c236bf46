#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/media.h"
#include "segment/closed_segment.h"
#include "segment/file_handle.h"

namespace korvalin {

// A failure of the segment writer; `message` is what to show for it.
class SegmentWriterError : public std::runtime_error {
public:
    enum class Kind { create, append, finish };

    SegmentWriterError(Kind kind, std::string message)
        : std::runtime_error(message), kind(kind), message(std::move(message))
    {
    }

    Kind kind;
    std::string message;
};

// Turns interleaved stereo float blocks into one AAC 64 kbit/s .m4a file
// written as 2-second movie fragments. It never buffers or waits: a block
// is either accepted or refused while the encoder is not ready for it.
// append and finish are serialised: the engine may finish a segment while
// a writer thread that missed its deadline is still inside append.
class SegmentWriter {
public:
    // Creates the file (and its directory), replacing any file at the path
    // but refusing a directory there and never writing through a symbolic
    // link. Throws SegmentWriterError (create).
    SegmentWriter(std::string path, double sampleRate, bool realTime);
    // Writes into `file`, an open, empty file that `path` names; the writer
    // takes it over.
    SegmentWriter(std::string path, FileHandle file, double sampleRate, bool realTime);
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    // `frames` × 2 floats. True when accepted (or empty); false when the
    // encoder is not ready and nothing was taken, so the caller may retry
    // the same block. Throws SegmentWriterError (append).
    bool append(const float* interleavedStereo, int64_t frames);

    // Completes, flushes and closes the file, once. Throws SegmentWriterError
    // when the file is not whole: `finish` when completing, flushing or
    // closing it failed, `append` when an append already reported the
    // writer's failure. Later calls only measure the file again; after a
    // failure its duration is what the file itself holds.
    ClosedSegment finish(int64_t droppedFrames);

    const std::string& path() const { return path_; }
    double sampleRate() const { return sampleRate_; }
    int64_t writtenFrames() const;
    // True from the start of the first finish on; never waits.
    bool isFinished() const { return finished_; }

private:
    std::optional<SegmentWriterError> complete();

    mutable std::mutex mutex_;
    std::string path_;
    FileHandle file_;
    double sampleRate_;
    std::unique_ptr<platform::AssetWriter> writer_;
    int64_t writtenFrames_ = 0;
    std::atomic<bool> finished_ = false;
    bool failed_ = false;  // the file may end in the middle of a fragment
};

// The message to show for any error: a writer error's or a command error's
// own message, else the error's what().
std::string describeWriterError(const std::exception& error);

} // namespace korvalin
