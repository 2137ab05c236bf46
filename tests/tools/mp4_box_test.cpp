#include <gtest/gtest.h>

#include <fstream>

#include "media_test_support.h"
#include "tools/mp4_box.h"

using korvalin::FileSlice;
using korvalin::Mp4Box;
namespace Mp4 = korvalin::Mp4;

namespace {

std::string box(uint32_t size32, const std::string& type, const std::string& rest = {})
{
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>(size32 >> shift & 0xff);
    return bytes + type + rest;
}

std::string be64(uint64_t value)
{
    std::string bytes;
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes += static_cast<char>(value >> shift & 0xff);
    return bytes;
}

class BoxScan : public testing::Test {
protected:
    std::vector<Mp4Box> scan(const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
        std::optional<FileSlice> slice = FileSlice::open(path);
        EXPECT_TRUE(slice);
        length = slice->length();
        return Mp4::topLevelBoxes(*slice);
    }

    std::optional<uint64_t> cut(const std::string& bytes)
    {
        std::vector<Mp4Box> boxes = scan(bytes);
        return Mp4::safeTruncation(boxes, length);
    }

    testsupport::ScratchDir dir;
    std::string path = dir / "f.m4a";
    uint64_t length = 0;
};

} // namespace

TEST_F(BoxScan, CutInsideTheLastMdatDropsItsMoofToo)
{
    std::string bytes = box(16, "ftyp", std::string("isom") + std::string(4, '\0')) + box(12, "moof", std::string(4, '\0')) +
                        box(40, "mdat");
    auto boxes = scan(bytes);
    EXPECT_EQ(boxes, (std::vector<Mp4Box>{{"ftyp", 0, 16}, {"moof", 16, 12}}));
    EXPECT_EQ(Mp4::safeTruncation(boxes, length), 16u);
}

TEST_F(BoxScan, WholeFilesNeedNoCutAndStrayBytesAreCut)
{
    std::string whole = box(8, "ftyp") + box(8, "moof") + box(10, "mdat", "ab");
    EXPECT_EQ(cut(whole), std::nullopt);
    EXPECT_EQ(cut(whole + "xyz"), 26u);
    EXPECT_EQ(cut(box(8, "moof") + box(8, "moof") + "x"), std::nullopt);
    EXPECT_EQ(cut("short"), std::nullopt);
    // Size zero runs to the end of the file.
    EXPECT_EQ(scan(box(8, "ftyp") + box(0, "mdat", "payload")), (std::vector<Mp4Box>{{"ftyp", 0, 8}, {"mdat", 8, 15}}));
    EXPECT_EQ(cut(box(8, "ftyp") + box(0, "mdat", "payload")), std::nullopt);
}

// A 64-bit size is read; one below 16, past the end, or so large that offset
// + size wraps ends the list, as do a cut-off one and a 32-bit size below the
// header.
TEST_F(BoxScan, SixtyFourBitSizesAndSizesThatCannotBe)
{
    EXPECT_EQ(scan(box(8, "ftyp") + box(1, "mdat", be64(20) + "data") + box(8, "free")),
              (std::vector<Mp4Box>{{"ftyp", 0, 8}, {"mdat", 8, 20}, {"free", 28, 8}}));
    for (const std::string& rest : {box(1, "mdat", be64(15) + "1234567"), box(1, "mdat", be64(40)),
                                    box(1, "mdat", be64(UINT64_MAX - 4)), box(1, "mdat", "1234"),
                                    box(2, "free") + box(8, "mdat"), box(7, "free") + box(8, "mdat")})
        EXPECT_EQ(scan(box(8, "ftyp") + rest).size(), 1u);
    auto boxes = scan(box(8, "\xff\xfe" "ab") + box(0xffffffff, "mdat"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].type, "\uFFFD\uFFFDab");
}

TEST(FileSlice, ReadsOnlyWithinItsLength)
{
    testsupport::ScratchDir dir;
    std::ofstream(dir / "f") << "0123456789";
    auto slice = FileSlice::open(dir / "f");
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->bytes(8, 2), (std::vector<uint8_t>{'8', '9'}));
    EXPECT_EQ(slice->bytes(8, 3), std::nullopt);
    EXPECT_EQ(slice->bytes(UINT64_MAX, 1), std::nullopt);
    EXPECT_FALSE(FileSlice::open(dir / "missing"));
}
