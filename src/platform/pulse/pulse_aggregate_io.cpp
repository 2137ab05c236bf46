#include "platform/pulse/pulse_aggregate_io.h"

#include <algorithm>
#include <pthread.h>

#include <chrono>

#include "platform/posix/thread_priority.h"
#include "platform/pulse/record_stream.h"

namespace platform {
namespace {

// Asked of the server (its default is about 2 s), and how often the IO
// thread wakes: as long as the system-audio queue's cushion can hide.
constexpr double fragmentSeconds = 0.020;
constexpr double chunkSeconds = 0.5; // the largest delivery; longer fragments are split
constexpr double connectSeconds = 2.0;
// The microphone's timeline kept to the clock when its server stalls: this
// far behind, the missing time is filled with silence; of a late burst that
// follows, what runs more than the margin ahead of the clock is cut.
constexpr double stallSeconds = 0.5;
constexpr double lateMarginSeconds = 0.1;

// The capture thread is the recording's sound card: woken late, it lets the
// server's buffers overrun. It asks for a real-time priority just below the
// one PulseAudio gives its own device threads (5), where the system grants
// one (root, a desktop's audio group, RealtimeKit); elsewhere it stays as it
// was.
void raisePriority(const AggregateStreams& streams) { raiseThreadPriority(4, streams.log); }

size_t framesOf(double seconds, uint32_t rate) { return std::max<size_t>(1, size_t(seconds * rate)); }

CaptureTiming timingFor(uint32_t rate)
{
    return {rate, framesOf(fragmentSeconds, rate), framesOf(chunkSeconds, rate)};
}

} // namespace

PulseAggregateIO::PulseAggregateIO(std::optional<std::string> server, AggregateStreams streams,
                                   AudioDeviceIOBlock block, std::unique_ptr<SystemCapture> carried)
    : mic_(server), streams_(std::move(streams)), block_(std::move(block)), timing_(timingFor(streams_.rate)),
      carried_(carried != nullptr),
      system_(carried ? std::move(carried)
                      : std::make_unique<SystemCapture>(server, streams_.output, streams_.exclusion, timing_)),
      cutBefore_(system_->cutFrames()), filledBefore_(system_->filledFrames()),
      systemChunk_(timing_.chunkFrames * systemChannels), micSilence_(timing_.chunkFrames * streams_.micChannels),
      list_(audioBufferListSize(2))
{
}

PulseAggregateIO::~PulseAggregateIO()
{
    stop();
    if (micStream_) {
        pa_stream_set_read_callback(micStream_, nullptr, nullptr);
        pa_stream_disconnect(micStream_);
        pa_stream_unref(micStream_);
    }
}

void PulseAggregateIO::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    system_->wakeUp();
    thread_.join();
}

std::unique_ptr<SystemCapture> PulseAggregateIO::releaseSystem()
{
    stop();
    return std::move(system_);
}

OSStatus PulseAggregateIO::start()
{
    if (streams_.micChannels == 0 || streams_.rate == 0)
        return kAudioHardwareBadDeviceError;
    if (!mic_.connect(connectSeconds))
        return kAudioHardwareUnspecifiedError;
    // The system side first, while no delivery dispatches its connection.
    if (carried_)
        system_->resume();
    else
        system_->start();
    pa_sample_spec micSpec{PA_SAMPLE_FLOAT32LE, streams_.rate, uint8_t(streams_.micChannels)};
    micStream_ = connectRecordStream(mic_.context(), "Korvalin Capture (mikrofon)", streams_.micSource, micSpec,
                                     streams_.micMap, timing_.fragmentFrames);
    if (!micStream_)
        return kAudioHardwareBadDeviceError;
    mic_.waitFor([this] { return pa_stream_get_state(micStream_) != PA_STREAM_CREATING; }, connectSeconds);
    if (pa_stream_get_state(micStream_) != PA_STREAM_READY)
        return kAudioHardwareBadDeviceError;
    pa_stream_set_read_callback(micStream_, &micReadable, this);
    thread_ = std::thread([this] { run(); });
    return noErr;
}

// A server may send a fragment in several smaller pieces (a source's blocks
// follow what its other readers ask for): the thread takes what has come
// once per fragment rather than waking for every piece. Between the ticks it
// waits on the tap's connection, which wakes it only with news of playback
// streams and answers about them.
void PulseAggregateIO::run()
{
    pthread_setname_np(pthread_self(), "korvalin.io");
    raisePriority(streams_);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(fragmentSeconds));
    std::unique_lock lock(mutex_);
    for (auto tick = Clock::now();;) {
        auto now = Clock::now();
        tick = tick + period > now ? tick + period : now + period; // late: no catching up
        while (!stopping_ && (now = Clock::now()) < tick) {
            auto wait = std::chrono::ceil<std::chrono::microseconds>(tick - now).count();
            if (system_->serve(pa_usec_t(wait), lock) < 0) { // the poll failed: a tick without news
                lock.unlock();
                std::this_thread::sleep_until(tick);
                lock.lock();
            }
        }
        if (stopping_)
            return;
        mic_.dispatch();
        fillStall();
    }
}

double PulseAggregateIO::framesBehind() const
{
    return std::chrono::duration<double>(Clock::now() - micStart_).count() * streams_.rate - sampleTime_;
}

// A server that stalls delivers nothing, and afterwards either nothing of
// that time (the sound card overran) or all of it at once, late. Either way
// the file keeps the clock's timeline: silence while nothing comes, and the
// late burst cut by as much as was filled.
void PulseAggregateIO::fillStall()
{
    // Not once the server is gone: the segment then ends where it was lost.
    if (!micStarted_ || pa_context_get_state(mic_.context()) != PA_CONTEXT_READY)
        return;
    double behind = framesBehind();
    // Once stalled, the timeline follows the clock at every tick until
    // the microphone delivers again.
    if (behind < (micStalled_ ? 1.0 : stallSeconds * streams_.rate))
        return;
    micStalled_ = true;
    auto frames = size_t(behind);
    micFilled_ += frames;
    micOwed_ += frames;
    advance(nullptr, frames);
}

uint64_t PulseAggregateIO::micCutFrames()
{
    std::lock_guard guard(mutex_);
    return micCut_;
}

uint64_t PulseAggregateIO::micFilledFrames()
{
    std::lock_guard guard(mutex_);
    return micFilled_;
}

uint64_t PulseAggregateIO::cutFrames()
{
    std::lock_guard guard(mutex_);
    return system_->cutFrames() - cutBefore_;
}

uint64_t PulseAggregateIO::filledFrames()
{
    std::lock_guard guard(mutex_);
    return system_->filledFrames() - filledBefore_;
}

void PulseAggregateIO::micReadable(pa_stream* stream, size_t, void* self)
{
    auto* io = static_cast<PulseAggregateIO*>(self);
    size_t frameBytes = sizeof(float) * io->streams_.micChannels;
    const void* data;
    size_t bytes;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // A hole in the stream (data null) is silence of that length.
        const auto* samples = static_cast<const float*>(data);
        size_t fragment = bytes / frameBytes;
        if (!io->micStarted_) {
            io->micStarted_ = true;
            io->micStart_ = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(double(fragment) / io->streams_.rate));
        }
        io->micStalled_ = false;
        if (io->micOwed_ > 0) {
            double ahead = -io->framesBehind() + double(fragment) - lateMarginSeconds * io->streams_.rate;
            size_t late = std::min({io->micOwed_, fragment, size_t(std::max(0.0, ahead))});
            io->micOwed_ -= late;
            io->micCut_ += late;
            fragment -= late;
            if (samples)
                samples += late * io->streams_.micChannels;
        }
        io->advance(samples, fragment);
        pa_stream_drop(stream);
    }
}

// `frames` microphone frames (null: silence) with as many of system audio.
void PulseAggregateIO::advance(const float* samples, size_t frames)
{
    system_->pull(frames);
    while (frames > 0) {
        size_t n = std::min(frames, timing_.chunkFrames);
        deliver(samples ? samples : micSilence_.data(), n);
        if (samples)
            samples += n * streams_.micChannels;
        frames -= n;
    }
}

void PulseAggregateIO::deliver(const float* mic, size_t frames)
{
    system_->take(systemChunk_.data(), frames);
    auto* list = reinterpret_cast<AudioBufferList*>(list_.data());
    list->mNumberBuffers = streams_.output ? 2 : 1;
    list->mBuffers[0] = {streams_.micChannels, uint32_t(frames * streams_.micChannels * sizeof(float)),
                         const_cast<float*>(mic)};
    if (streams_.output)
        list->mBuffers[1] = {systemChannels, uint32_t(frames * systemChannels * sizeof(float)), systemChunk_.data()};
    auto hostTime = std::chrono::steady_clock::now().time_since_epoch();
    AudioTimeStamp now{sampleTime_, uint64_t(std::chrono::nanoseconds(hostTime).count())};
    block_(&now, list, &now, nullptr, &now);
    sampleTime_ += double(frames);
}

} // namespace platform
