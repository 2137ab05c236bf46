#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "media_test_support.h"
#include "tools/repair.h"

namespace Repair = korvalin::Repair;

namespace {

// Runs a repair with its events captured, one parsed event per line.
class RepairRun : public testing::Test {
protected:
    int run(const std::vector<std::string>& targets)
    {
        int handle = ::open(eventsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        korvalin::EventWriter events(handle, handle);
        int status = Repair::run(targets, events);
        ::close(handle);
        std::ifstream file(eventsPath);
        emitted.clear();
        for (std::string line; std::getline(file, line);)
            emitted.push_back(korvalin::Json::parse(line));
        return status;
    }

    testsupport::ScratchDir dir;
    std::string eventsPath = dir / "events";
    std::vector<korvalin::Json> emitted;
};

} // namespace

TEST_F(RepairRun, DirectoriesGiveTheirOwnM4aFilesInNameOrder)
{
    std::filesystem::create_directories(dir.path / "rec/sub.m4a");
    testsupport::writeSegment(dir / "rec/b.M4A", 48000, 440, 1);
    testsupport::writeSegment(dir / "rec/a.m4a", 48000, 440, 1);
    std::ofstream(dir / "rec/notes.txt") << "x";

    EXPECT_EQ(run({dir / "rec", dir / "x.wav", dir / "missing.m4a"}), 0);
    ASSERT_EQ(emitted.size(), 6u);
    // Targets are sorted out before any file is repaired.
    EXPECT_EQ(emitted[0]["msg"], dir / "x.wav" + " není adresář ani .m4a soubor");
    EXPECT_EQ(emitted[1]["path"], dir / "rec/a.m4a");
    EXPECT_EQ(emitted[1]["action"], "ok");
    EXPECT_EQ(emitted[2]["path"], dir / "rec/b.M4A");
    EXPECT_EQ(emitted[3]["path"], dir / "rec/sub.m4a");
    EXPECT_EQ(emitted[3]["action"], "unrecoverable");
    EXPECT_EQ(emitted[4], (korvalin::Json{{"ev", "repaired"}, {"path", dir / "missing.m4a"}, {"action", "unrecoverable"},
                                          {"duration_ms", 0}, {"bytes", 0}}));
    EXPECT_EQ(emitted[5], (korvalin::Json{{"ev", "repair_done"}, {"files", 4}, {"recovered", 2}}));
    EXPECT_EQ(run({dir / "none.txt"}), 0);
}
