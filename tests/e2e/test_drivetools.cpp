// diskwipe and drivetest on the simulated board.
#include "drive_fixture.h"

namespace {

TEST(DiskWipe, OptionsAreCheckedInOrder) {
    RunResult r = RunTool("diskwipe", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "Floppy disk unformat utility\n\nUsage: "));
    ScratchDir dir;
    std::string sim = WriteSim(dir, {"drive0.rpm = 300"});
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"-i", "2", "-c", "0"}, "Error : Invalid id range [2]"},
        {{"-i", "0", "-c", "0"}, "Error : Invalid cylinders range [0]"},
        {{"-i", "0", "-c", "85"}, "Error : Invalid cylinders range [85]"},
        {{"-i", "0", "-c", "2", "-h", "3"}, "Error : Invalid heads range [3]"},
    };
    for (const auto &c : cases) {
        r = RunOnBoard("diskwipe", c.first, sim);
        EXPECT_EQ(r.status, 22) << c.second;
        EXPECT_TRUE(Contains(r.err, c.second)) << r.err;
    }
}

TEST(DiskWipe, LeavesEveryTrackWithoutFlux) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2dd", dir / "src.2dd", "3"}).status, 0);
    std::string sim = WriteSim(dir, {"drive0.rpm = 300", "drive0.image = " + (dir / "src.2dd"),
                                     "drive0.save = " + (dir / "wiped.ZEL")});
    RunResult r = RunOnBoard("diskwipe", {"-i", "0", "-c", "2"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Drive number       : 0\n"));
    EXPECT_TRUE(Contains(r.out, "Processing         :  25%(T  1 C 0 H0)"));
    EXPECT_TRUE(Contains(r.out, "Processing         : 100%(T  4 C 1 H1)"));

    std::string back =
        WriteSim(dir, {"drive0.rpm = 300", "drive0.image = " + (dir / "wiped.ZEL")}, "back.sim");
    r = RunOnBoard("diskread", {"-i", "0", "-c", "84", "-b", "0", "-e", "2", dir / "out.ZEL"}, back);
    ASSERT_EQ(r.status, 0) << r.err;
    size_t warnings = 0;
    for (size_t at = 0; (at = r.out.find("Damaged or unformated(no sector)", at)) != std::string::npos; at++)
        warnings++;
    EXPECT_EQ(warnings, 4u) << "cylinders 0 and 1 wiped";
    EXPECT_FALSE(Contains(r.out, "(T  4 C 2 H0) Warning")) << "cylinder 2 was not wiped";
}

struct drivecase_t {
    const char *name;
    std::vector<std::string> drive;
    int status;
    std::vector<std::string> lines;
};

class DriveTestCase : public ::testing::TestWithParam<drivecase_t> {};

TEST_P(DriveTestCase, ReportsTheDrive) {
    const drivecase_t &c = GetParam();
    ScratchDir dir;
    RunResult r = RunOnBoard("drivetest", {"-i", "0"}, WriteSim(dir, c.drive));
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string &line : c.lines)
        EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
    EXPECT_TRUE(Contains(r.out, "\nDone\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, DriveTestCase,
    ::testing::Values(
        drivecase_t{"reaches81",
                    {"drive0.rpm = 360", "drive0.last_cylinder = 81"},
                    0,
                    {"Drive RPM          : 360(", "Recalibrate        : Success\n",
                     "Num of cylinder    : 82(0..81)\n"}},
        drivecase_t{"reaches42",
                    {"drive0.rpm = 300", "drive0.last_cylinder = 42", "drive0.write_protect = 1"},
                    0,
                    {"Write protect      : Protected\n", "Num of cylinder    : 43(0..42)\n"}},
        drivecase_t{"stuck", {"drive0.last_cylinder = 0"}, 0, {"Num of cylinder    : Unknown 2D\n"}},
        drivecase_t{"reaches86", {"drive0.last_cylinder = 86"}, 34, {"Num of cylinder    : 86 over\n"}},
        drivecase_t{"reaches85", {"drive0.last_cylinder = 85"}, 0, {"Num of cylinder    : 86(0..85)\n"}},
        drivecase_t{"notrack0", {"drive0.trk00 = never"}, 14, {"Recalibrate        : Failed\n"}},
        drivecase_t{"noindex",
                    {"drive0.disk = 0", "drive0.last_cylinder = 79"},
                    0,
                    {"Index period       : No signal\n", "Write protect      : Unknown\n",
                     "Drive RPM          : Unknown\n", "Num of cylinder    : 80(0..79)\n"}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
