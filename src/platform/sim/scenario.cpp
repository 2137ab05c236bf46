#include "platform/sim/scenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace platform::sim {

namespace {

using Json = nlohmann::json;

[[noreturn]] void bad(const std::string& key)
{
    throw std::invalid_argument("scénář simulace: neplatná hodnota klíče \"" + key + "\"");
}

template <class T>
T get(const Json& value, const std::string& key)
{
    try {
        return value.get<T>();
    } catch (const Json::exception&) {
        bad(key);
    }
}

Tone tone(const Json& value, const std::string& key)
{
    auto pair = get<std::vector<double>>(value, key);
    if (pair.size() != 2)
        bad(key);
    return {pair[0], pair[1]};
}

DeviceSpec device(const Json& value)
{
    if (!value.is_object())
        bad("devices");
    DeviceSpec spec{"", "", {1}, 48000, {1000, 0.25}};
    spec.uid = get<std::string>(value.value("uid", Json("")), "uid");
    spec.name = get<std::string>(value.value("name", Json(spec.uid)), "name");
    if (value.contains("input"))
        spec.input = get<std::vector<int>>(value["input"], "input");
    if (value.contains("rate"))
        spec.rate = get<double>(value["rate"], "rate");
    if (value.contains("tone"))
        spec.tone = tone(value["tone"], "tone");
    return spec;
}

ProcessSpec process(const Json& value)
{
    if (!value.is_object() || !value.contains("pid"))
        bad("processes");
    ProcessSpec spec;
    const Json& pid = value["pid"];
    if (pid == "self")
        spec.who = ProcessSpec::Who::self;
    else if (pid == "parent")
        spec.who = ProcessSpec::Who::parent;
    else
        spec.pid = get<pid_t>(pid, "pid");
    spec.bundleID = get<std::string>(value.value("bundle_id", Json("")), "bundle_id");
    return spec;
}

std::optional<OSStatus> status(const Json& fail, const char* key)
{
    if (!fail.contains(key))
        return std::nullopt;
    return get<OSStatus>(fail[key], key);
}

TimelineEvent change(const Json& value)
{
    if (!value.is_object() || !value.contains("at"))
        bad("timeline");
    TimelineEvent event;
    event.at = get<double>(value["at"], "at");
    if (value.contains("default_input")) {
        const Json& uid = value["default_input"];
        event.change = TimelineEvent::DefaultInput{
            uid.is_null() ? std::nullopt : std::optional(get<std::string>(uid, "default_input"))};
    } else if (value.contains("default_output")) {
        event.change = TimelineEvent::DefaultOutput{get<std::string>(value["default_output"], "default_output")};
    } else if (value.contains("rate")) {
        event.change = TimelineEvent::Rate{get<double>(value["rate"], "rate")};
    } else {
        bad("timeline");
    }
    return event;
}

std::optional<double> seconds(const Json& writer, const char* key)
{
    if (!writer.contains(key))
        return std::nullopt;
    return get<double>(writer[key], key);
}

} // namespace

Scenario::Scenario() : pid(getpid()), parentPid(getppid()) {}

Scenario Scenario::parse(const std::string& text)
{
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::exception&) {
        throw std::invalid_argument("scénář simulace není platný JSON");
    }
    if (!json.is_object())
        throw std::invalid_argument("scénář simulace musí být objekt JSON");

    Scenario scenario;
    if (json.contains("os_version"))
        scenario.osVersion = get<std::string>(json["os_version"], "os_version");
    if (json.contains("microphone")) {
        scenario.microphone = get<std::string>(json["microphone"], "microphone");
        static const char* states[] = {"granted", "denied", "restricted", "undetermined"};
        if (std::find(std::begin(states), std::end(states), scenario.microphone) == std::end(states))
            bad("microphone");
    }
    if (json.contains("devices")) {
        if (!json["devices"].is_array())
            bad("devices");
        scenario.devices.clear();
        for (const Json& value : json["devices"])
            scenario.devices.push_back(device(value));
    }
    scenario.defaultInput.reset();
    if (!scenario.devices.empty())
        scenario.defaultInput = scenario.devices.front().uid;
    if (json.contains("default_input")) {
        const Json& uid = json["default_input"];
        scenario.defaultInput = uid.is_null() ? std::nullopt : std::optional(get<std::string>(uid, "default_input"));
    }
    if (json.contains("default_output"))
        scenario.defaultOutput = get<std::string>(json["default_output"], "default_output");
    if (json.contains("headphones"))
        scenario.headphones = get<std::vector<std::string>>(json["headphones"], "headphones");
    if (json.contains("system_tone"))
        scenario.systemTone = tone(json["system_tone"], "system_tone");
    if (json.contains("tap_channels"))
        scenario.tapChannels = get<int>(json["tap_channels"], "tap_channels");
    if (json.contains("output_clock")) {
        const Json& clock = json["output_clock"];
        if (!clock.is_object())
            bad("output_clock");
        auto number = [&clock](const char* key, double fallback) {
            return get<double>(clock.value(key, Json(fallback)), key);
        };
        OutputClock& c = scenario.outputClock.emplace(OutputClock{number("ppm", 0), number("jitter_ms", 0),
                                                                   number("block_ms", 10), number("hold_ms", 0),
                                                                   number("hold_every_s", 0)});
        if (c.jitterMs < 0 || std::abs(c.ppm) >= 1e5 || !(c.blockMs >= 1 && c.blockMs <= 500) || c.holdMs < 0 ||
            c.holdMs > 1000 || c.holdEverySeconds < 0 || (c.holdMs > 0 && c.holdEverySeconds * 1000 <= c.holdMs))
            bad("output_clock");
    }
    if (json.contains("processes")) {
        if (!json["processes"].is_array())
            bad("processes");
        scenario.processes.clear();
        for (const Json& value : json["processes"])
            scenario.processes.push_back(process(value));
    }
    if (json.contains("fail")) {
        const Json& fail = json["fail"];
        if (!fail.is_object())
            bad("fail");
        scenario.fail.tap = status(fail, "tap");
        scenario.fail.tapFormat = get<bool>(fail.value("tap_format", Json(false)), "tap_format");
        scenario.fail.aggregate = status(fail, "aggregate");
        scenario.fail.ioProc = status(fail, "io_proc");
        scenario.fail.deviceStart = status(fail, "device_start");
        scenario.fail.listener = status(fail, "listener");
    }
    if (json.contains("aggregate_input"))
        scenario.aggregateInput = get<std::vector<int>>(json["aggregate_input"], "aggregate_input");
    if (json.contains("aggregate_without_mic"))
        scenario.aggregateWithoutMic = get<bool>(json["aggregate_without_mic"], "aggregate_without_mic");
    if (json.contains("timeline")) {
        if (!json["timeline"].is_array())
            bad("timeline");
        for (const Json& value : json["timeline"])
            scenario.timeline.push_back(change(value));
        std::stable_sort(scenario.timeline.begin(), scenario.timeline.end(),
                         [](const TimelineEvent& a, const TimelineEvent& b) { return a.at < b.at; });
    }
    if (json.contains("writer")) {
        const Json& writer = json["writer"];
        if (!writer.is_object())
            bad("writer");
        scenario.writer = {seconds(writer, "stall_at"), seconds(writer, "stall_for"), seconds(writer, "fail_at"),
                           seconds(writer, "deadline")};
    }
    if (json.contains("tone_output"))
        scenario.toneOutputFails = get<std::string>(json["tone_output"], "tone_output") == "fail";
    return scenario;
}

Scenario Scenario::load(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        throw std::invalid_argument("scénář simulace nelze otevřít: " + path);
    std::stringstream text;
    text << file.rdbuf();
    return parse(text.str());
}

} // namespace platform::sim
