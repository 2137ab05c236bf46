// The capture graph: the default input device, a process tap of everything
// else the system plays, and a private aggregate device joining both on the
// microphone's clock.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>

#include "capture/capture_engine.h"
#include "capture/core_audio.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace korvalin {

using namespace platform;

namespace {

const std::string deviceName = "Korvalin Capture";
const std::string unknownDevice = "neznámé zařízení";

AudioHardware& hardware() { return *current().audio; }
System& system() { return *current().system; }

// A random (version 4) UUID in upper-case text form.
std::string randomUUID()
{
    static std::mt19937_64 generator{std::random_device{}()};
    uint64_t high = generator(), low = generator();
    high = (high & ~0xF000ULL) | 0x4000ULL;                       // version 4
    low = (low & ~(0xC000ULL << 48)) | (0x8000ULL << 48);          // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32),
                  unsigned((high >> 16) & 0xFFFF), unsigned(high & 0xFFFF), unsigned(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::string listText(const std::vector<int>& counts)
{
    std::string text = "[";
    for (size_t i = 0; i < counts.size(); ++i)
        text += (i ? ", " : "") + std::to_string(counts[i]);
    return text + "]";
}

int sum(const std::vector<int>& counts)
{
    int total = 0;
    for (int count : counts)
        total += count;
    return total;
}

std::string nameOf(AudioObjectID device)
{
    return CA::string(device, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal).value_or(unknownDevice);
}

std::optional<std::string> bundleIDOf(AudioObjectID process)
{
    return CA::string(process, kAudioProcessPropertyBundleID, kAudioObjectPropertyScopeGlobal);
}

} // namespace

void CaptureEngine::buildDevices(bool excludeSelf)
{
    excludingSelf = excludeSelf;
    // A tap kept from the last graph serves again while it exists (it is
    // gone when its audio system went away).
    std::optional<std::string> keptTap;
    if (tapID != 0 && !(keptTap = CA::string(tapID, kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal)))
        tapID = 0;
    if (!keptTap)
        systemAudioProblem.reset();

    const std::string noMicrophone = "není k dispozici žádné vstupní zařízení (mikrofon)";
    auto refuse = [this](const std::string& message) {
        teardownDevices();
        return CommandError(ErrorCode::noDevice, message);
    };
    AudioObjectID mic = 0;
    OSStatus status = CA::read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, mic);
    if (status == kAudioHardwareNotRunningError)
        throw refuse(audioSystemDown);
    if (status != noErr || mic == 0)
        throw refuse(noMicrophone);
    auto micUID = CA::string(mic, kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal);
    if (!micUID)
        throw refuse(noMicrophone);
    auto micBuffers = CA::channelsPerBuffer(mic, kAudioObjectPropertyScopeInput);
    int micChannels = sum(micBuffers);
    if (micBuffers.empty() || micChannels <= 0)
        throw refuse("vstupní zařízení " + nameOf(mic) + " nemá žádné kanály");

    int tapChannels = 0;
    std::string tapUUID;
    if (keptTap) {
        tapUUID = *keptTap;
        AudioStreamBasicDescription format;
        tapChannels = CA::read(tapID, kAudioTapPropertyFormat, format) == noErr ? int(format.mChannelsPerFrame) : 0;
    } else {
        auto tap = CATapDescription::stereoGlobalTapButExcludeProcesses(
            excludeSelf ? ownProcesses() : std::vector<AudioObjectID>{}, randomUUID());
        tap.name = deviceName;
        tap.isPrivate = true;
        tap.muteBehavior = 0; // the tapped sound still plays
        tapChannels = makeTap(tap);
        tapUUID = tap.uuid;
    }
    makeAggregate(*micUID, tapUUID);

    std::vector<AudioObjectID> active =
        CA::objectList(aggregateID, kAudioAggregateDevicePropertyActiveSubDeviceList, kAudioObjectPropertyScopeGlobal);
    bool micPresent = false;
    for (AudioObjectID device : active)
        micPresent = micPresent || CA::string(device, kAudioDevicePropertyDeviceUID,
                                              kAudioObjectPropertyScopeGlobal) == micUID;

    auto buffers = CA::channelsPerBuffer(aggregateID, kAudioObjectPropertyScopeInput);
    plan = makeChannelPlan(buffers, micChannels, tapChannels);
    double rate = 0;
    sampleRate = CA::read(aggregateID, kAudioDevicePropertyNominalSampleRate, rate) == noErr && rate > 0
                     ? rate
                     : 48000.0;

    if (!micPresent) {
        std::string names;
        for (AudioObjectID device : active)
            names += (names.empty() ? "" : ", ") + nameOf(device);
        teardownDevices();
        throw CommandError(ErrorCode::aggregateFailed,
                           "mikrofon " + nameOf(mic) + " se nepodařilo připojit k nahrávacímu zařízení (obsahuje jen: " +
                               (names.empty() ? "nic" : names) + "). Zkus vybrat jiný vstup v Nastavení zvuku.");
    }
    if (!plan.exact || plan.mic.empty()) {
        teardownDevices();
        throw CommandError(ErrorCode::aggregateFailed,
                           "nahrávací zařízení má neočekávané kanály " + listText(buffers) + " (mikrofon " +
                               std::to_string(micChannels) + ", systém " + std::to_string(tapChannels) +
                               ") — nahrávání by mohlo zaměnit stopy, takže nezačínám.");
    }
    watchSampleRate();
}

std::vector<AudioObjectID> CaptureEngine::ownProcesses()
{
    std::set<AudioObjectID> excluded;
    pid_t parent = system().parentPid();
    for (pid_t pid : {system().pid(), parent})
        if (pid > 1)
            if (auto process = processObjectID(pid))
                excluded.insert(*process);

    // Every process of the program's and the host's bundles, not only the two pids.
    std::vector<std::string> bundles;
    if (std::string own = system().bundleIdentifier(); !own.empty())
        bundles.push_back(own);
    if (parent > 1) {
        for (AudioObjectID process :
             CA::objectList(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
                            kAudioObjectPropertyScopeGlobal)) {
            int32_t pid = -1;
            if (CA::read(process, kAudioProcessPropertyPID, pid) != noErr)
                pid = -1;
            if (pid != parent)
                continue;
            if (auto host = bundleIDOf(process); host && !host->empty()) {
                bundles.push_back(*host);
                break;
            }
        }
    }
    if (!bundles.empty()) {
        for (AudioObjectID process :
             CA::objectList(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
                            kAudioObjectPropertyScopeGlobal)) {
            auto bundle = bundleIDOf(process);
            if (bundle && std::find(bundles.begin(), bundles.end(), *bundle) != bundles.end())
                excluded.insert(process);
        }
    }
    if (excluded.empty())
        events.log("tap nevylučuje žádný vlastní proces — vlastní zvuky se mohou nahrát");
    return {excluded.begin(), excluded.end()};
}

std::optional<AudioObjectID> CaptureEngine::processObjectID(int32_t pid)
{
    AudioObjectID process = 0;
    OSStatus status = CA::read(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject, process, &pid);
    if (status != noErr) {
        events.log("PID " + std::to_string(pid) + " nelze přeložit na audio proces (" + fourCC(status) + ")");
        return std::nullopt;
    }
    if (process == 0) {
        events.log("PID " + std::to_string(pid) + " nemá zatím audio proces — tap ho nevyloučí podle PID");
        return std::nullopt;
    }
    return process;
}

int CaptureEngine::makeTap(const CATapDescription& description)
{
    AudioObjectID tap = 0;
    OSStatus status = hardware().createProcessTap(description, &tap);
    if (status != noErr || tap == 0) {
        if (CA::isPermissionRefusal(status))
            reportTapProblem(ErrorCode::permissionDenied,
                             "Není povolené nahrávání zvuku systému — ostatní účastníky neslyším.", status);
        else
            reportTapProblem(ErrorCode::tapFailed,
                             "Systémový zvuk se nepodařilo připojit (chyba " + fourCC(status) + ").", status);
        return 0;
    }
    tapID = tap;
    AudioStreamBasicDescription format;
    int channels = CA::read(tap, kAudioTapPropertyFormat, format) == noErr ? int(format.mChannelsPerFrame) : 0;
    if (channels == 0) {
        hardware().destroyProcessTap(tapID);
        tapID = 0;
        reportTapProblem(ErrorCode::tapFailed, "Systémový zvuk se nepodařilo připojit (neznámý formát).", std::nullopt);
    }
    return channels;
}

void CaptureEngine::reportTapProblem(ErrorCode code, std::string message, std::optional<OSStatus> status)
{
    Event event = errorEvent(rawValue(code), message, false);
    if (status)
        event["status"] = int32_t(*status);
    systemAudioProblem = std::move(message);
    events.emit(event);
}

void CaptureEngine::makeAggregate(const std::string& micUID, const std::string& tapUUID)
{
    AggregateDeviceDescription description;
    description.name = deviceName;
    description.uid = "KorvalinCapture:" + randomUUID();
    description.isPrivate = true;
    description.isStacked = false;
    description.tapAutoStart = false;
    description.mainSubDevice = micUID;
    description.subDevices = {{micUID, 0}};
    if (tapID != 0)
        description.taps = {{tapUUID, 1, 96}};

    AudioObjectID device = 0;
    OSStatus status = hardware().createAggregateDevice(description, &device);
    if (status != noErr || device == 0) {
        if (tapID != 0) {
            hardware().destroyProcessTap(tapID);
            tapID = 0;
        }
        throw CommandError(ErrorCode::aggregateFailed, "agregované zařízení nelze vytvořit (" + fourCC(status) + ")");
    }
    aggregateID = device;
}

void CaptureEngine::teardownDevices(bool keepTap)
{
    for (const RegisteredListener& entry : aggregateListeners)
        hardware().removePropertyListenerBlock(entry.object, entry.address, &queue, entry.listener);
    aggregateListeners.clear();
    if (aggregateID != 0) {
        hardware().destroyAggregateDevice(aggregateID);
        aggregateID = 0;
    }
    if (tapID != 0 && !keepTap) {
        hardware().destroyProcessTap(tapID);
        tapID = 0;
    }
}

void CaptureEngine::watchSampleRate()
{
    if (aggregateID == 0)
        return;
    AudioObjectID device = aggregateID;
    AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    std::weak_ptr<CaptureEngine*> weak = self_;
    auto listener = makeListener([weak, device](uint32_t, const AudioObjectPropertyAddress*) {
        auto alive = weak.lock();
        if (!alive)
            return;
        CaptureEngine& engine = **alive;
        double rate = 0;
        if (CA::read(device, kAudioDevicePropertyNominalSampleRate, rate) != noErr)
            rate = 0;
        if (rate > 0 && std::abs(rate - engine.sampleRate) > 1.0) {
            engine.events.log("vzorkovací frekvence se změnila z " + std::to_string(int64_t(engine.sampleRate)) +
                              " na " + std::to_string(int64_t(rate)) + " Hz");
            engine.handleDeviceChange(RebuildReason::sampleRateChanged);
        }
    });
    OSStatus status = hardware().addPropertyListenerBlock(device, address, &queue, listener);
    if (status != noErr)
        events.log("posluchače vzorkovací frekvence nelze přidat (" + fourCC(status) + ")");
    else
        aggregateListeners.push_back({device, address, listener});
}

} // namespace korvalin
