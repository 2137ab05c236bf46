#include <gtest/gtest.h>

#include "app/app.h"
#include "app/modes.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace {

// A system layer that reports whatever version a test gives it.
class FakeSystem final : public platform::System {
public:
    std::optional<std::string> product;
    platform::OSVersion version;

    std::optional<std::string> productVersion() const override { return product; }
    platform::OSVersion osVersion() const override { return version; }
    pid_t pid() const override { return 1; }
    pid_t parentPid() const override { return 0; }
    std::string bundleIdentifier() const override { return {}; }
    std::string temporaryDirectory() const override { return "/tmp/"; }
    void fullFlush(const std::string&) const override {}
};

class OSRule : public testing::Test {
protected:
    void SetUp() override { platform::current().system = &system; }
    void TearDown() override { platform::current().system = nullptr; }

    void runs(std::string product, int major, int minor)
    {
        system.product = std::move(product);
        system.version = {major, minor};
    }

    FakeSystem system;
};

} // namespace

TEST_F(OSRule, AcceptsFourteenFourAndLater)
{
    runs("14.4", 14, 4);
    EXPECT_TRUE(korvalin::isSupportedOS());
    runs("15.0", 15, 0);
    EXPECT_TRUE(korvalin::isSupportedOS());
    runs("14.10", 14, 10);
    EXPECT_TRUE(korvalin::isSupportedOS());
    runs("13.9", 13, 9);
    EXPECT_FALSE(korvalin::isSupportedOS());
}

TEST_F(OSRule, VersionTextFallsBackToMajorAndMinor)
{
    runs("14.4.1", 14, 4);
    EXPECT_EQ(korvalin::osVersionString(), "14.4.1");
    system.product = std::nullopt;
    system.version = {15, 0};
    EXPECT_EQ(korvalin::osVersionString(), "15.0");
    system.product = "";
    EXPECT_EQ(korvalin::osVersionString(), "");
}

TEST(ProbeArgument, ParsesTheWholeTextOrFallsBackToTwo)
{
    EXPECT_EQ(korvalin::probeSecondsArgument("2"), 2.0);
    EXPECT_EQ(korvalin::probeSecondsArgument("2.5"), 2.5);
    EXPECT_EQ(korvalin::probeSecondsArgument("abc"), 2.0);
    EXPECT_EQ(korvalin::probeSecondsArgument(""), 2.0);
    EXPECT_EQ(korvalin::probeSecondsArgument(" 5"), 2.0);
    EXPECT_EQ(korvalin::probeSecondsArgument("5 "), 2.0);
    EXPECT_EQ(korvalin::probeSecondsArgument("0"), 0.2);
    EXPECT_EQ(korvalin::probeSecondsArgument("999"), 30.0);
    EXPECT_EQ(korvalin::probeSecondsArgument("0x10"), 16.0);
    EXPECT_EQ(korvalin::probeSecondsArgument("nan"), 2.0);
}
