#include <gtest/gtest.h>

#include <atomic>

#include "diagnostics/permissions.h"
#include "support/event_pipes.h"
#include "support/forwarding_hardware.h"
#include "platform/sim/sim_platform.h"

namespace Permissions = korvalin::Permissions;

namespace {

// Permissions with a chosen microphone status and a chosen behaviour of the
// consent prompt.
struct FakeAuthorization final : platform::Authorization {
    int status = 0;
    std::optional<int> statusAfterPrompt; // nothing: the prompt is never answered
    std::atomic<int> prompts = 0;

    int microphoneStatus() override { return status; }
    void requestMicrophoneAccess(std::function<void(bool)> completion) override
    {
        ++prompts;
        if (statusAfterPrompt) {
            status = *statusAfterPrompt;
            // Answered on another thread, as the system does.
            std::thread([completion] { completion(true); }).detach();
        }
    }
    std::optional<int32_t> automationPermission(const std::string&, bool) override { return std::nullopt; }
};

// Without an input device the report says nothing more; with an audio
// system that does not answer, a log line says why there is none.
TEST(PermissionsReport, WithoutInputDeviceOnAnOldSystem)
{
    platform::sim::SimPlatform sim(platform::sim::Scenario::parse(
        R"({"os_version": "14.3", "microphone": "restricted", "default_input": null})"));
    sim.install();
    korvalin::StoppableHardware audio(sim.audio);
    platform::current().audio = &audio;
    for (bool down : {false, true}) {
        audio.down = down;
        korvalin::EventPipes pipes;
        Permissions::report(pipes.events);
        EXPECT_EQ(pipes.out.take(), R"({"ev":"permissions","input_device":"","microphone":"restricted",)"
                                    R"("os_supported":false,"os_version":"14.3","system_audio":"unknown"})"
                                    "\n");
        EXPECT_EQ(pipes.err.take(),
                  down ? "korvalin-cap: zvukový server není dostupný — nelze se k němu připojit\n" : "");
    }
    platform::current().audio = nullptr;
}

class MicrophoneRequest : public testing::Test {
protected:
    MicrophoneRequest() { platform::current().authorization = &authorization; }
    ~MicrophoneRequest() override { platform::current().authorization = nullptr; }

    FakeAuthorization authorization;
};

// The prompt shows only while undetermined; an unanswered one ends at the bound.
TEST_F(MicrophoneRequest, PromptsOnlyWhileUndetermined)
{
    const std::tuple<int, std::optional<int>, const char*, int> cases[] = {
        {2, std::nullopt, "denied", 0}, {0, 3, "granted", 1}, {0, std::nullopt, "undetermined", 1}};
    for (const auto& [status, answer, expected, prompts] : cases) {
        std::tie(authorization.status, authorization.statusAfterPrompt, authorization.prompts) =
            std::tuple(status, answer, 0);
        EXPECT_EQ(Permissions::requestMicrophone(answer ? 30 : 0.05), expected);
        EXPECT_EQ(authorization.prompts, prompts);
    }
}

} // namespace
