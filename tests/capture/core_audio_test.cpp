#include <gtest/gtest.h>

#include <cstring>
#include <array>
#include <optional>

#include "capture/core_audio.h"
#include "platform/platform.h"
#include "platform/sim/sim_audio_hardware.h"
#include "support/buffer_list.h"
#include "support/forwarding_hardware.h"

namespace korvalin {
namespace {

using namespace platform;

// Answers every property query with the test's bytes, noting what was asked.
struct ScriptedHardware final : ForwardingHardware {
    using ForwardingHardware::ForwardingHardware;
    std::optional<uint32_t> size;     // nothing: the size query fails
    std::vector<unsigned char> bytes; // a data read hands back as many as it asks for
    OSStatus status = noErr;          // what a data read answers
    uint32_t asked = 0;               // bytes the last data read asked for
    int dataReads = 0;

    OSStatus getPropertyDataSize(ID, const Address&, uint32_t, const void*, uint32_t* out) override
    {
        *out = size.value_or(0);
        return size ? noErr : kAudioHardwareUnknownPropertyError;
    }
    OSStatus getPropertyData(ID, const Address&, uint32_t, const void*, uint32_t* io, void* out) override
    {
        ++dataReads;
        asked = *io;
        std::memcpy(out, bytes.data(), std::min<size_t>(*io, bytes.size()));
        return status;
    }
};

template <class T>
std::vector<unsigned char> bytesOf(const T& value)
{
    auto* first = reinterpret_cast<const unsigned char*>(&value);
    return {first, first + sizeof value};
}

class PropertyReaders : public ::testing::Test {
protected:
    void SetUp() override { std::swap(current().audio, installed_); }
    void TearDown() override { std::swap(current().audio, installed_); }

    sim::SimAudioHardware sim{sim::Scenario{}};
    ScriptedHardware hardware{sim};

private:
    AudioHardware* installed_ = &hardware;
};

TEST(FourCC, PrintableCodesDecimalFallbackAndPermissionRefusals)
{
    const std::pair<OSStatus, const char*> names[] = {
        {560492391, "'!hog' (560492391)"}, {1852797029, "'nope' (1852797029)"},
        {1682533920, "'dIn ' (1682533920)"}, // a space is printable
        {0, "0"}, {-1, "-1"}, {-50, "-50"},
        {0x6E6F7019, "1852796953"}, // low byte below 32
        {0x7F6F7065, "2138009701"}, // high byte 127
        {int32_t(0x80000000), "-2147483648"},
    };
    for (auto [status, name] : names)
        EXPECT_EQ(fourCC(status), name);
    for (OSStatus status : {-1, 560492391, 560947818, 1852797029, 2003332927, 1937010544})
        EXPECT_TRUE(CA::isPermissionRefusal(status)) << status;
    for (OSStatus status : {0, -50, 1, int32_t(fourCharCode("what")), int32_t(fourCharCode("!dev"))})
        EXPECT_FALSE(CA::isPermissionRefusal(status)) << status;
}

// Reads only after a size that holds an identifier, and only whole ones.
TEST_F(PropertyReaders, ObjectListReadsWholeIdentifiers)
{
    struct Case {
        std::optional<uint32_t> size;
        OSStatus status;
        std::vector<AudioObjectID> expected;
    };
    const Case cases[] = {
        {std::nullopt, noErr, {}}, {0, noErr, {}}, {3, noErr, {}},
        {9, noErr, {300, 301}}, // two identifiers and a stray byte
        {8, kAudioHardwareBadObjectError, {}},
    };
    hardware.bytes = bytesOf(std::array<AudioObjectID, 3>{300, 301, 302});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.value_or(-1));
        std::tie(hardware.size, hardware.status, hardware.dataReads) = std::tuple(c.size, c.status, 0);
        EXPECT_EQ(CA::objectList(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal),
                  c.expected);
        const bool read = c.size > 3u; // holds at least one identifier
        // Only whole identifiers are asked for: the stray byte would land past the list.
        EXPECT_EQ(std::pair(hardware.dataReads, hardware.asked),
                  read ? std::pair(1, *c.size / 4 * 4) : std::pair(0, 0u));
    }
}

TEST_F(PropertyReaders, StringDistinguishesEmptyFromAbsent)
{
    const std::tuple<StringRef, OSStatus, std::optional<std::string>> cases[] = {
        {new std::string("Mikrofon"), noErr, "Mikrofon"},
        {new std::string(), noErr, ""},
        {nullptr, noErr, std::nullopt},
        // A failed read that still handed a reference back: released, not returned.
        {new std::string("x"), kAudioHardwareUnknownPropertyError, std::nullopt},
    };
    for (const auto& [value, status, expected] : cases) {
        std::tie(hardware.bytes, hardware.status) = std::tuple(bytesOf(value), status);
        EXPECT_EQ(CA::string(100, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal), expected);
        EXPECT_EQ(hardware.asked, sizeof(StringRef));
    }
}

TEST_F(PropertyReaders, ChannelsPerBufferWalksOnlyWhatWasRead)
{
    const std::tuple<std::vector<int>, uint32_t, OSStatus, std::vector<int>> cases[] = {
        {{2}, 1, noErr, {2}},
        {{1, 2}, 2, noErr, {1, 2}},
        {{1, 2}, 50, noErr, {1, 2}},
        {{}, 0, noErr, {}},
        {{1, 2}, 2, kAudioHardwareBadObjectError, {}},
    };
    for (const auto& [channels, claimed, status, expected] : cases) {
        BufferList layout(channels, 0);
        layout.list()->mNumberBuffers = claimed;
        std::tie(hardware.size, hardware.bytes, hardware.status) =
            std::tuple(layout.memory.size(), layout.memory, status);
        EXPECT_EQ(CA::channelsPerBuffer(100, kAudioObjectPropertyScopeInput), expected);
        EXPECT_EQ(hardware.asked, layout.memory.size());
    }
}

} // namespace
} // namespace korvalin
