#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

namespace korvalin {

// Why a merge produced no output.
class MergeError : public std::runtime_error {
public:
    enum class Kind {
        missing,  // `detail` is the path of a segment that does not exist
        failed,   // `detail` is the whole message
        empty,    // nothing usable to join
    };

    MergeError(Kind kind, std::string detail = {})
        : std::runtime_error(detail), kind(kind), detail(std::move(detail))
    {
    }

    Kind kind;
    std::string detail;
};

namespace SegmentMerge {

struct Result {
    std::string path;  // the output path as given
    int64_t durationMs = 0;
    int64_t bytes = 0;
    std::string method;  // "copy" or "reencode"
};

// Joins the segments, in the order given, into one .m4a file at `out`: one
// segment is copied byte for byte; several are decoded to stereo float at
// the first reported sample rate and encoded again. Segments without a
// readable audio track are skipped with a line on standard error. Throws
// MergeError; a missing segment, or an `out` that is a directory or one of
// the segments, is found before anything on disk changes. The output is
// written under a temporary name beside `out` and replaces what is at `out`
// only on success; a termination signal in a one-shot mode ends the merge as
// a failure.
Result run(const std::vector<std::string>& segments, const std::string& out);

} // namespace SegmentMerge

// A merge stopped by a termination signal.
MergeError mergeInterrupted();

// The message for a merge's `error` event.
std::string mergeMessage(const std::exception& error);

// The `merged` event for a successful merge.
Event mergedEvent(const SegmentMerge::Result& result);

} // namespace korvalin
