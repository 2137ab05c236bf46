// The rules that decide whose sound a tap leaves out, on a process tree laid
// out in a directory of its own (the layout of /proc: PID/stat, PID/exe,
// PID/cgroup, PID/root/.flatpak-info).

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/posix/posix_system.h"
#include "platform/posix/process_exclusion.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

struct Process {
    pid_t pid, parent;
    uint64_t start;
    std::string exe;         // empty: unreadable
    std::string comm = "";   // default: the executable's name
    std::string flatpak = ""; // [Application] name
    std::string cgroup = "0::/user.slice/user-1000.slice/session-2.scope";
};

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(root); }
    void TearDown() override { fs::remove_all(root); }

    void lay(const Process& p)
    {
        fs::path dir = root / std::to_string(p.pid);
        fs::remove_all(dir);
        fs::create_directories(dir / "root");
        std::string comm = p.comm.empty() ? fs::path(p.exe).filename().string().substr(0, 15) : p.comm;
        std::ofstream(dir / "stat") << p.pid << " (" << comm << ") S " << p.parent << " " << p.pid
                                    << " 0 0 -1 4194304 1 0 0 0 0 0 0 0 20 0 1 0 " << p.start << " 1000 100\n";
        std::ofstream(dir / "cgroup") << p.cgroup << "\n";
        if (!p.flatpak.empty())
            std::ofstream(dir / "root/.flatpak-info") << "[Instance]\nname=x\n[Application]\nname=" << p.flatpak << "\n";
        if (!p.exe.empty())
            fs::create_symlink(p.exe, dir / "exe");
    }

    fs::path root = fs::temp_directory_path() / ("korvalin-proc-" + std::to_string(getpid()));
    ProcessTable table{root.string()};
    std::vector<pid_t> unresolved;
};

const std::string scope = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";

} // namespace

TEST(ProcessStat, FieldsFollowTheLastParenthesisOfTheCommandName)
{
    const std::string tail = " 0 0 -1 4194304 1 0 0 0 0 0 0 0 20 0 1 0 777 1000";
    std::pair<std::string, std::optional<ProcessStat>> cases[] = {
        {"42 (host) S 7 42" + tail, ProcessStat{"host", 7, 777}},
        {"42 (a) S 9 (b)) R 3 42" + tail, ProcessStat{"a) S 9 (b)", 3, 777}},
        {"42 (Web Content) S 100 42" + tail, ProcessStat{"Web Content", 100, 777}},
        {"", std::nullopt},
        {"42 (host) S 7 42 0", std::nullopt},
        {"42 (host) S x 42" + tail, std::nullopt},
        {"42 (host) S 7 42 0 0 -1 4194304 1 0 0 0 0 0 0 0 20 0 1 0 -5 1000", std::nullopt},
    };
    for (const auto& [text, stat] : cases)
        EXPECT_EQ(statFrom(text), stat) << text;
}

TEST(ApplicationScope, IsTheIdOfASnapOrADesktopLaunchedScope)
{
    std::pair<std::string, std::optional<std::string>> cases[] = {
        {scope + "app-gnome-org.gnome.Nautilus-4242.scope", "org.gnome.Nautilus"},
        {scope + "app-org.kde.konsole-4242.scope", "org.kde.konsole"},
        {scope + "app-gnome-google\\x2dchrome-4242.scope", "google-chrome"},
        {scope + "snap.zoom-client.zoom-client-5b6e0a2f-1c1d-4c3e-9a34-8d1e2f3a4b5c.scope", "zoom-client"},
        {"12:name=systemd:/user.slice/app-flatpak-org.mozilla.firefox-77.scope\n0::/\n", "org.mozilla.firefox"},
        {"0::/user.slice/user-1000.slice/session-2.scope", std::nullopt},
    };
    for (const auto& [cgroup, id] : cases)
        EXPECT_EQ(applicationInCgroup(cgroup), id) << cgroup;
}

// One tree for every rule. Excluded when the tap starts: the host 200 (a
// script run by python3, in no application), 250, one process each of a
// Flatpak app, a Snap and a desktop-launched application, and two programs
// in a terminal's scope (one started by its shell, one orphaned), which
// stand for no application. Afterwards pid 250 is handed out again.
TEST_F(FakeProc, TheHostItsTreeAndItsApplicationAreLeftOutNotItsInterpreterNorAReusedPid)
{
    const std::string python = "/usr/bin/python3.11";
    for (const Process& p : std::initializer_list<Process>{
             {1, 0, 1, "/sbin/init"},
             {100, 1, 50, "/usr/bin/bash"},
             {200, 100, 100, python, "host.py"},            // the host
             {201, 200, 110, "/usr/bin/paplay"},            // its helper
             {202, 201, 120, "/usr/bin/pw-play"},           // the helper's child
             {203, 200, 125, "", "meeting-recorde"},        // exe hidden, name cut to 15 bytes
             {250, 1, 130, "/opt/host/host"},
             {300, 100, 105, python, "other.py"},           // another script, same interpreter
             {500, 1, 60, "/app/bin/meet", "", "org.example.Meet"},
             {510, 1, 70, "/app/bin/meet-helper", "", "org.example.Meet"},
             {520, 1, 80, "/app/bin/other", "", "org.example.Other"},
             {600, 1, 60, "/snap/meet/1/meet", "", "", scope + "snap.meet.meet-5b6e0a2f.scope"},
             {610, 1, 70, "/snap/meet/1/tool", "", "", scope + "snap.meet.tool-7c8d9e0f.scope"},
             {700, 1, 60, python, "", "", scope + "app-gnome-org.example.Call-11.scope"},
             {710, 1, 70, "/usr/bin/call", "", "", scope + "app-kde-org.example.Call-12.scope"},
             {720, 1, 80, python, "", "", scope + "app-gnome-org.example.Other-13.scope"},
             {10, 11, 90, "/usr/bin/a"},                    // a looping tree
             {11, 10, 90, "/usr/bin/b"},
             {230, 200, 140, "/usr/bin/dash", "xdg-open"},  // the host opens a link
             {231, 230, 141, "/usr/lib/firefox/firefox"},
             {800, 1, 40, "/usr/bin/kitty", "", "", scope + "app-kitty-21.scope"},
             {801, 800, 41, "/usr/bin/bash", "", "", scope + "app-kitty-21.scope"},
             {802, 801, 150, python, "", "", scope + "app-kitty-21.scope"},
             {803, 1, 160, python, "", "", scope + "app-kitty-21.scope"},
             {804, 800, 42, "/usr/bin/bash", "", "", scope + "app-kitty-21.scope"},
             {805, 804, 170, "/usr/bin/meeting", "", "", scope + "app-kitty-21.scope"},
             {806, 802, 180, "/usr/bin/paplay", "", "", scope + "app-kitty-21.scope"},
         })
        lay(p);
    ProcessExclusion rule(table, {200, 250, 500, 600, 700, 802, 803, 1, 0, -5},
                          [this](pid_t pid) { unresolved.push_back(pid); });
    lay({250, 100, 900, "/usr/bin/firefox"}); // pid reused by another program
    lay({251, 250, 910, "/usr/bin/firefox"});

    struct Case {
        StreamProcess stream;
        bool excluded;
        bool unresolved = false;
    } cases[] = {
        {{200, "python3.11", 1000}, true},
        {{201, "paplay"}, true},
        {{202, "pw-play", 1000}, true},
        {{203, "meeting-recorder", 1000}, true},
        {{300, "python3.11", 1000}, false},
        {{100, "bash", 1000}, false},
        {{250, "firefox", 1000}, false},
        {{251, "firefox", 1000}, false},
        {{510, "meet-helper", 1000}, true},
        {{520, "other", 1000}, false},
        {{610, "tool", 1000}, true},
        {{710, "call", 1000}, true},
        {{720, "python3.11", 1000}, false},
        {{10, "a", 1000}, false},
        {{231, "firefox", 1000}, false},
        {{805, "meeting", 1000}, false}, // another tab of the terminal
        {{806, "paplay", 1000}, true},
        {{800, "kitty", 1000}, false},
        {{777, "paplay", 1000}, false, true},  // unknown here: another PID namespace
        {{201, "firefox", 1000}, false, true}, // a namespace pid naming a process here
        {{201, "paplay", 105}, false, true},   // began after its stream existed
    };
    for (const auto& c : cases) {
        unresolved.clear();
        EXPECT_EQ(rule.excludes(c.stream), c.excluded) << c.stream.pid << " " << c.stream.binary;
        EXPECT_EQ(unresolved, c.unresolved ? std::vector<pid_t>{c.stream.pid} : std::vector<pid_t>{})
            << c.stream.pid << " " << c.stream.binary;
    }
}

// The host is the parent the program started with, and what it stands for.
TEST_F(FakeProc, TheHostIsTheParentUnlessInitOrAServiceManager)
{
    for (const Process& p : std::initializer_list<Process>{
             {1, 0, 1, "/sbin/init"},
             {90, 1, 20, "/usr/lib/systemd/systemd", "systemd", "", scope + "init.scope"},
             {200, 90, 100, "/usr/bin/python3", "host.py"},
             {700, 90, 60, "/usr/bin/call", "", "", scope + "app-gnome-org.example.Call-11.scope"},
             {701, 700, 61, "/usr/bin/call", "", "", scope + "app-gnome-org.example.Call-11.scope"},
         })
        lay(p);
    const std::pair<pid_t, std::optional<ProcessIdentity>> cases[] = {
        {200, ProcessIdentity{200, 100, "host.py", ""}},
        {700, ProcessIdentity{700, 60, "call", "org.example.Call"}},
        {701, ProcessIdentity{701, 61, "call", ""}}, // a helper of the application is not the application
        {90, std::nullopt},                          // started by systemd-run, or orphaned
        {1, std::nullopt},
        {0, std::nullopt},
        {999, std::nullopt},
    };
    for (const auto& [parent, host] : cases)
        EXPECT_EQ(hostOf(table, parent), host) << parent;
    EXPECT_EQ(hostLine(hostOf(table, 200)), "hostitel: proces 200 (host.py) a jeho potomci, bez vlastní aplikace");
    EXPECT_EQ(hostLine(hostOf(table, 700)), "hostitel: proces 700 (call) a jeho potomci, aplikace org.example.Call");
    EXPECT_EQ(hostLine(std::nullopt), "hostitel: žádný — jako hostitelův se nevylučuje žádný zvuk");
}

// A program whose host ended is adopted by a subreaper (here the test); the
// host it started with is gone, not the adopter.
TEST(PosixSystem, TheHostIsRecordedAtStartAndEndsWithIt)
{
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int ready[2], report[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(report), 0);
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        if (fork() == 0) {
            PosixSystem system;
            pid_t seen[2] = {system.parentPid(), -1};
            (void)!write(ready[1], "", 1);
            while (getppid() == seen[0])
                usleep(1000);
            seen[1] = system.parentPid();
            (void)!write(report[1], seen, sizeof seen);
            _exit(0);
        }
        char byte;
        (void)!read(ready[0], &byte, 1);
        _exit(0);
    }
    close(ready[1]);
    close(report[1]);
    pid_t seen[2] = {-1, -1};
    EXPECT_EQ(read(report[0], seen, sizeof seen), ssize_t(sizeof seen));
    for (int fd : {ready[0], report[0]})
        close(fd);
    while (wait(nullptr) > 0) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_EQ(seen[0], host);
    EXPECT_EQ(seen[1], 0);
}
