#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <unistd.h>

#include "capture/capture_engine.h"
#include "drain.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"

namespace korvalin {
namespace {

using namespace platform;
using platform::sim::Census;
using platform::sim::Scenario;

// Everything a file descriptor was sent, for the event and log streams.
class Captured {
public:
    Captured() : file_(std::tmpfile()) {}
    ~Captured() { std::fclose(file_); }
    int fd() const { return fileno(file_); }
    std::string text() const
    {
        std::string all;
        char chunk[4096];
        for (off_t at = 0;; ) {
            ssize_t n = pread(fd(), chunk, sizeof(chunk), at);
            if (n <= 0)
                return all;
            all.append(chunk, size_t(n));
            at += n;
        }
    }

private:
    std::FILE* file_;
};

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
        sim = std::make_unique<platform::sim::SimPlatform>(std::move(scenario));
        sim->install();
        engine = std::make_unique<CaptureEngine>(events, queue);
    }

    // The build fails with this code and message and leaves nothing behind.
    void expectFailure(ErrorCode code, const std::string& message)
    {
        try {
            engine->buildDevices(true);
            ADD_FAILURE() << "the build succeeded";
        } catch (const CommandError& error) {
            EXPECT_EQ(error.code, code);
            EXPECT_EQ(error.message, message);
        }
        EXPECT_EQ(engine->tapID, 0u);
        EXPECT_EQ(engine->aggregateID, 0u);
        EXPECT_EQ(sim->audio.census(), Census{});
    }

    std::vector<Json> emitted() const
    {
        std::vector<Json> lines;
        std::string all = eventOut.text();
        for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(Json::parse(all.substr(start, end - start)));
        return lines;
    }

    std::vector<AudioObjectID> excluded() const { return sim->audio.lastTapDescription()->processes; }

    Captured eventOut, logOut;
    EventWriter events{eventOut.fd(), logOut.fd()};
    SerialQueue queue{"engine"};
    std::unique_ptr<platform::sim::SimPlatform> sim;
    std::unique_ptr<CaptureEngine> engine;

private:
    Platform saved_;
};

TEST_F(CaptureGraph, MonoMicrophoneAndStereoTap)
{
    use(Scenario{});
    engine->buildDevices(true);

    EXPECT_NE(engine->tapID, 0u);
    EXPECT_NE(engine->aggregateID, 0u);
    EXPECT_EQ(engine->plan.description(), "mic=buf0[0..<1] sys=buf1[0..<2]");
    EXPECT_EQ(engine->sampleRate, 48000.0);
    EXPECT_EQ(engine->systemAudioProblem, std::nullopt);
    EXPECT_TRUE(engine->excludingSelf);
    EXPECT_EQ(sim->audio.census(), (Census{1, 1, 0, 1}));
    EXPECT_TRUE(emitted().empty());
    EXPECT_EQ(logOut.text(), "");

    CATapDescription tap = *sim->audio.lastTapDescription();
    EXPECT_EQ(tap.name, "Korvalin Capture");
    EXPECT_TRUE(tap.isPrivate);
    EXPECT_EQ(tap.muteBehavior, 0);
    EXPECT_TRUE(tap.exclusive);
    AggregateDeviceDescription aggregate = *sim->audio.lastAggregateDescription();
    EXPECT_EQ(aggregate.name, "Korvalin Capture");
    EXPECT_TRUE(std::regex_match(aggregate.uid,
                                 std::regex("KorvalinCapture:[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << aggregate.uid;
    EXPECT_TRUE(aggregate.isPrivate);
    EXPECT_FALSE(aggregate.isStacked);
    EXPECT_FALSE(aggregate.tapAutoStart);
    EXPECT_EQ(aggregate.mainSubDevice, "sim-mic");
    ASSERT_EQ(aggregate.subDevices.size(), 1u);
    EXPECT_EQ(aggregate.subDevices[0].uid, "sim-mic");
    EXPECT_EQ(aggregate.subDevices[0].drift, 0);
    ASSERT_EQ(aggregate.taps.size(), 1u);
    EXPECT_EQ(aggregate.taps[0].uid, tap.uuid);
    EXPECT_EQ(aggregate.taps[0].drift, 1);
    EXPECT_EQ(aggregate.taps[0].driftQuality, 96u);

    // A new identity on every build.
    engine->teardownDevices();
    engine->buildDevices(true);
    EXPECT_NE(sim->audio.lastAggregateDescription()->uid, aggregate.uid);
    EXPECT_NE(sim->audio.lastTapDescription()->uuid, tap.uuid);
}

TEST_F(CaptureGraph, TeardownDestroysTheAggregateBeforeTheTap)
{
    use(Scenario{});
    engine->teardownDevices(); // nothing built: no platform call
    EXPECT_TRUE(sim->audio.calls().empty());

    engine->buildDevices(true);
    ChannelPlan plan = engine->plan;
    engine->teardownDevices();
    engine->teardownDevices();
    EXPECT_EQ(sim->audio.census(), Census{});
    EXPECT_EQ(sim->audio.calls(), (std::vector<std::string>{"createProcessTap", "createAggregateDevice",
                                                            "destroyAggregateDevice", "destroyProcessTap"}));
    EXPECT_EQ(engine->plan, plan); // kept until the next build
}

TEST_F(CaptureGraph, NoUsableMicrophoneCreatesNothing)
{
    const std::string none = "není k dispozici žádné vstupní zařízení (mikrofon)";
    Scenario noDefault;
    noDefault.defaultInput.reset();
    use(noDefault);
    expectFailure(ErrorCode::noDevice, none);

    use(Scenario::parse(R"({"default_input": "unplugged"})"));
    expectFailure(ErrorCode::noDevice, none);

    use(Scenario::parse(R"({"devices": [{"uid": "m", "name": "Pult", "input": []}]})"));
    expectFailure(ErrorCode::noDevice, "vstupní zařízení Pult nemá žádné kanály");
    use(Scenario::parse(R"({"devices": [{"uid": "m", "name": "Pult", "input": [0, 0]}]})"));
    expectFailure(ErrorCode::noDevice, "vstupní zařízení Pult nemá žádné kanály");
    EXPECT_TRUE(sim->audio.calls().empty());
}

TEST_F(CaptureGraph, TapFailuresLeaveAMicrophoneOnlyGraph)
{
    struct Case {
        const char* scenario;
        std::string line;
    };
    const Case cases[] = {
        {R"({"fail": {"tap": 560492391}})",
         R"({"code":"permission_denied","ev":"error","fatal":false,"msg":"Není povolené nahrávání zvuku systému — ostatní účastníky neslyším.","status":560492391})"},
        {R"({"fail": {"tap": -1}})",
         R"({"code":"permission_denied","ev":"error","fatal":false,"msg":"Není povolené nahrávání zvuku systému — ostatní účastníky neslyším.","status":-1})"},
        {R"({"fail": {"tap": -50}})",
         R"({"code":"tap_failed","ev":"error","fatal":false,"msg":"Systémový zvuk se nepodařilo připojit (chyba -50).","status":-50})"},
        {R"({"fail": {"tap": 2003329396}})",
         R"({"code":"tap_failed","ev":"error","fatal":false,"msg":"Systémový zvuk se nepodařilo připojit (chyba 'what' (2003329396)).","status":2003329396})"},
        {R"({"fail": {"tap_format": true}})",
         R"({"code":"tap_failed","ev":"error","fatal":false,"msg":"Systémový zvuk se nepodařilo připojit (neznámý formát)."})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Captured out;
        EventWriter writer(out.fd(), logOut.fd());
        sim = std::make_unique<platform::sim::SimPlatform>(Scenario::parse(c.scenario));
        sim->install();
        CaptureEngine engine(writer, queue);
        engine.buildDevices(true);

        EXPECT_EQ(out.text(), c.line + "\n");
        EXPECT_EQ(engine.systemAudioProblem, Json::parse(c.line)["msg"].get<std::string>());
        EXPECT_EQ(engine.tapID, 0u);
        EXPECT_NE(engine.aggregateID, 0u);
        EXPECT_TRUE(sim->audio.lastAggregateDescription()->taps.empty());
        EXPECT_EQ(engine.plan.description(), "mic=buf0[0..<1] sys=—");
        EXPECT_EQ(sim->audio.census(), (Census{0, 1, 0, 1}));
        engine.teardownDevices();
        EXPECT_EQ(sim->audio.census(), Census{});
    }
}

TEST_F(CaptureGraph, AggregateFailureDestroysTheTap)
{
    use(Scenario::parse(R"({"fail": {"aggregate": 1852797029}})"));
    expectFailure(ErrorCode::aggregateFailed, "agregované zařízení nelze vytvořit ('nope' (1852797029))");
    EXPECT_EQ(sim->audio.calls(),
              (std::vector<std::string>{"createProcessTap", "createAggregateDevice", "destroyProcessTap"}));
}

TEST_F(CaptureGraph, UntrustedLayoutsAreRefused)
{
    use(Scenario::parse(R"({"aggregate_input": [1, 1]})"));
    expectFailure(ErrorCode::aggregateFailed,
                  "nahrávací zařízení má neočekávané kanály [1, 1] (mikrofon 1, systém 2) — nahrávání by mohlo "
                  "zaměnit stopy, takže nezačínám.");

    // The tap's left channel would be recorded as the microphone.
    use(Scenario::parse(R"({"aggregate_input": [2], "devices": [{"uid": "m", "name": "Pult", "input": [1]}]})"));
    expectFailure(ErrorCode::aggregateFailed,
                  "nahrávací zařízení má neočekávané kanály [2] (mikrofon 1, systém 2) — nahrávání by mohlo "
                  "zaměnit stopy, takže nezačínám.");

    use(Scenario::parse(R"({"aggregate_input": []})"));
    expectFailure(ErrorCode::aggregateFailed,
                  "nahrávací zařízení má neočekávané kanály [] (mikrofon 1, systém 2) — nahrávání by mohlo "
                  "zaměnit stopy, takže nezačínám.");
}

TEST_F(CaptureGraph, MissingMicrophoneWinsOverTheLayout)
{
    use(Scenario::parse(R"({"aggregate_without_mic": true, "aggregate_input": [1, 1]})"));
    expectFailure(ErrorCode::aggregateFailed,
                  "mikrofon Simulovaný mikrofon se nepodařilo připojit k nahrávacímu zařízení (obsahuje jen: nic). "
                  "Zkus vybrat jiný vstup v Nastavení zvuku.");
}

TEST_F(CaptureGraph, ExclusionCoversOwnAndHostBundles)
{
    Scenario scenario = Scenario::parse(R"({"processes": [
        {"pid": "self"}, {"pid": 4242, "bundle_id": "com.example.host"},
        {"pid": "parent", "bundle_id": "com.example.host"}, {"pid": 5000, "bundle_id": "com.example.other"},
        {"pid": 6000, "bundle_id": "cz.korvalin.cap"}]})");
    scenario.bundleIdentifier = "cz.korvalin.cap";
    use(scenario);
    engine->buildDevices(true);
    // Process objects are numbered in scenario order from 300.
    EXPECT_EQ(excluded(), (std::vector<AudioObjectID>{300, 301, 302, 304}));
    EXPECT_EQ(logOut.text(), "");
}

TEST_F(CaptureGraph, ExclusionWithoutParentOrProcesses)
{
    // Started by the system itself: the parent and its bundle are not looked up.
    Scenario orphan = Scenario::parse(R"({"processes": [{"pid": "self"}, {"pid": 1, "bundle_id": "com.example.init"}]})");
    orphan.parentPid = 1;
    use(orphan);
    engine->buildDevices(true);
    EXPECT_EQ(excluded(), (std::vector<AudioObjectID>{300}));
    EXPECT_EQ(logOut.text(), "");
    engine->teardownDevices();

    Scenario empty = Scenario::parse(R"({"processes": []})");
    use(empty);
    engine->buildDevices(true);
    EXPECT_TRUE(excluded().empty());
    EXPECT_EQ(logOut.text(),
              "korvalin-cap: PID " + std::to_string(empty.pid) +
                  " nemá zatím audio proces — tap ho nevyloučí podle PID\n"
                  "korvalin-cap: PID " + std::to_string(empty.parentPid) +
                  " nemá zatím audio proces — tap ho nevyloučí podle PID\n"
                  "korvalin-cap: tap nevylučuje žádný vlastní proces — vlastní zvuky se mohou nahrát\n");
    engine->teardownDevices();

    // A trial capture hears its own sound: no exclusion, nothing logged.
    Captured quiet;
    EventWriter writer(eventOut.fd(), quiet.fd());
    CaptureEngine trial(writer, queue);
    trial.buildDevices(false);
    EXPECT_TRUE(excluded().empty());
    EXPECT_FALSE(trial.excludingSelf);
    EXPECT_EQ(quiet.text(), "");
    trial.teardownDevices();
}

TEST_F(CaptureGraph, SampleRateOfTheAggregate)
{
    use(Scenario::parse(R"({"devices": [{"uid": "m", "name": "Pult", "input": [1], "rate": 44100}]})"));
    engine->buildDevices(true);
    EXPECT_EQ(engine->sampleRate, 44100.0);
    engine->teardownDevices();

    use(Scenario::parse(R"({"devices": [{"uid": "m", "name": "Pult", "input": [1], "rate": 0}]})"));
    engine->buildDevices(true);
    EXPECT_EQ(engine->sampleRate, 48000.0);
}

TEST_F(CaptureGraph, SampleRateWatchIgnoresSmallDrift)
{
    use(Scenario{});
    engine->buildDevices(true);
    sim->audio.apply({0, sim::TimelineEvent::Rate{48000.5}});
    drain(queue);
    EXPECT_EQ(logOut.text(), "");
    sim->audio.apply({0, sim::TimelineEvent::Rate{44100}});
    drain(queue);
    EXPECT_EQ(logOut.text(), "korvalin-cap: vzorkovací frekvence se změnila z 48000 na 44100 Hz\n");

    // After teardown the listener is gone.
    engine->teardownDevices();
    sim->audio.apply({0, sim::TimelineEvent::Rate{32000}});
    drain(queue);
    EXPECT_EQ(logOut.text(), "korvalin-cap: vzorkovací frekvence se změnila z 48000 na 44100 Hz\n");
}

TEST_F(CaptureGraph, UnregisteredRateWatchIsLoggedAndTheBuildGoesOn)
{
    use(Scenario::parse(R"({"fail": {"listener": 1852797029}})"));
    engine->buildDevices(true);
    EXPECT_TRUE(engine->aggregateListeners.empty());
    EXPECT_EQ(logOut.text(), "korvalin-cap: posluchače vzorkovací frekvence nelze přidat ('nope' (1852797029))\n");
}

} // namespace
} // namespace korvalin
