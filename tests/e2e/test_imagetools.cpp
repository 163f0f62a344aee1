// The image tools zelconv, zelview and zelcopy, run as a user runs them.
#include "e2e_util.h"

#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"

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
        const char *program, *tool;
        std::string usage;
    } cases[] = {
        {"zelconv", "Floppy image convert utility",
         "Usage: " + BinPath("zelconv") + " -i SRCFILE [-n DISKNO] -o DESTFILE [-f FORMAT] [-a ANALYZE]"},
        {"zelview", "Floppy image view utility", "Usage: " + BinPath("zelview") + " [OPTION]... FILE"},
        {"zelcopy", "Floppy image track copy utility",
         "Usage: " + BinPath("zelcopy") + " -i SRCFILE -o DESTFILE [-t TRACK] [-c CYLINDER] [-h HEAD]"},
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
    for (const char *ext : {"D88", "HFE", "DIM", "FDI", "FDD", "NFD", "XDF", "IMD", "MFI", "SCP"}) {
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

// Every failure keeps its result line and says its cause on the line before.
TEST_F(ImageTools, ConvertFailuresSayWhy) {
    mkdir((dir / "folder.D88").c_str(), 0700);
    // An HFE under a flux image's name; an IMD whose only track says mode 9.
    ASSERT_EQ(0, RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", dir / "disk.HFE"}).status);
    rename((dir / "disk.HFE").c_str(), (dir / "hfe.SCP").c_str());
    std::ofstream(dir / "bad.IMD", std::ios::binary) << "IMD 1.18: 01/01/2000 00:00:00\r\n\x1A\x09";
    std::string deep = dir.path();
    while (deep.size() < 280) deep += "/" + std::string(40, 'd'), mkdir(deep.c_str(), 0700);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string cause, result;
    } cases[] = {
        {{"-i", dir / "missing.ZEL", "-o", dir / "x.ZEL"}, 2, dir / "missing.ZEL: No such file or directory",
         "Load failed"},
        {{"-i", dir / "missing.D88", "-o", dir / "x.ZEL"}, 2, dir / "missing.D88: No such file or directory",
         "Import failed"},
        {{"-i", dir / "folder.D88", "-o", dir / "x.ZEL"}, 2, dir / "folder.D88: is a folder", "Import failed"},
        {{"-i", dir / "hfe.SCP", "-o", dir / "x.ZEL"}, 2,
         dir / "hfe.SCP is not an SCP image: it looks like an HFE image", "Import failed"},
        {{"-i", dir / "bad.IMD", "-o", dir / "x.ZEL"}, 2, dir / "bad.IMD is not an IMD image", "Import failed"},
        {{"-i", dir / "disk.ZEL", "-o", dir / "nofolder/x.ZEL"}, 14, dir / "nofolder/x.ZEL: No such file or directory",
         "Save failed"},
        {{"-i", dir / "disk.ZEL", "-o", dir / "nofolder/x.D88"}, 14, dir / "nofolder/x.D88: No such file or directory",
         "Export failed"},
        {{"-i", dir / "disk.ZEL", "-o", dir / "folder.D88"}, 14, dir / "folder.D88: is a folder", "Export failed"},
    };
    for (const auto &c : cases) {
        RunResult r = RunProgram("zelconv", c.args);
        EXPECT_EQ(c.status, r.status) << c.cause;
        EXPECT_TRUE(Contains(r.err, "Error : " + c.cause + "\nResult             : " + c.result + "\n")) << r.err;
    }
    // A destination no format writes is refused before the source is read.
    RunResult r = RunProgram("zelconv", {"-i", dir / "missing.ZEL", "-o", dir / "x.TXT"});
    EXPECT_EQ(22, r.status);
    EXPECT_EQ("Error : No image format has the extension of " + (dir / "x.TXT") + "\n", r.err);
    // Long paths are paths.
    r = RunProgram("zelconv", {"-i", dir / "disk.ZEL", "-o", deep + "/x.D88"});
    EXPECT_EQ(0, r.status) << r.err;
}

// Memory running out is an import failure, not an abort. (Sanitizer builds
// and an emulator reserve address space of their own and cannot run under
// the limit.)
TEST_F(ImageTools, OutOfMemoryIsAnImportFailure) {
    if (getenv("ASAN_OPTIONS") || getenv("ZELMO_TEST_RUNNER"))
        GTEST_SKIP() << "no address-space limit under the sanitizers or an emulator";
    std::vector<char> head(4096, 0);
    head[0x04] = (char)0x90, head[0x09] = 0x10, head[0x11] = 0x40, head[0x14] = 26, head[0x18] = 2, head[0x1C] = 77;
    std::ofstream(dir / "big.FDI", std::ios::binary).write(head.data(), (std::streamsize)head.size());
    ASSERT_EQ(0, truncate((dir / "big.FDI").c_str(), 250L << 20));  // sparse, 250 MB
    std::string cmd = "ulimit -v 150000; exec " + ProgramCommand("zelconv") + " -i '" + (dir / "big.FDI") + "' -o '" +
                      (dir / "big.ZEL") + "' >/dev/null 2>'" + (dir / "err.txt") + "'";
    int st = system(("sh -c \"" + cmd + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(st)) << "killed by a signal";
    EXPECT_EQ(2, WEXITSTATUS(st));
    std::string err = ReadFileText(dir / "err.txt");
    EXPECT_TRUE(Contains(err, "Error : ")) << err;
    EXPECT_TRUE(Contains(err, "Result             : Import failed\n")) << err;
}

// A file-size limit fails the write with its reason instead of killing the
// converter, and leaves neither a temporary file nor a changed destination.
TEST_F(ImageTools, FileSizeLimitFailsTheWriteCleanly) {
    std::ofstream(dir / "out.D88") << "old";
    std::string cmd = "ulimit -f 200; exec " + ProgramCommand("zelconv") + " -i '" + (dir / "disk.ZEL") + "' -o '" +
                      (dir / "out.D88") + "' >/dev/null 2>'" + (dir / "err.txt") + "'";
    int st = system(("sh -c \"" + cmd + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(14, WEXITSTATUS(st));
    std::string err = ReadFileText(dir / "err.txt");
    EXPECT_TRUE(Contains(err, "File too large\nResult             : Export failed\n")) << err;
    EXPECT_EQ("old", ReadFileText(dir / "out.D88"));
    EXPECT_EQ(0, system(("test -z \"$(ls -A '" + dir.path() + "' | grep '^\\.')\"").c_str())) << "no temporary file";
}

// A 2HD disk of 77 x 8 x 1024 whose sector R=3 on cylinder 0 head 0 has
// the given status, written as a D88 (which records it).
void WriteD88(const std::string &path, int status, int count = 8, int type = VDisk::TYPE_2HD, int n = 3) {
    VDisk d;
    d.Init(type, 77, 2);
    for (int c = 0; c < 77; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= count; r++)
                d.tracks[c][h]->AddSector(NewSector(1, c, h, r, n, 128 << n, c == 0 && h == 0 && r == 3 ? status : 0));
    Filepath p;
    p.SetPath(path.c_str());
    ASSERT_EQ(1, d.Export(p));
}

// A conversion that would lose something fails, says which track and what,
// and leaves the destination as it was; a lost status the user accepts is
// a warning.
TEST_F(ImageTools, LossesAreNamedAndRefusedUnlessAccepted) {
    WriteD88(dir / "crc.D88", SECTOR_DATACRC);
    const std::string old = "an older file";
    std::ofstream(dir / "out.HDM") << old;
    RunResult r = RunProgram("zelconv", {"-i", dir / "crc.D88", "-o", dir / "out.HDM"});
    EXPECT_EQ(14, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Track 0 (C:00 H:0): sector C=00 H=00 R=03 N=03: data CRC error not kept\n"
                                "Result             : Export failed\n"))
        << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Success"));
    EXPECT_EQ(old, ReadFileText(dir / "out.HDM"));

    r = RunProgram("zelconv", {"-i", dir / "crc.D88", "-o", dir / "out.HDM", "-s"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Warning : Track 0 (C:00 H:0): sector C=00 H=00 R=03 N=03: data CRC error not kept\n", r.err);
    EXPECT_TRUE(Contains(r.out, "Result             : Success\n"));
    EXPECT_EQ(1261568u, ReadFileText(dir / "out.HDM").size());

    // Kept whole by a format that records it, and back.
    r = RunProgram("zelconv", {"-i", dir / "crc.D88", "-o", dir / "crc.ZEL"});
    ASSERT_EQ(0, r.status) << r.err;
    r = RunProgram("zelconv", {"-i", dir / "crc.ZEL", "-o", dir / "back.D88"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(ReadFileText(dir / "crc.D88"), ReadFileText(dir / "back.D88"));

    // A disk whose tracks do not fit a revolution is not imported.
    WriteD88(dir / "long.D88", 0, 11, VDisk::TYPE_2DD, 2);
    r = RunProgram("zelconv", {"-i", dir / "long.D88", "-o", dir / "long.ZEL"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(Contains(r.err, "Error : Track 0 (C:00 H:0): 11 sectors need at least 103360 cells, a revolution at "
                                "300 rpm holds 100000: the last would be lost\n"))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "Error : and ")) << "the rest is counted, not listed: " << r.err;
    EXPECT_TRUE(Contains(r.err, "Result             : Import failed\n")) << r.err;
    EXPECT_FALSE(std::ifstream(dir / "long.ZEL").good());
}

// The data view shows what the disk holds: FM cells at their own rate, and
// nothing at all for a sector without a data field.
TEST_F(ImageTools, ViewDataOfFmSectorsAndMissingDataFields) {
    VDisk d;
    d.Init(VDisk::TYPE_2D, 40, 2);
    VSector *fm = NewSector(0, 0, 0, 1, 0, 128, 0);
    memset(fm->data, 0xFF, 128);
    d.tracks[0][0]->AddSector(fm);
    d.tracks[0][0]->AddSector(NewSector(0, 0, 0, 2, 0, 128, SECTOR_NODATA));
    d.tracks[0][0]->AddSector(NewSector(0, 0, 0, 3, 0, 128, 0));
    Filepath p;
    p.SetPath((dir / "fm.D88").c_str());
    ASSERT_EQ(1, d.Export(p));
    RunResult r = RunProgram("zelview", {"-v", "data", "-t", "0", dir / "fm.D88"});
    ASSERT_EQ(0, r.status) << r.err;
    // FM FF is clock 1, data 1 in every bit: all cells set at the FM rate.
    EXPECT_TRUE(Contains(r.out, "\n0000|" + std::string(64, 'F') + "|" + std::string(32, 'F') + "|")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\n0070|")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("\n0080|")) << "128 bytes are 8 rows";
    std::string nodata = r.out.substr(r.out.find("SECTOR 02"));
    EXPECT_EQ(0u, nodata.find("SECTOR 02 (C=00 H=00 R=02 N=00 ICRC=OK DCRC=---)\n")) << nodata;
    EXPECT_EQ(std::string::npos, nodata.substr(0, nodata.find("SECTOR 03")).find("\n0000|")) << nodata;
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
