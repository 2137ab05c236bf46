#include "segment/segment_writer.h"

#include <fcntl.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/dispatch.h"
#include "platform/platform.h"
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

SegmentWriterError finishError(std::string message)
{
    return SegmentWriterError(SegmentWriterError::Kind::finish, std::move(message));
}

FileHandle createFile(const std::string& path)
{
    // A directory at the path is not ours to replace, whatever it holds.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw createError("je to adresář");
    // Both may fail harmlessly (the directory exists, nothing to remove);
    // creating the file reports the failure that matters.
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    std::filesystem::remove(path, ignored);
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file)
        throw createError(std::strerror(errno));
    return file;
}

} // namespace

SegmentWriter::SegmentWriter(std::string path, double sampleRate, bool realTime)
    : SegmentWriter(path, createFile(path), sampleRate, realTime)
{
}

SegmentWriter::SegmentWriter(std::string path, FileHandle file, double sampleRate, bool realTime)
    : path_(std::move(path)), file_(std::move(file)), sampleRate_(sampleRate)
{
    std::unique_ptr<platform::AssetWriter> writer;
    try {
        writer = platform::current().media->makeAssetWriter(file_.get());
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
    if (writer_->status() == platform::MediaStatus::failed) {
        failed_ = true;
        throw appendError(writer_->errorText().value_or("AVAssetWriter selhal"));
    }
    if (!writer_->isReadyForMoreMediaData())
        return false;
    // Presentation times count the frames written, never the clock: input
    // that never arrived leaves no jump in the file's timeline.
    if (!writer_->append(interleavedStereo, frames, writtenFrames_)) {
        failed_ = true;
        throw appendError(writer_->errorText().value_or("append odmítnut"));
    }
    writtenFrames_ += frames;
    return true;
}

ClosedSegment SegmentWriter::finish(int64_t droppedFrames)
{
    std::lock_guard lock(mutex_);
    if (!finished_) {
        finished_ = true;
        if (std::optional<SegmentWriterError> failure = complete()) {
            failed_ = true;
            throw *failure;
        }
    }
    // Frames handed over are in a file that was completed; a failed file
    // holds what reached it, and says so itself.
    const int64_t ms = failed_ ? durationMs(path_)
                               : static_cast<int64_t>(std::round(writtenFrames_ / sampleRate_ * 1000.0));
    return ClosedSegment{path_, ms, fileSize(path_), droppedFrames};
}

std::optional<SegmentWriterError> SegmentWriter::complete()
{
    const bool failedBefore = failed_;
    writer_->markAsFinished();
    // A late completion signals a semaphore nobody waits on any more.
    auto done = std::make_shared<platform::Semaphore>();
    writer_->finishWriting([done] { done->signal(); });
    if (!done->wait(finishTimeoutSeconds)) {
        // The platform may still write through the descriptor: it stays open.
        file_.abandon();
        return finishError("soubor nebyl dokončen včas");
    }
    std::optional<std::string> failure;
    if (writer_->status() == platform::MediaStatus::failed)
        failure = writer_->errorText().value_or("AVAssetWriter selhal");
    // Flushed and closed even after a failure: what did reach the file stays.
    std::optional<std::string> synced = file_.sync();
    std::optional<std::string> closed = file_.close();
    if (failedBefore)
        return appendError(writer_->errorText().value_or("AVAssetWriter selhal"));
    for (const std::optional<std::string>& step : {failure, synced, closed})
        if (step)
            return finishError(*step);
    return std::nullopt;
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
