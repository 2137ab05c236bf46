#pragma once

#include <atomic>

#include "platform/audio_hardware.h"

namespace korvalin {

// Passes every call on to another implementation; a test overrides the
// calls it wants to answer or watch itself.
class ForwardingHardware : public platform::AudioHardware {
public:
    using OSStatus = platform::OSStatus;
    using ID = platform::AudioObjectID;
    using Address = platform::AudioObjectPropertyAddress;
    using Listener = platform::AudioObjectPropertyListenerBlock;
    using ProcID = platform::AudioDeviceIOProcID;
    using Queue = platform::SerialQueue;

    explicit ForwardingHardware(platform::AudioHardware& to) : to_(to) {}

    OSStatus getPropertyDataSize(ID o, const Address& a, uint32_t qs, const void* q, uint32_t* size) override
    {
        return to_.getPropertyDataSize(o, a, qs, q, size);
    }
    OSStatus getPropertyData(ID o, const Address& a, uint32_t qs, const void* q, uint32_t* size, void* out) override
    {
        return to_.getPropertyData(o, a, qs, q, size, out);
    }
    OSStatus createProcessTap(const platform::CATapDescription& d, ID* out) override
    {
        return to_.createProcessTap(d, out);
    }
    OSStatus destroyProcessTap(ID tap) override { return to_.destroyProcessTap(tap); }
    OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& d, ID* out) override
    {
        return to_.createAggregateDevice(d, out);
    }
    OSStatus destroyAggregateDevice(ID device) override { return to_.destroyAggregateDevice(device); }
    OSStatus createIOProcIDWithBlock(ProcID* id, ID device, Queue* queue, platform::AudioDeviceIOBlock b) override
    {
        return to_.createIOProcIDWithBlock(id, device, queue, std::move(b));
    }
    OSStatus deviceStart(ID device, ProcID id) override { return to_.deviceStart(device, id); }
    OSStatus deviceStop(ID device, ProcID id) override { return to_.deviceStop(device, id); }
    OSStatus destroyIOProcID(ID device, ProcID id) override { return to_.destroyIOProcID(device, id); }
    OSStatus addPropertyListenerBlock(ID o, const Address& a, Queue* q, Listener l) override
    {
        return to_.addPropertyListenerBlock(o, a, q, std::move(l));
    }
    OSStatus removePropertyListenerBlock(ID o, const Address& a, Queue* q, const Listener& l) override
    {
        return to_.removePropertyListenerBlock(o, a, q, l);
    }

private:
    platform::AudioHardware& to_;
};

// While `down`, answers as an audio system that is not running (its daemon
// or sound server gone): the default devices read as
// kAudioHardwareNotRunningError.
class StoppableHardware : public ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    OSStatus getPropertyData(ID o, const Address& a, uint32_t qs, const void* q, uint32_t* size, void* out) override
    {
        if (down && o == platform::kAudioObjectSystemObject &&
            (a.mSelector == platform::kAudioHardwarePropertyDefaultInputDevice ||
             a.mSelector == platform::kAudioHardwarePropertyDefaultOutputDevice))
            return platform::kAudioHardwareNotRunningError;
        return ForwardingHardware::getPropertyData(o, a, qs, q, size, out);
    }

    std::atomic<bool> down{false};
};

} // namespace korvalin
