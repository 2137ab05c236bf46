#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"

namespace korvalin {

using platform::AudioObjectID;
using platform::OSStatus;

// Why a request that needs the audio system fails while it does not answer
// (kAudioHardwareNotRunningError: its daemon or sound server is gone).
inline const std::string audioSystemDown = "zvukový server není dostupný — nelze se k němu připojit";

// A platform status as it appears in messages: 'nope' (1852797029) when its
// four bytes are printable ASCII, the signed decimal otherwise.
std::string fourCC(int32_t status);

// Readers of audio object properties (main element, no qualifier) through
// the process's platform audio hardware. Failures read as empty or nothing.
namespace CA {

std::vector<AudioObjectID> objectList(AudioObjectID object, platform::AudioObjectPropertySelector selector,
                                      platform::AudioObjectPropertyScope scope);
std::optional<std::string> string(AudioObjectID object, platform::AudioObjectPropertySelector selector,
                                  platform::AudioObjectPropertyScope scope);
// Channels of each buffer of the device's stream configuration, in order.
std::vector<int> channelsPerBuffer(AudioObjectID device, platform::AudioObjectPropertyScope scope);

// Reads a global property of `size` bytes into `data`, optionally qualified
// by a 4-byte value; `read` does so for a fixed-size value.
OSStatus readData(AudioObjectID object, platform::AudioObjectPropertySelector selector, void* data,
                  uint32_t size, const int32_t* qualifier = nullptr);

template <class T>
OSStatus read(AudioObjectID object, platform::AudioObjectPropertySelector selector, T& value,
              const int32_t* qualifier = nullptr)
{
    return readData(object, selector, &value, sizeof(T), qualifier);
}

// The statuses with which the system refuses access rather than fails.
bool isPermissionRefusal(OSStatus status);

} // namespace CA

} // namespace korvalin
