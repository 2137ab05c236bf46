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
    const std::tuple<const char*, int, int, bool> table[] = {
        {"14.4", 14, 4, true}, {"15.0", 15, 0, true}, {"14.10", 14, 10, true}, {"13.9", 13, 9, false}};
    for (const auto& [product, major, minor, supported] : table) {
        runs(product, major, minor);
        EXPECT_EQ(korvalin::isSupportedOS(), supported) << product;
    }
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
    const std::pair<const char*, double> table[] = {{"2", 2.0},   {"2.5", 2.5}, {"abc", 2.0},   {"", 2.0},
                                                    {" 5", 2.0},  {"5 ", 2.0},  {"0", 0.2},     {"999", 30.0},
                                                    {"0x10", 16.0}, {"nan", 2.0}};
    for (const auto& [text, seconds] : table)
        EXPECT_EQ(korvalin::probeSecondsArgument(text), seconds) << text;
}
