// The IO thread of a running aggregate must not allocate per delivery. This
// binary counts every C++ allocation per thread (libpulse itself uses
// malloc and is not counted).

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include <unistd.h>

#include "platform/pulse/pulse_audio_hardware.h"
#include "pulse_test_server.h"

namespace {
thread_local uint64_t allocations = 0;
}

void* operator new(size_t size)
{
    ++allocations;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

using namespace platform;

using PulseIOThread = pulsetest::OnServer;

// Through the exclusion tap (this process left out), with a player already
// playing and one that starts during the recording.
TEST_F(PulseIOThread, DeliversWithoutAllocating)
{
    PulseAudioHardware hardware(server);
    int32_t pid = int32_t(getpid());
    AudioObjectID self = 0, tap = 0, aggregate = 0;
    uint32_t size = sizeof self;
    AudioObjectPropertyAddress translate{kAudioHardwarePropertyTranslatePIDToProcessObject};
    ASSERT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, translate, sizeof pid, &pid, &size, &self), noErr);
    ASSERT_EQ(hardware.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses({self}, "TAP"), &tap),
              noErr);
    AggregateDeviceDescription description;
    description.mainSubDevice = "virtual_mic";
    description.taps = {{"TAP", 1, 96}};
    ASSERT_EQ(hardware.createAggregateDevice(description, &aggregate), noErr);

    // Long enough to outlast the second player's start on a busy machine;
    // both end with the test.
    auto playing = pulsetest::tone("speakers", 1000, 30);
    ASSERT_TRUE(pulsetest::waitForPlayback(1));
    std::array<uint64_t, 4096> seen{};
    std::atomic<size_t> deliveries{0};
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(
                  &proc, aggregate, nullptr,
                  [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) {
                      size_t n = deliveries.load(std::memory_order_relaxed);
                      if (n < seen.size())
                          seen[n] = allocations;
                      deliveries.store(n + 1, std::memory_order_release);
                  }),
              noErr);
    ASSERT_EQ(hardware.deviceStart(aggregate, proc), noErr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto starting = pulsetest::tone("speakers", 1500, 30);
    ASSERT_TRUE(pulsetest::waitForPlayback(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    hardware.deviceStop(aggregate, proc);

    size_t count = std::min(deliveries.load(std::memory_order_acquire), seen.size());
    ASSERT_GT(count, 10u);
    // From the second delivery on (the first may follow start-up work on
    // the same thread) the count stays where it was.
    for (size_t i = 2; i < count; ++i)
        ASSERT_EQ(seen[i], seen[1]) << "allocation before delivery " << i;
    hardware.destroyIOProcID(aggregate, proc);
}
