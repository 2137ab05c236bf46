#include <gtest/gtest.h>

#include <filesystem>

#include "diagnostics/self_test.h"
#include "support/event_pipes.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"

namespace SelfTest = korvalin::SelfTest;

namespace {

class SelfTestRun : public testing::Test {
protected:
    SelfTestRun() { platform::current().system = &system; }
    ~SelfTestRun() override { platform::current().system = nullptr; }

    platform::PosixSystem system;
    korvalin::EventPipes::Pipe output;
};

TEST_F(SelfTestRun, ABrokenRuleIsReportedAndTheRunGoesOn)
{
    auto checks = SelfTest::checks();
    ASSERT_EQ(checks.size(), 38u);
    int laterRuns = 0;
    checks[1].passes = [] { return false; };
    checks[23].passes = []() -> bool { throw std::runtime_error("broken fixture"); };
    checks[36].passes = [&laterRuns] { return ++laterRuns > 0; };
    checks[37].passes = [] { return false; };

    EXPECT_EQ(SelfTest::run(checks, output.fds[1]), 1);

    std::string expected;
    for (size_t i = 0; i < checks.size(); ++i)
        expected += (i == 1 || i == 23 || i == 37 ? "FAIL  " : "PASS  ") + checks[i].name + "\n";
    expected += "\nSELFTEST 3 FAILED\n";
    EXPECT_EQ(output.take(), expected);
    EXPECT_EQ(laterRuns, 1);
}

TEST_F(SelfTestRun, AnIntactListPassesWithoutLeavingFiles)
{
    std::string scratch = system.temporaryDirectory() + "korvalin-selftest-" + std::to_string(system.pid());
    EXPECT_EQ(SelfTest::run(SelfTest::checks(), output.fds[1]), 0);
    std::string text = output.take();
    EXPECT_TRUE(text.ends_with("PASS  a truncated mp4 tail is detected\n\nSELFTEST OK\n")) << text;
    EXPECT_EQ(text.find("FAIL"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(scratch));
}

} // namespace
