#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "media_test_support.h"
#include "segment/media_facts.h"
#include "segment/segment_writer.h"

namespace {

std::string contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

void overwrite(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string segment(const testsupport::ScratchDir& dir, const std::string& name)
{
    std::vector<float> tone = testsupport::stereoTone(48000, 440, 96000);
    korvalin::SegmentWriter writer(dir / name, 48000, false);
    writer.append(tone.data(), 96000);
    writer.finish(0);
    return dir / name;
}

// The big-endian 32-bit field `offset` bytes after the first box of `type`.
void patch(std::string& data, const std::string& type, size_t offset, uint32_t value)
{
    size_t at = data.find(type);
    ASSERT_NE(at, std::string::npos);
    for (int i = 0; i < 4; ++i)
        data[at + offset + i] = static_cast<char>(value >> (24 - 8 * i));
}

} // namespace

// A file kept from fuzzing: its first fragment claims 83,886,335 samples.
// Believed, the table alone takes 2 GB and the duration is 124 days.
TEST(DamagedMedia, ClaimedSampleTableIsUnreadable)
{
    const std::string path = std::filesystem::path(KORVALIN_TEST_DATA) / "oversized-sample-table.m4a";
    korvalin::AssetInfo info = korvalin::loadAssetInfo(path);
    EXPECT_FALSE(info.audioTrack);
    EXPECT_FALSE(info.sampleRate);
    EXPECT_EQ(korvalin::durationMs(path), 0);
}

// The same claim in one of the program's own segments, and a duration the
// file's bytes cannot hold (its track's clock slowed to 1 tick a second):
// no track, no duration. The intact segment still reads.
TEST(DamagedMedia, ClaimsBeyondTheFilesBytesAreUnreadable)
{
    testsupport::ScratchDir dir;
    const std::string intact = segment(dir, "intact.m4a");
    korvalin::AssetInfo facts = korvalin::loadAssetInfo(intact);
    ASSERT_TRUE(facts.audioTrack);
    EXPECT_NEAR(korvalin::durationMs(intact), 2000, 25);

    std::string claimed = contents(intact);
    patch(claimed, "trun", 8, 0x050000FF);
    overwrite(dir / "claimed.m4a", claimed);
    std::string slow = contents(intact);
    patch(slow, "mdhd", 16, 1);
    overwrite(dir / "slow.m4a", slow);

    for (const std::string& path : {dir / "claimed.m4a", dir / "slow.m4a"}) {
        SCOPED_TRACE(path);
        korvalin::AssetInfo info = korvalin::loadAssetInfo(path);
        EXPECT_FALSE(info.audioTrack);
        EXPECT_EQ(korvalin::durationMs(path), 0);
    }
}
