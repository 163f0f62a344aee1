// The pictures as a user makes them: a damaged disk read on the simulated
// board (diskread -m), its map and flux histogram from the viewer, and the
// drive test's histogram of track 0. The SVG files are rendered to PNG with
// rsvg-convert where it is installed and kept in the test output folder for
// a person to look at (build/testtmp).
#include "drive_fixture.h"

namespace {

std::string OutputDir() {
    const char *tmp = getenv("ZELMO_TEST_TMP");
    std::string dir = tmp && *tmp ? tmp : std::string(ZELMO_BIN_DIR) + "/testtmp";
    return system(("mkdir -p '" + dir + "'").c_str()) == 0 ? dir : "";
}

// Keeps the picture (and its PNG rendering, when a renderer is there).
void Keep(const std::string &svg, const std::string &name) {
    std::string out = OutputDir();
    if (out.empty()) return;
    (void)!system(("cp '" + svg + "' '" + out + "/" + name + ".svg'").c_str());
    if (system("command -v rsvg-convert >/dev/null 2>&1") == 0) {
        EXPECT_EQ(0, system(("rsvg-convert -o '" + out + "/" + name + ".png' '" + svg + "'").c_str())) << name;
    }
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// A 2HD disk read with flux timing through a noisy head, one stretch of
// track 4 without flux in every revolution: the map shows that sector red
// and the rest green, and the histogram shows the spread of the pulses.
TEST(Pictures, DamagedDiskMapAndFluxHistogram) {
    ScratchDir dir;
    ASSERT_EQ(0, RunTool("mkimage", {"2hd", dir / "disk.hdm", "5"}).status);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "disk.hdm"), "drive0.rpm = 360",
                                     "drive0.jitter_ns = 120", "drive0.dropout = 2 0 30000 30400 1,2,3,4,5,6",
                                     "drive0.dropout = 2 0 30000 30400 7,8,9,10,11,12"});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-c", "3", "-r", "1", "-f", "raw", "-m",
                                          dir / "read.svg", dir / "dump.ZEL"},
                             sim);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "Disk map           : " + (dir / "read.svg"))) << r.out;
    std::string map = ReadFileText(dir / "read.svg");
    EXPECT_EQ(1u, Count(map, "fill=\"#e02020\"><title>C2 H0 ")) << "one bad sector, on cylinder 2 head 0";
    EXPECT_EQ(47u, Count(map, "fill=\"#3fa34d\"><title>")) << "every other sector read is good";
    EXPECT_EQ(168u - 6, Count(map, "class=\"unformatted\""));
    Keep(dir / "read.svg", "disk-map");

    r = RunProgram("zelview", {"-v", "map", "-o", dir / "view.svg", dir / "dump.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "Sectors good       : 47\nData CRC errors    : 1\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "TRACK   4(C:02 H:00) R")) << r.out;
    EXPECT_EQ(map, ReadFileText(dir / "view.svg")) << "the reader and the viewer draw the same map";

    r = RunProgram("zelview", {"-v", "flux", "-o", dir / "flux.svg", dir / "dump.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "Recording          : MFM\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Peak 2 cells       : 16.0")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Peak 3 cells       : 24.0")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Peak 4 cells       : 3")) << r.out;
    std::string flux = ReadFileText(dir / "flux.svg");
    EXPECT_EQ(3u, Count(flux, "class=\"peak\""));
    EXPECT_GE(Count(flux, "class=\"bar\""), 9u) << "the jitter spreads each peak";
    Keep(dir / "flux.svg", "flux-histogram");

    // The flux view of an image without flux timing is refused.
    ASSERT_EQ(0, RunTool("zelconv", {"-i", dir / "disk.hdm", "-o", dir / "cells.ZEL"}).status);
    r = RunProgram("zelview", {"-v", "flux", dir / "cells.ZEL"});
    EXPECT_EQ(22, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : The flux view needs a raw image")) << r.err;
}

// The drive test samples track 0 and draws its intervals.
TEST(Pictures, DriveTestFluxOfTrackZero) {
    ScratchDir dir;
    ASSERT_EQ(0, RunTool("mkimage", {"2dd", dir / "disk.2dd"}).status);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "disk.2dd"), "drive0.jitter_ns = 200"});
    RunResult r = RunOnBoard("drivetest", {"-i", "0", "-m", dir / "t0.svg"}, sim);
    ASSERT_EQ(0, r.status) << r.err;
    // A double-density disk sampled at the high-density rate: 16 samples a cell.
    EXPECT_TRUE(Contains(r.out, "Peak 2 cells       : 3")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Flux picture       : " + (dir / "t0.svg"))) << r.out;
    EXPECT_EQ(3u, Count(ReadFileText(dir / "t0.svg"), "class=\"peak\""));
    Keep(dir / "t0.svg", "drivetest-track0");
}

}  // namespace
