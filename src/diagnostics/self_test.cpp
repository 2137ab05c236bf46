#include "diagnostics/self_test.h"

#include <cmath>
#include <unistd.h>

#include "capture/channel_plan.h"
#include "capture/continuation_path.h"
#include "protocol/command.h"
#include "protocol/error_code.h"
#include "tools/level.h"

namespace korvalin::SelfTest {

namespace {

using Ranges = std::vector<ChannelRange>;

bool parsesAs(std::string_view line, const std::optional<Command>& expected)
{
    auto command = CommandParser::parse(line);
    if (!command || !expected)
        return command.has_value() == expected.has_value();
    return command->kind == expected->kind && command->out == expected->out &&
           command->segments == expected->segments && std::abs(command->seconds - expected->seconds) < 0.001;
}

Command command(Command::Kind kind, std::string out = "", std::vector<std::string> segments = {},
                double seconds = 2.0)
{
    return Command{kind, std::move(out), std::move(segments), seconds};
}

// Too long a probe is cut to exactly 30 s.
bool clampedProbe()
{
    auto probe = CommandParser::parse(R"({"cmd":"probe","seconds":999})");
    return probe && probe->kind == Command::Kind::probe && probe->seconds == 30.0;
}

bool commandsParse()
{
    using Kind = Command::Kind;
    return parsesAs(R"({"cmd":"start","out":"/tmp/a.m4a"})", command(Kind::start, "/tmp/a.m4a")) &&
           parsesAs(R"({"cmd":"pause"})", command(Kind::pause)) &&
           parsesAs(R"({"cmd":"resume","out":"/tmp/b.m4a"})", command(Kind::resume, "/tmp/b.m4a")) &&
           parsesAs(R"({"cmd":"stop"})", command(Kind::stop)) &&
           parsesAs(R"({"cmd":"quit"})", command(Kind::quit)) &&
           parsesAs(R"({"cmd":"merge","segments":["/a.m4a","/b.m4a"],"out":"/r.m4a"})",
                    command(Kind::merge, "/r.m4a", {"/a.m4a", "/b.m4a"})) &&
           parsesAs(R"({"cmd":"probe","seconds":3})", command(Kind::probe, "", {}, 3.0)) &&
           clampedProbe() &&
           parsesAs("   ", std::nullopt);
}

bool malformedInputIsRejected()
{
    const char* inputs[] = {
        "not json at all",
        "[1,2,3]",
        R"({"no_cmd":1})",
        R"({"cmd":"start"})",
        R"({"cmd":"start","out":""})",
        R"({"cmd":"merge","segments":[],"out":"/r.m4a"})",
        R"({"cmd":"teleport"})",
        R"({"cmd":42})",
    };
    for (const char* input : inputs) {
        try {
            CommandParser::parse(input);
            return false;
        } catch (const CommandError&) {
        }
    }
    return true;
}

void print(int fd, const std::string& line)
{
    (void)!::write(fd, line.data(), line.size());
}

} // namespace

std::vector<Check> checks()
{
    auto plan = makeChannelPlan;
    auto continues = [](const char* from, const char* to) { return [=] { return continuationPath(from) == to; }; };
    return {
        {"mono mic → buffer 0", [=] { return plan({1, 2}, 1, 2).mic == Ranges{{0, 0, 1}}; }},
        {"stereo tap → buffer 1", [=] { return plan({1, 2}, 1, 2).system == Ranges{{1, 0, 2}}; }},
        {"mono mic + stereo tap is an exact match", [=] { return plan({1, 2}, 1, 2).exact; }},
        {"both sides present",
         [=] {
             auto p = plan({1, 2}, 1, 2);
             return !p.mic.empty() && !p.system.empty();
         }},
        {"mic is channel 0 only", [=] { return plan({4}, 2, 2).mic == Ranges{{0, 0, 1}}; }},
        {"tap follows *all* the mic channels, whichever of them we record",
         [=] { return plan({4}, 2, 2).system == Ranges{{0, 2, 2}}; }},
        {"stereo mic + stereo tap in one buffer is exact", [=] { return plan({4}, 2, 2).exact; }},
        {"4-channel input + stereo tap is an exact match", [=] { return plan({4, 2}, 4, 2).exact; }},
        {"a 4-in interface records input 1, not the mean of all four",
         [=] { return plan({4, 2}, 4, 2).mic == Ranges{{0, 0, 1}}; }},
        {"the tap is still the whole second buffer", [=] { return plan({4, 2}, 4, 2).system == Ranges{{1, 0, 2}}; }},
        {"4-in interface without a tap: still channel 0",
         [=] {
             auto p = plan({4}, 4, 0);
             return p.exact && p.mic == Ranges{{0, 0, 1}};
         }},
        {"[1,1] with a mono tap is exact", [=] { return plan({1, 1}, 1, 1).exact; }},
        {"[1,1] maps mic → buffer 0, tap → buffer 1",
         [=] {
             auto p = plan({1, 1}, 1, 1);
             return p.mic == Ranges{{0, 0, 1}} && p.system == Ranges{{1, 0, 1}};
         }},
        {"[1,1] with a stereo tap is one channel short and is flagged", [=] { return !plan({1, 1}, 1, 2).exact; }},
        {"system range split across buffers",
         [=] { return plan({1, 1, 2}, 1, 3).system == Ranges{{1, 0, 1}, {2, 0, 2}}; }},
        {"mic-only plan has no system channels",
         [=] {
             auto p = plan({1}, 1, 0);
             return !p.mic.empty() && p.system.empty();
         }},
        {"mic-only is an exact match too", [=] { return plan({1}, 1, 0).exact; }},
        {"[2] with mic=1 tap=2 is NOT exact — this must never record", [=] { return !plan({2}, 1, 2).exact; }},
        {"…and the mapping it would have used is indeed the tap's left channel",
         [=] { return plan({2}, 1, 2).mic == Ranges{{0, 0, 1}}; }},
        {"channel count mismatch is flagged", [=] { return !plan({1}, 1, 2).exact; }},
        {"mismatch keeps the mic and drops the rest",
         [=] {
             auto p = plan({1}, 1, 2);
             return !p.mic.empty() && p.system.empty();
         }},
        {"no buffers → empty plan", [=] { return plan({}, 1, 2).mic.empty(); }},
        {"first continuation of a segment", continues("/d/seg-000.m4a", "/d/seg-000~001.m4a")},
        {"second continuation", continues("/d/seg-000~001.m4a", "/d/seg-000~002.m4a")},
        {"continuation counter is decimal, not a single digit", continues("/d/seg-000~009.m4a", "/d/seg-000~010.m4a")},
        {"an unpadded counter from an older build is still understood",
         continues("/d/seg-000~1.m4a", "/d/seg-000~002.m4a")},
        {"a name ending in a letter is not mangled", continues("/d/zkouska.m4a", "/d/zkouska~001.m4a")},
        {"20 continuations sort in capture order", continuationsSortInCaptureOrder},
        {"continuations sort between their parent and the next segment",
         [] {
             return std::string("seg-000.m4a") < std::string("seg-000~001.m4a") &&
                    std::string("seg-000~001.m4a") < std::string("seg-001.m4a");
         }},
        {"commands parse", commandsParse},
        {"malformed input is rejected, not accepted", malformedInputIsRejected},
        {"partial writes are buffered until the newline", lineReaderSplitsPartialWrites},
        {"an endless line is dropped, not buffered forever", lineReaderCapsAnEndlessLine},
        {"the ring reports where it lost frames", ringKeepsOrderAndReportsGaps},
        {"full scale is 0 dBFS", [] { return levelDb(1.0f) == 0.0; }},
        {"silence is the -120 dBFS floor", [] { return levelDb(0.0f) == -120.0; }},
        {"half scale is about -6 dBFS", [] { return std::abs(levelDb(0.5f) + 6.0) < 0.1; }},
        {"a truncated mp4 tail is detected", boxScannerFindsTruncation},
    };
}

int run(const std::vector<Check>& checks, int fd)
{
    int failures = 0;
    for (const Check& check : checks) {
        bool passed = false;
        try {
            passed = check.passes();
        } catch (const std::exception&) {
        }
        if (!passed)
            ++failures;
        print(fd, (passed ? "PASS  " : "FAIL  ") + check.name + "\n");
    }
    print(fd, failures == 0 ? "\nSELFTEST OK\n" : "\nSELFTEST " + std::to_string(failures) + " FAILED\n");
    return failures == 0 ? 0 : 1;
}

int run()
{
    return run(checks());
}

} // namespace korvalin::SelfTest
