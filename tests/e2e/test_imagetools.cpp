// The image tools zelconv, zelview and zelcopy, run as a user runs them.
#include "e2e_util.h"

namespace {

// A 2HD plain dump made by the sample generator, converted once to ZEL.
class ImageTools : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, RunProgram("mkimage", {"2hd", dir / "disk.2HD", "11"}).status);
        RunResult r = RunProgram("zelconv", {"-i", dir / "disk.2HD", "-o", dir / "disk.ZEL"});
        ASSERT_EQ(0, r.status) << r.out << r.err;
    }
    ScratchDir dir;
};

TEST(ImageToolsUsage, NoArgumentsPrintsUsageAndExitsZero) {
    struct {
        const char *program, *tool, *usage;
    } cases[] = {
        {"zelconv", "Floppy image convert utility",
         "Usage: " ZELMO_BIN_DIR "/zelconv -i SRCFILE [-n DISKNO] -o DESTFILE [-f FORMAT] [-a ANALYZE]"},
        {"zelview", "Floppy image view utility", "Usage: " ZELMO_BIN_DIR "/zelview [OPTION]... FILE"},
        {"zelcopy", "Floppy image track copy utility",
         "Usage: " ZELMO_BIN_DIR "/zelcopy -i SRCFILE -o DESTFILE [-t TRACK] [-c CYLINDER] [-h HEAD]"},
    };
    for (const auto &c : cases) {
        RunResult r = RunProgram(c.program, {});
        EXPECT_EQ(0, r.status) << c.program;
        EXPECT_EQ(0u, r.out.find("ZELMO version 2.1.0(")) << c.program;
        EXPECT_TRUE(Contains(r.out, std::string("\n") + c.tool + "\n\n")) << r.out;
        EXPECT_TRUE(Contains(r.out, c.usage)) << r.out;
        EXPECT_EQ("", r.err);
    }
}

TEST(ImageToolsUsage, OptionErrorsExit22WithTheirMessage) {
    ScratchDir dir;
    struct {
        const char *program;
        std::vector<std::string> args;
        const char *message;  // on standard error; empty: none expected
    } cases[] = {
        {"zelconv", {"-o", "x.ZEL"}, "Error : Invalid source image file path"},
        {"zelconv", {"-i", "x.D88"}, "Error : Invalid destination image file path"},
        {"zelview", {"-v", "track"}, "Error : Invalid image file path"},
        {"zelcopy", {"-o", "x.ZEL"}, "Error : Invalid source image file path"},
        {"zelcopy", {"-i", "x.ZEL"}, "Error : Invalid destination image file path"},
        {"zelcopy", {"-i", "a.ZEL", "-o", "b.ZEL", "-c", "85"}, ""},
        {"zelcopy", {"-i", "a.ZEL", "-o", "b.ZEL", "-t", "170"}, ""},
        {"zelcopy", {"-i", "a.ZEL", "-o", "b.ZEL", "-h", "2"}, ""},
        {"zelcopy", {"-i", "a.D88", "-o", "b.ZEL"}, "Error : Source file is not ZEL image"},
        {"zelcopy", {"-i", dir / "missing.ZEL", "-o", "b.ZEL"}, "Error : Can't load source ZEL file"},
    };
    for (const auto &c : cases) {
        RunResult r = RunProgram(c.program, c.args);
        EXPECT_EQ(22, r.status) << c.program << " " << c.message;
        if (*c.message) EXPECT_TRUE(Contains(r.err, c.message)) << c.program << ": " << r.err;
        else EXPECT_EQ("", r.err) << c.program;
    }
}

TEST_F(ImageTools, ConvertPrintsSummaryOfSourceAndDestination) {
    RunResult r = RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "raw.ZEL", "-f", "raw"});
    ASSERT_EQ(0, r.status) << r.err;
    std::string expect = "Input file         : " + (dir / "disk.ZEL") +
                         "\n"
                         "DIsk Type          : 2HD\n"
                         "Name               : disk.2HD\n"
                         "Cylinders          : 84\n"
                         "Heads              : 2\n"
                         "Rate               : 1000 kbps\n"
                         "RPM                : 360\n"
                         "Write Protect      : OFF\n"
                         "\n"
                         "Output file        : " +
                         (dir / "raw.ZEL") +
                         "\n"
                         "DIsk Type          : RAW\n"
                         "Name               : disk.2HD\n"
                         "Cylinders          : 84\n"
                         "Heads              : 2\n"
                         "Rate               : 8000 kbps\n"
                         "RPM                : 360\n"
                         "Write Protect      : OFF\n"
                         "Result             : Success\n";
    EXPECT_EQ(expect, WithoutBanner(r.out).substr(strlen("Floppy image convert utility\n\n")));
}

TEST_F(ImageTools, RoundTripsThroughEveryFormatKeepSectorData) {
    // ZEL -> format -> ZEL -> plain dump must give back the original bytes.
    const std::string original = ReadFileText(dir / "disk.2HD");
    for (const char *ext : {"D88", "HFE", "DIM", "FDI", "FDD", "NFD", "XDF"}) {
        std::string mid = dir / (std::string("mid.") + ext);
        RunResult a = RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", mid});
        ASSERT_EQ(0, a.status) << ext << a.err;
        RunResult b = RunProgram("zelconv", {"-i", mid, "-o", dir / "back.2HD"});
        ASSERT_EQ(0, b.status) << ext << b.err;
        EXPECT_TRUE(ReadFileText(dir / "back.2HD") == original) << "round trip through " << ext;
    }
    // Raw ZEL and back.
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "raw.ZEL", "-f", "r"}).status);
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "raw.ZEL", "-o", dir / "back.2HD"}).status);
    EXPECT_TRUE(ReadFileText(dir / "back.2HD") == original) << "round trip through raw ZEL";
}

TEST_F(ImageTools, ConvertFailuresExitWithTheirResults) {
    RunResult r = RunProgram("zelconv", {"-i", dir / "missing.ZEL", "-o", dir / "x.ZEL"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(Contains(r.err, "Result             : Load failed")) << r.err;

    r = RunProgram("zelconv", {"-i", dir / "missing.D88", "-o", dir / "x.ZEL"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(Contains(r.err, "Result             : Import failed")) << r.err;

    r = RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "x.TXT"});
    EXPECT_EQ(14, r.status);
    EXPECT_TRUE(Contains(r.err, "Result             : Export failed")) << r.err;

    r = RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "nofolder/x.ZEL"});
    EXPECT_EQ(14, r.status);
    EXPECT_TRUE(Contains(r.err, "Result             : Save failed")) << r.err;
}

TEST_F(ImageTools, ViewTrackSummaryCountsEveryTrack) {
    RunResult r = RunProgram("zelview", {dir / "disk.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "Analyze mode       : uPD765\n\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "TRACK   0(C:00 H:00) 166666bits 20833bytes 10416cells(100.0%)  8SCT/MFM/IAM/NORMAL\n"))
        << r.out;
    // 77 formatted cylinders of a 1.2 MB disk; the last 7 of the 84 are blank.
    EXPECT_TRUE(Contains(r.out, "TRACK 154(C:77 H:00)  UNFORMAT TRACK\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\nTRACK ERRORS 0 / 168\n")) << r.out;
}

TEST_F(ImageTools, ViewSectorTableOfOneTrack) {
    RunResult r = RunProgram("zelview", {"-v", "sector", "-t", "3", dir / "disk.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    std::string body = r.out.substr(r.out.find("TRACK   3"));
    std::string rule = " " + std::string(80, '-') + "\n";
    std::string expect =
        "TRACK   3(C:01 H:01) 166666bits 20833bytes 10416cells(100.0%)  8SCT/MFM/IAM/NORMAL\n" + rule +
        " MARK   POS(cell)    TIME(us) C  H  R  N   SIZE GAP2 GAP3 ICRC DAM DCRC  D-RATE  \n" + rule +
        " GAP4a                                       80\n"
        " IAM     92\n"
        " GAP1                                        50\n";
    EXPECT_EQ(expect, body.substr(0, expect.size()));
    EXPECT_TRUE(Contains(body, " M01    158... 1232    2528  01 01 01 03   1024   22  116  OK  NRM  OK   100.0%  \n"))
        << body;
    EXPECT_TRUE(Contains(body, " M08  ")) << body;
    EXPECT_TRUE(Contains(body, " GAP4b ")) << body;
    EXPECT_EQ(std::string::npos, body.find("TRACK ERRORS")) << "no summary in sector view";
}

TEST_F(ImageTools, ViewDataDumpShowsCellsBytesAndText) {
    RunResult r = RunProgram("zelview", {"-v", "data", "-t", "0", "-s", "2", dir / "disk.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "\nSECTOR 02 (C=00 H=00 R=02 N=03 ICRC=OK DCRC=OK)\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("SECTOR 01")) << "only the chosen sector";
    // The sample's sectors start with their address as text.
    EXPECT_TRUE(Contains(r.out, "|433030204830205230322020")) << r.out;
    EXPECT_TRUE(Contains(r.out, "|C00 H0 R02  ")) << r.out;
    // 1024 bytes: 64 rows, the last at offset 0x3F0.
    EXPECT_TRUE(Contains(r.out, "\n03F0|")) << r.out;
}

TEST_F(ImageTools, ViewRangeChecksAgainstTheImage) {
    RunResult r = RunProgram("zelview", {"-c", "84", dir / "disk.ZEL"});
    EXPECT_EQ(22, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Cylinder range is over")) << r.err;
    r = RunProgram("zelview", {dir / "nothing.ZEL"});
    EXPECT_EQ(22, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Can't load ZEL image file")) << r.err;
    r = RunProgram("zelview", {dir / "nothing.D88"});
    EXPECT_EQ(22, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Can't import image file")) << r.err;
}

TEST_F(ImageTools, CopyPatchesOneTrackAndRefusesMismatches) {
    ASSERT_EQ(0, RunProgram("mkimage", {"2hd", dir / "other.2HD", "99"}).status);
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "other.2HD", "-o", dir / "other.ZEL"}).status);

    RunResult r = RunProgram("zelcopy", {"-i", dir / "other.ZEL", "-o", dir / "disk.ZEL", "-t", "7"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "Cylinder     : 3\nHead         : 1\nTrack        : 7\n")) << r.out;

    // Track 7 now carries the other disk's data, every other track the old.
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "patched.2HD"}).status);
    std::string patched = ReadFileText(dir / "patched.2HD");
    std::string disk = ReadFileText(dir / "disk.2HD");
    std::string other = ReadFileText(dir / "other.2HD");
    const size_t track = 8 * 1024;
    ASSERT_EQ(disk.size(), patched.size());
    EXPECT_TRUE(patched.compare(7 * track, track, other, 7 * track, track) == 0);
    EXPECT_TRUE(patched.compare(0, 7 * track, disk, 0, 7 * track) == 0);
    EXPECT_TRUE(patched.compare(8 * track, std::string::npos, disk, 8 * track, std::string::npos) == 0);

    // A 2DD image is a different kind of disk.
    ASSERT_EQ(0, RunProgram("mkimage", {"2dd", dir / "dd.2DD"}).status);
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "dd.2DD", "-o", dir / "dd.ZEL"}).status);
    r = RunProgram("zelcopy", {"-i", dir / "dd.ZEL", "-o", dir / "disk.ZEL", "-t", "0"});
    EXPECT_EQ(14, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Source and destination is differ in type of ZEL")) << r.err;

    r = RunProgram("zelcopy", {"-i", dir / "other.ZEL", "-o", dir / "disk.ZEL", "-c", "3"});
    EXPECT_EQ(14, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Invalid head")) << r.err;

    r = RunProgram("zelcopy", {"-i", dir / "other.ZEL", "-o", dir / "missing.ZEL", "-t", "1"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Can't load destination ZEL file")) << r.err;
}

}  // namespace
