// The rules that decide whose sound a tap leaves out, on a process tree laid
// out in a directory of its own (the layout of /proc: PID/stat, PID/exe).

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/posix/process_exclusion.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("korvalin-proc-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    void process(pid_t pid, pid_t parent, const std::string& executable, const std::string& comm = "player")
    {
        fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir);
        std::ofstream(dir / "stat") << pid << " (" << comm << ") S " << parent << " " << pid << " 0 0 -1\n";
        if (!executable.empty())
            fs::create_symlink(executable, dir / "exe");
    }

    ProcessExclusion exclusion(const std::vector<pid_t>& excluded)
    {
        return ProcessExclusion(table, excluded, [this](pid_t pid) { unresolved.push_back(pid); });
    }

    fs::path root;
    ProcessTable table{""};
    std::vector<pid_t> unresolved;
};

} // namespace

TEST(ProcessStat, ParentFollowsTheLastParenthesisOfTheCommandName)
{
    EXPECT_EQ(parentInStat("42 (host) S 7 42 42 0"), 7);
    EXPECT_EQ(parentInStat("42 (a) S 9 (b)) R 3 42 0"), 3) << "a name holding \") S 9 (\"";
    EXPECT_EQ(parentInStat("42 (Web Content) S 100 42"), 100);
    EXPECT_EQ(parentInStat("1 (init) S 0 1 1"), 0);
    EXPECT_EQ(parentInStat(""), std::nullopt);
    EXPECT_EQ(parentInStat("42 (host"), std::nullopt);
    EXPECT_EQ(parentInStat("42 (host) S"), std::nullopt);
    EXPECT_EQ(parentInStat("42 (host) S x"), std::nullopt);
}

TEST_F(FakeProc, TheHostItsInstancesAndItsDescendantsAreLeftOut)
{
    table = ProcessTable(root.string());
    process(100, 1, "/usr/bin/shell");
    process(200, 100, "/opt/host/host");      // the host
    process(201, 200, "/opt/host/helper");    // its helper
    process(202, 201, "/usr/bin/player");     // the helper's child
    process(300, 100, "/opt/host/host");      // a second, unrelated instance
    process(400, 100, "/usr/bin/player");     // an unrelated player
    process(500, 1, "/usr/bin/player");       // an orphaned player

    auto rule = exclusion({200});
    EXPECT_TRUE(rule.excludes(200));
    EXPECT_TRUE(rule.excludes(201));
    EXPECT_TRUE(rule.excludes(202));
    EXPECT_TRUE(rule.excludes(300));
    EXPECT_FALSE(rule.excludes(400)) << "a sibling of the host is not the host";
    EXPECT_FALSE(rule.excludes(500));
    EXPECT_FALSE(rule.excludes(100)) << "the host's parent is not the host";
    EXPECT_TRUE(unresolved.empty());
}

TEST_F(FakeProc, InitAndNothingAreNeverExcluded)
{
    table = ProcessTable(root.string());
    process(1, 0, "/sbin/init");
    process(600, 1, "/usr/bin/player");
    EXPECT_FALSE(exclusion({1, 0, -5}).excludes(600));
    EXPECT_FALSE(exclusion({}).excludes(600));
}

TEST_F(FakeProc, AnUnresolvablePidIsReportedAndKept)
{
    table = ProcessTable(root.string());
    process(200, 1, "/opt/host/host");
    auto rule = exclusion({200});
    EXPECT_FALSE(rule.excludes(777)); // not in this /proc: another PID namespace
    EXPECT_EQ(unresolved, std::vector<pid_t>{777});
    EXPECT_TRUE(rule.excludes(200));
}

TEST_F(FakeProc, AHiddenExecutableStillFollowsTheParentChain)
{
    table = ProcessTable(root.string());
    process(200, 1, "/opt/host/host");
    process(201, 200, ""); // another user's process: exe not readable
    process(300, 1, "");
    auto rule = exclusion({200});
    EXPECT_TRUE(rule.excludes(201));
    EXPECT_FALSE(rule.excludes(300)) << "no executable is no match";
    EXPECT_TRUE(unresolved.empty());
}

TEST_F(FakeProc, AnExecutableReplacedOnDiskIsStillTheHost)
{
    table = ProcessTable(root.string());
    process(200, 1, "/opt/host/host (deleted)");
    process(300, 1, "/opt/host/host");
    EXPECT_TRUE(exclusion({200}).excludes(300));
}

TEST_F(FakeProc, ALoopingTreeEnds)
{
    table = ProcessTable(root.string());
    process(200, 1, "/opt/host/host");
    process(10, 11, "/usr/bin/a");
    process(11, 10, "/usr/bin/b");
    EXPECT_FALSE(exclusion({200}).excludes(10));
}

TEST(ProcessTableOfThisMachine, KnowsThisProcess)
{
    ProcessTable table;
    EXPECT_EQ(table.parentOf(getpid()), getppid());
    EXPECT_EQ(table.executableOf(getpid()), fs::canonical("/proc/self/exe").string());
    EXPECT_EQ(table.parentOf(4000000), std::nullopt);
}
