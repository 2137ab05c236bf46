#include "platform/sim/sim_audio_hardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>

#include "platform/dispatch.h"
#include "platform/system_audio_queue.h"

namespace platform::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr AudioObjectID firstDevice = 100;
constexpr AudioObjectID firstOutput = 200;
constexpr AudioObjectID firstProcess = 300;
constexpr std::chrono::milliseconds deliveryPeriod{10};

template <class T>
std::vector<uint8_t> bytesOf(const T* values, size_t count)
{
    std::vector<uint8_t> bytes(sizeof(T) * count);
    if (count > 0)
        std::memcpy(bytes.data(), values, bytes.size());
    return bytes;
}

template <class T>
std::vector<uint8_t> bytesOf(const T& value)
{
    return bytesOf(&value, 1);
}

// A stream configuration: an AudioBufferList without data.
std::vector<uint8_t> streamConfiguration(const std::vector<int>& buffers)
{
    std::vector<uint8_t> bytes(audioBufferListSize(uint32_t(buffers.size())));
    auto count = uint32_t(buffers.size());
    std::memcpy(bytes.data(), &count, sizeof(count));
    for (size_t i = 0; i < buffers.size(); ++i) {
        AudioBuffer buffer{uint32_t(std::max(buffers[i], 0)), 0, nullptr};
        std::memcpy(bytes.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), &buffer,
                    sizeof(buffer));
    }
    bytes.resize(offsetof(AudioBufferList, mBuffers) + buffers.size() * sizeof(AudioBuffer));
    return bytes;
}

float sine(const Tone& tone, int64_t frame, double rate)
{
    return float(tone.amplitude * std::sin(2 * std::numbers::pi * tone.hz * double(frame) / rate));
}

int sum(const std::vector<int>& counts)
{
    int total = 0;
    for (int count : counts)
        total += std::max(count, 0);
    return total;
}

// System audio from an output with a clock of its own: blocks made at the
// output's pace, each arriving a little late (or all at once after a hold),
// wait in a queue that the microphone's deliveries take from, as in a real
// aggregate.
class OutputStream {
public:
    static constexpr uint32_t channels = 2; // a stereo mix, as the other platform's tap makes

    OutputStream(double rate, OutputClock clock)
        : rate_(rate), clock_(clock), blockFrames_(size_t(std::lround(rate * clock.blockMs / 1000))),
          queue_(uint32_t(rate), channels, [this] { return now_; }),
          block_(blockFrames_ * channels), jitter_(0, clock.jitterMs / 1000)
    {
        scheduleNext();
    }

    // Pushes the blocks that have arrived by `now` (seconds of the
    // microphone's clock), each at its arrival, made by sample(output frame,
    // channel), then takes `frames` stereo frames into `out`.
    template <class Sample>
    void take(double now, float* out, size_t frames, Sample sample)
    {
        while (arrival_ <= now) {
            now_ = arrival_;
            for (size_t i = 0; i < blockFrames_; ++i)
                for (uint32_t c = 0; c < channels; ++c)
                    block_[i * channels + c] = sample(made_ + int64_t(i), int(c));
            queue_.push(block_.data(), blockFrames_);
            made_ += int64_t(blockFrames_);
            scheduleNext();
        }
        now_ = now;
        queue_.take(out, frames);
    }

private:
    // The next block is complete when the output's clock has made it, and
    // never arrives before the one ahead of it.
    void scheduleNext()
    {
        double complete = double(made_ + int64_t(blockFrames_)) / (rate_ * (1 + clock_.ppm / 1e6));
        double arrival = complete + jitter_(random_);
        if (clock_.holdMs > 0) {
            double every = clock_.holdEverySeconds, since = std::fmod(arrival, every);
            if (arrival >= every && since < clock_.holdMs / 1000)
                arrival += clock_.holdMs / 1000 - since;
        }
        arrival_ = std::max(arrival_, arrival);
    }

    double rate_;
    OutputClock clock_;
    size_t blockFrames_;
    double now_ = 0; // the queue's clock: the microphone's, in seconds
    SystemAudioQueue queue_;
    std::vector<float> block_;
    std::minstd_rand random_{1};
    std::uniform_real_distribution<double> jitter_;
    int64_t made_ = 0; // output frames pushed so far
    double arrival_ = 0;
};

} // namespace

struct SimAudioHardware::IOProc {
    AudioObjectID device = 0;
    SerialQueue* queue = nullptr;
    AudioDeviceIOBlock block;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    int64_t position = 0; // frames delivered so far
    std::optional<OutputStream> output;
};

SimAudioHardware::SimAudioHardware(Scenario scenario) : scenario_(std::move(scenario))
{
    AudioObjectID id = firstDevice;
    for (const DeviceSpec& spec : scenario_.devices)
        devices_[id++] = {spec};
    if (scenario_.defaultInput)
        defaultInput_ = deviceID(*scenario_.defaultInput);
    outputs_[firstOutput] = scenario_.defaultOutput;
    defaultOutput_ = firstOutput;
    id = firstProcess;
    for (const ProcessSpec& spec : scenario_.processes) {
        pid_t pid = spec.who == ProcessSpec::Who::self     ? scenario_.pid
                    : spec.who == ProcessSpec::Who::parent ? scenario_.parentPid
                                                           : spec.pid;
        processes_[id++] = {pid, spec.bundleID};
    }
    if (!scenario_.timeline.empty())
        timeline_ = std::thread([this] { runTimeline(); });
}

SimAudioHardware::~SimAudioHardware()
{
    {
        std::lock_guard guard(mutex_);
        closing_ = true;
    }
    timelineWake_.notify_all();
    if (timeline_.joinable())
        timeline_.join();
    for (auto& [id, proc] : procs_)
        stop(*proc);
}

AudioObjectID SimAudioHardware::deviceID(const std::string& uid) const
{
    for (const auto& [id, device] : devices_)
        if (device.spec.uid == uid)
            return id;
    return 0;
}

AudioObjectID SimAudioHardware::selfProcessID() const
{
    for (const auto& [id, process] : processes_)
        if (process.pid == scenario_.pid)
            return id;
    return 0;
}

std::vector<int> SimAudioHardware::inputBuffers(AudioObjectID device) const
{
    if (auto found = devices_.find(device); found != devices_.end())
        return found->second.spec.input;
    auto found = aggregates_.find(device);
    if (found == aggregates_.end())
        return {};
    if (scenario_.aggregateInput)
        return *scenario_.aggregateInput;
    std::vector<int> buffers = inputBuffers(found->second.mic);
    if (found->second.tap != 0)
        buffers.push_back(scenario_.fail.tapFormat ? 0 : scenario_.tapChannels);
    return buffers;
}

double SimAudioHardware::rate(AudioObjectID device) const
{
    if (auto found = aggregates_.find(device); found != aggregates_.end())
        device = found->second.mic;
    auto found = devices_.find(device);
    return found == devices_.end() ? 48000 : found->second.spec.rate;
}

SimAudioHardware::Answer SimAudioHardware::answer(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  uint32_t qualifierSize, const void* qualifier) const
{
    Answer result;
    auto unknown = [&] {
        result.status = kAudioHardwareUnknownPropertyError;
        return result;
    };
    auto string = [&](std::string text) {
        result.string = std::move(text);
        return result;
    };
    auto objects = [&](const std::vector<AudioObjectID>& list) {
        result.bytes = bytesOf(list.data(), list.size());
        result.array = true;
        result.elementSize = sizeof(AudioObjectID);
        return result;
    };
    const uint32_t selector = address.mSelector;

    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDefaultInputDevice:
            result.bytes = bytesOf(defaultInput_);
            return result;
        case kAudioHardwarePropertyDefaultOutputDevice:
            result.bytes = bytesOf(defaultOutput_);
            return result;
        case kAudioHardwarePropertyProcessObjectList: {
            std::vector<AudioObjectID> list;
            for (const auto& entry : processes_)
                list.push_back(entry.first);
            return objects(list);
        }
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            if (qualifierSize != sizeof(int32_t) || !qualifier) {
                result.status = kAudioHardwareBadPropertySizeError;
                return result;
            }
            int32_t pid = 0;
            std::memcpy(&pid, qualifier, sizeof(pid));
            AudioObjectID found = 0;
            for (const auto& [id, process] : processes_)
                if (process.pid == pid)
                    found = id;
            result.bytes = bytesOf(found);
            return result;
        }
        default:
            return unknown();
        }
    }
    if (auto process = processes_.find(object); process != processes_.end()) {
        if (selector == kAudioProcessPropertyPID) {
            result.bytes = bytesOf(int32_t(process->second.pid));
            return result;
        }
        if (selector == kAudioProcessPropertyBundleID)
            return string(process->second.bundleID);
        return unknown();
    }
    if (auto tap = taps_.find(object); tap != taps_.end()) {
        if (selector == kAudioTapPropertyFormat) {
            AudioStreamBasicDescription format;
            format.mSampleRate = 48000;
            format.mFormatID = fourCharCode("lpcm");
            format.mChannelsPerFrame = scenario_.fail.tapFormat ? 0 : uint32_t(std::max(scenario_.tapChannels, 0));
            format.mBitsPerChannel = 32;
            format.mBytesPerFrame = format.mBytesPerPacket = 4 * format.mChannelsPerFrame;
            format.mFramesPerPacket = 1;
            result.bytes = bytesOf(format);
            return result;
        }
        if (selector == kAudioObjectPropertyName)
            return string(tap->second.description.name);
        return unknown();
    }
    if (auto output = outputs_.find(object); output != outputs_.end()) {
        if (selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName)
            return string(output->second);
        if (selector == kAudioDevicePropertyDataSource && address.mScope == kAudioObjectPropertyScopeOutput) {
            const auto& headphones = scenario_.headphones;
            bool worn = std::find(headphones.begin(), headphones.end(), output->second) != headphones.end();
            result.bytes = bytesOf(worn ? kAudioDataSourceHeadphones : kAudioDataSourceSpeakers);
            return result;
        }
        return unknown();
    }
    auto device = devices_.find(object);
    auto aggregate = aggregates_.find(object);
    if (device == devices_.end() && aggregate == aggregates_.end()) {
        result.status = kAudioHardwareBadObjectError;
        return result;
    }
    switch (selector) {
    case kAudioDevicePropertyDeviceUID:
        return string(device != devices_.end() ? device->second.spec.uid : aggregate->second.description.uid);
    case kAudioObjectPropertyName:
        return string(device != devices_.end() ? device->second.spec.name : aggregate->second.description.name);
    case kAudioDevicePropertyNominalSampleRate:
        result.bytes = bytesOf(rate(object));
        return result;
    case kAudioDevicePropertyStreamConfiguration:
        result.bytes = streamConfiguration(address.mScope == kAudioObjectPropertyScopeInput ? inputBuffers(object)
                                                                                          : std::vector<int>{});
        return result;
    case kAudioAggregateDevicePropertyActiveSubDeviceList: {
        if (aggregate == aggregates_.end())
            return unknown();
        std::vector<AudioObjectID> active;
        if (!scenario_.aggregateWithoutMic && aggregate->second.mic != 0)
            active.push_back(aggregate->second.mic);
        return objects(active);
    }
    default:
        return unknown();
    }
}

OSStatus SimAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               uint32_t qualifierSize, const void* qualifier, uint32_t* outDataSize)
{
    std::lock_guard guard(mutex_);
    Answer found = answer(object, address, qualifierSize, qualifier);
    if (found.status == noErr)
        *outDataSize = found.string ? uint32_t(sizeof(StringRef)) : uint32_t(found.bytes.size());
    return found.status;
}

OSStatus SimAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                           void* outData)
{
    std::lock_guard guard(mutex_);
    Answer found = answer(object, address, qualifierSize, qualifier);
    if (found.status != noErr)
        return found.status;
    if (found.string) {
        if (*ioDataSize < sizeof(StringRef))
            return kAudioHardwareBadPropertySizeError;
        StringRef reference = new std::string(*found.string);
        std::memcpy(outData, &reference, sizeof(reference));
        *ioDataSize = sizeof(StringRef);
        return noErr;
    }
    size_t size = found.bytes.size();
    if (*ioDataSize < size) {
        if (!found.array)
            return kAudioHardwareBadPropertySizeError;
        size = *ioDataSize / found.elementSize * found.elementSize;
    }
    std::memcpy(outData, found.bytes.data(), size);
    *ioDataSize = uint32_t(size);
    return noErr;
}

OSStatus SimAudioHardware::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    std::lock_guard guard(mutex_);
    calls_.push_back("createProcessTap");
    lastTap_ = description;
    if (scenario_.fail.tap)
        return *scenario_.fail.tap;
    AudioObjectID id = nextObject_++;
    taps_[id] = {description};
    *outTapID = id;
    return noErr;
}

OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID tap)
{
    std::lock_guard guard(mutex_);
    calls_.push_back("destroyProcessTap");
    return taps_.erase(tap) ? noErr : kAudioHardwareBadObjectError;
}

OSStatus SimAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                 AudioObjectID* outDeviceID)
{
    std::lock_guard guard(mutex_);
    calls_.push_back("createAggregateDevice");
    lastAggregate_ = description;
    if (scenario_.fail.aggregate)
        return *scenario_.fail.aggregate;
    Aggregate aggregate{description, deviceID(description.mainSubDevice), 0};
    for (const AggregateTap& entry : description.taps)
        for (const auto& [id, tap] : taps_)
            if (tap.description.uuid == entry.uid)
                aggregate.tap = id;
    AudioObjectID id = nextObject_++;
    aggregates_[id] = std::move(aggregate);
    *outDeviceID = id;
    return noErr;
}

OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID device)
{
    std::lock_guard guard(mutex_);
    calls_.push_back("destroyAggregateDevice");
    return aggregates_.erase(device) ? noErr : kAudioHardwareBadObjectError;
}

OSStatus SimAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device,
                                                   SerialQueue* queue, AudioDeviceIOBlock block)
{
    std::lock_guard guard(mutex_);
    calls_.push_back("createIOProcID");
    if (scenario_.fail.ioProc)
        return *scenario_.fail.ioProc;
    if (!devices_.count(device) && !aggregates_.count(device))
        return kAudioHardwareBadObjectError;
    auto proc = std::make_shared<IOProc>();
    proc->device = device;
    proc->queue = queue;
    proc->block = std::move(block);
    *outIOProcID = nextProc_;
    procs_[nextProc_++] = std::move(proc);
    return noErr;
}

OSStatus SimAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID)
{
    std::shared_ptr<IOProc> proc;
    {
        std::lock_guard guard(mutex_);
        calls_.push_back("deviceStart");
        if (scenario_.fail.deviceStart)
            return *scenario_.fail.deviceStart;
        auto found = procs_.find(procID);
        if (found == procs_.end() || found->second->device != device)
            return kAudioHardwareBadObjectError;
        proc = found->second;
    }
    if (!proc->thread.joinable())
        proc->thread = std::thread([this, proc] { deliver(*proc); });
    return noErr;
}

void SimAudioHardware::stop(IOProc& proc)
{
    {
        std::lock_guard guard(proc.mutex);
        proc.stopping = true;
    }
    proc.wake.notify_all();
    if (proc.thread.joinable())
        proc.thread.join();
    proc.stopping = false;
}

OSStatus SimAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID)
{
    std::shared_ptr<IOProc> proc;
    {
        std::lock_guard guard(mutex_);
        calls_.push_back("deviceStop");
        auto found = procs_.find(procID);
        if (found == procs_.end() || found->second->device != device)
            return kAudioHardwareBadObjectError;
        proc = found->second;
    }
    stop(*proc);
    return noErr;
}

OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID)
{
    std::shared_ptr<IOProc> proc;
    {
        std::lock_guard guard(mutex_);
        calls_.push_back("destroyIOProcID");
        auto found = procs_.find(procID);
        if (found == procs_.end() || found->second->device != device)
            return kAudioHardwareBadObjectError;
        proc = found->second;
        procs_.erase(found);
    }
    stop(*proc);
    return noErr;
}

void SimAudioHardware::deliver(IOProc& proc)
{
    std::vector<float> samples, system;
    std::vector<AudioBuffer> storage; // header and entries of the buffer list
    AudioBufferList output{};
    AudioTimeStamp now;
    auto deadline = Clock::now();
    while (true) {
        {
            std::unique_lock wait(proc.mutex);
            if (proc.wake.wait_until(wait, deadline, [&] { return proc.stopping; }))
                return;
        }
        deadline += deliveryPeriod;
        AudioBufferList* input = nullptr;
        {
            std::lock_guard guard(mutex_);
            std::vector<int> buffers = inputBuffers(proc.device);
            double hz = rate(proc.device);
            auto frames = int64_t(std::lround(hz * 0.01));
            // The microphone's channels come first, then the tap's.
            AudioObjectID micID = proc.device;
            const Tap* tap = nullptr;
            if (auto aggregate = aggregates_.find(proc.device); aggregate != aggregates_.end()) {
                micID = aggregate->second.mic;
                if (auto found = taps_.find(aggregate->second.tap); found != taps_.end())
                    tap = &found->second;
            }
            auto mic = devices_.find(micID);
            int micChannels = micID == proc.device ? sum(buffers) : sum(inputBuffers(micID));
            const auto& excluded = tap ? tap->description.processes : std::vector<AudioObjectID>{};
            bool hearsOwn = ownChannels_ > 0 &&
                            std::find(excluded.begin(), excluded.end(), selfProcessID()) == excluded.end();
            int64_t ownFrames = ownChannels_ > 0 ? int64_t(ownSound_.size()) / ownChannels_ : 0;

            // The system's sound plus the program's own, at a frame of the output.
            auto systemSample = [&](int64_t frame, int channel) {
                float value = sine(scenario_.systemTone, frame, hz);
                if (hearsOwn && ownFrames > 0)
                    value += ownSound_[size_t((frame % ownFrames) * ownChannels_ +
                                              std::min(channel, ownChannels_ - 1))];
                return value;
            };
            system.resize(size_t(frames) * 2);
            if (tap && scenario_.outputClock) {
                if (!proc.output)
                    proc.output.emplace(hz, *scenario_.outputClock);
                proc.output->take(double(proc.position + frames) / hz, system.data(), size_t(frames), systemSample);
            } else if (tap) {
                for (int64_t i = 0; i < frames; ++i)
                    for (int c = 0; c < 2; ++c)
                        system[size_t(i * 2 + c)] = systemSample(proc.position + i, c);
            }

            samples.assign(size_t(sum(buffers) * frames), 0.0f);
            storage.assign(buffers.size() + 1, AudioBuffer{});
            input = reinterpret_cast<AudioBufferList*>(storage.data());
            input->mNumberBuffers = uint32_t(buffers.size());
            float* data = samples.data();
            int global = 0;
            for (size_t b = 0; b < buffers.size(); ++b) {
                int channels = std::max(buffers[b], 0);
                input->mBuffers[b] = {uint32_t(channels), uint32_t(channels * frames * 4), data};
                for (int c = 0; c < channels; ++c, ++global) {
                    for (int64_t i = 0; i < frames; ++i) {
                        int64_t frame = proc.position + i;
                        float value = 0;
                        if (global < micChannels) {
                            if (mic != devices_.end())
                                value = sine(mic->second.spec.tone, frame, hz);
                        } else if (tap) {
                            value = system[size_t(i * 2 + std::min(global - micChannels, 1))];
                        }
                        data[i * channels + c] = value;
                    }
                }
                data += channels * frames;
            }
            proc.position += frames;
            now.mSampleTime = double(proc.position);
        }
        if (proc.queue)
            proc.queue->sync([&] { proc.block(&now, input, &now, &output, &now); });
        else
            proc.block(&now, input, &now, &output, &now);
    }
}

OSStatus SimAudioHardware::addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                    SerialQueue* queue, AudioObjectPropertyListenerBlock listener)
{
    std::lock_guard guard(mutex_);
    if (scenario_.fail.listener)
        return *scenario_.fail.listener;
    if (!listener)
        return kAudioHardwareIllegalOperationError;
    listeners_.push_back({object, address, queue, std::move(listener)});
    return noErr;
}

OSStatus SimAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address, SerialQueue* queue,
                                                       const AudioObjectPropertyListenerBlock& listener)
{
    std::lock_guard guard(mutex_);
    auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& entry) {
        return entry.object == object && entry.address == address && entry.queue == queue &&
               entry.block == listener;
    });
    if (found == listeners_.end())
        return kAudioHardwareIllegalOperationError;
    listeners_.erase(found);
    return noErr;
}

void SimAudioHardware::notify(const std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>>& changed)
{
    std::vector<Listener> due;
    {
        std::lock_guard guard(mutex_);
        for (const Listener& listener : listeners_)
            for (const auto& [object, selector] : changed)
                if (listener.object == object && listener.address.mSelector == selector)
                    due.push_back(listener);
    }
    for (const Listener& listener : due) {
        auto call = [block = listener.block, address = listener.address] { (*block)(1, &address); };
        if (listener.queue)
            listener.queue->async(call);
        else
            call();
    }
}

void SimAudioHardware::apply(const TimelineEvent& event)
{
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> changed;
    {
        std::lock_guard guard(mutex_);
        if (auto* input = std::get_if<TimelineEvent::DefaultInput>(&event.change)) {
            defaultInput_ = input->uid ? deviceID(*input->uid) : 0;
            changed.push_back({kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice});
        } else if (auto* output = std::get_if<TimelineEvent::DefaultOutput>(&event.change)) {
            auto known = std::find_if(outputs_.begin(), outputs_.end(),
                                      [&](const auto& entry) { return entry.second == output->name; });
            if (known == outputs_.end())
                known = outputs_.emplace(outputs_.rbegin()->first + 1, output->name).first;
            defaultOutput_ = known->first;
            changed.push_back({kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
        } else if (auto* rate = std::get_if<TimelineEvent::Rate>(&event.change)) {
            auto device = devices_.find(defaultInput_);
            if (device != devices_.end()) {
                device->second.spec.rate = rate->hz;
                changed.push_back({defaultInput_, kAudioDevicePropertyNominalSampleRate});
                for (const auto& [id, aggregate] : aggregates_)
                    if (aggregate.mic == defaultInput_)
                        changed.push_back({id, kAudioDevicePropertyNominalSampleRate});
            }
        }
    }
    notify(changed);
}

void SimAudioHardware::runTimeline()
{
    auto origin = Clock::now();
    for (const TimelineEvent& event : scenario_.timeline) {
        auto when = origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(event.at));
        {
            std::unique_lock wait(mutex_);
            if (timelineWake_.wait_until(wait, when, [&] { return closing_; }))
                return;
        }
        apply(event);
    }
}

void SimAudioHardware::playOwnSound(std::vector<float> interleaved, int channels)
{
    std::lock_guard guard(mutex_);
    ownSound_ = std::move(interleaved);
    ownChannels_ = channels;
}

void SimAudioHardware::stopOwnSound()
{
    std::lock_guard guard(mutex_);
    ownSound_.clear();
    ownChannels_ = 0;
}

Census SimAudioHardware::census() const
{
    std::lock_guard guard(mutex_);
    return {int(taps_.size()), int(aggregates_.size()), int(procs_.size()), int(listeners_.size())};
}

std::vector<std::string> SimAudioHardware::calls() const
{
    std::lock_guard guard(mutex_);
    return calls_;
}

std::optional<CATapDescription> SimAudioHardware::lastTapDescription() const
{
    std::lock_guard guard(mutex_);
    return lastTap_;
}

std::optional<AggregateDeviceDescription> SimAudioHardware::lastAggregateDescription() const
{
    std::lock_guard guard(mutex_);
    return lastAggregate_;
}

} // namespace platform::sim
