#include "segment/segment_writer.h"

#include <cmath>
#include <filesystem>
#include <memory>

#include "platform/dispatch.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "protocol/error_code.h"
#include "segment/media_facts.h"

namespace korvalin {

namespace {

constexpr double finishTimeoutSeconds = 20;

SegmentWriterError createError(std::string message)
{
    return SegmentWriterError(SegmentWriterError::Kind::create, std::move(message));
}

SegmentWriterError appendError(std::string message)
{
    return SegmentWriterError(SegmentWriterError::Kind::append, std::move(message));
}

} // namespace

SegmentWriter::SegmentWriter(std::string path, double sampleRate, bool realTime)
    : path_(std::move(path)), sampleRate_(sampleRate)
{
    // A directory at the path is not ours to replace, whatever it holds.
    std::error_code ignored;
    if (std::filesystem::is_directory(path_, ignored))
        throw createError("je to adresář");
    // Both may fail harmlessly (the directory exists, nothing to remove);
    // creating the file reports the failure that matters.
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    std::filesystem::remove(path_, ignored);

    std::unique_ptr<platform::AssetWriter> writer;
    try {
        writer = platform::current().media->makeAssetWriter(path_);
    } catch (const platform::MediaError& error) {
        throw createError("AVAssetWriter: " + std::string(error.what()));
    }
    platform::AudioEncoderSettings settings;
    settings.sampleRate = sampleRate;
    settings.expectsRealTime = realTime;
    if (!writer->addInput(settings))
        throw createError("AAC 64 kbps @ " + std::to_string(static_cast<int64_t>(sampleRate)) + " Hz odmítnuto");
    if (!writer->startWriting())
        throw createError(writer->errorText().value_or("startWriting selhalo"));
    writer_ = std::move(writer);
}

bool SegmentWriter::append(const float* interleavedStereo, int64_t frames)
{
    if (frames < 1)
        return true;
    std::lock_guard lock(mutex_);
    if (finished_)
        throw appendError("segment už je uzavřený");
    if (writer_->status() == platform::MediaStatus::failed)
        throw appendError(writer_->errorText().value_or("AVAssetWriter selhal"));
    if (!writer_->isReadyForMoreMediaData())
        return false;
    // Presentation times count the frames written, never the clock: input
    // that never arrived leaves no jump in the file's timeline.
    if (!writer_->append(interleavedStereo, frames, writtenFrames_))
        throw appendError(writer_->errorText().value_or("append odmítnut"));
    writtenFrames_ += frames;
    return true;
}

ClosedSegment SegmentWriter::finish(int64_t droppedFrames)
{
    std::lock_guard lock(mutex_);
    const int64_t ms = static_cast<int64_t>(std::round(writtenFrames_ / sampleRate_ * 1000.0));
    if (!finished_) {
        finished_ = true;
        writer_->markAsFinished();
        // A late completion signals a semaphore nobody waits on any more.
        auto done = std::make_shared<platform::Semaphore>();
        writer_->finishWriting([done] { done->signal(); });
        done->wait(finishTimeoutSeconds);
        platform::current().system->fullFlush(path_);
    }
    return ClosedSegment{path_, ms, fileSize(path_), droppedFrames};
}

int64_t SegmentWriter::writtenFrames() const
{
    std::lock_guard lock(mutex_);
    return writtenFrames_;
}

std::string describeWriterError(const std::exception& error)
{
    if (const auto* writerError = dynamic_cast<const SegmentWriterError*>(&error))
        return writerError->message;
    if (const auto* commandError = dynamic_cast<const CommandError*>(&error))
        return commandError->message;
    return error.what();
}

} // namespace korvalin
