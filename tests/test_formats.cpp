// Sector image formats: round trips of every geometry through every format
// that can hold it, the particulars of each format, and refusal of damaged
// or oversized input.
#include "formats_fixture.h"

#include "bytes.h"

namespace {

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
    TempDir dir;
    VDisk original;
    FillDisk(original, g, 1234);
    const VDisk *from = &original;
    VDisk disks[8];
    for (size_t i = 0; i < g.formats.size(); i++) {
        SCOPED_TRACE(g.formats[i]);
        Filepath path = dir.File(std::string("disk") + g.formats[i]);
        ASSERT_EQ(1, const_cast<VDisk *>(from)->Export(path));
        ASSERT_EQ(1, disks[i].Import(path, 1));
        EXPECT_EQ(g.type, disks[i].type);
        EXPECT_EQ(2, disks[i].heads);
        EXPECT_GE(disks[i].cylinders, g.cylinders);
        ASSERT_TRUE(SameSectors(original, disks[i]));
        from = &disks[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, FormatRoundTrip, ::testing::ValuesIn(Geometries),
                         [](const ::testing::TestParamInfo<geometry_t> &info) {
                             std::string s = info.param.name;
                             for (char &ch : s)
                                 if (!isalnum((unsigned char)ch)) ch = '_';
                             return s;
                         });

geometry_t Plain2HD() { return {"2HD", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}; }

// ---------------------------------------------------------------------------
// Plain dumps

TEST(PlainDump, RecognisedBySizeWhateverTheName) {
    TempDir dir;
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

TEST(PlainDump, WritesSectorsInListOrder) {
    TempDir dir;
    VDisk d;
    FillDisk(d, Plain2HD(), 7);
    // Rebuild cylinder 3 head 1 with the sectors in the order found on a medium.
    d.tracks[3][1]->ClrSector();
    for (int r : {1, 3, 5, 2, 4, 6, 8, 7}) {
        VSector *s = NewSector(1, 3, 1, r, 3, 1024, 0);
        memset(s->data, r, 1024);
        d.tracks[3][1]->AddSector(s);
    }
    ASSERT_EQ(1, d.Export(dir.File("d.IMG")));
    std::vector<uint8_t> f = ReadAll(dir.Path("d.IMG"));
    ASSERT_EQ(1261568u, f.size());
    size_t track = (3 * 2 + 1) * 8 * 1024;
    const uint8_t order[] = {1, 3, 5, 2, 4};
    for (int i = 0; i < 5; i++) EXPECT_EQ(order[i], f[track + i * 1024]);
}

TEST(PlainDump, MismatchedTrackRefusedAndExistingFileKept) {
    TempDir dir;
    VDisk d;
    FillDisk(d, Plain2HD(), 9);
    d.tracks[10][0]->ClrSector();
    for (int r = 1; r <= 7; r++) d.tracks[10][0]->AddSector(NewSector(1, 10, 0, r, 3, 1024, 0));
    EXPECT_EQ(0, d.Export(dir.File("new.2HD")));
    EXPECT_FALSE(Exists(dir.Path("new.2HD")));

    WriteAll(dir.Path("old.2HD"), {1, 2, 3});
    EXPECT_EQ(0, d.Export(dir.File("old.2HD")));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), ReadAll(dir.Path("old.2HD")));
}

TEST(PlainDump, SingleHeadedDiskRefused) {
    TempDir dir;
    VDisk d;
    d.Init(VDisk::TYPE_2D, 40, 1);
    for (int c = 0; c < 40; c++)
        for (int r = 1; r <= 9; r++) d.tracks[c][0]->AddSector(NewSector(1, c, 0, r, 2, 512, 0));
    EXPECT_EQ(0, d.Export(dir.File("one.2D")));
    EXPECT_FALSE(Exists(dir.Path("one.2D")));
}

// ---------------------------------------------------------------------------
// Replacing files

TEST(ImageFiles, ExportReplacesExistingFileWholeAndRespectsProtection) {
    TempDir dir;
    VDisk d;
    FillDisk(d, Plain2HD(), 3);
    WriteAll(dir.Path("x.D88"), std::vector<uint8_t>(5000000, 0xAA));  // longer than the new image
    ASSERT_EQ(1, d.Export(dir.File("x.D88")));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("x.D88"), 1));
    EXPECT_TRUE(SameSectors(d, back));
    EXPECT_LT(ReadAll(dir.Path("x.D88")).size(), 5000000u);

    // A file without the owner's write permission is write-protected.
    chmod(dir.Path("x.D88").c_str(), 0444);
    VDisk other;
    FillDisk(other, Plain2HD(), 4);
    EXPECT_EQ(0, other.Export(dir.File("x.D88")));
    VDisk again;
    ASSERT_EQ(1, again.Import(dir.File("x.D88"), 1));
    EXPECT_TRUE(SameSectors(d, again));
    EXPECT_EQ(1, again.protect);
    // Nothing is left behind beside the image.
    EXPECT_EQ(0, system(("test $(ls '" + dir.Path("") + "' | wc -l) -eq 1").c_str()));
}

// ---------------------------------------------------------------------------
// D88 family

std::vector<uint8_t> D88Image(const VDisk &d, const TempDir &dir) {
    Filepath p = dir.File("tmp.d88");
    EXPECT_EQ(1, const_cast<VDisk &>(d).Export(p));
    return ReadAll(dir.Path("tmp.d88"));
}

TEST(D88, HeaderAndStatusBytes) {
    TempDir dir;
    VDisk d;
    d.Init(VDisk::TYPE_2DD, 40, 2);
    snprintf(d.name, sizeof d.name, "A NAME LONGER THAN SIXTEEN");
    d.protect = 1;
    const uint8_t statuses[] = {0, SECTOR_DELETED, SECTOR_IDCRC, SECTOR_DATACRC | SECTOR_IDCRC,
                                SECTOR_NODATA | SECTOR_DELETED};
    for (int i = 0; i < 5; i++) {
        VSector *s = NewSector(i != 2, 0, 0, i + 1, 1, 256, statuses[i]);
        d.tracks[0][0]->AddSector(s);
    }
    std::vector<uint8_t> f = D88Image(d, dir);
    EXPECT_EQ(0, memcmp(f.data(), "A NAME LONGER TH", 16));
    EXPECT_EQ(0, f[16]);
    EXPECT_EQ(0x10, f[0x1A]);
    EXPECT_EQ(0x00, f[0x1B]);  // 40 cylinders of double density: 2D media
    EXPECT_EQ(f.size(), GetLE32(&f[0x1C]));
    EXPECT_EQ(0x2B0u, GetLE32(&f[0x20]));
    EXPECT_EQ(0u, GetLE32(&f[0x24]));
    const uint8_t deleted[] = {0, 0x10, 0, 0, 0x10}, status[] = {0, 0x10, 0xA0, 0xB0, 0xF0};
    for (int i = 0; i < 5; i++) {
        const uint8_t *sh = &f[0x2B0 + i * (16 + 256)];
        EXPECT_EQ(5u, GetLE16(sh + 4));
        EXPECT_EQ(i == 2 ? 0x40 : 0x00, sh[6]);
        EXPECT_EQ(deleted[i], sh[7]) << i;
        EXPECT_EQ(status[i], sh[8]) << i;
    }
}

TEST(D88, CylindersBeyond82Dropped) {
    TempDir dir;
    VDisk d;
    geometry_t g = {"84", VDisk::TYPE_2DD, 84, 2, 0, false, false, {}};
    FillDisk(d, g, 5);
    std::vector<uint8_t> f = D88Image(d, dir);
    EXPECT_EQ(0x10, f[0x1B]);
    EXPECT_EQ(0x2B0u + 82 * 2 * 2 * (16 + 128), f.size());
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("tmp.d88"), 1));
    EXPECT_EQ(82, back.cylinders);
}

TEST(D88, SingleHeadedDiskHasEmptySecondSide) {
    TempDir dir;
    VDisk d;
    d.Init(VDisk::TYPE_2HD, 77, 1);
    for (int c = 0; c < 77; c++) d.tracks[c][0]->AddSector(NewSector(1, c, 0, 1, 3, 1024, 0));
    std::vector<uint8_t> f = D88Image(d, dir);
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("tmp.d88"), 1));
    EXPECT_TRUE(SameSectors(d, back));
    EXPECT_EQ(0, back.tracks[5][1]->SectorCount());
}

TEST(D88, MultiDiskOffsets) {
    TempDir dir;
    VDisk a, b, c;
    FillDisk(a, {"A", VDisk::TYPE_2DD, 80, 1, 1, false, false, {}}, 1);
    FillDisk(b, {"B", VDisk::TYPE_2HD, 77, 2, 2, false, false, {}}, 2);
    FillDisk(c, {"C", VDisk::TYPE_2D, 40, 3, 0, false, false, {}}, 3);
    std::vector<uint8_t> fa = D88Image(a, dir), fb = D88Image(b, dir), fc = D88Image(c, dir);
    std::vector<uint8_t> all = fa;
    all.insert(all.end(), fb.begin(), fb.end());
    all.insert(all.end(), fc.begin(), fc.end());
    WriteAll(dir.Path("multi.D88"), all);
    Filepath p = dir.File("multi.D88");

    VDisk probe;
    EXPECT_EQ(0, probe.GetD68MediaOffset(p, 1));
    EXPECT_EQ((int)fa.size(), probe.GetD68MediaOffset(p, 2));
    EXPECT_EQ((int)(fa.size() + fb.size()), probe.GetD68MediaOffset(p, 3));
    EXPECT_EQ((int)all.size(), probe.GetD68MediaOffset(p, 4));
    const VDisk *want[] = {&a, &b, &c};
    for (int k = 1; k <= 3; k++) {
        VDisk d;
        ASSERT_EQ(1, d.Import(p, k)) << k;
        EXPECT_STREQ(want[k - 1]->name, d.name);
        EXPECT_TRUE(SameSectors(*want[k - 1], d)) << k;
    }
    EXPECT_EQ(0, VDisk().Import(p, 4));

    PutLE32(&all[fa.size() + 0x1C], 300);  // disk 2 claims an implausible size
    WriteAll(dir.Path("multi.D88"), all);
    EXPECT_EQ(-1, probe.GetD68MediaOffset(p, 3));
    EXPECT_EQ(0, VDisk().Import(p, 3));
}

// Damaged headers: each is refused with 0, never read out of bounds.
TEST(D88, DamagedImagesRefused) {
    TempDir dir;
    VDisk d;
    FillDisk(d, {"x", VDisk::TYPE_2HD, 2, 2, 1, false, false, {}}, 8);
    const std::vector<uint8_t> good = D88Image(d, dir);
    const size_t sec0 = 0x2B0;
    struct {
        const char *what;
        size_t off;
        int width;
        uint32_t value;
    } cases[] = {
        {"media 0x30", 0x1B, 1, 0x30},
        {"sector size above 16384", sec0 + 14, 2, 16385},
        {"sector size past the file", sec0 + 14, 2, 16000},
        {"sector count past the image", sec0 + 4, 2, 60000},
        {"sector count 0", sec0 + 4, 2, 0},
        {"track entry past the file", 0x24, 4, 0x7FFFFFF0},
        {"track entry at the last byte", 0x24, 4, 0},  // value set below
    };
    for (auto &cs : cases) {
        std::vector<uint8_t> f = good;
        uint32_t v = cs.value;
        if (!strcmp(cs.what, "track entry at the last byte")) v = (uint32_t)f.size() - 1;
        if (cs.width == 1) f[cs.off] = (uint8_t)v;
        else if (cs.width == 2) PutLE16(&f[cs.off], v);
        else PutLE32(&f[cs.off], v);
        WriteAll(dir.Path("bad.d88"), f);
        VDisk out;
        EXPECT_EQ(0, out.Import(dir.File("bad.d88"), 1)) << cs.what;
    }
}

// ---------------------------------------------------------------------------
// DIM

std::vector<uint8_t> DimFile(int code, int sectors, int n, int cyls) {
    std::vector<uint8_t> f(256, 0);
    f[0] = (uint8_t)code;
    memset(&f[1], 1, (size_t)cyls * 2);
    memcpy(&f[0xAB], "DIFC HEADER  ", 14);
    f.resize(256 + (size_t)cyls * 2 * sectors * (128 << n), 0xE5);
    return f;
}

TEST(DIM, MediaCodeIds) {
    TempDir dir;
    struct {
        int code, sectors, n;
        std::vector<int> r00, h00, r01, h01;
    } cases[] = {
        {1, 9, 3, {1, 11, 12, 13, 14, 15, 16, 17, 18}, {0, 0}, {10, 11, 12}, {1, 1}},
        {3, 9, 3, {1, 2, 3}, {0, 0x80, 0x80}, {1, 2}, {0x81, 0x81}},
    };
    for (auto &cs : cases) {
        WriteAll(dir.Path("m.DIM"), DimFile(cs.code, cs.sectors, cs.n, 80));
        VDisk d;
        ASSERT_EQ(1, d.Import(dir.File("m.DIM"), 1)) << cs.code;
        EXPECT_EQ(84, d.cylinders);
        EXPECT_EQ(VDisk::TYPE_2HD, d.type);
        EXPECT_EQ(0, d.tracks[80][0]->SectorCount());
        for (size_t i = 0; i < cs.r00.size(); i++) EXPECT_EQ(cs.r00[i], d.tracks[0][0]->GetSectorByIndex((int)i)->r);
        for (size_t i = 0; i < cs.h00.size(); i++) EXPECT_EQ(cs.h00[i], d.tracks[0][0]->GetSectorByIndex((int)i)->h);
        for (size_t i = 0; i < cs.r01.size(); i++) EXPECT_EQ(cs.r01[i], d.tracks[5][1]->GetSectorByIndex((int)i)->r);
        for (size_t i = 0; i < cs.h01.size(); i++) EXPECT_EQ(cs.h01[i], d.tracks[5][1]->GetSectorByIndex((int)i)->h);
    }
}

TEST(DIM, Media17GapsAndOverTrackFlag) {
    TempDir dir;
    VDisk d;
    FillDisk(d, {"17", VDisk::TYPE_2HD, 77, 26, 1, true, false, {}}, 2);
    ASSERT_EQ(1, d.Export(dir.File("a.DIM")));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("a.DIM"), 1));
    const VSector *fm = back.tracks[0][0]->sectors, *mfm = back.tracks[1][0]->sectors;
    EXPECT_EQ(0, fm->mfm);
    EXPECT_EQ(11, fm->gap2);
    EXPECT_EQ(27, fm->gap3);
    EXPECT_EQ(54, mfm->gap3);
    EXPECT_EQ(17, ReadAll(dir.Path("a.DIM"))[0]);

    for (int cyls : {77, 80}) {
        VDisk e;
        FillDisk(e, {"8", VDisk::TYPE_2HD, cyls, 8, 3, false, false, {}}, 2);
        ASSERT_EQ(1, e.Export(dir.File("b.DIM")));
        std::vector<uint8_t> f = ReadAll(dir.Path("b.DIM"));
        EXPECT_EQ(0, f[0]);
        EXPECT_EQ(cyls != 77, f[0xFF]) << cyls;
    }
}

TEST(DIM, BadHeadersAndUnfitDisksRefused) {
    TempDir dir;
    std::vector<uint8_t> f = DimFile(4, 8, 3, 1);
    WriteAll(dir.Path("c4.DIM"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("c4.DIM"), 1));
    f = DimFile(0, 8, 3, 2);
    f.resize(f.size() - 1);  // last sector one byte short
    WriteAll(dir.Path("short.DIM"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("short.DIM"), 1));

    // A DIM keeps no sector IDs, so a disk whose cylinder 0 head 0 differs
    // from the medium cannot be stored.
    VDisk d;
    FillDisk(d, {"x", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}, 2);
    d.tracks[0][0]->AddSector(NewSector(1, 0, 0, 9, 3, 1024, 0));
    EXPECT_EQ(0, d.Export(dir.File("x.DIM")));
    VDisk few;
    FillDisk(few, {"x", VDisk::TYPE_2HD, 76, 8, 3, false, false, {}}, 2);
    EXPECT_EQ(0, few.Export(dir.File("x.DIM")));
}

// ---------------------------------------------------------------------------
// FDI, FDD, NFD

std::vector<uint8_t> FdiFile(uint32_t drive, uint32_t bytes, uint32_t sectors, uint32_t heads, uint32_t cyls) {
    std::vector<uint8_t> f(4096, 0);
    PutLE32(&f[4], drive);
    PutLE32(&f[8], 4096);
    PutLE32(&f[0x10], bytes);
    PutLE32(&f[0x14], sectors);
    PutLE32(&f[0x18], heads);
    PutLE32(&f[0x1C], cyls);
    f.resize(4096 + (size_t)bytes * sectors * heads * cyls);
    return f;
}

TEST(FDI, HeaderChecks) {
    TempDir dir;
    struct {
        std::vector<uint8_t> file;
        int ok, type;
    } cases[] = {
        {FdiFile(0x90, 1024, 8, 2, 77), 1, VDisk::TYPE_2HD},
        {FdiFile(0x7F, 512, 9, 2, 80), 1, VDisk::TYPE_2DD},
        {FdiFile(0xD0, 256, 16, 2, 40), 1, VDisk::TYPE_2D},
        {FdiFile(0x90, 1024, 8, 3, 77), 0, 0},
        {FdiFile(0x20, 1024, 8, 2, 77), 0, 0},
        {FdiFile(0x90, 1000, 8, 2, 77), 0, 0},
        {FdiFile(0x90, 512, 1, 2, 85), 0, 0},  // more cylinders than a disk holds
    };
    for (auto &cs : cases) {
        WriteAll(dir.Path("f.FDI"), cs.file);
        VDisk d;
        EXPECT_EQ(cs.ok, d.Import(dir.File("f.FDI"), 1));
        if (cs.ok) {
            EXPECT_EQ(cs.type, d.type);
        }
    }
    std::vector<uint8_t> f = FdiFile(0x90, 1024, 8, 2, 77);
    f.push_back(0);  // sizes no longer add up to the file
    WriteAll(dir.Path("f.FDI"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("f.FDI"), 1));
}

TEST(FDD, RepeatedByteSectorStoredAsFill) {
    TempDir dir;
    VDisk d;
    d.Init(VDisk::TYPE_2HD, 1, 2);
    VSector *e5 = NewSector(1, 0, 0, 1, 3, 1024, 0);
    memset(e5->data, 0xE5, 1024);
    d.tracks[0][0]->AddSector(e5);
    d.tracks[0][0]->AddSector(NewSector(1, 0, 0, 2, 3, 1024, 0));
    d.tracks[0][0]->GetSectorByIndex(1)->data[1023] = 1;
    ASSERT_EQ(1, d.Export(dir.File("a.FDD")));
    std::vector<uint8_t> f = ReadAll(dir.Path("a.FDD"));
    ASSERT_EQ(50172u + 1024, f.size());
    EXPECT_EQ(0xE5, f[0xDC + 4]);
    EXPECT_EQ(0xFFFFFFFFu, GetLE32(&f[0xDC + 8]));
    EXPECT_EQ(0xFF, f[0xDC + 12 + 4]);
    EXPECT_EQ(50172u, GetLE32(&f[0xDC + 12 + 8]));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("a.FDD"), 1));
    EXPECT_TRUE(SameSectors(d, back));
}

// The sector tables have 26 entries per track (and NFD 163 tracks): what
// does not fit is refused rather than written past the table or dropped.
TEST(SectorTables, OverfullTracksRefused) {
    TempDir dir;
    for (const char *ext : {".FDD", ".NFD"}) {
        VDisk d;
        d.Init(VDisk::TYPE_2HD, 2, 2);
        for (int r = 1; r <= 27; r++) d.tracks[1][0]->AddSector(NewSector(1, 1, 0, r, 0, 128, 0));
        EXPECT_EQ(0, d.Export(dir.File(std::string("a") + ext))) << ext;
        EXPECT_FALSE(Exists(dir.Path(std::string("a") + ext)));
    }
    VDisk d;
    FillDisk(d, {"82", VDisk::TYPE_2DD, 82, 1, 2, false, false, {}}, 6);
    d.tracks[81][1]->ClrSector();
    ASSERT_EQ(1, d.Export(dir.File("ok.NFD")));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("ok.NFD"), 1));
    EXPECT_TRUE(SameSectors(d, back));
    d.tracks[81][1]->AddSector(NewSector(1, 81, 1, 1, 2, 512, 0));
    EXPECT_EQ(0, d.Export(dir.File("bad.NFD")));
}

TEST(NFD, DriveTypeAndHeaderChecks) {
    TempDir dir;
    VDisk d;
    FillDisk(d, {"n", VDisk::TYPE_2HD, 2, 1, 1, false, false, {}}, 3);
    ASSERT_EQ(1, d.Export(dir.File("a.NFD")));
    std::vector<uint8_t> good = ReadAll(dir.Path("a.NFD"));
    EXPECT_EQ(0x90, good[0x120 + 10]);
    std::vector<uint8_t> f = good;
    f[0x120 + 10] = 0x20;
    WriteAll(dir.Path("b.NFD"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("b.NFD"), 1));
    f = good;
    f[0x115] = 1;
    WriteAll(dir.Path("b.NFD"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("b.NFD"), 1));
    f = good;
    f.resize(f.size() - 1);
    WriteAll(dir.Path("b.NFD"), f);
    EXPECT_EQ(0, VDisk().Import(dir.File("b.NFD"), 1));
}

TEST(Dispatch, UnknownExtensionsFail) {
    TempDir dir;
    VDisk d;
    FillDisk(d, Plain2HD(), 1);
    EXPECT_EQ(0, d.Export(dir.File("a.XYZ")));
    EXPECT_EQ(0, d.Export(dir.File("noext")));
    WriteAll(dir.Path("a.XYZ"), {1, 2, 3});
    EXPECT_EQ(0, VDisk().Import(dir.File("a.XYZ"), 1));
    EXPECT_EQ(0, VDisk().Import(dir.File("missing.D88"), 1));
}

}  // namespace
