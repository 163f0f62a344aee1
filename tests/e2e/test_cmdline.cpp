// What every program answers, as a Debian tool does: --help (usage on
// standard output, exit 0) and --version (one line, exit 0); progress lines
// in a log are plain lines, and the two streams of a log read in order.
#include "drive_fixture.h"

namespace {

TEST(CommandLine, HelpAndVersion) {
    ScratchDir dir;
    // The drive programs run on the simulated board, never on this machine's
    // hardware, even for their usage.
    std::string sim = WriteSim(dir, {});
    for (const char *p :
         {"zelconv", "zelview", "zelcopy", "diskread", "diskwrite", "diskwipe", "drivetest", "drivesim", "simctl"}) {
        RunResult v = RunOnBoard(p, {"--version"}, sim);
        EXPECT_EQ(0, v.status) << p;
        EXPECT_EQ(std::string(p) + " 2.1.0\n", v.out) << p;
        RunResult h = RunOnBoard(p, {"--help"}, sim);
        EXPECT_EQ(0, h.status) << p;
        EXPECT_TRUE(Contains(h.out, "Usage: ")) << p << h.out;
        EXPECT_EQ("", h.err) << p;
    }
}

// A read into a log: no terminal sequences, every progress line ended, and
// a warning written to standard error between two lines comes between them.
TEST(CommandLine, ProgressInALogIsPlainLines) {
    ScratchDir dir;
    ASSERT_EQ(0, RunTool("mkimage", {"2dd", dir / "a.2dd"}).status);
    // A double-density disk in a 360-rpm drive: read at 600 kbps, with a warning.
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "a.2dd"), "drive0.rpm = 360"});
    std::string cmd = "ZELMO_SIM='" + sim + "' " + ProgramCommand("diskread") + " -i 0 -c 2 '" + (dir / "o.ZEL") + "' > '" +
                      (dir / "log.txt") + "' 2>&1";
    ASSERT_EQ(0, system(cmd.c_str()));
    std::string log = ReadFileText(dir / "log.txt");
    EXPECT_EQ(std::string::npos, log.find('\x1b')) << log;
    EXPECT_TRUE(Contains(log, "Processing         :  50%(T  1 C 0 H1)\nProcessing         :  75%(T  2 C 1 H0)\n"))
        << log;
    size_t rpm = log.find("Drive RPM"), warning = log.find("Warning : 360rpm"), range = log.find("Cylinder range");
    ASSERT_NE(std::string::npos, warning) << log;
    EXPECT_LT(rpm, warning) << log;
    EXPECT_LT(warning, range) << log;
}

}  // namespace
