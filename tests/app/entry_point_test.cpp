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

    FakeSystem system;
};

} // namespace

// The version text is the product version, else major.minor; the rule
// compares numbers, so 14.10 is later than 14.4.
TEST_F(OSRule, AcceptsFourteenFourAndLater)
{
    const struct {
        std::optional<std::string> product;
        platform::OSVersion version;
        bool supported;
        const char* text;
    } table[] = {{"14.4", {14, 4}, true, "14.4"},   {"15.0", {15, 0}, true, "15.0"},
                 {"14.10", {14, 10}, true, "14.10"}, {"13.9", {13, 9}, false, "13.9"},
                 {"14.4.1", {14, 4}, true, "14.4.1"}, {std::nullopt, {15, 0}, true, "15.0"},
                 {"", {15, 0}, true, ""}};
    for (const auto& row : table) {
        system.product = row.product;
        system.version = row.version;
        EXPECT_EQ(korvalin::isSupportedOS(), row.supported) << row.text;
        EXPECT_EQ(korvalin::osVersionString(), row.text);
    }
}

TEST(ProbeArgument, ParsesTheWholeTextOrFallsBackToTwo)
{
    const std::pair<const char*, double> table[] = {{"2", 2.0},   {"2.5", 2.5}, {"abc", 2.0},   {"", 2.0},
                                                    {" 5", 2.0},  {"5 ", 2.0},  {"0", 0.2},     {"999", 30.0},
                                                    {"0x10", 16.0}, {"nan", 2.0}};
    for (const auto& [text, seconds] : table)
        EXPECT_EQ(korvalin::probeSecondsArgument(text), seconds) << text;
}
