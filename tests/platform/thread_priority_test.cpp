// The capture thread's priority through RealtimeKit, on a private system bus
// with an rtkit-daemon of its own (as root: the daemon chroots and changes
// other processes' threads). The thread asking has no right to a real-time
// priority of its own, as an ordinary desktop user has none.

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/posix/realtime_kit.h"
#include "platform/posix/thread_priority.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// The daemons come with the rtkit package.
const char* const busDaemon = "/usr/bin/dbus-daemon";
const char* const polkitDaemon = "/usr/lib/polkit-1/polkitd";
const char* const rtkitDaemon = "/usr/libexec/rtkit-daemon";
const char* const polkitAnswers = "dbus-send --system --print-reply --dest=org.freedesktop.PolicyKit1 "
                                  "/org/freedesktop/PolicyKit1/Authority org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1";

// A daemon that ends with the test, also when the test is killed: the bus
// does (the others end with the bus; they change user, which clears the
// parent-death signal).
pid_t spawn(std::vector<std::string> args)
{
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Quiet; rtkit-daemon may not write to a file at all (RLIMIT_FSIZE 0).
        (void)!freopen("/dev/null", "w", stderr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

template <class Ready>
bool within(double seconds, Ready ready)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The calling thread alone gives up CAP_SYS_NICE.
void dropNice()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective &= ~(1u << CAP_SYS_NICE);
    data[0].permitted &= ~(1u << CAP_SYS_NICE);
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

struct Outcome {
    std::string line;
    int policy = -1;
    int priority = -1;
};

// raiseThreadPriority(4) on a thread of its own, without CAP_SYS_NICE.
Outcome raisedThread()
{
    Outcome outcome;
    std::thread([&outcome] {
        dropNice();
        raiseThreadPriority(4, [&outcome](const std::string& line) { outcome.line = line; });
        sched_param parameters{};
        pthread_getschedparam(pthread_self(), &outcome.policy, &parameters);
        outcome.policy &= ~SCHED_RESET_ON_FORK;
        outcome.priority = parameters.sched_priority;
    }).join();
    return outcome;
}

class PrivateRealtimeKit : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* daemon : {busDaemon, polkitDaemon, rtkitDaemon})
            if (geteuid() != 0 || access(daemon, X_OK) != 0)
                GTEST_SKIP() << "needs root and " << daemon << " (Debian package rtkit)";
        dir = fs::temp_directory_path() / ("korvalin-rtkit-" + std::to_string(getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "bus.conf")
            << "<busconfig><type>system</type><listen>unix:path=" << (dir / "socket").string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        bus = spawn({busDaemon, "--nofork", "--config-file=" + (dir / "bus.conf").string()});
        ASSERT_TRUE(within(5, [this] { return fs::exists(dir / "socket"); }));
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir / "socket").string()).c_str(), 1);
    }

    void TearDown() override
    {
        for (pid_t child : {rtkit, polkit, bus})
            if (child > 0) {
                kill(child, SIGTERM);
                waitpid(child, nullptr, 0);
            }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (!dir.empty())
            fs::remove_all(dir);
    }

    fs::path dir;
    pid_t bus = -1, rtkit = -1, polkit = -1;
};

} // namespace

TEST_F(PrivateRealtimeKit, TheThreadGetsWhatRealtimeKitGrantsAndTheLogSaysSo)
{
    Outcome normal = raisedThread(); // the bus answers, nobody serves RealtimeKit
    EXPECT_EQ(normal.policy, SCHED_OTHER);
    EXPECT_TRUE(normal.line.starts_with("vlákno zachytávání běží s běžnou prioritou: reálný čas systém nepovolil a "
                                        "RealtimeKit ho nedal ("))
        << normal.line;

    // It grants at most 3: the thread asks for 4 and gets 3.
    // RealtimeKit asks PolicyKit whether the user may have it.
    polkit = spawn({polkitDaemon, "--no-debug"});
    ASSERT_TRUE(within(5, [] { return std::system(polkitAnswers) == 0; }));
    rtkit = spawn({rtkitDaemon, "--no-canary", "--max-realtime-priority=3"});
    ASSERT_TRUE(within(5, [] { return RealtimeKit(300).maxPriority().has_value(); }));
    EXPECT_EQ(RealtimeKit(300).maxPriority(), 3);
    Outcome granted = raisedThread();
    EXPECT_EQ(granted.line, "vlákno zachytávání běží v reálném čase (round robin) s prioritou 3 od RealtimeKit");
    EXPECT_EQ(granted.policy, SCHED_RR);
    EXPECT_EQ(granted.priority, 3);
}
