#include <gtest/gtest.h>

#include <regex>

#include "capture/capture_engine.h"
#include "drain.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
#include "support/event_pipes.h"

namespace korvalin {
namespace {

using namespace platform;
using platform::sim::Census;
using platform::sim::Scenario;

// An engine on a simulated system; what it built is judged by the simulator's
// census, its `started` event, and the events and log lines it wrote.
class CaptureGraph : public ::testing::Test {
protected:
    void SetUp() override { saved_ = current(); }
    void TearDown() override
    {
        drain(queue); // no listener may still be running
        engine.reset();
        current() = saved_;
    }

    void use(Scenario scenario)
    {
        engine.reset();
        sim = std::make_unique<platform::sim::SimPlatform>(std::move(scenario));
        sim->install();
        engine = std::make_unique<CaptureEngine>(pipes.events, queue);
    }
    void use(const char* scenario) { use(Scenario::parse(scenario)); }

    Json started() const { return engine->startedEvent("/d/seg.m4a", false); }
    std::vector<AudioObjectID> excluded() const { return sim->audio.lastTapDescription()->processes; }

    EventPipes pipes;
    SerialQueue queue{"engine"};
    std::unique_ptr<platform::sim::SimPlatform> sim;
    std::unique_ptr<CaptureEngine> engine;

private:
    Platform saved_;
};

// A tap problem leaves a microphone-only graph; the error event written while
// building is repeated in `started`.
TEST_F(CaptureGraph, BuildsAndTearsDown)
{
    const std::tuple<const char*, int64_t, std::string> cases[] = {
        {"{}", 48000, ""},
        {R"({"fail": {"tap": 560492391}})", 48000,
         R"({"code":"permission_denied","ev":"error","fatal":false,"msg":"Není povolené nahrávání zvuku systému — )"
         R"(ostatní účastníky neslyším.","status":560492391})"},
        {R"({"fail": {"tap_format": true}})", 48000,
         R"({"code":"tap_failed","ev":"error","fatal":false,"msg":"Systémový zvuk se nepodařilo připojit (neznámý formát)."})"},
        {R"({"devices": [{"uid": "m", "name": "Pult", "input": [1], "rate": 44100}]})", 44100, ""},
        {R"({"devices": [{"uid": "m", "name": "Pult", "input": [1], "rate": 0}]})", 48000, ""},
    };
    for (const auto& [scenario, rate, error] : cases) {
        SCOPED_TRACE(scenario);
        use(scenario);
        engine->buildDevices(true);
        const bool tapped = error.empty();
        EXPECT_EQ(pipes.out.take(), tapped ? "" : error + "\n");
        Json event = started();
        EXPECT_EQ(event["channels"], tapped ? "mic=buf0[0..<1] sys=buf1[0..<2]" : "mic=buf0[0..<1] sys=—");
        EXPECT_EQ(event["sample_rate"], rate);
        EXPECT_EQ(event["system_audio"], tapped);
        EXPECT_EQ(event.value("system_audio_error", ""), tapped ? "" : Json::parse(error)["msg"]);
        EXPECT_EQ(sim->audio.lastAggregateDescription()->taps.size(), size_t(tapped));
        EXPECT_EQ(sim->audio.census(), (Census{tapped, 1, 0, 1}));
        engine->teardownDevices();
        EXPECT_EQ(sim->audio.census(), Census{});
        EXPECT_EQ(pipes.err.take(), "");
    }
}

// The tap excludes the listed processes and leaves the tapped sound playing;
// the aggregate runs on the microphone's clock with drift correction for the
// tap; each build has a new identity, and teardown runs in reverse order.
TEST_F(CaptureGraph, TapAndAggregateOnTheMicrophonesClock)
{
    use("{}");
    engine->buildDevices(true);
    CATapDescription tap = *sim->audio.lastTapDescription();
    AggregateDeviceDescription aggregate = *sim->audio.lastAggregateDescription();
    EXPECT_EQ(std::tie(tap.muteBehavior, tap.exclusive), std::make_tuple(0, true));
    EXPECT_EQ(aggregate.mainSubDevice, "sim-mic");
    EXPECT_TRUE(std::regex_match(aggregate.uid, std::regex("KorvalinCapture:[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
        << aggregate.uid;
    ASSERT_EQ(aggregate.taps.size(), 1u);
    EXPECT_EQ(std::pair(aggregate.taps[0].uid, aggregate.taps[0].drift), std::pair(tap.uuid, 1));

    engine->teardownDevices();
    engine->teardownDevices();
    engine->buildDevices(true);
    EXPECT_NE(sim->audio.lastAggregateDescription()->uid, aggregate.uid);
    EXPECT_NE(sim->audio.lastTapDescription()->uuid, tap.uuid);
    engine->teardownDevices();
    EXPECT_EQ(sim->audio.calls(),
              (std::vector<std::string>{"createProcessTap", "createAggregateDevice", "destroyAggregateDevice",
                                        "destroyProcessTap", "createProcessTap", "createAggregateDevice",
                                        "destroyAggregateDevice", "destroyProcessTap"}));
}

TEST_F(CaptureGraph, RefusedBuildsLeaveNothingBehind)
{
    const std::string noMic = "není k dispozici žádné vstupní zařízení (mikrofon)";
    const std::string layout = ") — nahrávání by mohlo zaměnit stopy, takže nezačínám.";
    const std::pair<const char*, CommandError> cases[] = {
        {R"({"default_input": null})", {ErrorCode::noDevice, noMic}},
        {R"({"default_input": "unplugged"})", {ErrorCode::noDevice, noMic}},
        {R"({"devices": [{"uid": "m", "name": "Pult", "input": []}]})",
         {ErrorCode::noDevice, "vstupní zařízení Pult nemá žádné kanály"}},
        {R"({"devices": [{"uid": "m", "name": "Pult", "input": [0, 0]}]})",
         {ErrorCode::noDevice, "vstupní zařízení Pult nemá žádné kanály"}},
        {R"({"fail": {"aggregate": 1852797029}})",
         {ErrorCode::aggregateFailed, "agregované zařízení nelze vytvořit ('nope' (1852797029))"}},
        {R"({"aggregate_input": [1, 1]})",
         {ErrorCode::aggregateFailed, "nahrávací zařízení má neočekávané kanály [1, 1] (mikrofon 1, systém 2" + layout}},
        // The tap's left channel would be recorded as the microphone.
        {R"({"aggregate_input": [2], "devices": [{"uid": "m", "name": "Pult", "input": [1]}]})",
         {ErrorCode::aggregateFailed, "nahrávací zařízení má neočekávané kanály [2] (mikrofon 1, systém 2" + layout}},
        {R"({"aggregate_input": []})",
         {ErrorCode::aggregateFailed, "nahrávací zařízení má neočekávané kanály [] (mikrofon 1, systém 2" + layout}},
        // A missing microphone wins over the layout.
        {R"({"aggregate_without_mic": true, "aggregate_input": [1, 1]})",
         {ErrorCode::aggregateFailed, "mikrofon Simulovaný mikrofon se nepodařilo připojit k nahrávacímu zařízení "
                                      "(obsahuje jen: nic). Zkus vybrat jiný vstup v Nastavení zvuku."}},
    };
    for (const auto& [scenario, expected] : cases) {
        SCOPED_TRACE(scenario);
        use(scenario);
        try {
            engine->buildDevices(true);
            ADD_FAILURE() << "the build succeeded";
        } catch (const CommandError& error) {
            EXPECT_EQ(std::tie(error.code, error.message), std::tie(expected.code, expected.message));
        }
        EXPECT_EQ(sim->audio.census(), Census{});
    }
}

TEST_F(CaptureGraph, ExclusionCoversOwnAndHostBundles)
{
    struct Case {
        const char* processes;
        pid_t parent; // 0: the scenario's
        bool excludeSelf;
        std::vector<AudioObjectID> excluded; // process objects are numbered in scenario order from 300
        bool unexcludedLogged;
    };
    const Case cases[] = {
        {R"([{"pid": "self"}, {"pid": 4242, "bundle_id": "com.example.host"},
             {"pid": "parent", "bundle_id": "com.example.host"}, {"pid": 5000, "bundle_id": "com.example.other"},
             {"pid": 6000, "bundle_id": "cz.korvalin.cap"}])",
         0, true, {300, 301, 302, 304}, false},
        // Started by the system itself: the parent and its bundle are not looked up.
        {R"([{"pid": "self"}, {"pid": 1, "bundle_id": "com.example.init"}])", 1, true, {300}, false},
        {"[]", 0, true, {}, true},
        // A trial capture hears its own sound: no exclusion, nothing logged.
        {"[]", 0, false, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.processes);
        Scenario scenario = Scenario::parse(std::string(R"({"processes": )") + c.processes + "}");
        scenario.bundleIdentifier = "cz.korvalin.cap";
        if (c.parent)
            scenario.parentPid = c.parent;
        use(scenario);
        engine->buildDevices(c.excludeSelf);
        EXPECT_EQ(excluded(), c.excluded);
        std::string log;
        if (c.unexcludedLogged)
            for (pid_t pid : {scenario.pid, scenario.parentPid})
                log += "korvalin-cap: PID " + std::to_string(pid) + " nemá zatím audio proces — tap ho nevyloučí podle PID\n";
        EXPECT_EQ(pipes.err.take(),
                  log + (c.unexcludedLogged ? "korvalin-cap: tap nevylučuje žádný vlastní proces — vlastní zvuky se "
                                              "mohou nahrát\n"
                                            : ""));
        engine->teardownDevices();
    }
}

TEST_F(CaptureGraph, SampleRateWatchIgnoresSmallDriftAndEndsWithTheGraph)
{
    use("{}");
    engine->buildDevices(true);
    const std::string changed = "korvalin-cap: vzorkovací frekvence se změnila z 48000 na 44100 Hz\n";
    for (auto [rate, log] : {std::pair{48000.5, ""}, {44100.0, changed.c_str()}}) {
        sim->audio.apply({0, sim::TimelineEvent::Rate{rate}});
        drain(queue);
        EXPECT_EQ(pipes.err.take(), log);
    }
    engine->teardownDevices();
    EXPECT_EQ(sim->audio.census(), Census{});

    use(R"({"fail": {"listener": 1852797029}})");
    engine->buildDevices(true);
    EXPECT_EQ(pipes.err.take(), "korvalin-cap: posluchače vzorkovací frekvence nelze přidat ('nope' (1852797029))\n");
    EXPECT_EQ(sim->audio.census(), (Census{1, 1, 0, 0}));
}

} // namespace
} // namespace korvalin
