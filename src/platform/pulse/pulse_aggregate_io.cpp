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
                                   AudioDeviceIOBlock block)
    : mic_(server), streams_(std::move(streams)), block_(std::move(block)),
      system_(server), control_(std::move(server)),
      timing_(timingFor(streams_.rate)), queue_(streams_.rate, systemChannels),
      pushSystem_([this](const float* samples, size_t frames) { queue_.push(samples, frames); }),
      systemChunk_(timing_.chunkFrames * systemChannels), micSilence_(timing_.chunkFrames * streams_.micChannels),
      list_(audioBufferListSize(2))
{
}

PulseAggregateIO::~PulseAggregateIO()
{
    if (thread_.joinable()) {
        {
            std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        control_.wakeUp();
        thread_.join();
    }
    tap_.reset();
    for (pa_stream* stream : {micStream_, monitor_}) {
        if (!stream)
            continue;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
}

OSStatus PulseAggregateIO::start()
{
    if (streams_.micChannels == 0 || streams_.rate == 0)
        return kAudioHardwareBadDeviceError;
    if (!mic_.connect(connectSeconds))
        return kAudioHardwareUnspecifiedError;
    // The system side first, while no delivery dispatches its connection.
    // The output may be gone already, or the connection fail; the
    // recording then has silent system audio rather than none at all.
    if (streams_.output && system_.connect(connectSeconds)) {
        if (streams_.exclusion) {
            if (control_.connect(connectSeconds)) {
                tap_ = std::make_unique<ExclusionTap>(control_.context(), control_.api(), system_.context(),
                                                      *streams_.output, timing_, streams_.exclusion);
                tap_->start();
            }
        } else {
            monitor_ = connectSystemStream(system_.context(), streams_.output->monitorSource, streams_.rate,
                                           timing_.fragmentFrames);
            if (monitor_)
                system_.waitFor([this] { return pa_stream_get_state(monitor_) != PA_STREAM_CREATING; },
                                connectSeconds);
        }
    }
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
            int served = control_.serve(pa_usec_t(wait), lock);
            if (served > 0)
                system_.dispatch(); // sends what the tap asked for there
            else if (served < 0) { // the poll failed: a tick without news
                lock.unlock();
                std::this_thread::sleep_until(tick);
                lock.lock();
            }
        }
        if (stopping_)
            return;
        mic_.dispatch();
    }
}

uint64_t PulseAggregateIO::cutFrames()
{
    std::lock_guard guard(mutex_);
    return queue_.cutFrames() + (tap_ ? tap_->cutFrames() : 0);
}

uint64_t PulseAggregateIO::filledFrames()
{
    std::lock_guard guard(mutex_);
    return queue_.filledFrames() + (tap_ ? tap_->filledFrames() : 0);
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
        io->system_.dispatch();
        if (io->tap_)
            io->queue_.pad(io->tap_->mix(io->pushSystem_, fragment));
        else if (io->monitor_)
            pushReadable(io->monitor_, io->queue_);
        for (size_t frames = fragment; frames > 0;) {
            size_t n = std::min(frames, io->timing_.chunkFrames);
            io->deliver(samples ? samples : io->micSilence_.data(), n);
            if (samples)
                samples += n * io->streams_.micChannels;
            frames -= n;
        }
        pa_stream_drop(stream);
    }
}

void PulseAggregateIO::deliver(const float* mic, size_t frames)
{
    queue_.take(systemChunk_.data(), frames);
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
