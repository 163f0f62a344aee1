// The drive tools on the simulated board when things go wrong: a disk is
// never written where the image holds nothing or the head cannot go, a read
// is never thrown away, the best attempt is kept, and a run that did not do
// what was asked never ends with exit 0.
#include "drive_fixture.h"

namespace {

const char *kHD = "drive0.rpm = 360";
const char *kDD = "drive0.rpm = 300";

bool Exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

// A 2HD medium of cylinders cylinders, 8 x 1024 MFM sectors a track.
std::string HDMedium(const ScratchDir &dir, int cylinders, const char *name = "medium.ZEL") {
    std::string path = dir / name;
    EXPECT_TRUE(BuildMedium(path, ZEL_TYPE_2HD, cylinders,
                            [](int c, int h, VTrack &t) { AddSectors(t, 1, c, h, 8, 3); }));
    return path;
}

// ---- diskwrite ----

// An imported 2DD image has 84 cylinders, 80 of them formatted. Written into
// a drive whose head stops at cylinder 79, the four blank ones would land on
// cylinder 79 and leave it unformatted.
TEST(DriveSafety, DiskwriteEndsAtTheLastFormattedCylinder) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2dd", dir / "src.2dd", "4"}).status, 0);
    std::string sim =
        WriteSim(dir, {kDD, "drive0.last_cylinder = 79", "drive0.save = " + (dir / "medium.ZEL")});
    RunResult r = RunOnBoard("diskwrite", {"-i", "0", "-b", "78", dir / "src.2dd"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Cylinder range     : 78 ... 79\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Not written        : 80 ... 83 (unformatted)\n"));
    EXPECT_TRUE(Contains(r.out, "Seek check         : Success\n"));
    EXPECT_FALSE(Contains(r.out, "C80"));

    std::string back = WriteSim(dir, {kDD, "drive0.image = " + (dir / "medium.ZEL")}, "back.sim");
    r = RunOnBoard("diskread", {"-i", "0", "-c", "84", "-b", "78", "-e", "79", dir / "out.ZEL"}, back);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SameTracks(dir / "src.2dd", dir / "out.ZEL", 78, 79));
}

// A head that cannot reach the last cylinder to write, by its stop or by a
// TRK00 sensor that always answers, is found before anything is written.
TEST(DriveSafety, DiskwriteRefusesADriveThatDoesNotReachTheRange) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2dd", dir / "src.2dd", "5"}).status, 0);
    ASSERT_EQ(RunTool("mkimage", {"2dd", dir / "old.2dd", "6"}).status, 0);
    for (const char *drive : {"drive0.last_cylinder = 75", "drive0.trk00 = always"}) {
        std::string sim = WriteSim(
            dir, {kDD, drive, "drive0.image = " + (dir / "old.2dd"), "drive0.save = " + (dir / "after.ZEL")});
        RunResult r = RunOnBoard("diskwrite", {"-i", "0", "-b", "74", dir / "src.2dd"}, sim);
        EXPECT_EQ(r.status, 14) << drive;
        EXPECT_TRUE(Contains(r.out, "Seek check         : Failed\n")) << r.out;
        EXPECT_TRUE(Contains(r.err, "Error : Drive does not reach cylinder 79\n")) << r.err;
        EXPECT_FALSE(Contains(r.out, "Processing")) << "nothing may be written";
    }
}

// The first write after the seek waits for the head to settle: written
// earlier, the simulated drive records noise and the verify fails.
TEST(DriveSafety, WritesWaitForTheHeadToSettle) {
    ScratchDir dir;
    std::string image = HDMedium(dir, 4, "image.ZEL");
    for (const std::vector<std::string> &range :
         {std::vector<std::string>{"-t", "6"}, {"-b", "2", "-e", "3"}}) {
        std::string sim = WriteSim(dir, {kHD, "drive0.save = " + (dir / "medium.ZEL")});
        std::vector<std::string> args = {"-i", "0", "-r", "0"};
        args.insert(args.end(), range.begin(), range.end());
        args.push_back(image);
        RunResult r = RunOnBoard("diskwrite", args, sim);
        EXPECT_EQ(r.status, 0) << range[0] << "\n" << r.err;
        EXPECT_FALSE(Contains(r.err, "Verify failed")) << range[0];

        std::string back = WriteSim(dir, {kHD, "drive0.image = " + (dir / "medium.ZEL")}, "back.sim");
        r = RunOnBoard("diskread",
                       {"-i", "0", "-d", "high", "-c", "84", "-b", "3", "-e", "3", dir / "out.ZEL"}, back);
        ASSERT_EQ(r.status, 0) << r.err;
        ZELDisk want, got;
        OpenImage(want, image);
        OpenImage(got, dir / "out.ZEL");
        EXPECT_TRUE(SameTrack(want, 3, got, 3, 0)) << range[0];
    }
}

// ---- diskread: the read is kept ----

// A plain dump holds every cylinder of its geometry: what the options already
// tell is refused before the drive is touched.
TEST(DriveSafety, DiskreadRefusesAPlainDumpItCannotFillBeforeReading) {
    ScratchDir dir;
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + HDMedium(dir, 2)});
    const std::vector<std::string> cases[] = {
        {"-c", "3"},
        {"-c", "84", "-b", "4", "-e", "4"},
        {"-c", "77", "-h", "1"},
    };
    for (const auto &opts : cases) {
        std::vector<std::string> args = {"-i", "0", "-d", "high"};
        args.insert(args.end(), opts.begin(), opts.end());
        args.push_back(dir / "out.hdm");
        RunResult r = RunOnBoard("diskread", args, sim);
        EXPECT_EQ(r.status, 14) << opts[1];
        EXPECT_TRUE(
            Contains(r.err, "Error : A .hdm image holds cylinders 0 ... 76 on 2 heads: read them all"))
            << r.err;
        EXPECT_FALSE(Contains(r.out, "Index period")) << "the drive is not used";
    }
    EXPECT_FALSE(Exists(dir / "out.hdm"));
}

// An export that fails after the read keeps everything read in a ZEL beside
// the target, under a name no file has yet, and fails.
TEST(DriveSafety, DiskreadKeepsTheReadWhenTheExportFails) {
    ScratchDir dir;
    std::string medium = dir / "medium.ZEL";
    ASSERT_TRUE(BuildMedium(medium, ZEL_TYPE_2D, 40, [](int c, int h, VTrack &t) {
        AddSectors(t, 1, c, h, c == 3 && h == 0 ? 7 : 9, 2); // one 7-sector track
    }));
    std::ofstream(dir / "out.2d.ZEL") << "someone else's file";
    std::string sim = WriteSim(dir, {kDD, "drive0.last_cylinder = 39", "drive0.image = " + medium});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-c", "40", dir / "out.2d"}, sim);
    EXPECT_EQ(r.status, 14);
    EXPECT_TRUE(Contains(r.err, "Error : Can't export image file\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Warning : The tracks read are kept in " + (dir / "out.2d.1.ZEL") + "\n"))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "\nDone\n"));
    EXPECT_FALSE(Exists(dir / "out.2d"));
    EXPECT_EQ(ReadFileText(dir / "out.2d.ZEL"), "someone else's file");

    EXPECT_TRUE(SameTracks(medium, dir / "out.2d.1.ZEL", 0, 39));
}

// Stopped by a signal, diskread keeps the tracks read so far and still
// leaves the target alone.
TEST(DriveSafety, DiskreadKeepsTheReadOnASignal) {
    ScratchDir dir;
    std::string medium = HDMedium(dir, 2);
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + medium});
    Background bg("diskread", {"-i", "0", "-d", "high", "-c", "84", dir / "out.D88"}, sim, dir);
    ASSERT_TRUE(bg.WaitFor("(T  2 C 1 H0)", 120));
    bg.Signal(SIGINT);
    RunResult r = bg.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.err, "Warning : The tracks read are kept in " + (dir / "out.D88.ZEL"))) << r.err;
    EXPECT_TRUE(Contains(r.out, "\nDone\n"));
    EXPECT_FALSE(Exists(dir / "out.D88"));
    EXPECT_TRUE(SameTracks(medium, dir / "out.D88.ZEL", 0, 0));
}

// ---- diskread: the best attempt, the right speed ----

// Attempt one loses a sector to a dropout, attempt two the index mark: the
// clean one is kept. The dropouts cover the two revolutions each attempt may
// start in (the first index after the head settled is the first or second
// after it arrived).
TEST(DriveSafety, DiskreadKeepsTheCleanAttemptOverTheIndexMark) {
    ScratchDir dir;
    std::string medium = HDMedium(dir, 2);
    ZELDisk want;
    OpenImage(want, medium);
    std::unique_ptr<VTrack> t(want.Analyze(1, 0, 0));
    ASSERT_TRUE(t && (t->flags & TRACK_IAM));
    // 2HD cells pass at 1 us each.
    const int iam = t->iampos, data = t->sectors->datapos;
    std::string sim = WriteSim(
        dir,
        {kHD, "drive0.image = " + medium,
         "drive0.dropout = 1 0 " + std::to_string(data + 400) + " " + std::to_string(data + 500) + " 1,2",
         "drive0.dropout = 1 0 " + std::to_string(iam) + " " + std::to_string(iam + 64) + " 4,5"});
    RunResult r = RunOnBoard(
        "diskread", {"-i", "0", "-d", "high", "-r", "1", "-c", "84", "-t", "2", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Retry   1/  1")) << "the first attempt was damaged";
    ZELDisk got;
    OpenImage(got, dir / "out.ZEL");
    EXPECT_TRUE(SameTrack(want, 1, got, 1, 0));
}

// Read at the wrong density, not one sector is found: the image is saved,
// the likely cause said, and the run fails. Every read ends with a summary.
TEST(DriveSafety, DiskreadFailsWhenNoSectorIsFound) {
    ScratchDir dir;
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + HDMedium(dir, 2)});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-c", "2", dir / "out.ZEL"}, sim);
    EXPECT_EQ(r.status, 14);
    EXPECT_TRUE(Contains(r.err,
                         "Error : No sector found at 600 kbps in a 360 rpm drive: the disk may be of the "
                         "other density (-d), or need the drive at its other speed (-p2, -p4)"))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "Tracks clean       : 0\nTracks with errors : 0\nTracks unformatted : 4\n"))
        << r.out;
    EXPECT_TRUE(Exists(dir / "out.ZEL"));
}

// Tracks read by a drive of another speed do not fit an existing image.
TEST(DriveSafety, DiskreadRefusesToUpdateAnImageOfAnotherSpeed) {
    ScratchDir dir;
    std::string image = dir / "dd.ZEL";
    ASSERT_TRUE(
        BuildMedium(image, ZEL_TYPE_2DD, 4, [](int c, int h, VTrack &t) { AddSectors(t, 1, c, h, 9, 2); }));
    std::vector<uint8_t> before = FileBytes(image);
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + HDMedium(dir, 4)});
    for (const std::vector<std::string> &range :
         {std::vector<std::string>{"-t", "3"}, {"-b", "1", "-e", "2"}}) {
        std::vector<std::string> args = {"-i", "0"};
        args.insert(args.end(), range.begin(), range.end());
        args.push_back(image);
        RunResult r = RunOnBoard("diskread", args, sim);
        EXPECT_EQ(r.status, 14) << range[0];
        EXPECT_TRUE(Contains(r.err, "Error : Drive's RPM does not match\n")) << r.err;
        EXPECT_FALSE(Contains(r.out, "Processing"));
    }
    EXPECT_TRUE(FileBytes(image) == before);
}

// The firmware lowers the core clock in the middle of the read: the SPI
// divider follows, and every track still reads.
TEST(DriveSafety, DiskreadFollowsACoreClockChange) {
    ScratchDir dir;
    std::string medium = HDMedium(dir, 4);
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + medium, "core_clock_change = 2500 250"});
    RunResult r = RunOnBoard(
        "diskread", {"-i", "0", "-d", "high", "-c", "84", "-b", "0", "-e", "3", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Warning : Core frequency changed to 250MHz\n")) << r.err;
    EXPECT_TRUE(Contains(r.out, "Tracks clean       : 8\n")) << r.out;
    EXPECT_TRUE(SameTracks(medium, dir / "out.ZEL", 0, 3));
}

// A drive just started turns slowly at first: the index period is taken once
// the drive is up to speed.
TEST(DriveSafety, DiskreadMeasuresTheSpeedOnceTheDriveIsUpToIt) {
    ScratchDir dir;
    std::string medium = HDMedium(dir, 1);
    std::string sim = WriteSim(dir, {kHD, "drive0.spinup_ms = 3000", "drive0.image = " + medium});
    RunResult r = RunOnBoard(
        "diskread", {"-i", "0", "-d", "high", "-c", "84", "-b", "0", "-e", "0", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Drive RPM          : 360(")) << r.out;
    EXPECT_TRUE(SameTracks(medium, dir / "out.ZEL", 0, 0));
}

// A signal while the program waits for index pulses that never come ends it
// as any signal does. The tick is small so that the wait lasts long.
TEST(DriveSafety, SignalDuringTheIndexWaitEndsTheProgram) {
    ScratchDir dir;
    std::string sim = WriteSim(dir, {"drive0.disk = 0", "tick_ns = 1"});
    Background bg("diskread", {"-i", "0", dir / "out.ZEL"}, sim, dir);
    ASSERT_TRUE(bg.WaitFor("Index period       : ", 120));
    bg.Signal(SIGTERM);
    RunResult r = bg.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "Drive not ready"));
    EXPECT_TRUE(Contains(r.out, "\nDone\n"));
}

// The peak memory of a program run to its end, in KiB; -1 when it failed.
long PeakKiB(const std::vector<std::string> &args, const std::string &sim, const ScratchDir &dir) {
    Background bg("diskread", args, sim, dir);
    struct rusage usage = {};
    RunResult r = bg.Wait(&usage);
    return r.status == 0 ? usage.ru_maxrss : -1;
}

// However many retries are allowed, two attempts are held: twelve more
// retries of a track that never reads cleanly cost no more memory.
TEST(DriveSafety, RetriesKeepTwoAttemptBuffers) {
    ScratchDir dir;
    std::string medium = dir / "bad.ZEL";
    ASSERT_TRUE(BuildMedium(
        medium, ZEL_TYPE_2HD, 1, [](int c, int h, VTrack &t) { AddSectors(t, 1, c, h, 8, 3); },
        [](int, int h, uint8_t *cells, int count) {
            if (h == 0) SpoilSector(cells, count, 2);
        }));
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + medium});
    auto peak = [&](const char *retry) {
        return PeakKiB({"-i", "0", "-d", "high", "-r", retry, "-c", "84", "-t", "0", dir / "out.ZEL"}, sim,
                       dir);
    };
    long one = peak("1"), thirteen = peak("13");
    ASSERT_GT(one, 0);
    ASSERT_GT(thirteen, 0);
    // Each attempt buffer is about 1.6 MiB, and a read touches most of it.
    EXPECT_LT(thirteen - one, 4096) << one << " KiB with one retry, " << thirteen << " with thirteen";
}

} // namespace

namespace {

// What the simulated drive records keeps the rate it was written at when the
// medium is saved: a 1.44 MB disk written in a 300-rpm drive onto a blank
// medium (taken as double density), and a 600 kbps track (a double-density
// disk dumped in a 360-rpm drive) written back in such a drive.
TEST(DriveSafety, SavedMediumKeepsTheRateItWasWrittenAt) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hq", dir / "hq.2hq", "3"}).status, 0);
    std::string dd = dir / "dd.ZEL";
    ASSERT_TRUE(
        BuildMedium(dd, ZEL_TYPE_2DD, 1, [](int c, int h, VTrack &t) { AddSectors(t, 1, c, h, 9, 2); }));
    ASSERT_EQ(RunOnBoard("diskread", {"-i", "0", "-c", "84", "-b", "0", "-e", "0", dir / "dd600.ZEL"},
                         WriteSim(dir, {kHD, "drive0.image = " + dd}))
                  .status,
              0);
    struct write_t {
        const char *image, *drive, *density;
    };
    for (const write_t &w : {write_t{"hq.2hq", kDD, "high"}, write_t{"dd600.ZEL", kHD, "double"}}) {
        std::string sim = WriteSim(dir, {w.drive, "drive0.save = " + (dir / "medium.ZEL")});
        RunResult r = RunOnBoard("diskwrite", {"-i", "0", "-c", "1", dir / w.image}, sim);
        ASSERT_EQ(r.status, 0) << w.image << "\n" << r.err;
        std::string back = WriteSim(dir, {w.drive, "drive0.image = " + (dir / "medium.ZEL")}, "back.sim");
        std::string out = dir / (std::string("back-") + w.image + ".ZEL");
        r = RunOnBoard("diskread", {"-i", "0", "-d", w.density, "-c", "84", "-b", "0", "-e", "0", out}, back);
        EXPECT_EQ(r.status, 0) << w.image << "\n" << r.err;
        EXPECT_TRUE(SameTracks(dir / w.image, out, 0, 0)) << w.image;
    }
}

} // namespace

namespace {

// Reading a track into the first disk of a two-disk D88 file keeps the
// second disk byte for byte.
TEST(DriveSafety, DiskreadUpdateKeepsTheOtherDisksOfAD88) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "a.hdm", "1"}).status, 0);
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "b.hdm", "2"}).status, 0);
    ASSERT_EQ(RunTool("zelconv", {"-i", dir / "a.hdm", "-o", dir / "a.D88"}).status, 0);
    ASSERT_EQ(RunTool("zelconv", {"-i", dir / "b.hdm", "-o", dir / "b.D88"}).status, 0);
    std::vector<uint8_t> first = FileBytes(dir / "a.D88"), second = FileBytes(dir / "b.D88");
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    std::ofstream(dir / "two.D88", std::ios::binary)
        .write((const char *)both.data(), (std::streamsize)both.size());

    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + (dir / "a.hdm")});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-t", "3", dir / "two.D88"}, sim);
    std::vector<uint8_t> after = FileBytes(dir / "two.D88");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(after.size(), both.size());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), after.end() - (std::ptrdiff_t)second.size()));
}

} // namespace

namespace {

// An update names an existing image: one that cannot be read is never
// replaced by a disk of the few tracks read now.
TEST(DriveSafety, DiskreadRefusesToUpdateAnImageItCannotRead) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "a.hdm", "1"}).status, 0);
    std::vector<uint8_t> junk(5000, 0x5A);
    std::ofstream(dir / "old.D88", std::ios::binary).write((const char *)junk.data(), (std::streamsize)junk.size());
    std::string sim = WriteSim(dir, {kHD, "drive0.image = " + (dir / "a.hdm")});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-t", "3", dir / "old.D88"}, sim);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("old.D88 is not a D88 image"), std::string::npos) << r.err;
    EXPECT_TRUE(FileBytes(dir / "old.D88") == junk);
}

} // namespace
