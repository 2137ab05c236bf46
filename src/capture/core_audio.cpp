#include "capture/core_audio.h"

#include <algorithm>
#include <memory>

#include "platform/platform.h"

namespace korvalin {

using namespace platform;

namespace {

AudioHardware& hardware() { return *current().audio; }

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

} // namespace

std::string fourCC(int32_t status)
{
    auto bits = uint32_t(status);
    std::string chars;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = char((bits >> shift) & 0xFF);
        if (byte < 32 || byte > 126)
            return std::to_string(status);
        chars += byte;
    }
    return "'" + chars + "' (" + std::to_string(status) + ")";
}

namespace CA {

OSStatus readData(AudioObjectID object, AudioObjectPropertySelector selector, void* data, uint32_t size,
                  const int32_t* qualifier)
{
    return hardware().getPropertyData(object, address(selector, kAudioObjectPropertyScopeGlobal),
                                      qualifier ? sizeof(int32_t) : 0, qualifier, &size, data);
}

std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope)
{
    uint32_t size = 0;
    if (hardware().getPropertyDataSize(object, address(selector, scope), 0, nullptr, &size) != noErr || size == 0)
        return {};
    std::vector<AudioObjectID> list(size / sizeof(AudioObjectID));
    if (list.empty())
        return list;
    // A size that is no whole number of identifiers must not let the read
    // write past the list.
    size = uint32_t(list.size() * sizeof(AudioObjectID));
    if (hardware().getPropertyData(object, address(selector, scope), 0, nullptr, &size, list.data()) != noErr)
        return {};
    return list;
}

std::optional<std::string> string(AudioObjectID object, AudioObjectPropertySelector selector,
                                  AudioObjectPropertyScope scope)
{
    StringRef reference = nullptr;
    uint32_t size = sizeof(reference);
    OSStatus status = hardware().getPropertyData(object, address(selector, scope), 0, nullptr, &size, &reference);
    std::unique_ptr<std::string, void (*)(StringRef)> owned(reference, releaseStringRef);
    if (status != noErr || !owned)
        return std::nullopt;
    return *owned;
}

std::vector<int> channelsPerBuffer(AudioObjectID device, AudioObjectPropertyScope scope)
{
    auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    uint32_t size = 0;
    if (hardware().getPropertyDataSize(device, where, 0, nullptr, &size) != noErr || size == 0)
        return {};
    // Raw storage of the reported size; the list's entries follow its header.
    auto storage = std::make_unique<AudioBuffer[]>(size / sizeof(AudioBuffer) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.get());
    if (hardware().getPropertyData(device, where, 0, nullptr, &size, list) != noErr)
        return {};
    // Never walk past what was read, whatever the header claims.
    size_t room = (size - std::min<size_t>(size, offsetof(AudioBufferList, mBuffers))) / sizeof(AudioBuffer);
    size_t count = std::min<size_t>(list->mNumberBuffers, room);
    std::vector<int> channels;
    for (size_t i = 0; i < count; ++i)
        channels.push_back(int(list->mBuffers[i].mNumberChannels));
    return channels;
}

bool isPermissionRefusal(OSStatus status)
{
    switch (status) {
    case -1:
    case kAudioDevicePermissionsError:
    case kAudioHardwareBadObjectError:
    case kAudioHardwareIllegalOperationError:
    case kAudioHardwareUnknownPropertyError:
    case kAudioHardwareNotRunningError:
        return true;
    default:
        return false;
    }
}

} // namespace CA

} // namespace korvalin
