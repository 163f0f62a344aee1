// diskread on the simulated board: dumps of generated disks compared with
// their source sector by sector (or byte for byte as a plain dump), under
// speed error, jitter and noise, with damaged and unformatted tracks, in raw
// form, into existing images, and stopped by a signal.
#include "drive_fixture.h"

namespace {

TEST(DiskRead, UsageAndBadOptions) {
    RunResult r = RunTool("diskread", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "Floppy disk dump utility\n\nUsage: "));
    EXPECT_TRUE(Contains(r.out, " -h HEADS is number of heads. Default is Default is 2.\n"));
    EXPECT_TRUE(Contains(r.out, " -r RETRY is retry times for invalid track. Default is 5.\n"));

    ScratchDir dir;
    std::string sim = WriteSim(dir, {"drive0.rpm = 300"});
    struct bad_t {
        std::vector<std::string> args;
        const char *message;
    };
    const bad_t cases[] = {
        {{"-i", "2", "x.ZEL"}, "Error : Invalid id range [2]"},
        {{"-i", "0", "-c", "85", "x.ZEL"}, "Error : Invalid cylinders range [85]"},
        {{"-i", "0", "-s", "3", "x.ZEL"}, "Error : Invalid step [3]"},
        {{"-i", "0", "-t", "168", "x.ZEL"}, "Error : Invalid track number [168]"},
        {{"-i", "0"}, "Error : Invalid file path"},
    };
    for (const bad_t &c : cases) {
        r = RunOnBoard("diskread", c.args, sim);
        EXPECT_EQ(r.status, 22) << c.message;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(Contains(r.out, "\nDone\n"));
    }
}

// The whole 2HD disk, exported to a plain dump, equals its source.
TEST(DiskRead, Whole2HDDiskByteForByte) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "src.hdm", "5"}).status, 0);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "src.hdm"), "drive0.rpm = 360"});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-c", "77", dir / "out.hdm"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.out, "Warning"));
    EXPECT_TRUE(Contains(r.out, "Cylinder range     : 0 ... 76\n"));
    EXPECT_TRUE(Contains(r.out, "Processing         : 100%(T153 C76 H1)"));
    EXPECT_TRUE(FileBytes(dir / "out.hdm") == FileBytes(dir / "src.hdm"));
}

struct readcase_t {
    const char *name;
    const char *geometry; // mkimage geometry, or "2d-even" (40 tracks on an 80-track drive)
    const char *ext;
    std::vector<std::string> drive; // extra drive settings
    std::vector<std::string> args;  // extra diskread options
    int first, last;                // cylinders compared
};

class DiskReadCase : public ::testing::TestWithParam<readcase_t> {};

TEST_P(DiskReadCase, ReproducesEverySector) {
    const readcase_t &c = GetParam();
    ScratchDir dir;
    std::string src = dir / (std::string("src") + c.ext);
    std::string medium = src;
    if (std::string(c.geometry) == "2d-even") {
        // A 2D disk formatted in a 40-track drive: its tracks lie on every
        // other cylinder of the 80-track drive that reads it.
        ASSERT_EQ(RunTool("mkimage", {"2d", src, "9"}).status, 0);
        ZELDisk d;
        OpenImage(d, src);
        ASSERT_TRUE(d.valid);
        medium = dir / "medium.ZEL";
        ASSERT_TRUE(BuildMedium(medium, ZEL_TYPE_2DD, 84, [&](int cyl, int h, VTrack &t) {
            if (cyl % 2 || cyl / 2 >= d.header.cylinders) return;
            std::unique_ptr<VTrack> from(d.Analyze(cyl / 2, h, 0));
            for (VSector *s = from ? from->sectors : nullptr; s; s = s->next) {
                VSector *n = NewSector(s->mfm, s->c, s->h, s->r, s->n, s->length, 0);
                memcpy(n->data, s->data, (size_t)s->length);
                t.AddSector(n);
            }
        }));
    } else {
        ASSERT_EQ(RunTool("mkimage", {c.geometry, src, "7"}).status, 0);
    }
    std::vector<std::string> lines = {"drive0.image = " + medium};
    lines.insert(lines.end(), c.drive.begin(), c.drive.end());
    std::string sim = WriteSim(dir, lines);
    std::vector<std::string> args = {"-i", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(dir / "out.ZEL");
    RunResult r = RunOnBoard("diskread", args, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.out, "Warning")) << r.out;

    ZELDisk want, got;
    OpenImage(want, src);
    OpenImage(got, dir / "out.ZEL");
    ASSERT_TRUE(want.valid && got.valid);
    for (int cyl = c.first; cyl <= c.last; cyl++)
        for (int h = 0; h < 2; h++)
            EXPECT_TRUE(SameTrack(want, cyl, got, cyl, h));
}

const char *kHD = "drive0.rpm = 360";
const char *kDD = "drive0.rpm = 300";

INSTANTIATE_TEST_SUITE_P(
    Sim, DiskReadCase,
    ::testing::Values(
        readcase_t{"hd", "2hd", ".hdm", {kHD}, {"-d", "high", "-c", "84", "-b", "0", "-e", "1"}, 0, 1},
        readcase_t{"dd", "2dd", ".2dd", {kDD}, {"-c", "84", "-b", "0", "-e", "1"}, 0, 1},
        readcase_t{"d_steps2", "2d-even", ".2d", {kDD}, {"-c", "40", "-b", "0", "-e", "2", "-s", "2"}, 0, 2},
        readcase_t{
            "hd_fast", "2hd", ".hdm", {kHD, "drive0.speed_error = 1.5"}, {"-d", "high", "-c", "2"}, 0, 1},
        readcase_t{
            "hd_slow", "2hd", ".hdm", {kHD, "drive0.speed_error = -1.5"}, {"-d", "high", "-c", "2"}, 0, 1},
        readcase_t{"dd_jitter", "2dd", ".2dd", {kDD, "drive0.jitter_ns = 150"}, {"-c", "2"}, 0, 1},
        // Spikes at random places; the default denoise level removes those
        // that leave a too-short interval, retries get past the rest.
        readcase_t{
            "hd_spikes", "2hd", ".hdm", {kHD, "drive0.noise_spikes = 10"}, {"-d", "high", "-c", "3"}, 0, 2},
        readcase_t{"dd_spikes", "2dd", ".2dd", {kDD, "drive0.noise_spikes = 10"}, {"-c", "3"}, 0, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DiskRead, FMTrackZero) {
    ScratchDir dir;
    std::string medium = dir / "fm.ZEL";
    ASSERT_TRUE(BuildMedium(medium, ZEL_TYPE_2DD, 1, [](int c, int h, VTrack &t) {
        if (h == 0)
            AddSectors(t, 0, c, h, 16, 0); // 16 x 128 FM
        else
            AddSectors(t, 1, c, h, 9, 2);
    }));
    std::string sim = WriteSim(dir, {"drive0.image = " + medium, kDD});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-c", "84", "-b", "0", "-e", "0", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    ZELDisk want, got;
    OpenImage(want, medium);
    OpenImage(got, dir / "out.ZEL");
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 0));
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 1));
}

// A data CRC error is retried and the best attempt kept; an unformatted
// track is read once.
TEST(DiskRead, DamagedAndUnformattedTracks) {
    ScratchDir dir;
    std::string medium = dir / "bad.ZEL";
    ASSERT_TRUE(BuildMedium(
        medium, ZEL_TYPE_2HD, 2,
        [](int c, int h, VTrack &t) {
            if (!(c == 1 && h == 0)) AddSectors(t, 1, c, h, 8, 3);
        },
        [](int c, int h, uint8_t *cells, int count) {
            if (c == 0 && h == 1) SpoilSector(cells, count, 4);
        }));
    std::string sim = WriteSim(dir, {"drive0.image = " + medium, kHD});
    RunResult r =
        RunOnBoard("diskread", {"-i", "0", "-d", "high", "-r", "2", "-c", "2", "-v", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Retry   1/  2      :  50%(T  1 C 0 H1)"));
    EXPECT_TRUE(Contains(r.out, "Retry   2/  2      :  50%(T  1 C 0 H1)"));
    EXPECT_TRUE(Contains(r.out, "/  8 sectors / inconsistent Warning : Damaged or protected(8 sectors)"));
    EXPECT_FALSE(Contains(r.out, "Retry   1/  2      :  75%(T  2 C 1 H0)"));
    EXPECT_TRUE(
        Contains(r.out, "missing start and end) / unformated Warning : Damaged or unformated(no sector)"));
    EXPECT_TRUE(Contains(r.out, "Tracks clean       : 2\nTracks with errors : 1\n"
                                "Damaged track      : T  1 C 0 H1 R5(data CRC)\nTracks unformatted : 1\n"))
        << r.out;

    ZELDisk got;
    OpenImage(got, dir / "out.ZEL");
    ASSERT_TRUE(got.valid);
    std::unique_ptr<VTrack> spoiled(got.Analyze(0, 1, 0)), blank(got.Analyze(1, 0, 0));
    ASSERT_TRUE(spoiled && blank);
    EXPECT_EQ(spoiled->SectorCount(), 8);
    EXPECT_EQ(spoiled->GetSectorByIndex(4)->status & SECTOR_DATACRC, SECTOR_DATACRC);
    EXPECT_EQ(blank->SectorCount(), 0);
    const uint8_t *data = got.GetTrackData(1, 0);
    int bits = got.GetTrackLen(1, 0);
    EXPECT_NEAR(bits, 166666, 2);
    EXPECT_EQ(std::count(data, data + bits / 8, 0), bits / 8) << "unformatted track stored with flux";
}

TEST(DiskRead, DoubleDensityIn360rpmDriveReadsAt600kbps) {
    // A 2DD disk recorded at 300 rpm turning at 360 rpm passes its 100,000
    // cells at 600 kcells/s.
    ScratchDir dir;
    std::string medium = dir / "dd300.ZEL";
    ASSERT_TRUE(
        BuildMedium(medium, ZEL_TYPE_2DD, 1, [](int c, int h, VTrack &t) { AddSectors(t, 1, c, h, 9, 2); }));
    std::string sim = WriteSim(dir, {"drive0.image = " + medium, kHD});
    RunResult r = RunOnBoard("diskread", {"-i", "0", "-c", "84", "-b", "0", "-e", "0", dir / "out.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Warning : 360rpm / 300kbps mode.\n"));
    EXPECT_TRUE(Contains(r.out, "Data rate          : 600 kbps\n"));
    ZELDisk want, got;
    OpenImage(want, medium);
    OpenImage(got, dir / "out.ZEL");
    EXPECT_EQ(got.header.rate, 600);
    EXPECT_EQ(got.header.rpm, 360);
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 0));
    EXPECT_TRUE(SameTrack(want, 0, got, 0, 1));
}

// Raw dump, then converted to cells and to a sector format with zelconv.
TEST(DiskRead, RawDumpConvertsToCellsAndSectors) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2dd", dir / "src.2dd", "6"}).status, 0);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "src.2dd"), kDD});
    RunResult r = RunOnBoard(
        "diskread", {"-i", "0", "-f", "raw", "-c", "84", "-b", "0", "-e", "1", dir / "raw.ZEL"}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Data format        : Raw format\nData rate          : 4000 kbps\n"));
    ZELDisk raw;
    OpenImage(raw, dir / "raw.ZEL");
    ASSERT_TRUE(raw.valid);
    EXPECT_EQ(raw.header.type, ZEL_TYPE_RAW);
    EXPECT_EQ(raw.header.rate, 4000);
    EXPECT_NEAR(raw.GetTrackLen(0, 0), 800000, 16);

    ASSERT_EQ(RunTool("zelconv", {"-i", dir / "raw.ZEL", "-o", dir / "enc.ZEL"}).status, 0);
    ASSERT_EQ(RunTool("zelconv", {"-i", dir / "raw.ZEL", "-o", dir / "out.D88"}).status, 0);
    ZELDisk want, enc, d88;
    OpenImage(want, dir / "src.2dd");
    OpenImage(enc, dir / "enc.ZEL");
    OpenImage(d88, dir / "out.D88");
    for (int c = 0; c < 2; c++)
        for (int h = 0; h < 2; h++) {
            EXPECT_TRUE(SameTrack(want, c, enc, c, h));
            EXPECT_TRUE(SameTrack(want, c, d88, c, h));
        }
}

// A flux dump straight into SCP or MFI (the target's format is not
// judged by the sector formats) keeps every sector through the flux.
TEST(DiskRead, RawDumpIntoAFluxImage) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "src.hdm", "4"}).status, 0);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "src.hdm"), kHD, "drive0.jitter_ns = 50"});
    ZELDisk want;
    OpenImage(want, dir / "src.hdm");
    for (const char *name : {"dump.scp", "dump.mfi"}) {
        SCOPED_TRACE(name);
        RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-f", "raw", "-c", "2", dir / name}, sim);
        ASSERT_EQ(r.status, 0) << r.err;
        ZELDisk got;
        OpenImage(got, dir / name);
        ASSERT_TRUE(got.valid);
        EXPECT_EQ(got.header.type, ZEL_TYPE_RAW);
        EXPECT_EQ(got.header.rpm, 360);
        for (int c = 0; c < 2; c++)
            for (int h = 0; h < 2; h++) EXPECT_TRUE(SameTrack(want, c, got, c, h));
    }
}

// -t and -b/-e read into an existing image and leave its other tracks alone.
TEST(DiskRead, TrackAndRangeIntoExistingImage) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "src.hdm", "8"}).status, 0);
    std::string out = dir / "out.ZEL";
    ASSERT_TRUE(BuildMedium(out, ZEL_TYPE_2HD, 0, [](int, int, VTrack &) {}));
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "src.hdm"), kHD});

    RunResult r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-t", "5", out}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Track              : 5\n"));
    EXPECT_TRUE(Contains(r.out, "(T  5 C 2 H1)"));
    EXPECT_FALSE(Contains(r.out, "H0)"));

    r = RunOnBoard("diskread", {"-i", "0", "-d", "high", "-b", "4", "-e", "4", out}, sim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Cylinder range     : 4 ... 4\n"));

    ZELDisk want, got;
    OpenImage(want, dir / "src.hdm");
    OpenImage(got, out);
    ASSERT_TRUE(got.valid);
    EXPECT_EQ(got.header.cylinders, 84);
    EXPECT_TRUE(SameTrack(want, 2, got, 2, 1));
    EXPECT_TRUE(SameTrack(want, 4, got, 4, 0));
    EXPECT_TRUE(SameTrack(want, 4, got, 4, 1));
    for (int c : {0, 2, 3}) {
        std::unique_ptr<VTrack> t(got.Analyze(c, 0, 0));
        EXPECT_EQ(t ? t->SectorCount() : -1, 0) << "cylinder " << c << " was touched";
    }
}

TEST(DiskRead, SignalReleasesTheHardware) {
    ScratchDir dir;
    ASSERT_EQ(RunTool("mkimage", {"2hd", dir / "src.hdm", "2"}).status, 0);
    std::string sim = WriteSim(dir, {"drive0.image = " + (dir / "src.hdm"), kHD});
    Background bg("diskread", {"-i", "0", "-d", "high", "-c", "77", dir / "out.hdm"}, sim, dir);
    ASSERT_TRUE(bg.WaitFor("(T  1 C 0 H1)", 120));
    bg.Signal(SIGINT);
    RunResult r = bg.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "\nDone\n"));
    EXPECT_FALSE(Contains(r.out, "T153"));
    EXPECT_NE(access((dir / "out.hdm").c_str(), F_OK), 0) << "a partial dump must not be saved";
    std::string report = ReadFileText(dir / "report.txt");
    EXPECT_TRUE(Contains(report, "pins_asserted_at_exit =\n")) << report;
    EXPECT_EQ(ReadFileText(dir / "platform/scaling_governor"), "ondemand\n");
    EXPECT_EQ(ReadFileText(dir / "platform/sched_rt_runtime_us"), "950000\n");
}

} // namespace
