#include "app/modes.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include "app/memory_limit.h"
#include "capture/capture_engine.h"
#include "diagnostics/permissions.h"
#include "diagnostics/probe.h"
#include "diagnostics/self_test.h"
#include "tools/analyze.h"
#include "tools/repair.h"
#include "tools/segment_merge.h"

namespace korvalin {

namespace {

int usage(App& app, const std::string& message)
{
    app.events.emit(errorEvent("bad_command", message, true));
    return 2;
}

int version(App& app, const std::string&, const std::vector<std::string>&)
{
    std::string line = app.version + "\n";
    (void)!::write(1, line.data(), line.size());
    return 0;
}

// Plain text, like --version: a person reads it, not a host.
constexpr std::string_view helpText = R"(použití: korvalin-cap [PŘEPÍNAČ [ARGUMENT…]]

Bez přepínače (nebo s argumentem, který nezačíná "-") obsluhuje protokol
hostitelské aplikace: jeden příkaz JSON na řádek na stdin (start, resume,
pause, stop, merge, probe, permissions, quit), jedna událost JSON na řádek
na stdout, hlášení česky na stderr.

Jednorázové režimy:
  --merge VÝSTUP SEGMENT…       spojí segmenty do jednoho souboru .m4a
  --repair ADRESÁŘ|SOUBOR.m4a…  zkrátí segmenty s poškozeným koncem
  --analyze SOUBOR.m4a          špičkové a RMS úrovně nahrávky
  --probe [SEKUNDY]             zkušební záznam s testovacím tónem (0,2–30 s; 2 s)
  --permissions                 stav oprávnění a zvukového serveru
  --request-mic                 požádá o mikrofon
  --automation ID…              stav automatizace aplikací
  --request-automation ID…      požádá o automatizaci aplikací
  --selftest                    vlastní test
  --version                     verze
  --help, -h                    tato nápověda

Protokol, události a návratové kódy: man korvalin-cap; přesně je popisují
schémata JSON commands.schema.json a events.schema.json v share/korvalin-cap/
(z balíčku /usr/share/korvalin-cap/).
)";

int help(App&, const std::string&, const std::vector<std::string>&)
{
    (void)!::write(1, helpText.data(), helpText.size());
    return 0;
}

int selfTest(App&, const std::string&, const std::vector<std::string>&)
{
    return SelfTest::run();
}

int permissions(App& app, const std::string&, const std::vector<std::string>&)
{
    Permissions::report(app.events);
    return 0;
}

int requestMicrophone(App& app, const std::string&, const std::vector<std::string>&)
{
    std::string state = Permissions::requestMicrophone();
    app.events.emit(Event{{"ev", "permissions"}, {"microphone", state}, {"os_version", osVersionString()}});
    return state == "granted" ? 0 : 1;
}

int automation(App& app, const std::string& option, const std::vector<std::string>& bundleIDs)
{
    if (bundleIDs.empty())
        return usage(app, "--automation potřebuje aspoň jeden bundle ID");
    Permissions::automation(bundleIDs, option == "--request-automation", app.events);
    return 0;
}

int merge(App& app, const std::string&, const std::vector<std::string>& args)
{
    limitMemory();
    if (args.size() < 2)
        return usage(app, "--merge <výstup> <segment>…");
    try {
        auto result = SegmentMerge::run(std::vector<std::string>(args.begin() + 1, args.end()), args.front());
        app.events.emit(mergedEvent(result));
        return 0;
    } catch (const std::exception& error) {
        app.events.emit(errorEvent("merge_failed", mergeMessage(error), true));
        return 1;
    }
}

int repair(App& app, const std::string&, const std::vector<std::string>& targets)
{
    limitMemory();
    if (targets.empty())
        return usage(app, "--repair <adresář|soubor.m4a>…");
    return Repair::run(targets, app.events);
}

int analyze(App& app, const std::string&, const std::vector<std::string>& args)
{
    limitMemory();
    if (args.empty())
        return usage(app, "--analyze <soubor.m4a>");
    return Analyze::run(args.front(), app.events);
}

int probe(App& app, const std::string&, const std::vector<std::string>& args)
{
    requireSupportedOS(app);
    double seconds = probeSecondsArgument(args.empty() ? "2" : args.front());
    CaptureEngine engine(app.events, app.engineQueue);
    // On the engine queue, where device-change rebuilds run too.
    int status = 1;
    app.engineQueue.sync([&] { status = Probe::run(seconds, engine, app.events); });
    return status;
}

constexpr std::array modes = {
    Mode{"--help", help},
    Mode{"-h", help},
    Mode{"--version", version},
    // Runs to its end, a fraction of a second, which removes its scratch file.
    Mode{"--selftest", selfTest, true},
    Mode{"--permissions", permissions},
    Mode{"--request-mic", requestMicrophone},
    Mode{"--automation", automation},
    Mode{"--request-automation", automation},
    Mode{"--merge", merge, true},
    Mode{"--repair", repair, true},
    Mode{"--analyze", analyze},
    Mode{"--probe", probe, true},
};

} // namespace

const Mode* findMode(std::string_view argument)
{
    for (const Mode& mode : modes)
        if (mode.option == argument)
            return &mode;
    return nullptr;
}

double probeSecondsArgument(const std::string& text)
{
    double value = 2.0;
    if (!text.empty() && text.find_first_of(" \t\n\v\f\r") != 0) {
        char* end = nullptr;
        double parsed = std::strtod(text.c_str(), &end);
        if (end == text.c_str() + text.size() && !std::isnan(parsed))
            value = parsed;
    }
    if (value <= 0.2)
        return 0.2;
    return value > 30 ? 30 : value;
}

} // namespace korvalin
