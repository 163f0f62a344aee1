// diskwrite on the simulated board: an image written onto a blank medium is
// verified track by track and reads back sector for sector; protected disks
// and drives of the wrong speed are refused before anything is written.
#include "drive_fixture.h"

namespace {

TEST(DiskWrite, UsageAndRefusals) {
    RunResult r = RunTool("diskwrite", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "Floppy disk restore utility\n\nUsage: "));
    EXPECT_TRUE(Contains(r.out, " -p12 Assert Pin 12. Pin 12 may affect HEAD LOAD.\n"));

    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "src.hdm", "1"}).status, 0);
    struct refusal_t {
        std::vector<std::string> drive;
        std::vector<std::string> args;
        int status;
        const char *message;
    };
    const refusal_t cases[] = {
        {{"drive0.rpm = 360"},
         {"-i", "0", "-c", "90", dir / "src.hdm"},
         22,
         "Error : Invalid cylinders range [90]"},
        {{"drive0.rpm = 360"}, {"-i", "0", dir / "missing.hdm"}, 2, "Error : Can't import image file"},
        {{"drive0.rpm = 360"}, {"-i", "0", dir / "missing.ZEL"}, 2, "Error : Can't load ZEL file"},
        {{"drive0.rpm = 360", "drive0.write_protect = 1"},
         {"-i", "0", dir / "src.hdm"},
         14,
         "Error : Disk is protected"},
        {{"drive0.rpm = 300"}, {"-i", "0", dir / "src.hdm"}, 14, "Error : Drive's RPM does not match"},
        {{"drive0.rpm = 360"},
         {"-i", "0", "-b", "5", "-e", "3", dir / "src.hdm"},
         14,
         "Error : Invalid cylinder range"},
    };
    for (const refusal_t &c : cases) {
        std::vector<std::string> lines = c.drive;
        lines.push_back("drive0.save = " + (dir / "after.ZEL"));
        r = RunOnBoard("diskwrite", c.args, WriteSim(dir, lines));
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(Contains(r.out, "\nDone\n"));
        EXPECT_FALSE(Contains(r.out, "Processing")) << "nothing may be written";
    }
    EXPECT_TRUE(Contains(r.out, "Write protect      : Writable\n"));
}

// Written, verified, read back; the unformatted track is written once.
TEST(DiskWrite, RoundTripOntoBlankMedium) {
    ScratchDir dir;
    std::string image = dir / "image.ZEL";
    ASSERT_TRUE(BuildMedium(image, ZEL_TYPE_2HD, 2, [](int c, int h, VTrack &t) {
        if (!(c == 1 && h == 0)) AddSectors(t, 1, c, h, 8, 3);
    }));
    // A blank high-density medium: no flux anywhere.
    std::string blank = dir / "blank.ZEL";
    ASSERT_TRUE(BuildMedium(blank, ZEL_TYPE_2HD, 0, [](int, int, VTrack &) {}));
    std::string sim = WriteSim(
        dir, {"drive0.rpm = 360", "drive0.image = " + blank, "drive0.save = " + (dir / "medium.ZEL")});
    RunResult r = RunOnBoard("diskwrite", {"-i", "0", "-c", "2", "-v", image}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "Verify failed")) << r.err;
    EXPECT_FALSE(Contains(r.out, "Retry"));
    EXPECT_TRUE(Contains(r.out, "Total tracks       : 2 cylinders x 2 heads = 4\n"));
    EXPECT_TRUE(Contains(r.out, "(T  0 C 0 H0) / 10416 cells /  8 sectors / normal / top "));
    EXPECT_TRUE(Contains(r.out, "(T  2 C 1 H0) / unformated / top 0 (Index hole)"));

    std::string back =
        WriteSim(dir, {"drive0.rpm = 360", "drive0.image = " + (dir / "medium.ZEL")}, "back.sim");
    r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-c", "84", "-b", "0", "-e", "1", dir / "out.ZEL"},
                   back);
    ASSERT_EQ(r.status, 0) << r.err;
    ZELDisk want, got;
    OpenImage(want, image);
    OpenImage(got, dir / "out.ZEL");
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 0));
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 1));
    EXPECT_TRUE(SameTrack(want, 1, got, 1, 1));
    std::unique_ptr<VTrack> empty(got.Analyze(1, 0, 0));
    EXPECT_EQ(empty ? empty->SectorCount() : -1, 0);
}

} // namespace
