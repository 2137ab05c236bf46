#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cmath>
#include <sstream>

#include <unistd.h>

#include "media_test_support.h"
#include "segment/segment_writer.h"
#include "tools/segment_merge.h"

using korvalin::MergeError;
namespace SegmentMerge = korvalin::SegmentMerge;

namespace {

std::string contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The names in a directory, sorted: what a merge left there.
std::vector<std::string> entries(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string mergeFailure(const std::vector<std::string>& segments, const std::string& out)
{
    try {
        SegmentMerge::run(segments, out);
    } catch (const std::exception& error) {
        return korvalin::mergeMessage(error);
    }
    return "(merged)";
}

using testsupport::writeSegment;

class Merge : public testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::string out = dir / "out/merged.m4a";
};

} // namespace

// Two segments at different rates come out at the first one's rate, in order.
TEST_F(Merge, SegmentsAtDifferentRatesAreReencodedInOrder)
{
    writeSegment(dir / "a.m4a", 48000, 440, 2);
    writeSegment(dir / "b.m4a", 44100, 1000, 3);
    SegmentMerge::Result result = SegmentMerge::run({dir / "a.m4a", dir / "b.m4a"}, out);
    EXPECT_EQ(result.method, "reencode");
    EXPECT_EQ(result.durationMs, 5000);
    EXPECT_EQ(testsupport::probe(out, "sample_rate") + testsupport::probe(out, "codec_name") +
                  testsupport::probe(out, "channels"), "48000aac2");

    std::vector<float> decoded = testsupport::decodeWithFfmpeg(out, 2);
    EXPECT_NEAR(decoded.size() / 2 / 48000.0, 5.0, 0.05);
    EXPECT_NEAR(testsupport::frequency(decoded, 2, 0, 48000, 9600, 86400), 440, 5);
    EXPECT_NEAR(testsupport::frequency(decoded, 2, 0, 48000, 110000, 230000), 1000, 5);
}

// The output is put in place only when the merge has succeeded: a failure,
// before or after writing began, keeps the earlier file and no temporary file.
TEST_F(Merge, AFailedMergeKeepsTheEarlierOutput)
{
    writeSegment(dir / "a.m4a", 48000, 440, 1);
    // A sample rate but not one frame: the merge fails after it began writing.
    writeSegment(dir / "empty.m4a", 48000, 440, 0);
    std::filesystem::create_directories(dir.path / "out");
    std::ofstream(out) << "earlier";
    const std::string none = "žádné použitelné segmenty ke spojení";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{dir / "a.m4a", dir / "gone.m4a"}, "segment " + (dir / "gone.m4a") + " neexistuje"},
        {{}, none},
        {{dir / "empty.m4a", dir / "empty.m4a"}, none},
    };
    for (const auto& [segments, message] : cases)
        EXPECT_EQ(mergeFailure(segments, out), message);
    EXPECT_EQ(contents(out), "earlier");
    EXPECT_EQ(entries(dir.path / "out"), (std::vector<std::string>{"merged.m4a"}));
}

TEST_F(Merge, SegmentsWithoutAudioAreSkipped)
{
    testsupport::commandOutput("ffmpeg -v error -f lavfi -i color=c=red:s=32x32:d=1 -c:v mpeg4 '" + (dir / "video.m4a") + "'");
    std::ofstream(dir / "junk.m4a") << "not media at all";
    writeSegment(dir / "a.m4a", 16000, 440, 1);

    testing::internal::CaptureStderr();
    SegmentMerge::Result result = SegmentMerge::run({dir / "video.m4a", dir / "a.m4a", dir / "junk.m4a"}, out);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "korvalin-cap: segment " + (dir / "video.m4a") + " nemá čitelnou zvukovou stopu, přeskočeno\n" +
                       "korvalin-cap: segment " + (dir / "junk.m4a") + " nemá čitelnou zvukovou stopu, přeskočeno\n");
    EXPECT_EQ(result.durationMs, 1000);
    EXPECT_EQ(testsupport::probe(out, "sample_rate"), "16000");
}

TEST_F(Merge, AnUnwritableOutputIsReported)
{
    writeSegment(dir / "a.m4a", 48000, 440, 1);
    std::ofstream(dir / "file") << "x";
    for (const auto& segments : {std::vector<std::string>{dir / "a.m4a"}, {dir / "a.m4a", dir / "a.m4a"}})
        EXPECT_EQ(mergeFailure(segments, dir / "file/out.m4a"), "výstupní soubor nelze otevřít: Not a directory");
}

// Outputs that would destroy what the merge did not write (a segment under
// another spelling or name, a directory) are refused before anything is
// written, in the copy and the re-encode alike.
TEST_F(Merge, OutputsThatAreASegmentOrADirectoryAreRefused)
{
    writeSegment(dir / "rec/a.m4a", 48000, 440, 1);
    writeSegment(dir / "rec/b.m4a", 44100, 1000, 1);
    std::filesystem::create_hard_link(dir / "rec/a.m4a", dir / "link.m4a");
    std::ofstream(dir / "rec/keep.txt") << "kept";
    const std::string a = contents(dir / "rec/a.m4a"), b = contents(dir / "rec/b.m4a");
    const std::string segment = "výstup nesmí být jeden ze segmentů", directory = "výstup je adresář";
    const struct {
        std::vector<std::string> segments;
        std::string out, message;
    } cases[] = {
        {{dir / "rec/a.m4a"}, dir / "rec/../rec/a.m4a", segment},
        {{dir / "rec/a.m4a", dir / "rec/b.m4a"}, dir / "rec/./b.m4a", segment},
        {{dir / "rec/b.m4a", dir / "link.m4a"}, dir / "rec/a.m4a", segment},
        {{dir / "rec/a.m4a"}, dir / "rec", directory},
        {{dir / "rec/a.m4a", dir / "rec/a.m4a"}, dir / "rec/", directory},
        {{dir / "rec/a.m4a"}, dir / "new/", directory},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mergeFailure(c.segments, c.out), c.message) << c.out;
    EXPECT_EQ(contents(dir / "rec/a.m4a"), a);
    EXPECT_EQ(contents(dir / "rec/b.m4a"), b);
    EXPECT_EQ(entries(dir.path / "rec"), (std::vector<std::string>{"a.m4a", "b.m4a", "keep.txt"}));
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"link.m4a", "rec"}));
}

// The output is written into a file created afresh: a link planted beside
// it under a name taken from the process id is never written through.
TEST_F(Merge, APlantedLinkIsNotWrittenThrough)
{
    writeSegment(dir / "a.m4a", 48000, 440, 1);
    std::filesystem::create_directories(dir.path / "out");
    std::ofstream(out) << "earlier";
    std::ofstream(dir / "victim") << "victim";
    std::filesystem::create_symlink(dir / "victim", dir / ("out/.merged.m4a." + std::to_string(getpid()) + ".part"));
    SegmentMerge::run({dir / "a.m4a"}, out);
    EXPECT_EQ(contents(dir / "victim"), "victim");
    EXPECT_FALSE(std::filesystem::is_symlink(out));
    EXPECT_EQ(contents(out), contents(dir / "a.m4a"));
}

// A merge is coded a second time, which costs a recording a little, the same
// in every part: each segment's steady tones come out with about the noise
// and the splices they had in the segment, the first segment's too (it
// starts on the frame grid it was recorded on, and coded there again a tone
// was smeared into phase jumps every few blocks). The segment is recorded
// as the capture engine records it: 16-bit sound, 2 s of silence, then
// 300 Hz on the left and 440 Hz on the right.
TEST_F(Merge, EveryPartKeepsItsTones)
{
    const int rate = 48000;
    const int64_t silent = 2 * rate, frames = 10 * rate, block = rate / 50;
    const double hz[] = {300, 440}, amplitude[] = {0.3, 0.5};
    std::vector<float> samples(frames * 2);
    for (int64_t i = silent; i < frames; ++i)
        for (int c = 0; c < 2; ++c)
            samples[2 * i + c] = std::round(32767 * amplitude[c] * std::sin(2 * M_PI * hz[c] * i / rate)) / 32768;
    korvalin::SegmentWriter writer(dir / "a.m4a", rate, true);
    for (int64_t done = 0; done < frames; done += block)
        writer.append(samples.data() + 2 * done, block);
    writer.finish(0);

    SegmentMerge::run({dir / "a.m4a", dir / "a.m4a"}, out);
    const std::vector<float> segment = testsupport::decodeWithFfmpeg(dir / "a.m4a", 2);
    const std::vector<float> merged = testsupport::decodeWithFfmpeg(out, 2);
    ASSERT_GE(merged.size(), 2 * 2 * static_cast<size_t>(frames));
    // Past the silence and the onset, short of the part's end. Coded a second
    // time, a tone may lose a little and slip now and then (once in 0.4 s),
    // not every few blocks.
    const int64_t from = silent + rate / 10, to = frames - rate / 10;
    const int moreSplices = static_cast<int>((to - from) / (rate / 100) / 40);
    for (int c = 0; c < 2; ++c) {
        const auto original = testsupport::fitTone(segment, 2, c, rate, hz[c], from, to);
        for (int64_t part = 0; part < 2; ++part) {
            const auto fit = testsupport::fitTone(merged, 2, c, rate, hz[c], part * frames + from, part * frames + to);
            EXPECT_LE(fit.splices, original.splices + moreSplices) << "channel " << c << ", part " << part;
            EXPECT_GE(fit.toneToRestDb, original.toneToRestDb - 3) << "channel " << c << ", part " << part;
        }
    }
}
