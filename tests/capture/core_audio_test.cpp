#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "capture/core_audio.h"
#include "platform/platform.h"

namespace korvalin {
namespace {

using namespace platform;

// Answers property queries from the test's scripts and counts data reads.
class ScriptedHardware final : public AudioHardware {
public:
    std::function<OSStatus(uint32_t*)> size = [](uint32_t*) { return noErr; };
    std::function<OSStatus(uint32_t*, void*)> data = [](uint32_t*, void*) { return noErr; };
    int dataReads = 0;

    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, uint32_t, const void*,
                                 uint32_t* outDataSize) override
    {
        return size(outDataSize);
    }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, uint32_t, const void*,
                             uint32_t* ioDataSize, void* outData) override
    {
        ++dataReads;
        return data(ioDataSize, outData);
    }
    OSStatus createProcessTap(const CATapDescription&, AudioObjectID*) override { return unsupported; }
    OSStatus destroyProcessTap(AudioObjectID) override { return unsupported; }
    OSStatus createAggregateDevice(const AggregateDeviceDescription&, AudioObjectID*) override { return unsupported; }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return unsupported; }
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID*, AudioObjectID, SerialQueue*, AudioDeviceIOBlock) override
    {
        return unsupported;
    }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override { return unsupported; }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return unsupported; }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return unsupported; }
    OSStatus addPropertyListenerBlock(AudioObjectID, const AudioObjectPropertyAddress&, SerialQueue*,
                                      AudioObjectPropertyListenerBlock) override
    {
        return unsupported;
    }
    OSStatus removePropertyListenerBlock(AudioObjectID, const AudioObjectPropertyAddress&, SerialQueue*,
                                         const AudioObjectPropertyListenerBlock&) override
    {
        return unsupported;
    }

private:
    static constexpr OSStatus unsupported = kAudioHardwareUnsupportedOperationError;
};

class PropertyReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = current().audio;
        current().audio = &hardware;
    }
    void TearDown() override { current().audio = saved_; }

    ScriptedHardware hardware;

private:
    AudioHardware* saved_ = nullptr;
};

TEST(FourCC, PrintableCodesAndDecimalFallback)
{
    EXPECT_EQ(fourCC(560492391), "'!hog' (560492391)");
    EXPECT_EQ(fourCC(1852797029), "'nope' (1852797029)");
    EXPECT_EQ(fourCC(1682533920), "'dIn ' (1682533920)"); // a space is printable
    EXPECT_EQ(fourCC(0), "0");
    EXPECT_EQ(fourCC(-1), "-1");
    EXPECT_EQ(fourCC(-50), "-50");
    EXPECT_EQ(fourCC(0x6E6F7019), "1852796953");  // low byte below 32
    EXPECT_EQ(fourCC(0x7F6F7065), "2138009701");  // high byte 127
    EXPECT_EQ(fourCC(int32_t(0x80000000)), "-2147483648");
}

TEST(FourCC, PermissionRefusals)
{
    for (OSStatus status : {-1, 560492391, 560947818, 1852797029, 2003332927, 1937010544})
        EXPECT_TRUE(CA::isPermissionRefusal(status)) << status;
    for (OSStatus status : {0, -50, 1, int32_t(fourCharCode("what")), int32_t(fourCharCode("!dev"))})
        EXPECT_FALSE(CA::isPermissionRefusal(status)) << status;
}

TEST_F(PropertyReaders, ObjectListReadsNothingWithoutASize)
{
    hardware.size = [](uint32_t*) { return kAudioHardwareUnknownPropertyError; };
    EXPECT_TRUE(CA::objectList(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal).empty());
    for (uint32_t reported : {0u, 3u}) {
        hardware.size = [=](uint32_t* out) {
            *out = reported;
            return noErr;
        };
        EXPECT_TRUE(CA::objectList(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal).empty());
    }
    EXPECT_EQ(hardware.dataReads, 0);
}

TEST_F(PropertyReaders, ObjectListReadsWholeIdentifiers)
{
    hardware.size = [](uint32_t* out) {
        *out = 9; // two identifiers and a stray byte
        return noErr;
    };
    hardware.data = [](uint32_t* size, void* out) {
        EXPECT_EQ(*size, 9u);
        AudioObjectID ids[2] = {300, 301};
        std::memcpy(out, ids, sizeof(ids));
        return noErr;
    };
    EXPECT_EQ(CA::objectList(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal),
              (std::vector<AudioObjectID>{300, 301}));
    hardware.data = [](uint32_t*, void*) { return kAudioHardwareBadObjectError; };
    EXPECT_TRUE(CA::objectList(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal).empty());
}

TEST_F(PropertyReaders, StringDistinguishesEmptyFromAbsent)
{
    auto answer = [&](StringRef value, OSStatus status) {
        hardware.data = [=](uint32_t* size, void* out) {
            EXPECT_EQ(*size, sizeof(StringRef));
            std::memcpy(out, &value, sizeof(value));
            return status;
        };
        return CA::string(100, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal);
    };
    EXPECT_EQ(answer(new std::string("Mikrofon"), noErr), "Mikrofon");
    EXPECT_EQ(answer(new std::string(), noErr), "");
    EXPECT_EQ(answer(nullptr, noErr), std::nullopt);
    // A failed read that still handed a reference back: released, not returned.
    EXPECT_EQ(answer(new std::string("x"), kAudioHardwareUnknownPropertyError), std::nullopt);
}

TEST_F(PropertyReaders, ChannelsPerBufferWalksOnlyWhatWasRead)
{
    auto layout = [&](std::vector<uint32_t> channels, uint32_t claimed) {
        uint32_t bytes = uint32_t(audioBufferListSize(uint32_t(channels.size())));
        hardware.size = [=](uint32_t* out) {
            *out = bytes;
            return noErr;
        };
        hardware.data = [=](uint32_t* size, void* out) {
            EXPECT_EQ(*size, bytes);
            auto* list = static_cast<AudioBufferList*>(out);
            list->mNumberBuffers = claimed;
            for (size_t i = 0; i < channels.size(); ++i)
                list->mBuffers[i] = {channels[i], 0, nullptr};
            return noErr;
        };
        return CA::channelsPerBuffer(100, kAudioObjectPropertyScopeInput);
    };
    EXPECT_EQ(layout({2}, 1), (std::vector<int>{2}));
    EXPECT_EQ(layout({1, 2}, 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(layout({1, 2}, 50), (std::vector<int>{1, 2}));
    EXPECT_EQ(layout({}, 0), (std::vector<int>{}));

    hardware.data = [](uint32_t*, void*) { return kAudioHardwareBadObjectError; };
    EXPECT_TRUE(CA::channelsPerBuffer(100, kAudioObjectPropertyScopeInput).empty());
}

} // namespace
} // namespace korvalin
