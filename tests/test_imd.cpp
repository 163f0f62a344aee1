// IMD archives: the records the writer makes (mode, maps, size table, fill
// sectors, status), files of other writers read, every status IMD records
// through a track image and back to D88, and damaged files refused.
#include <functional>

#include "bytes.h"
#include "fdi_loss.h"
#include "formats_fixture.h"
#include "zeldisk.h"

namespace {

typedef std::vector<uint8_t> Bytes;

VSector *Sec(std::mt19937 &rng, int mfm, int c, int h, int r, int n, int status = 0, int fill = -1) {
    VSector *s = NewSector(mfm, c, h, r, n, 128 << n, status);
    for (int i = 0; i < s->length; i++) s->data[i] = fill >= 0 ? (uint8_t)fill : (uint8_t)rng();
    return s;
}

// A 2HD disk with a bit of everything: cylinder 0 head 0 in FM, sectors
// of every status IMD keeps and a fill sector on cylinder 1 head 0, IDs of
// another cylinder and head on cylinder 1 head 1, sizes mixed on cylinder 2.
void Everything(VDisk &d) {
    std::mt19937 rng(11);
    d.Init(VDisk::TYPE_2HD, 3, 2);
    snprintf(d.name, sizeof d.name, "mixed bag");
    for (int r = 1; r <= 26; r++) d.tracks[0][0]->AddSector(Sec(rng, 0, 0, 0, r, 0));
    for (int r = 1; r <= 8; r++) d.tracks[0][1]->AddSector(Sec(rng, 1, 0, 1, r, 3));
    const int status[] = {0, SECTOR_DELETED, SECTOR_DATACRC, SECTOR_DELETED | SECTOR_DATACRC, SECTOR_NODATA, 0};
    for (int r = 1; r <= 6; r++) {
        VSector *s = Sec(rng, 1, 1, 0, r, 2, status[r - 1], r == 6 ? 0xE5 : -1);
        if (status[r - 1] & SECTOR_NODATA) memset(s->data, 0, (size_t)s->length);
        d.tracks[1][0]->AddSector(s);
    }
    for (int r = 1; r <= 8; r++) d.tracks[1][1]->AddSector(Sec(rng, 1, 9, 0x81, r, 3));
    for (int n = 0; n <= 3; n++) d.tracks[2][0]->AddSector(Sec(rng, 1, 2, 0, n + 1, n));
}

// Offset of the record of track (c, h) in a file, -1 if it has none.
long RecordAt(const Bytes &f, int c, int h) {
    size_t p = 0;
    while (p < f.size() && f[p] != 0x1A) p++;
    for (p++; p + 5 <= f.size();) {
        int n = f[p + 3], code = f[p + 4], hb = f[p + 2];
        if (f[p + 1] == c && (hb & 1) == h) return (long)p;
        size_t q = p + 5 + n * (1 + !!(hb & 0x80) + !!(hb & 0x40)) + (code == 0xFF ? 2 * n : 0);
        const size_t sizes = q - (code == 0xFF ? 2 * n : 0);
        for (int k = 0; k < n; k++) {
            int len = code == 0xFF ? (int)GetLE16(&f[sizes + 2 * k]) : 128 << code;
            int t = f[q];
            q += 1 + (t == 0 ? 0 : (t - 1) & 1 ? 1 : len);
        }
        p = q;
    }
    return -1;
}

TEST(IMD, WriterRecordsModeMapsSizesAndStatus) {
    ScratchDir dir;
    VDisk d;
    Everything(d);
    ASSERT_EQ(1, d.Export(dir.File("a.imd")));
    Bytes f = ReadAll(dir.Path("a.imd"));
    ASSERT_GT(f.size(), 40u);
    EXPECT_EQ(0, memcmp(f.data(), "IMD 1.18: ", 10));
    std::string text(f.begin(), f.begin() + 60);
    EXPECT_NE(std::string::npos, text.find("\r\nmixed bag\x1A")) << "the name is the comment";

    const struct {
        int c, h;
        Bytes head;  // mode, cylinder, head byte, sectors, size code
    } tracks[] = {
        {0, 0, {0, 0, 0, 26, 0}},            // FM at 500 kbps
        {0, 1, {3, 0, 1, 8, 3}},             // MFM at 500 kbps
        {1, 0, {3, 1, 0, 6, 2}},
        {1, 1, {3, 1, 1 | 0x80 | 0x40, 8, 3}},  // cylinder and head maps
        {2, 0, {3, 2, 0, 4, 0xFF}},          // a table of sizes
    };
    for (const auto &t : tracks) {
        long at = RecordAt(f, t.c, t.h);
        ASSERT_GE(at, 0) << t.c << "/" << t.h;
        EXPECT_EQ(t.head, Bytes(f.begin() + at, f.begin() + at + 5)) << t.c << "/" << t.h;
    }
    EXPECT_EQ(-1, RecordAt(f, 2, 1)) << "an unformatted track has no record";
    // Cylinder 1 head 0: the record types of status, the fill sector as one byte.
    long at = RecordAt(f, 1, 0) + 5 + 6;
    const int types[] = {1, 3, 5, 7, 0, 2};
    for (int k = 0; k < 6; k++) {
        EXPECT_EQ(types[k], f[at]) << "sector " << k + 1;
        at += 1 + (types[k] == 0 ? 0 : types[k] == 2 ? 1 : 512);
    }
    EXPECT_EQ(0xE5, f[at - 1]);
    // Cylinder 1 head 1: R map, then C and H maps.
    at = RecordAt(f, 1, 1) + 5;
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 9, 9, 9, 9}), Bytes(f.begin() + at, f.begin() + at + 16));
    EXPECT_EQ(0x81, f[at + 16]);
    // Cylinder 2 head 0: the sizes after the R map.
    at = RecordAt(f, 2, 0) + 5 + 4;
    EXPECT_EQ(Bytes({128, 0, 0, 1, 0, 2, 0, 4}), Bytes(f.begin() + at, f.begin() + at + 8));

    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("a.imd"), 1));
    EXPECT_EQ(VDisk::TYPE_2HD, back.type);
    EXPECT_STREQ("mixed bag", back.name);
    EXPECT_TRUE(SameSectors(d, back));
}

// Files as other writers make them, built byte by byte.
struct ImdFile {
    Bytes b;
    explicit ImdFile(const char *comment = "IMD 1.18: 01/02/2003 04:05:06\r\nFirst line\r\nsecond\r\n") {
        b.assign(comment, comment + strlen(comment));
        b.push_back(0x1A);
    }
    // A track of records (type, payload) for sectors R = 1 .. of size code code.
    ImdFile &Track(int mode, int c, int h, int code, const std::vector<std::pair<int, Bytes>> &sectors) {
        Bytes head = {(uint8_t)mode, (uint8_t)c, (uint8_t)h, (uint8_t)sectors.size(), (uint8_t)code};
        b.insert(b.end(), head.begin(), head.end());
        for (size_t k = 0; k < sectors.size(); k++) b.push_back((uint8_t)(k + 1));
        for (const auto &s : sectors) {
            b.push_back((uint8_t)s.first);
            b.insert(b.end(), s.second.begin(), s.second.end());
        }
        return *this;
    }
};

Bytes Filled(size_t n, uint8_t v) { return Bytes(n, v); }

TEST(IMD, RecordTypesOfOtherWritersRead) {
    ScratchDir dir;
    std::vector<std::pair<int, Bytes>> all;
    for (int t = 0; t <= 8; t++) all.push_back({t, t == 0 ? Bytes() : (t - 1) & 1 ? Bytes{(uint8_t)(0x40 + t)} : Filled(256, (uint8_t)t)});
    ImdFile f;
    f.Track(4, 0, 0, 1, all).Track(4, 0, 1, 1, {}).Track(5, 1, 0, 1, {{1, Filled(256, 7)}});
    WriteAll(dir.Path("o.imd"), f.b);
    VDisk d;
    ASSERT_EQ(1, d.Import(dir.File("o.imd"), 1));
    EXPECT_EQ(VDisk::TYPE_2D, d.type) << "300 kbps: a double-density disk in a 360-rpm drive";
    EXPECT_EQ(2, d.cylinders);
    EXPECT_STREQ("First line", d.name);
    const int status[] = {SECTOR_NODATA, 0, 0, SECTOR_DELETED, SECTOR_DELETED, SECTOR_DATACRC, SECTOR_DATACRC,
                          SECTOR_DELETED | SECTOR_DATACRC, SECTOR_DELETED | SECTOR_DATACRC};
    int k = 0;
    for (const VSector *s = d.tracks[0][0]->sectors; s; s = s->next, k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(1, s->mfm);
        EXPECT_EQ(k + 1, s->r);
        EXPECT_EQ(1, s->n);
        EXPECT_EQ(status[k], s->status);
        ASSERT_EQ(256, s->length);
        if (k) {
            EXPECT_EQ((k - 1) & 1 ? 0x40 + k : k, s->data[255]);
        }
    }
    EXPECT_EQ(9, k);
    EXPECT_EQ(0, d.tracks[0][1]->SectorCount());
    EXPECT_EQ(1, d.tracks[1][0]->SectorCount());

    // No comment: the file's name.
    ImdFile bare("IMD 1.18: 01/02/2003 04:05:06");
    bare.Track(3, 0, 0, 3, {{2, {0}}});
    WriteAll(dir.Path("bare.imd"), bare.b);
    ASSERT_EQ(1, d.Import(dir.File("bare.imd"), 1));
    EXPECT_STREQ("bare.imd", d.name);
    EXPECT_EQ(VDisk::TYPE_2HD, d.type);
}

// Every status IMD records goes through a track image and comes back to
// D88; an ID CRC error, which it has no record for, fails the conversion
// unless that loss is accepted.
TEST(IMD, StatusRoundTripsThroughATrackImage) {
    ScratchDir dir;
    VDisk d;
    FillDisk(d, {"status", VDisk::TYPE_2HD, 77, 8, 3, false, true, {}}, 5);
    const struct {
        int c, h, r, status;
    } marks[] = {{0, 0, 2, SECTOR_DATACRC}, {9, 1, 4, SECTOR_NODATA}, {30, 0, 8, SECTOR_DELETED | SECTOR_DATACRC},
                 {76, 1, 1, SECTOR_NODATA | SECTOR_DELETED}};
    for (const auto &m : marks) {
        VSector *s = d.tracks[m.c][m.h]->GetSectorByIndex(m.r - 1);
        s->status = (uint8_t)m.status;
        if (m.status & SECTOR_NODATA) memset(s->data, 0, (size_t)s->length);
    }
    ASSERT_EQ(1, d.Export(dir.File("src.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("src.D88"), 1));
    LossReport r1;
    ASSERT_EQ(1, z.Export(dir.File("mid.IMD"), ANALYZE_UPD765, &r1)) << LossReport::Text(r1.Losses()[0]);
    ZELDisk z2;
    ASSERT_EQ(1, z2.Import(dir.File("mid.IMD"), 1));
    EXPECT_EQ(360, z2.header.rpm);
    ASSERT_EQ(1, z2.Export(dir.File("back.D88"), ANALYZE_UPD765));
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("back.D88"), 1));
    EXPECT_TRUE(SameSectors(d, back));

    d.tracks[40][0]->GetSectorByIndex(2)->status = SECTOR_IDCRC;
    ASSERT_EQ(1, d.Export(dir.File("idcrc.D88")));
    ASSERT_EQ(1, z.Import(dir.File("idcrc.D88"), 1));
    LossReport strict, lenient(LOSS_STATUS);
    EXPECT_EQ(0, z.Export(dir.File("out.IMD"), ANALYZE_UPD765, &strict));
    ASSERT_EQ(1u, strict.Losses().size());
    EXPECT_EQ("Track 80 (C:40 H:0): sector C=28 H=00 R=03 N=03: ID CRC error not kept",
              LossReport::Text(strict.Losses()[0]));
    EXPECT_FALSE(Exists(dir.Path("out.IMD")));
    EXPECT_EQ(1, z.Export(dir.File("out.IMD"), ANALYZE_UPD765, &lenient));
}

TEST(IMD, DamagedFilesRefused) {
    ScratchDir dir;
    const std::vector<std::pair<int, Bytes>> one = {{1, Filled(512, 1)}};
    struct case_t {
        const char *name;
        std::function<Bytes()> make;
    } cases[] = {
        {"no end of comment", [&] { Bytes b = ImdFile().b; b.pop_back(); return b; }},
        {"signature", [&] { Bytes b = ImdFile().Track(3, 0, 0, 2, one).b; b[3] = '-'; return b; }},
        {"mode 6", [&] { return ImdFile().Track(6, 0, 0, 2, one).b; }},
        {"head 2", [&] { return ImdFile().Track(3, 0, 2, 2, one).b; }},
        {"cylinder 84", [&] { return ImdFile().Track(3, 84, 0, 2, one).b; }},
        {"size code 7", [&] { return ImdFile().Track(3, 0, 0, 7, one).b; }},
        {"record type 9", [&] { return ImdFile().Track(3, 0, 0, 2, {{9, Filled(512, 1)}}).b; }},
        {"track twice", [&] { return ImdFile().Track(3, 0, 0, 2, one).Track(3, 0, 0, 2, one).b; }},
        {"data cut short", [&] { Bytes b = ImdFile().Track(3, 0, 0, 2, one).b; b.pop_back(); return b; }},
        {"record cut short", [&] { Bytes b = ImdFile().Track(3, 0, 0, 2, one).b; b.push_back(3); return b; }},
    };
    for (const case_t &c : cases) {
        WriteAll(dir.Path("bad.imd"), c.make());
        ZELDisk z;
        LossReport report;
        EXPECT_EQ(0, z.Import(dir.File("bad.imd"), 1, &report)) << c.name;
        EXPECT_NE(std::string::npos, report.Refusal().find("bad.imd is not an IMD image")) << report.Refusal();
    }
}

}  // namespace
