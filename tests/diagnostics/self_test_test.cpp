#include <gtest/gtest.h>

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

} // namespace
