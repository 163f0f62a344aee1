// Sector image formats: round trips of every geometry through every format
// that can hold it, the particulars of each format, and refusal of damaged
// files and of disks a format cannot hold.
#include <functional>

#include "bytes.h"
#include "fdi_loss.h"
#include "formats_fixture.h"
#include "test_names.h"

namespace {

geometry_t Geo(const char *name, int type, int cyls, int sectors, int n) {
    return {name, type, cyls, sectors, n, false, false, {}};
}

const std::vector<geometry_t> Geometries = {
    {"2D", VDisk::TYPE_2D, 40, 9, 2, false, false, {".2D", ".D88", ".FDI", ".FDD", ".NFD"}},
    {"2DD", VDisk::TYPE_2DD, 80, 9, 2, false, false, {".2DD", ".D77", ".FDI", ".FDD", ".NFD"}},
    {"2HD 1.2MB", VDisk::TYPE_2HD, 77, 8, 3, false, false, {".2HD", ".D88", ".DIM", ".FDI", ".FDD", ".NFD", ".img"}},
    {"2HD 1.44MB", VDisk::TYPE_2HD, 80, 18, 2, false, false, {".2HQ", ".D98", ".DIM", ".FDI", ".FDD", ".NFD"}},
    {"2HD 15x512", VDisk::TYPE_2HD, 80, 15, 2, false, false, {".2HC", ".DIM", ".FDI", ".D68"}},
    {"DIM media 17", VDisk::TYPE_2HD, 77, 26, 1, true, false, {".DIM", ".D88", ".FDD", ".NFD"}},
    {"deleted sectors", VDisk::TYPE_2HD, 77, 8, 3, false, true, {".D88", ".FDD", ".NFD"}},
    {"2048-byte sectors", VDisk::TYPE_2HD, 80, 5, 4, false, false, {".FDI", ".FDD", ".NFD", ".D88"}},
};

class FormatRoundTrip : public ::testing::TestWithParam<geometry_t> {};

// The disk goes through every format of its row in turn, each import
// feeding the next export, and must come out of each unchanged.
TEST_P(FormatRoundTrip, ChainThroughEveryFormat) {
    const geometry_t &g = GetParam();
    ScratchDir dir;
    VDisk disks[8];
    FillDisk(disks[0], g, 1234);
    for (size_t i = 0; i < g.formats.size(); i++) {
        SCOPED_TRACE(g.formats[i]);
        Filepath path = dir.File(std::string("disk") + g.formats[i]);
        ASSERT_EQ(1, disks[i].Export(path));
        VDisk &back = disks[i + 1];
        ASSERT_EQ(1, back.Import(path, 1));
        EXPECT_EQ(g.type, back.type);
        EXPECT_EQ(2, back.heads);
        EXPECT_GE(back.cylinders, g.cylinders);
        ASSERT_TRUE(SameSectors(disks[0], back));
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, FormatRoundTrip, ::testing::ValuesIn(Geometries),
                         NamedParam());

std::vector<uint8_t> Exported(VDisk &d, const ScratchDir &dir, const char *ext) {
    std::string name = std::string("made") + ext;
    EXPECT_EQ(1, d.Export(dir.File(name)));
    return ReadAll(dir.Path(name));
}

// Disks a format has no room for are refused before any file is made.
TEST(Formats, UnfitDisksRefused) {
    struct {
        const char *what, *ext;
        geometry_t g;
        std::function<void(VDisk &)> change;
    } cases[] = {
        {"plain dump track of 7 sectors", ".2HD", Geo("", 7, 77, 8, 3),
         [](VDisk &d) {
             d.tracks[10][0]->ClrSector();
             for (int r = 1; r <= 7; r++) d.tracks[10][0]->AddSector(NewSector(1, 10, 0, r, 3, 1024, 0));
         }},
        {"plain dump sector shorter than its N", ".2DD", Geo("", 3, 80, 9, 2),
         [](VDisk &d) { d.tracks[3][1]->sectors->length = 256; }},
        {"plain dump of one head", ".2D", Geo("", 1, 40, 9, 2),
         [](VDisk &d) {
             for (int c = 0; c < 40; c++) d.tracks[c][1]->ClrSector();
         }},
        {"DIM with a 9th sector on cylinder 0 head 0", ".DIM", Geo("", 7, 77, 8, 3),
         [](VDisk &d) { d.tracks[0][0]->AddSector(NewSector(1, 0, 0, 9, 3, 1024, 0)); }},
        {"DIM of 76 cylinders", ".DIM", Geo("", 7, 76, 8, 3), [](VDisk &) {}},
        {"FDI without cylinder 0", ".FDI", Geo("", 7, 77, 8, 3), [](VDisk &d) { d.tracks[0][1]->ClrSector(); }},
        {"FDD track of 27 sectors", ".FDD", Geo("", 7, 2, 26, 0),
         [](VDisk &d) { d.tracks[1][0]->AddSector(NewSector(1, 1, 0, 27, 0, 128, 0)); }},
        {"NFD track of 27 sectors", ".NFD", Geo("", 7, 2, 26, 0),
         [](VDisk &d) { d.tracks[1][0]->AddSector(NewSector(1, 1, 0, 27, 0, 128, 0)); }},
        {"NFD cylinder 81 head 1", ".NFD", Geo("", 3, 82, 1, 2), [](VDisk &) {}},
    };
    ScratchDir dir;
    for (auto &cs : cases) {
        VDisk d;
        FillDisk(d, cs.g, 5);
        cs.change(d);
        std::string name = std::string("x") + cs.ext;
        EXPECT_EQ(0, d.Export(dir.File(name))) << cs.what;
        EXPECT_FALSE(Exists(dir.Path(name))) << cs.what;
    }
}

// Damaged files are refused with 0, never read past what the file holds.
TEST(Formats, DamagedFilesRefused) {
    using patch_t = std::function<void(std::vector<uint8_t> &)>;
    const size_t sec0 = 0x2B0;  // first D88 sector header
    struct {
        const char *what, *ext;
        patch_t patch;
    } cases[] = {
        {"D88 media 0x30", ".D88", [](std::vector<uint8_t> &f) { f[0x1B] = 0x30; }},
        {"D88 sector above 16384 bytes", ".D88", [&](std::vector<uint8_t> &f) { PutLE16(&f[sec0 + 14], 16385); }},
        {"D88 sector past the file", ".D88", [&](std::vector<uint8_t> &f) { PutLE16(&f[sec0 + 14], 16000); }},
        {"D88 sector count past the image", ".D88", [&](std::vector<uint8_t> &f) { PutLE16(&f[sec0 + 4], 60000); }},
        {"D88 sector count 0", ".D88", [&](std::vector<uint8_t> &f) { PutLE16(&f[sec0 + 4], 0); }},
        {"D88 track past the file", ".D88", [](std::vector<uint8_t> &f) { PutLE32(&f[0x24], 0x7FFFFFF0); }},
        {"D88 track at the last byte", ".D88",
         [](std::vector<uint8_t> &f) { PutLE32(&f[0x24], (uint32_t)f.size() - 1); }},
        {"DIM media code 4", ".DIM", [](std::vector<uint8_t> &f) { f[0] = 4; }},
        {"DIM without its magic", ".DIM", [](std::vector<uint8_t> &f) { f[0xAB] = 'X'; }},
        {"DIM one byte short", ".DIM", [](std::vector<uint8_t> &f) { f.pop_back(); }},
        {"FDI of 3 heads", ".FDI", [](std::vector<uint8_t> &f) { PutLE32(&f[0x18], 3); }},
        {"FDI sizes not adding up", ".FDI", [](std::vector<uint8_t> &f) { f.push_back(0); }},
        {"FDI sector of 1000 bytes", ".FDI", [](std::vector<uint8_t> &f) { PutLE32(&f[0x10], 1000); }},
        {"FDI drive type 0x20", ".FDI", [](std::vector<uint8_t> &f) { PutLE32(&f[0x04], 0x20); }},
        {"FDI of 85 cylinders", ".FDI",
         [](std::vector<uint8_t> &f) {
             PutLE32(&f[0x1C], 85);
             f.resize(4096 + 85 * 2 * 26 * 128);
         }},
        {"FDD without its magic", ".FDD", [](std::vector<uint8_t> &f) { f[4] = '-'; }},
        {"FDD data past the file", ".FDD", [](std::vector<uint8_t> &f) { PutLE32(&f[0xDC + 8], 0xFFFFFF00); }},
        {"NFD drive type 0x20", ".NFD", [](std::vector<uint8_t> &f) { f[0x120 + 10] = 0x20; }},
        {"NFD of 1 head", ".NFD", [](std::vector<uint8_t> &f) { f[0x115] = 1; }},
        {"NFD one byte short", ".NFD", [](std::vector<uint8_t> &f) { f.pop_back(); }},
    };
    ScratchDir dir;
    VDisk small, dim;
    FillDisk(small, Geo("x", 7, 2, 26, 0), 8);
    FillDisk(dim, Geo("x", 7, 77, 8, 3), 8);
    for (auto &cs : cases) {
        std::vector<uint8_t> f = Exported(strcmp(cs.ext, ".DIM") ? small : dim, dir, cs.ext);
        cs.patch(f);
        std::string name = std::string("bad") + cs.ext;
        WriteAll(dir.Path(name), f);
        EXPECT_EQ(0, VDisk().Import(dir.File(name), 1)) << cs.what;
    }
}

TEST(Formats, ExportReplacesExistingFileWholeAndRespectsProtection) {
    ScratchDir dir;
    VDisk d, other;
    FillDisk(d, Geo("2HD", 7, 77, 8, 3), 3);
    FillDisk(other, Geo("2HD", 7, 77, 8, 3), 4);
    WriteAll(dir.Path("x.D88"), std::vector<uint8_t>(5000000, 0xAA));  // longer than the new image
    ASSERT_EQ(1, d.Export(dir.File("x.D88")));
    EXPECT_LT(ReadAll(dir.Path("x.D88")).size(), 5000000u);

    // A file without the owner's write permission is write-protected.
    chmod(dir.Path("x.D88").c_str(), 0444);
    EXPECT_EQ(0, other.Export(dir.File("x.D88")));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("x.D88"), 1));
    EXPECT_TRUE(SameSectors(d, back));
    EXPECT_EQ(1, back.protect);
    // Nothing is left behind beside the image.
    EXPECT_EQ(0, system(("test $(ls '" + dir.Path("") + "' | wc -l) -eq 1").c_str()));

    // Through a symbolic link the file it names is replaced.
    WriteAll(dir.Path("real.D88"), {0});
    ASSERT_EQ(0, symlink(dir.Path("real.D88").c_str(), dir.Path("link.D88").c_str()));
    ASSERT_EQ(1, other.Export(dir.File("link.D88")));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.Path("link.D88").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    VDisk viaLink;
    ASSERT_EQ(1, viaLink.Import(dir.File("real.D88"), 1));
    EXPECT_TRUE(SameSectors(other, viaLink));
}

TEST(Formats, UnknownExtensionsFail) {
    ScratchDir dir;
    VDisk d;
    FillDisk(d, Geo("2HD", 7, 77, 8, 3), 1);
    EXPECT_EQ(0, d.Export(dir.File("a.XYZ")));
    EXPECT_EQ(0, d.Export(dir.File("noext")));
    WriteAll(dir.Path("a.XYZ"), {1, 2, 3});
    EXPECT_EQ(0, VDisk().Import(dir.File("a.XYZ"), 1));
    EXPECT_EQ(0, VDisk().Import(dir.File("missing.D88"), 1));
}

// ---------------------------------------------------------------------------
// Plain dumps

TEST(PlainDump, RecognisedBySizeWhateverTheName) {
    ScratchDir dir;
    WriteAll(dir.Path("a.D88"), std::vector<uint8_t>(737280, 0x11));
    WriteAll(dir.Path("b.XYZ"), std::vector<uint8_t>(368640, 0x22));
    VDisk dd, d2;
    ASSERT_EQ(1, dd.Import(dir.File("a.D88"), 1));
    EXPECT_EQ(VDisk::TYPE_2DD, dd.type);
    EXPECT_EQ(80, dd.cylinders);
    EXPECT_EQ(9, dd.tracks[79][1]->SectorCount());
    EXPECT_STREQ("a.D88", dd.name);
    ASSERT_EQ(1, d2.Import(dir.File("b.XYZ"), 1));
    EXPECT_EQ(VDisk::TYPE_2D, d2.type);
    EXPECT_EQ(40, d2.cylinders);
    EXPECT_EQ(84, d2.tracks[0][0]->sectors->gap3);
}

// A dump stores no IDs: an interleaved track is written in R order, so it
// reads back with every sector in its place.
TEST(PlainDump, WritesSectorsInROrder) {
    ScratchDir dir;
    VDisk d, back;
    FillDisk(d, Geo("2HD", 7, 77, 8, 3), 7);
    d.tracks[3][1]->ClrSector();
    const uint8_t order[] = {1, 4, 7, 2, 5, 8, 3, 6};
    for (int r : order) {
        VSector *s = NewSector(1, 3, 1, r, 3, 1024, 0);
        memset(s->data, r, 1024);
        d.tracks[3][1]->AddSector(s);
    }
    std::vector<uint8_t> f = Exported(d, dir, ".IMG");
    ASSERT_EQ(1261568u, f.size());
    for (int i = 0; i < 8; i++) EXPECT_EQ(i + 1, f[(3 * 2 + 1) * 8 * 1024 + i * 1024]);
    ASSERT_EQ(1, back.Import(dir.File("made.IMG"), 1));
    EXPECT_TRUE(SameSectors(d, back, true, true));
}

// ---------------------------------------------------------------------------
// D88 family

TEST(D88, HeaderAndStatusBytes) {
    ScratchDir dir;
    VDisk d, back;
    d.Init(VDisk::TYPE_2DD, 40, 2);
    snprintf(d.name, sizeof d.name, "A NAME LONGER THAN SIXTEEN");
    d.protect = 1;
    const uint8_t statuses[] = {0, SECTOR_DELETED, SECTOR_IDCRC, SECTOR_DATACRC | SECTOR_IDCRC,
                                SECTOR_NODATA | SECTOR_DELETED, SECTOR_DATACRC | SECTOR_DELETED};
    for (int i = 0; i < 6; i++) d.tracks[0][0]->AddSector(NewSector(i != 2, 0, 0, i + 1, 1, 256, statuses[i]));

    // One byte holds one condition: an ID CRC error beside a data CRC error
    // is lost, and the export says so unless that loss is accepted.
    LossReport strict, lenient(LOSS_STATUS);
    EXPECT_EQ(0, d.Export(dir.File("made.D88"), &strict));
    EXPECT_FALSE(Exists(dir.Path("made.D88")));
    ASSERT_EQ(1u, strict.Losses().size());
    EXPECT_EQ("Track 0 (C:00 H:0): sector C=00 H=00 R=04 N=01: ID CRC error not kept",
              LossReport::Text(strict.Losses()[0]));
    ASSERT_EQ(1, d.Export(dir.File("made.D88"), &lenient));
    EXPECT_EQ(1u, lenient.Losses().size());

    std::vector<uint8_t> f = ReadAll(dir.Path("made.D88"));
    EXPECT_EQ(0, memcmp(f.data(), "A NAME LONGER TH", 16));
    EXPECT_EQ(0, f[16]);
    EXPECT_EQ(0x10, f[0x1A]);
    EXPECT_EQ(0x00, f[0x1B]);  // 40 cylinders of double density: 2D media
    EXPECT_EQ(f.size(), GetLE32(&f[0x1C]));
    EXPECT_EQ(0x2B0u, GetLE32(&f[0x20]));
    EXPECT_EQ(0u, GetLE32(&f[0x24]));
    const uint8_t deleted[] = {0, 0x10, 0, 0, 0x10, 0x10}, status[] = {0, 0x10, 0xA0, 0xB0, 0xF0, 0xB0};
    for (int i = 0; i < 6; i++) {
        const uint8_t *sh = &f[0x2B0 + i * (16 + 256)];
        EXPECT_EQ(6u, GetLE16(sh + 4));
        EXPECT_EQ(i == 2 ? 0x40 : 0x00, sh[6]);
        EXPECT_EQ(deleted[i], sh[7]) << i;
        EXPECT_EQ(status[i], sh[8]) << i;
    }
    // Every status byte comes back as the status it stands for.
    ASSERT_EQ(1, back.Import(dir.File("made.D88"), 1));
    const uint8_t read[] = {0, SECTOR_DELETED, SECTOR_IDCRC, SECTOR_DATACRC, SECTOR_NODATA | SECTOR_DELETED,
                            SECTOR_DATACRC | SECTOR_DELETED};
    for (int i = 0; i < 6; i++) EXPECT_EQ(read[i], back.tracks[0][0]->GetSectorByIndex(i)->status) << i;
}

// The table holds 82 cylinders: sectors beyond them fail the export, blank
// cylinders beyond them are no loss; a single-sided disk writes head 1 empty.
TEST(D88, CylindersBeyond82AndMissingHead) {
    ScratchDir dir;
    VDisk d, back;
    FillDisk(d, Geo("84", VDisk::TYPE_2DD, 84, 2, 0), 5);
    LossReport report;
    EXPECT_EQ(0, d.Export(dir.File("made.D88"), &report));
    ASSERT_FALSE(report.Losses().empty());
    EXPECT_EQ("Track 164 (C:82 H:0): all 2 sectors would be lost", LossReport::Text(report.Losses()[0]));
    for (int c = 82; c < 84; c++)
        for (int h = 0; h < 2; h++) d.tracks[c][h]->ClrSector();
    std::vector<uint8_t> f = Exported(d, dir, ".D88");
    EXPECT_EQ(0x10, f[0x1B]);
    EXPECT_EQ(0x2B0u + 82 * 2 * 2 * (16 + 128), f.size());
    ASSERT_EQ(1, back.Import(dir.File("made.D88"), 1));
    EXPECT_EQ(82, back.cylinders);

    VDisk one, oneback;
    one.Init(VDisk::TYPE_2HD, 77, 1);
    for (int c = 0; c < 77; c++) one.tracks[c][0]->AddSector(NewSector(1, c, 0, 1, 3, 1024, 0));
    one.tracks[0][0]->AddSector(NewSector(1, 0, 0, 2, 3, 0, SECTOR_NODATA));  // an ID without data
    Exported(one, dir, ".D88");
    ASSERT_EQ(1, oneback.Import(dir.File("made.D88"), 1));
    EXPECT_TRUE(SameSectors(one, oneback));
    EXPECT_EQ(0, oneback.tracks[5][1]->SectorCount());
}

// The D88 file as written, with its track table cut to the given number of
// entries (the tracks move up with it).
std::vector<uint8_t> WithTable(std::vector<uint8_t> f, int entries) {
    const uint32_t cut = (uint32_t)(164 - entries) * 4;
    std::vector<uint8_t> g(f.begin(), f.begin() + 0x20 + 4 * entries);
    g.insert(g.end(), f.begin() + 0x2B0, f.end());
    for (int i = 0; i < entries; i++)
        if (uint32_t off = GetLE32(&g[0x20 + 4 * i])) PutLE32(&g[0x20 + 4 * i], off - cut);
    PutLE32(&g[0x1C], (uint32_t)g.size());
    return g;
}

// Tables and size fields as other tools write them: every sector is read.
TEST(D88, RealWorldTablesAndSizes) {
    struct {
        const char *what;
        geometry_t g;
        std::function<void(VDisk &)> change;
        std::function<std::vector<uint8_t>(std::vector<uint8_t>)> patch;
        int cylinders;
    } cases[] = {
        {"2HD with a 154-entry table", Geo("", 7, 77, 8, 3), [](VDisk &) {},
         [](std::vector<uint8_t> f) { return WithTable(f, 154); }, 80},
        {"2D with an 80-entry table", Geo("", 1, 40, 16, 1), [](VDisk &) {},
         [](std::vector<uint8_t> f) { return WithTable(f, 80); }, 42},
        {"2DD of 82 cylinders without track 0", Geo("", 3, 82, 9, 2), [](VDisk &d) { d.tracks[0][0]->ClrSector(); },
         [](std::vector<uint8_t> f) { return f; }, 82},
        {"size field smaller than the disk", Geo("", 7, 77, 8, 3), [](VDisk &) {},
         [](std::vector<uint8_t> f) {
             PutLE32(&f[0x1C], 0x2B0);
             return f;
         },
         82},
    };
    ScratchDir dir;
    for (auto &cs : cases) {
        VDisk d, back;
        FillDisk(d, cs.g, 9);
        cs.change(d);
        WriteAll(dir.Path("in.D88"), cs.patch(Exported(d, dir, ".D88")));
        ASSERT_EQ(1, back.Import(dir.File("in.D88"), 1)) << cs.what;
        EXPECT_EQ(cs.cylinders, back.cylinders) << cs.what;
        EXPECT_TRUE(SameSectors(d, back)) << cs.what;
    }
}

TEST(D88, MultiDiskOffsets) {
    ScratchDir dir;
    VDisk disks[3];
    FillDisk(disks[0], Geo("A", VDisk::TYPE_2DD, 80, 1, 1), 1);
    FillDisk(disks[1], Geo("B", VDisk::TYPE_2HD, 77, 2, 2), 2);
    FillDisk(disks[2], Geo("C", VDisk::TYPE_2D, 40, 3, 0), 3);
    std::vector<uint8_t> all;
    std::vector<int> starts;
    for (VDisk &d : disks) {
        std::vector<uint8_t> f = Exported(d, dir, ".D88");
        starts.push_back((int)all.size());
        all.insert(all.end(), f.begin(), f.end());
    }
    WriteAll(dir.Path("multi.D88"), all);
    Filepath p = dir.File("multi.D88");

    VDisk probe;
    for (int k = 1; k <= 3; k++) {
        EXPECT_EQ(starts[k - 1], probe.GetD68MediaOffset(p, k));
        VDisk d;
        ASSERT_EQ(1, d.Import(p, k)) << k;
        EXPECT_STREQ(disks[k - 1].name, d.name);
        EXPECT_TRUE(SameSectors(disks[k - 1], d)) << k;
    }
    EXPECT_EQ((int)all.size(), probe.GetD68MediaOffset(p, 4));
    EXPECT_EQ(0, VDisk().Import(p, 4));

    PutLE32(&all[starts[1] + 0x1C], 300);  // disk 2 claims an implausible size
    WriteAll(dir.Path("multi.D88"), all);
    EXPECT_EQ(-1, probe.GetD68MediaOffset(p, 3));
    EXPECT_EQ(0, VDisk().Import(p, 3));
}

// Writing one disk of a multi-disk file keeps every other disk as it was.
TEST(D88, ReplacingOneDiskOfSeveral) {
    ScratchDir dir;
    VDisk disks[3];
    FillDisk(disks[0], Geo("A", VDisk::TYPE_2DD, 80, 2, 1), 1);
    FillDisk(disks[1], Geo("B", VDisk::TYPE_2HD, 77, 2, 2), 2);
    FillDisk(disks[2], Geo("C", VDisk::TYPE_2D, 40, 3, 0), 3);
    std::vector<std::vector<uint8_t>> files;
    std::vector<uint8_t> all;
    for (VDisk &d : disks) {
        files.push_back(Exported(d, dir, ".D88"));
        all.insert(all.end(), files.back().begin(), files.back().end());
    }
    WriteAll(dir.Path("multi.D88"), all);

    VDisk changed;
    FillDisk(changed, Geo("B2", VDisk::TYPE_2HD, 77, 5, 2), 9);  // longer than the disk it replaces
    ASSERT_EQ(1, changed.Export(dir.File("multi.D88"), nullptr, 2));
    std::vector<uint8_t> after = ReadAll(dir.Path("multi.D88"));
    std::vector<uint8_t> mid = Exported(changed, dir, ".D88");
    std::vector<uint8_t> expect = files[0];
    expect.insert(expect.end(), mid.begin(), mid.end());
    expect.insert(expect.end(), files[2].begin(), files[2].end());
    EXPECT_TRUE(expect == after);
    for (int k : {1, 2, 3}) {
        VDisk d;
        ASSERT_EQ(1, d.Import(dir.File("multi.D88"), k));
        EXPECT_TRUE(SameSectors(k == 2 ? changed : disks[k - 1], d)) << k;
    }
    LossReport report;
    EXPECT_EQ(0, changed.Export(dir.File("multi.D88"), &report, 4));
    EXPECT_EQ("the D88 file has no disk 4 to replace", report.Refusal());
    EXPECT_TRUE(expect == ReadAll(dir.Path("multi.D88")));
}

// ---------------------------------------------------------------------------
// DIM, FDD

TEST(DIM, MediaCodeIds) {
    struct {
        int code;
        std::vector<int> r00, h00, r51, h51;  // R and H of the first sectors of c0h0 and c5h1
    } cases[] = {
        {1, {1, 11, 12, 13, 14, 15, 16, 17, 18}, {0, 0}, {10, 11, 12}, {1, 1}},
        {3, {1, 2, 3}, {0, 0x80, 0x80}, {1, 2}, {0x81, 0x81}},
    };
    ScratchDir dir;
    for (auto &cs : cases) {
        std::vector<uint8_t> f(256, 0);
        f[0] = (uint8_t)cs.code;
        memset(&f[1], 1, 160);
        memcpy(&f[0xAB], "DIFC HEADER  ", 14);
        f.resize(256 + 160 * 9 * 1024, 0xE5);
        WriteAll(dir.Path("m.DIM"), f);
        VDisk d;
        ASSERT_EQ(1, d.Import(dir.File("m.DIM"), 1)) << cs.code;
        EXPECT_EQ(84, d.cylinders);
        EXPECT_EQ(0, d.tracks[80][0]->SectorCount());
        auto at = [&](int c, int h, size_t i) { return d.tracks[c][h]->GetSectorByIndex((int)i); };
        for (size_t i = 0; i < cs.r00.size(); i++) EXPECT_EQ(cs.r00[i], at(0, 0, i)->r);
        for (size_t i = 0; i < cs.h00.size(); i++) EXPECT_EQ(cs.h00[i], at(0, 0, i)->h);
        for (size_t i = 0; i < cs.r51.size(); i++) EXPECT_EQ(cs.r51[i], at(5, 1, i)->r);
        for (size_t i = 0; i < cs.h51.size(); i++) EXPECT_EQ(cs.h51[i], at(5, 1, i)->h);
    }
}

TEST(DIM, Media17GapsAndOverTrackFlag) {
    ScratchDir dir;
    VDisk d, back;
    FillDisk(d, {"17", VDisk::TYPE_2HD, 77, 26, 1, true, false, {}}, 2);
    EXPECT_EQ(17, Exported(d, dir, ".DIM")[0]);
    ASSERT_EQ(1, back.Import(dir.File("made.DIM"), 1));
    const VSector *fm = back.tracks[0][0]->sectors, *mfm = back.tracks[1][0]->sectors;
    EXPECT_EQ(0, fm->mfm);
    EXPECT_EQ(11, fm->gap2);
    EXPECT_EQ(27, fm->gap3);
    EXPECT_EQ(54, mfm->gap3);

    for (int cyls : {77, 80}) {
        VDisk e;
        FillDisk(e, Geo("8", VDisk::TYPE_2HD, cyls, 8, 3), 2);
        std::vector<uint8_t> f = Exported(e, dir, ".DIM");
        EXPECT_EQ(0, f[0]);
        EXPECT_EQ(cyls != 77, f[0xFF]) << cyls;
    }
}

TEST(FDD, RepeatedByteSectorStoredAsFill) {
    ScratchDir dir;
    VDisk d, back;
    d.Init(VDisk::TYPE_2HD, 1, 2);
    VSector *e5 = NewSector(1, 0, 0, 1, 3, 1024, 0), *other = NewSector(1, 0, 0, 2, 3, 1024, 0);
    memset(e5->data, 0xE5, 1024);
    other->data[1023] = 1;
    d.tracks[0][0]->AddSector(e5);
    d.tracks[0][0]->AddSector(other);
    std::vector<uint8_t> f = Exported(d, dir, ".FDD");
    ASSERT_EQ(50172u + 1024, f.size());
    EXPECT_EQ(0xE5, f[0xDC + 4]);
    EXPECT_EQ(0xFFFFFFFFu, GetLE32(&f[0xDC + 8]));
    EXPECT_EQ(0xFF, f[0xDC + 12 + 4]);
    EXPECT_EQ(50172u, GetLE32(&f[0xDC + 12 + 8]));
    ASSERT_EQ(1, back.Import(dir.File("made.FDD"), 1));
    EXPECT_TRUE(SameSectors(d, back));
}

}  // namespace
