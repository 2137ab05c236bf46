#include "platform/pulse/pulse_audio_hardware.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <variant>

#include "platform/dispatch.h"
#include "platform/platform.h"
#include "platform/pulse/record_stream.h"
#include "platform/system.h"

namespace platform {
namespace {

constexpr double connectSeconds = 2.0;

// Object ids: the kind in the top byte, the server's index (or the pid, or
// our own number) below it.
enum class Kind : uint32_t { system = 0, source = 1, sink = 2, process = 3, tap = 4, aggregate = 5 };

constexpr AudioObjectID objectID(Kind kind, uint32_t number) { return (uint32_t(kind) << 24) | (number & 0xFFFFFF); }
constexpr Kind kindOf(AudioObjectID object) { return Kind(object >> 24); }
constexpr uint32_t numberOf(AudioObjectID object) { return object & 0xFFFFFF; }

constexpr uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr uint32_t kAudioFormatFlagsFloatPacked = 1 | 8; // float, packed

AudioStreamBasicDescription floatFormat(double rate, uint32_t channels)
{
    AudioStreamBasicDescription format;
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsFloatPacked;
    format.mBytesPerPacket = format.mBytesPerFrame = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

// The host's pid while it runs; none when no system is installed (a test of
// this class alone).
pid_t hostPid()
{
    const System* system = current().system;
    return system ? system->parentPid() : 0;
}

} // namespace

// One property's value, before it is laid out in the caller's memory.
struct PulseAudioHardware::PropertyValue {
    struct Buffers {
        std::vector<uint32_t> channels;
    };
    std::variant<AudioObjectID, int32_t, double, std::string, std::vector<AudioObjectID>,
                 AudioStreamBasicDescription, Buffers>
        data;

    uint32_t size() const
    {
        return std::visit(
            [](const auto& v) -> uint32_t {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string>)
                    return sizeof(StringRef);
                else if constexpr (std::is_same_v<T, std::vector<AudioObjectID>>)
                    return uint32_t(v.size() * sizeof(AudioObjectID));
                else if constexpr (std::is_same_v<T, Buffers>)
                    return uint32_t(audioBufferListSize(uint32_t(v.channels.size())));
                else
                    return sizeof(T);
            },
            data);
    }

    OSStatus write(uint32_t* ioDataSize, void* out) const
    {
        if (auto* list = std::get_if<std::vector<AudioObjectID>>(&data)) {
            size_t count = std::min<size_t>(list->size(), *ioDataSize / sizeof(AudioObjectID));
            std::memcpy(out, list->data(), count * sizeof(AudioObjectID));
            *ioDataSize = uint32_t(count * sizeof(AudioObjectID));
            return noErr;
        }
        if (*ioDataSize < size())
            return kAudioHardwareBadPropertySizeError;
        std::visit(
            [out](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    StringRef string = new std::string(v);
                    std::memcpy(out, &string, sizeof string);
                } else if constexpr (std::is_same_v<T, Buffers>) {
                    auto* list = static_cast<AudioBufferList*>(out);
                    list->mNumberBuffers = uint32_t(v.channels.size());
                    for (size_t i = 0; i < v.channels.size(); ++i)
                        list->mBuffers[i] = AudioBuffer{v.channels[i], 0, nullptr};
                } else if constexpr (!std::is_same_v<T, std::vector<AudioObjectID>>) {
                    std::memcpy(out, &v, sizeof v);
                }
            },
            data);
        *ioDataSize = size();
        return noErr;
    }
};

PulseAudioHardware::PulseAudioHardware(std::optional<std::string> server, Log log)
    : server_(std::move(server)), log_(std::move(log))
{
}

PulseAudioHardware::~PulseAudioHardware()
{
    std::map<AudioDeviceIOProcID, IOProc> procs;
    {
        std::lock_guard guard(mutex_);
        procs.swap(procs_);
    }
    procs.clear(); // stops every running aggregate
    std::lock_guard guard(connecting_);
    loop_.reset();
}

bool PulseAudioHardware::reachable() { return connection() != nullptr; }

std::shared_ptr<PulseLoop> PulseAudioHardware::connection()
{
    std::lock_guard guard(connecting_);
    if (loop_ && loop_->ready())
        return loop_;
    loop_.reset();
    auto loop = std::make_shared<PulseLoop>("korvalin-cap", server_);
    if (!loop->connect(connectSeconds))
        return nullptr;
    loop->onLost([this] { connectionLost(); });
    {
        // Subscribed before the defaults are read, and the read kept on the
        // loop thread: a change after the read always comes as an event, and
        // the event's answer is handled after the read's, never before.
        PulseLoop::Lock lock(*loop);
        pa_context_set_subscribe_callback(loop->context(), &PulseAudioHardware::subscribed, this);
        auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE |
                                           PA_SUBSCRIPTION_MASK_SINK);
        if (pa_operation* operation = pa_context_subscribe(loop->context(), mask, nullptr, nullptr))
            pa_operation_unref(operation);
        struct FirstRead {
            PulseAudioHardware* self;
            PulseLoop* loop;
        } first{this, loop.get()};
        loop->await(pa_context_get_server_info(
            loop->context(),
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* first = static_cast<FirstRead*>(data);
                if (info) {
                    std::lock_guard state(first->self->mutex_);
                    first->self->defaultSource_ = info->default_source_name ? info->default_source_name : "";
                    first->self->defaultSink_ = info->default_sink_name ? info->default_sink_name : "";
                }
                first->loop->signal();
            },
            &first));
    }
    loop_ = loop;
    std::optional<std::chrono::steady_clock::time_point> lost;
    {
        std::lock_guard state(mutex_);
        lost.swap(lostAt_);
    }
    if (lost && log_) {
        auto outage = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - *lost);
        log_("zvukový server znovu odpovídá po " + std::to_string(outage.count()) + " ms výpadku");
    }
    return loop_;
}

// MARK: properties

OSStatus PulseAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 uint32_t qualifierSize, const void* qualifier,
                                                 uint32_t* outDataSize)
{
    PropertyValue value;
    OSStatus status = read(object, address, qualifierSize, qualifier, value);
    if (status == noErr)
        *outDataSize = value.size();
    return status;
}

OSStatus PulseAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                             void* outData)
{
    PropertyValue value;
    OSStatus status = read(object, address, qualifierSize, qualifier, value);
    return status == noErr ? value.write(ioDataSize, outData) : status;
}

OSStatus PulseAudioHardware::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  uint32_t qualifierSize, const void* qualifier, PropertyValue& value)
{
    if (object == kAudioObjectSystemObject)
        return readSystem(address, qualifierSize, qualifier, value);
    uint32_t number = numberOf(object);
    switch (kindOf(object)) {
    case Kind::source:
    case Kind::sink: {
        auto loop = connection();
        if (!loop)
            return kAudioHardwareBadObjectError;
        bool input = kindOf(object) == Kind::source;
        return readDevice(input ? PulseQuery::source(*loop, number) : PulseQuery::sink(*loop, number), input,
                          address, value);
    }
    case Kind::process: {
        auto list = processes();
        if (std::find(list.begin(), list.end(), int32_t(number)) == list.end())
            return kAudioHardwareBadObjectError;
        if (address.mSelector == kAudioProcessPropertyPID)
            value.data = int32_t(number);
        else if (address.mSelector == kAudioProcessPropertyBundleID) {
            auto process = processTable_.identityOf(pid_t(number));
            value.data = process ? process->application : std::string();
        } else
            return kAudioHardwareUnknownPropertyError;
        return noErr;
    }
    case Kind::tap: {
        std::lock_guard guard(mutex_);
        auto tap = taps_.find(number);
        if (tap == taps_.end())
            return kAudioHardwareBadObjectError;
        if (address.mSelector == kAudioTapPropertyFormat)
            value.data = floatFormat(tap->second.rate, systemChannels);
        else if (address.mSelector == kAudioDevicePropertyDeviceUID)
            value.data = tap->second.description.uuid;
        else if (address.mSelector == kAudioObjectPropertyName)
            value.data = tap->second.description.name;
        else
            return kAudioHardwareUnknownPropertyError;
        return noErr;
    }
    case Kind::aggregate:
        return readAggregate(number, address, value);
    default:
        return kAudioHardwareBadObjectError;
    }
}

OSStatus PulseAudioHardware::readSystem(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                        const void* qualifier, PropertyValue& value)
{
    switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice: {
        // As Core Audio answers while its daemon is down.
        auto loop = connection();
        if (!loop)
            return kAudioHardwareNotRunningError;
        bool input = address.mSelector == kAudioHardwarePropertyDefaultInputDevice;
        value.data = input ? defaultInput(*loop) : defaultOutput(*loop);
        return noErr;
    }
    case kAudioHardwarePropertyProcessObjectList:
    case kAudioHardwarePropertyTranslatePIDToProcessObject: {
        auto list = processes();
        if (address.mSelector == kAudioHardwarePropertyProcessObjectList) {
            std::vector<AudioObjectID> objects;
            for (int32_t pid : list)
                objects.push_back(objectID(Kind::process, uint32_t(pid)));
            value.data = std::move(objects);
            return noErr;
        }
        if (qualifierSize < sizeof(int32_t) || !qualifier)
            return kAudioHardwareBadPropertySizeError;
        int32_t pid;
        std::memcpy(&pid, qualifier, sizeof pid);
        bool known = std::find(list.begin(), list.end(), pid) != list.end();
        value.data = known ? objectID(Kind::process, uint32_t(pid)) : kAudioObjectUnknown;
        return noErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseAudioHardware::readDevice(const std::optional<DeviceFacts>& device, bool input,
                                        const AudioObjectPropertyAddress& address, PropertyValue& value)
{
    if (!device || device->monitor)
        return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
        value.data = device->name;
        return noErr;
    case kAudioObjectPropertyName:
        value.data = device->description;
        return noErr;
    case kAudioDevicePropertyNominalSampleRate:
        value.data = double(device->rate);
        return noErr;
    case kAudioDevicePropertyStreamConfiguration: {
        bool wanted = address.mScope == (input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput);
        value.data = PropertyValue::Buffers{wanted ? std::vector<uint32_t>{device->channels} : std::vector<uint32_t>{}};
        return noErr;
    }
    case kAudioDevicePropertyDataSource:
        if (input || address.mScope != kAudioObjectPropertyScopeOutput)
            return kAudioHardwareUnknownPropertyError;
        value.data = device->headphones ? kAudioDataSourceHeadphones : kAudioDataSourceSpeakers;
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseAudioHardware::readAggregate(uint32_t number, const AudioObjectPropertyAddress& address,
                                           PropertyValue& value)
{
    std::lock_guard guard(mutex_);
    auto found = aggregates_.find(number);
    if (found == aggregates_.end())
        return kAudioHardwareBadObjectError;
    const Aggregate& aggregate = found->second;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
        value.data = aggregate.description.uid;
        return noErr;
    case kAudioObjectPropertyName:
        value.data = aggregate.description.name;
        return noErr;
    case kAudioDevicePropertyNominalSampleRate:
        value.data = double(aggregate.rate);
        return noErr;
    case kAudioDevicePropertyStreamConfiguration: {
        PropertyValue::Buffers buffers;
        if (address.mScope == kAudioObjectPropertyScopeInput) {
            if (aggregate.mic)
                buffers.channels.push_back(aggregate.mic->channels);
            if (aggregate.output)
                buffers.channels.push_back(systemChannels);
        }
        value.data = std::move(buffers);
        return noErr;
    }
    case kAudioAggregateDevicePropertyActiveSubDeviceList:
        value.data = aggregate.mic ? std::vector<AudioObjectID>{objectID(Kind::source, aggregate.mic->index)}
                                   : std::vector<AudioObjectID>{};
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

std::vector<int32_t> PulseAudioHardware::processes()
{
    auto loop = connection();
    std::set<int32_t> pids;
    if (loop)
        for (int32_t pid : PulseQuery::playingProcesses(*loop))
            pids.insert(pid);
    pids.insert(int32_t(getpid()));
    if (pid_t host = hostPid(); host > 1)
        pids.insert(int32_t(host));
    return {pids.begin(), pids.end()};
}

AudioObjectID PulseAudioHardware::defaultInput(PulseLoop& loop)
{
    auto server = PulseQuery::server(loop);
    if (!server || server->defaultSource.empty())
        return kAudioObjectUnknown;
    // Without a microphone the server makes a monitor the default source;
    // recording it would put the output on both channels.
    auto source = PulseQuery::source(loop, server->defaultSource);
    return source && !source->monitor ? objectID(Kind::source, source->index) : kAudioObjectUnknown;
}

AudioObjectID PulseAudioHardware::defaultOutput(PulseLoop& loop)
{
    auto server = PulseQuery::server(loop);
    auto sink = server && !server->defaultSink.empty() ? PulseQuery::sink(loop, server->defaultSink) : std::nullopt;
    return sink ? objectID(Kind::sink, sink->index) : kAudioObjectUnknown;
}

// MARK: taps and aggregates

OSStatus PulseAudioHardware::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    auto loop = connection();
    if (!loop)
        return kAudioHardwareUnspecifiedError;
    auto server = PulseQuery::server(*loop);
    auto sink = server && !server->defaultSink.empty() ? PulseQuery::sink(*loop, server->defaultSink) : std::nullopt;
    if (!sink || sink->monitorSource.empty())
        return kAudioHardwareBadDeviceError;
    std::lock_guard guard(mutex_);
    uint32_t number = nextObject_++;
    taps_[number] = Tap{description, TapOutput{sink->index, sink->monitorSource}, sink->rate, nullptr};
    *outTapID = objectID(Kind::tap, number);
    return noErr;
}

OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID tap)
{
    std::unique_ptr<SystemCapture> parked; // ends outside the lock
    std::lock_guard guard(mutex_);
    auto found = kindOf(tap) == Kind::tap ? taps_.find(numberOf(tap)) : taps_.end();
    if (found == taps_.end())
        return kAudioHardwareBadObjectError;
    parked = std::move(found->second.parked);
    taps_.erase(found);
    return noErr;
}

OSStatus PulseAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                   AudioObjectID* outDeviceID)
{
    auto loop = connection();
    if (!loop)
        return kAudioHardwareUnspecifiedError;
    // A sub-device that is gone is simply not active, as with Core Audio.
    std::optional<DeviceFacts> mic;
    if (!description.mainSubDevice.empty())
        mic = PulseQuery::source(*loop, description.mainSubDevice);
    if (mic && mic->monitor)
        mic.reset();
    std::lock_guard guard(mutex_);
    Aggregate aggregate{description, mic, mic ? mic->rate : 0, std::nullopt, {}};
    for (const auto& entry : description.taps) {
        auto tap = std::find_if(taps_.begin(), taps_.end(),
                                [&entry](const auto& t) { return t.second.description.uuid == entry.uid; });
        if (tap == taps_.end())
            return kAudioHardwareBadObjectError;
        const CATapDescription& tapDescription = tap->second.description;
        aggregate.output = tap->second.output;
        aggregate.tap = tap->first;
        aggregate.excluded.clear();
        if (tapDescription.exclusive)
            for (AudioObjectID process : tapDescription.processes)
                if (kindOf(process) == Kind::process)
                    aggregate.excluded.push_back(pid_t(numberOf(process)));
    }
    uint32_t number = nextObject_++;
    aggregates_[number] = std::move(aggregate);
    *outDeviceID = objectID(Kind::aggregate, number);
    return noErr;
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID device)
{
    std::vector<std::pair<std::unique_ptr<PulseAggregateIO>, uint32_t>> running;
    {
        std::lock_guard guard(mutex_);
        if (kindOf(device) != Kind::aggregate || !aggregates_.erase(numberOf(device)))
            return kAudioHardwareBadObjectError;
        for (auto proc = procs_.begin(); proc != procs_.end();) {
            if (proc->second.device != device) {
                ++proc;
                continue;
            }
            running.emplace_back(std::move(proc->second.running), proc->second.tap);
            proc = procs_.erase(proc);
        }
    }
    for (auto& [io, tap] : running)
        stopped(std::move(io), tap);
    return noErr;
}

// MARK: IO

OSStatus PulseAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device,
                                                     SerialQueue* queue, AudioDeviceIOBlock block)
{
    // Deliveries are only valid during the call, so they cannot be queued.
    if (queue)
        return kAudioHardwareUnsupportedOperationError;
    std::lock_guard guard(mutex_);
    if (kindOf(device) != Kind::aggregate || !aggregates_.count(numberOf(device)))
        return kAudioHardwareBadObjectError;
    AudioDeviceIOProcID id = nextProc_++;
    procs_[id] = IOProc{device, std::move(block), nullptr};
    *outIOProcID = id;
    return noErr;
}

OSStatus PulseAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID)
{
    AggregateStreams streams;
    AudioDeviceIOBlock block;
    std::optional<std::string> hostNote; // told once, with the first exclusion
    std::unique_ptr<SystemCapture> carried, unfit; // the unfit one ends outside the lock
    uint32_t tapNumber = 0;
    {
        std::lock_guard guard(mutex_);
        auto proc = procs_.find(procID);
        auto aggregate = aggregates_.find(numberOf(device));
        if (proc == procs_.end() || proc->second.device != device || aggregate == aggregates_.end())
            return kAudioHardwareBadObjectError;
        if (proc->second.running)
            return noErr;
        const Aggregate& a = aggregate->second;
        if (!a.mic)
            return kAudioHardwareBadDeviceError;
        std::shared_ptr<const ProcessExclusion> exclusion;
        if (!a.excluded.empty()) {
            exclusion = std::make_shared<const ProcessExclusion>(processTable_, a.excluded,
                                                                 [this](pid_t pid) { unresolved(pid); });
            if (!hostTold_) {
                hostTold_ = true;
                pid_t host = hostPid();
                hostNote = hostLine(host > 1 ? processTable_.identityOf(host) : std::nullopt);
            }
        }
        streams = AggregateStreams{a.mic->name, a.mic->channels, a.mic->map, a.rate, a.output, std::move(exclusion),
                                   log_};
        block = proc->second.block;
        tapNumber = a.tap;
        if (auto tap = taps_.find(a.tap); tap != taps_.end() && tap->second.parked) {
            auto& parked = tap->second.parked;
            (parked->fits(a.rate) ? carried : unfit) = std::move(parked);
        }
    }
    unfit.reset();
    if (hostNote && log_)
        log_(*hostNote);
    auto io = std::make_unique<PulseAggregateIO>(server_, std::move(streams), std::move(block), std::move(carried));
    if (OSStatus status = io->start(); status != noErr)
        return status;
    std::lock_guard guard(mutex_);
    auto proc = procs_.find(procID);
    if (proc == procs_.end())
        return kAudioHardwareBadObjectError; // destroyed meanwhile; io stops here
    proc->second.running = std::move(io);
    proc->second.tap = tapNumber;
    return noErr;
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID)
{
    {
        std::lock_guard guard(mutex_);
        auto proc = procs_.find(procID);
        if (proc == procs_.end() || proc->second.device != device)
            return kAudioHardwareBadObjectError;
    }
    uint32_t tap = 0;
    auto running = takeRunning(procID, tap);
    stopped(std::move(running), tap);
    return noErr;
}

OSStatus PulseAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID)
{
    std::unique_ptr<PulseAggregateIO> running;
    uint32_t tap = 0;
    {
        std::lock_guard guard(mutex_);
        auto proc = procs_.find(procID);
        if (proc == procs_.end() || proc->second.device != device)
            return kAudioHardwareBadObjectError;
        running = std::move(proc->second.running);
        tap = proc->second.tap;
        procs_.erase(proc);
    }
    stopped(std::move(running), tap);
    return noErr;
}

std::unique_ptr<PulseAggregateIO> PulseAudioHardware::takeRunning(AudioDeviceIOProcID procID, uint32_t& tap)
{
    std::lock_guard guard(mutex_);
    auto proc = procs_.find(procID);
    if (proc == procs_.end())
        return nullptr;
    tap = proc->second.tap;
    return std::move(proc->second.running);
}

void PulseAudioHardware::stopped(std::unique_ptr<PulseAggregateIO> running, uint32_t tap)
{
    if (!running)
        return;
    uint64_t cut = running->cutFrames(), filled = running->filledFrames();
    uint64_t micCut = running->micCutFrames(), micFilled = running->micFilledFrames();
    bool system = running->recordsSystemAudio();
    uint32_t rate = running->rate();
    std::unique_ptr<SystemCapture> side = running->releaseSystem();
    running.reset();
    if (system) {
        std::lock_guard guard(mutex_);
        if (auto found = taps_.find(tap); found != taps_.end())
            side.swap(found->second.parked); // an older one ends below
    }
    side.reset();
    auto amount = [rate](uint64_t frames) {
        return std::to_string(frames) + " snímků (" + std::to_string(frames * 1000 / rate) + " ms)";
    };
    if (!log_)
        return;
    if (micCut || micFilled)
        log_("mikrofon oproti hodinám: zahozeno " + amount(micCut) + ", doplněno tichem " + amount(micFilled));
    if (system)
        log_("systémový zvuk oproti mikrofonu: zahozeno " + amount(cut) + ", doplněno tichem " + amount(filled));
}

// MARK: listeners

OSStatus PulseAudioHardware::addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                      SerialQueue* queue, AudioObjectPropertyListenerBlock listener)
{
    if (!listener)
        return kAudioHardwareIllegalOperationError;
    connection(); // changes are only heard while connected
    std::lock_guard guard(mutex_);
    listeners_.push_back({object, address, queue, std::move(listener)});
    return noErr;
}

OSStatus PulseAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         SerialQueue* queue,
                                                         const AudioObjectPropertyListenerBlock& listener)
{
    std::lock_guard guard(mutex_);
    auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
        return l.object == object && l.address == address && l.queue == queue && l.block == listener;
    });
    if (found == listeners_.end())
        return kAudioHardwareUnknownPropertyError;
    listeners_.erase(found);
    return noErr;
}

void PulseAudioHardware::notify(AudioObjectID object, AudioObjectPropertySelector selector)
{
    std::vector<Listener> due;
    {
        std::lock_guard guard(mutex_);
        for (const auto& listener : listeners_)
            if (listener.object == object && listener.address.mSelector == selector)
                due.push_back(listener);
    }
    for (auto& listener : due) {
        auto call = [block = listener.block, address = listener.address] { (*block)(1, &address); };
        if (listener.queue)
            listener.queue->async(call);
        else
            call();
    }
}

void PulseAudioHardware::subscribed(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                                    void* self)
{
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    pa_operation* operation = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        operation = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* self) {
                if (info)
                    static_cast<PulseAudioHardware*>(self)->serverChanged(
                        info->default_source_name ? info->default_source_name : "",
                        info->default_sink_name ? info->default_sink_name : "");
            },
            self);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
               (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE) {
        operation = pa_context_get_source_info_by_index(
            context, index,
            [](pa_context*, const pa_source_info* info, int eol, void* self) {
                if (eol == 0 && info)
                    static_cast<PulseAudioHardware*>(self)->micRateChanged(info->index, info->sample_spec.rate);
            },
            self);
    }
    if (operation)
        pa_operation_unref(operation);
}

void PulseAudioHardware::serverChanged(const std::string& defaultSource, const std::string& defaultSink)
{
    bool input, output;
    {
        std::lock_guard guard(mutex_);
        input = defaultSource != defaultSource_;
        output = defaultSink != defaultSink_;
        defaultSource_ = defaultSource;
        defaultSink_ = defaultSink;
    }
    if (input)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    if (output)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
}

void PulseAudioHardware::micRateChanged(uint32_t sourceIndex, uint32_t rate)
{
    std::vector<AudioObjectID> changed;
    {
        std::lock_guard guard(mutex_);
        for (auto& [number, aggregate] : aggregates_) {
            if (aggregate.mic && aggregate.mic->index == sourceIndex && rate > 0 && aggregate.rate != rate) {
                aggregate.rate = rate;
                changed.push_back(objectID(Kind::aggregate, number));
            }
        }
    }
    for (AudioObjectID aggregate : changed)
        notify(aggregate, kAudioDevicePropertyNominalSampleRate);
}

void PulseAudioHardware::unresolved(pid_t pid)
{
    {
        std::lock_guard guard(mutex_);
        if (!unresolved_.insert(pid).second)
            return;
    }
    if (log_)
        log_("proces " + std::to_string(pid) + " nelze v /proc ověřit — jeho zvuk zůstává v nahrávce");
}

void PulseAudioHardware::connectionLost()
{
    std::map<uint32_t, Tap> lostTaps; // their recordings end outside the lock
    {
        std::lock_guard guard(mutex_);
        defaultSource_.clear();
        defaultSink_.clear();
        lostAt_ = std::chrono::steady_clock::now();
        lostTaps.swap(taps_);
    }
    if (log_)
        log_("spojení se zvukovým serverem se přerušilo");
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

} // namespace platform
