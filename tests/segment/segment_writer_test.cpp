#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <thread>

#include "media_test_support.h"
#include "platform/dispatch.h"
#include "platform/platform.h"
#include "protocol/error_code.h"
#include "segment/media_facts.h"
#include "segment/segment_writer.h"

using korvalin::SegmentWriter;
using korvalin::SegmentWriterError;
using testsupport::probe;

namespace {

std::string appendError(SegmentWriter& writer, const float* samples, int64_t frames)
{
    try {
        writer.append(samples, frames);
    } catch (const SegmentWriterError& error) {
        EXPECT_EQ(error.kind, SegmentWriterError::Kind::append);
        return korvalin::describeWriterError(error);
    }
    return "(no error)";
}

std::string createError(const std::string& path, double rate)
{
    try {
        SegmentWriter writer(path, rate, true);
    } catch (const SegmentWriterError& error) {
        EXPECT_EQ(error.kind, SegmentWriterError::Kind::create);
        return korvalin::describeWriterError(error);
    }
    return "(no error)";
}

} // namespace

class WrittenFile : public testing::TestWithParam<int> {};

// Every file the writer produces, judged by ffprobe: odd block sizes, an
// unfinished last AAC frame, each sample rate the capture may run at.
TEST_P(WrittenFile, IsStereoAacInTwoSecondFragments)
{
    const int rate = GetParam();
    testsupport::ScratchDir dir;
    const std::string path = dir / "seg.m4a";
    const int64_t total = rate * 7 + 333;
    std::vector<float> tone = testsupport::stereoTone(rate, 440, total);

    SegmentWriter writer(path, rate, true);
    for (int64_t done = 0, block = 1; done < total; done += block, block = block * 3 % 4099 + 1)
        ASSERT_TRUE(writer.append(tone.data() + 2 * done, std::min(block, total - done)));
    korvalin::ClosedSegment closed = writer.finish(5);

    EXPECT_EQ(closed.path, path);
    EXPECT_EQ(closed.durationMs, std::llround(total * 1000.0 / rate));
    EXPECT_EQ(closed.bytes, korvalin::fileSize(path));
    EXPECT_EQ(closed.droppedFrames, 5);

    EXPECT_EQ(probe(path, "codec_name") + probe(path, "profile") + probe(path, "channel_layout"), "aacLCstereo");
    EXPECT_EQ(probe(path, "sample_rate"), std::to_string(rate));
    EXPECT_NEAR(std::stod(probe(path, "bit_rate")), 64000, 64000 * 0.15);
    // The encoder's priming frames sit before time zero and do not play.
    const double playing = std::stod(probe(path, "duration")) + std::min(std::stod(probe(path, "start_time")), 0.0);
    EXPECT_NEAR(playing, static_cast<double>(total) / rate, 1024.0 / rate);
    EXPECT_EQ(korvalin::durationMs(path), closed.durationMs);

    // 7 s in fragments of about 2 s, each a moof and its mdat.
    std::vector<std::string> boxes = testsupport::boxTypes(path), expected{"ftyp", "moov"};
    if (boxes.back() == "mfra")
        boxes.pop_back();
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), {"moof", "mdat"});
    EXPECT_EQ(boxes, expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, WrittenFile, testing::Values(48000, 44100, 16000));

// The fragments reach the file while recording, so a crash loses at most
// the fragment being filled: each is written as soon as the encoder can
// give out the packet that opens the next one, however the input is
// collected before encoding. Packets are 1024 samples long from -1024 on; a
// fragment ends before the first packet 2 s or more past its own first, and
// the encoder gives a packet out once it has the whole frame after it.
TEST(SegmentWriter, EachFragmentIsOnDiskAsSoonAsTheEncoderCanCloseIt)
{
    for (int rate : {48000, 44100}) {
        testsupport::ScratchDir dir;
        const std::string path = dir / "seg.m4a";
        const int64_t block = rate / 50, packets = (2 * rate + 1023) / 1024;
        std::vector<float> tone = testsupport::stereoTone(rate, 440, block);
        SegmentWriter writer(path, rate, true);
        for (int64_t appended = 0; appended < 6 * rate;) {
            ASSERT_TRUE(writer.append(tone.data(), block));
            appended += block;
            const int64_t closable = (appended - 2048) / (packets * 1024);
            std::vector<std::string> boxes = testsupport::boxTypes(path);
            ASSERT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), closable) << rate << " Hz, " << appended;
        }
        EXPECT_NEAR(std::stod(probe(path, "format=duration")), 4.0, 0.1);
        writer.finish(0);
    }
}

TEST(SegmentWriter, DurationRoundsHalvesAwayFromZero)
{
    testsupport::ScratchDir dir;
    std::vector<float> tone = testsupport::stereoTone(48000, 440, 1920);
    const std::pair<std::vector<int>, int64_t> cases[] = {{{1}, 0}, {{24}, 1}, {{480, 480, 960}, 40}};
    for (const auto& [blocks, ms] : cases) {
        SegmentWriter writer(dir / "x.m4a", 48000, false);
        for (int frames : blocks)
            writer.append(tone.data(), frames);
        EXPECT_EQ(writer.finish(0).durationMs, ms);
    }
}

TEST(SegmentWriter, ClosedWriterAcceptsOnlyEmptyBlocksAndFinishesOnce)
{
    testsupport::ScratchDir dir;
    const std::string path = dir / "seg.m4a";
    std::vector<float> tone = testsupport::stereoTone(48000, 440, 4800);
    SegmentWriter writer(path, 48000, true);
    writer.append(tone.data(), 4800);
    korvalin::ClosedSegment first = writer.finish(1);

    EXPECT_TRUE(writer.append(tone.data(), 0));
    EXPECT_EQ(appendError(writer, tone.data(), 10), "segment už je uzavřený");
    EXPECT_EQ(writer.writtenFrames(), 4800);

    std::ofstream(path, std::ios::app) << "tail";  // a second finish must not touch the file again
    korvalin::ClosedSegment second = writer.finish(7);
    EXPECT_EQ(second.path, first.path);
    EXPECT_EQ(second.durationMs, first.durationMs);
    EXPECT_EQ(second.bytes, first.bytes + 4);
    EXPECT_EQ(second.droppedFrames, 7);
}

TEST(SegmentWriter, CreatesTheDirectoryAndReplacesAnExistingFile)
{
    testsupport::ScratchDir dir;
    const std::string path = dir / "a/b/seg.m4a";
    testsupport::writeSegment(path, 48000, 440, 1);
    std::ofstream(path, std::ios::app) << std::string(100000, 'x');
    testsupport::writeSegment(path, 48000, 440, 0.1);
    EXPECT_LT(korvalin::fileSize(path), 10000);
    EXPECT_EQ(probe(path, "codec_name"), "aac");
}

// Paths that are a directory or lie below a file are refused in the
// black-box recording tests, with their exact messages.
TEST(SegmentWriter, ReportsRefusedSettings)
{
    testsupport::ScratchDir dir;
    EXPECT_EQ(createError(dir / "x.m4a", 12345), "AAC 64 kbps @ 12345 Hz odmítnuto");
    // 44100.7 is not a rate the encoder takes; the message truncates it.
    EXPECT_EQ(createError(dir / "x.m4a", 44100.7), "AAC 64 kbps @ 44100 Hz odmítnuto");
}

// A scripted encoder for what FFmpeg never does on its own: refusing data
// for a while, failing, or never finishing.
namespace {

struct Script {
    bool ready = true;
    bool accepts = true;
    platform::MediaStatus status = platform::MediaStatus::active;
    std::optional<std::string> error;
    bool startFails = false;
    bool finishes = true;
    bool failsOnFinish = false;  // the trailer cannot be written
    std::vector<int64_t> presentation;
    std::function<void()> duringAppend;  // runs inside the encoder's append
    std::vector<std::string> calls;
};

class ScriptedWriter final : public platform::AssetWriter {
public:
    explicit ScriptedWriter(Script& script) : script_(script) {}
    bool addInput(const platform::AudioEncoderSettings&) override { return true; }
    bool startWriting() override { return !script_.startFails; }
    bool isReadyForMoreMediaData() const override { return script_.ready; }
    platform::MediaStatus status() const override { return script_.status; }
    std::optional<std::string> errorText() const override { return script_.error; }
    bool append(const float*, int64_t, int64_t presentationFrame) override
    {
        script_.calls.push_back("append");
        if (script_.duringAppend)
            script_.duringAppend();
        script_.presentation.push_back(presentationFrame);
        script_.calls.push_back("appended");
        return script_.accepts;
    }
    void markAsFinished() override { script_.calls.push_back("markAsFinished"); }
    void finishWriting(std::function<void()> completion) override
    {
        if (script_.failsOnFinish)
            script_.status = platform::MediaStatus::failed;
        if (script_.finishes)
            completion();
    }

private:
    Script& script_;
};

class ScriptedMedia final : public platform::Media {
public:
    Script script;
    void loadAssetFacts(int, std::function<void(platform::AssetFacts)> completion) override { completion({}); }
    std::unique_ptr<platform::AssetWriter> makeAssetWriter(int) override { return std::make_unique<ScriptedWriter>(script); }
    std::unique_ptr<platform::AssetReader> makeAssetReader(int) override { throw platform::MediaError("no reader"); }
};

class ScriptedEncoder : public testing::Test {
protected:
    void SetUp() override { platform::current().media = &media; }
    void TearDown() override { platform::current().media = saved; }

    platform::Media* saved = platform::current().media;
    ScriptedMedia media;
    testsupport::ScratchDir dir;
    std::vector<float> block = testsupport::stereoTone(48000, 440, 480);
};

} // namespace

TEST_F(ScriptedEncoder, NotReadyConsumesNothingAndTheRetryKeepsItsTime)
{
    SegmentWriter writer(dir / "x.m4a", 48000, true);
    ASSERT_TRUE(writer.append(block.data(), 480));
    media.script.ready = false;
    EXPECT_FALSE(writer.append(block.data(), 480));
    EXPECT_EQ(writer.writtenFrames(), 480);
    media.script.ready = true;
    ASSERT_TRUE(writer.append(block.data(), 480));
    EXPECT_EQ(media.script.presentation, (std::vector<int64_t>{0, 480}));
}

TEST_F(ScriptedEncoder, FailuresCarryThePlatformTextOrTheirOwn)
{
    SegmentWriter writer(dir / "x.m4a", 48000, true);
    media.script.accepts = false;
    EXPECT_EQ(appendError(writer, block.data(), 480), "append odmítnut");
    media.script.error = "disk full";
    EXPECT_EQ(appendError(writer, block.data(), 480), "disk full");
    media.script.status = platform::MediaStatus::failed;
    EXPECT_EQ(appendError(writer, block.data(), 480), "disk full");
    media.script.error.reset();
    EXPECT_EQ(appendError(writer, block.data(), 480), "AVAssetWriter selhal");
    EXPECT_EQ(writer.writtenFrames(), 0);

    media.script.startFails = true;
    EXPECT_EQ(createError(dir / "y.m4a", 48000), "startWriting selhalo");
}

// A file that is not whole is never reported as written: finish fails with
// the encoder's text (or as the append that already failed), and the
// duration is then what the file holds, not the frames handed over.
TEST_F(ScriptedEncoder, FinishTellsWhetherTheFileIsWhole)
{
    using Kind = SegmentWriterError::Kind;
    const struct {
        bool appendFails, finishFails;
        std::optional<Kind> thrown;
    } cases[] = {{false, false, std::nullopt}, {false, true, Kind::finish}, {true, false, Kind::append}};
    for (const auto& c : cases) {
        media.script = Script{};
        media.script.error = "disk full";
        SegmentWriter writer(dir / "x.m4a", 48000, true);
        ASSERT_TRUE(writer.append(block.data(), 480));
        media.script.accepts = !c.appendFails;
        if (c.appendFails)
            appendError(writer, block.data(), 480);
        media.script.failsOnFinish = c.finishFails;
        std::optional<Kind> thrown;
        try {
            writer.finish(0);
        } catch (const SegmentWriterError& error) {
            thrown = error.kind;
            EXPECT_EQ(error.message, "disk full");
        }
        EXPECT_EQ(thrown, c.thrown);
        EXPECT_EQ(writer.finish(0).durationMs, c.thrown ? 0 : 10) << "the scripted encoder writes no media";
    }
}

// The engine finishes a segment on its queue when the writer thread missed
// its deadline; the file must not be closed under an append in progress.
TEST_F(ScriptedEncoder, FinishWaitsForAnAppendInProgress)
{
    SegmentWriter writer(dir / "x.m4a", 48000, true);
    platform::Semaphore inside, release;
    media.script.duringAppend = [&] {
        inside.signal();
        release.wait();
    };
    std::thread late([&] { EXPECT_TRUE(writer.append(block.data(), 480)); });
    inside.wait();
    std::thread finisher([&] { EXPECT_EQ(writer.finish(0).durationMs, 10); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets finish reach the writer first, if it can
    release.signal();
    late.join();
    finisher.join();

    EXPECT_EQ(media.script.calls, (std::vector<std::string>{"append", "appended", "markAsFinished"}));
    media.script.duringAppend = nullptr;
    EXPECT_EQ(appendError(writer, block.data(), 480), "segment už je uzavřený");
}
