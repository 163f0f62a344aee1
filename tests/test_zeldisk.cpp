// The ZEL track image: new images, file round trips, older revisions,
// rejected headers, in-place and atomic saves, form conversions.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "filepath.h"
#include "zeldisk.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string root = base && *base ? base : "/tmp";
        mkdir(root.c_str(), 0777);
        std::string tmpl = root + "/zeldisk-XXXXXX";
        path = mkdtemp(&tmpl[0]) ? tmpl : "";
    }
    ~ScratchDir() {
        if (!path.empty()) system(("rm -rf '" + path + "'").c_str());
    }
    Filepath File(const std::string &name) const {
        Filepath p;
        p.SetPath((path + "/" + name).c_str());
        return p;
    }
    int Count() const {
        static char entries[99][260];
        return Fileio::ListEntries(path.c_str(), 1, entries, 99, 260);
    }
};

Bytes ReadAll(const Filepath &p) {
    Bytes b;
    FILE *f = fopen(p.GetPath(), "rb");
    if (!f) return b;
    int c;
    while ((c = fgetc(f)) != EOF) b.push_back((uint8_t)c);
    fclose(f);
    return b;
}

void WriteAll(const Filepath &p, const Bytes &b) {
    FILE *f = fopen(p.GetPath(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(b.size(), fwrite(b.data(), 1, b.size(), f));
    fclose(f);
}

// The offset of the first byte that differs, or -1 (sizes must match).
long FirstDiff(const uint8_t *a, const uint8_t *b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return (long)i;
    return -1;
}

// A ZEL file built byte by byte: header fields, then records whose start and
// bits (in the revision's units) and data the test chooses.
struct ZelFile {
    int revision = 3, type = 1, cylinders = 2, heads = 2, rate = 500, rpm = 300, tracklen = 0, tracksize = 64;
    std::function<int(int, int)> start = [](int, int) { return 0; };
    std::function<int(int, int)> bits;  // default: the whole record

    static uint8_t Data(int c, int h, int i) { return (uint8_t)(c * 7 + h * 91 + i * 13 + 1); }

    Bytes Build() const {
        Bytes f(ZEL_HEADER_SIZE + (size_t)cylinders * heads * tracksize);
        memcpy(&f[0], "ZEL", 3);
        f[3] = (uint8_t)revision;
        strcpy((char *)&f[4], "TEST DISK");
        const int fields[][2] = {{68, type},  {72, cylinders}, {76, heads},     {80, rate},
                                 {84, rpm},   {96, tracklen},  {100, tracksize}};
        for (auto &fd : fields) PutLE32(&f[fd[0]], (uint32_t)fd[1]);
        uint8_t *rec = &f[ZEL_HEADER_SIZE];
        for (int c = 0; c < cylinders; ++c)
            for (int h = 0; h < heads; ++h, rec += tracksize) {
                // Revision 1 keeps its data first; later ones a track header.
                int data = revision == 1 ? 0 : 16;
                if (revision != 1) {
                    PutLE32(rec, c);
                    PutLE32(rec + 4, h);
                    PutLE32(rec + 8, start(c, h));
                    PutLE32(rec + 12, bits ? bits(c, h) : (tracksize - 16) * 8);
                }
                for (int i = 0; i < tracksize - 16; ++i) rec[data + i] = Data(c, h, i);
            }
        return f;
    }
};

void ExpectTrackData(const ZELDisk &d, int c, int h, int bytes) {
    const uint8_t *p = d.GetTrackData(c, h);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < bytes; ++i) ASSERT_EQ(ZelFile::Data(c, h, i), p[i]) << "track " << c << "." << h << " byte " << i;
}

// An MFM cell stream of n cells (n even) from pseudo-random data: a 1 is
// followed by one to three 0s, and the stream starts with a 1 and ends so
// that the revolution closes with a proper interval.
void FillMfm(uint8_t *cells, int n, uint32_t seed) {
    memset(cells, 0, (size_t)(n + 7) / 8);
    int prev = 0;
    for (int i = 0; i < n / 2; ++i) {
        seed = seed * 1103515245u + 12345u;
        int d = (i == 0 || i == n / 2 - 1) ? 0 : (seed >> 16) & 1;
        int clock = !prev && !d;
        if (clock) cells[(2 * i) >> 3] |= (uint8_t)(0x80 >> ((2 * i) & 7));
        if (d) cells[(2 * i + 1) >> 3] |= (uint8_t)(0x80 >> ((2 * i + 1) & 7));
        prev = d;
    }
}

int CountDirty(const ZELDisk &d) {
    int n = 0;
    for (auto &row : d.dirty)
        for (int f : row) n += f;
    return n;
}

}  // namespace

struct InitCase {
    int type, rate, rpm, raw;
    int wantType, wantCylinders, wantRate, wantRpm, wantTracksize, wantBits;
};

class ZELDiskInit : public ::testing::TestWithParam<InitCase> {};

TEST_P(ZELDiskInit, NewImage) {
    const InitCase &t = GetParam();
    ZELDisk d;
    ASSERT_EQ(1, d.Init(t.type, t.rate, t.rpm, t.raw));
    EXPECT_EQ(1, d.valid);
    EXPECT_EQ(0, memcmp(d.header.signature, "ZEL", 3));
    EXPECT_EQ(3, d.header.revision);
    char name[60];
    EXPECT_STREQ("BLANK IMAGE", d.GetName(name));
    EXPECT_EQ(t.wantType, d.header.type);
    EXPECT_EQ(t.wantCylinders, d.header.cylinders);
    EXPECT_EQ(2, d.header.heads);
    EXPECT_EQ(t.wantRate, d.header.rate);
    EXPECT_EQ(t.wantRpm, d.header.rpm);
    EXPECT_EQ(t.wantTracksize, d.header.tracksize);
    // All 84 x 2 records exist, also for a 42-cylinder image.
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(t.wantBits, d.GetTrackLen(c, h));
            ASSERT_EQ(t.wantTracksize - 16, d.GetTrackCapacity(c, h));
            ASSERT_EQ(0, d.GetTrackStart(c, h));
        }
    EXPECT_EQ(168, CountDirty(d));
}

INSTANTIATE_TEST_SUITE_P(
    Types, ZELDiskInit,
    ::testing::Values(InitCase{1, 0, 0, 0, 1, 84, 500, 300, 16384, 100000},
                      InitCase{0, 0, 0, 0, 0, 42, 500, 300, 16384, 100000},
                      InitCase{2, 0, 0, 0, 2, 84, 1000, 360, 32768, 166666},
                      InitCase{2, 0, 0, 1, 9, 84, 8000, 360, 262144, 1333333},
                      InitCase{1, 0, 0, 1, 9, 84, 4000, 300, 131072, 800000},
                      // A speed the default record cannot hold gets larger records.
                      InitCase{1, 1000, 300, 0, 1, 84, 1000, 300, 25088, 200000}));

TEST(ZELDisk, InitRefusesBadArguments) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    EXPECT_EQ(0, d.Init(5, 0, 0, 0));
    EXPECT_EQ(0, d.valid);
    EXPECT_EQ(nullptr, d.GetTrackData(0, 0));
    EXPECT_EQ(0, memcmp(d.header.signature, "ZEL", 3));
    EXPECT_EQ(0, d.Init(1, -500, 0, 0));
    EXPECT_EQ(0, d.Init(2, 0, 1, 1));  // a track of 480 million samples
    EXPECT_EQ(0, d.valid);
}

TEST(ZELDisk, NameAndTrackLength) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    std::string longname(100, 'N');
    d.SetName(longname.c_str());
    char name[60];
    EXPECT_EQ(longname.substr(0, 59), d.GetName(name));

    EXPECT_EQ(0, d.SetTrackLen(3, 1, (16384 - 16) * 8 + 1));
    EXPECT_EQ(0, d.SetTrackLen(3, 1, -1));
    EXPECT_EQ(1, d.SetTrackLen(3, 1, (16384 - 16) * 8));
    EXPECT_EQ((16384 - 16) * 8, d.GetTrackLen(3, 1));
    EXPECT_EQ(100000, d.NominalLength());

    d.Cleanup();
    EXPECT_EQ(0, d.valid);
    EXPECT_EQ(nullptr, d.GetTrackData(0, 0));
    EXPECT_EQ(0, d.GetTrackLen(0, 0));
    EXPECT_EQ(0, d.Save(Filepath(), 1));
    EXPECT_EQ(0, d.ConvertRaw());
}

TEST(ZELDisk, FullSaveRoundTrip) {
    ScratchDir dir;
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    d.SetName("ROUND TRIP");
    for (int c = 0; c < 84; ++c)
        for (int h = 0; h < 2; ++h) FillMfm(d.GetTrackData(c, h), 100000, (uint32_t)(c * 2 + h));
    d.SetTrackLen(7, 0, 99000);

    EXPECT_EQ(0, d.Save(dir.File("disk.D88"), 1));
    EXPECT_EQ(0, d.Save(Filepath(), 1));
    Filepath path = dir.File("disk.zel");  // the extension's case does not matter
    ASSERT_EQ(1, d.Save(path, 1));
    EXPECT_EQ(0, CountDirty(d));
    EXPECT_EQ(12800, d.header.tracksize);
    Bytes file = ReadAll(path);
    EXPECT_EQ(256u + 168u * 12800u, file.size());
    EXPECT_EQ(1, dir.Count());  // no temporary file left behind

    ZELDisk e;
    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(0, e.readonly);
    EXPECT_EQ(0, CountDirty(e));
    char name[60];
    EXPECT_STREQ("ROUND TRIP", e.GetName(name));
    EXPECT_EQ(84, e.header.cylinders);
    EXPECT_EQ(12800, e.header.tracksize);
    for (int c = 0; c < 84; ++c)
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(d.GetTrackLen(c, h), e.GetTrackLen(c, h));
            ASSERT_EQ(-1, FirstDiff(d.GetTrackData(c, h), e.GetTrackData(c, h), 12500)) << c << "." << h;
        }
}

TEST(ZELDisk, FullSavePadsRecordsThatOutgrowTheirBuffer) {
    // A track filling its whole 16384-byte record needs 16896-byte records in
    // the file: the rest is zeros, not bytes from beyond the buffer.
    ScratchDir dir;
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    int full = (16384 - 16) * 8;
    ASSERT_EQ(1, d.SetTrackLen(0, 1, full));
    memset(d.GetTrackData(0, 1), 0xA5, 16384 - 16);
    Filepath path = dir.File("big.ZEL");
    ASSERT_EQ(1, d.Save(path, 1));
    EXPECT_EQ(16896, d.header.tracksize);
    Bytes file = ReadAll(path);
    ASSERT_EQ(256u + 168u * 16896u, file.size());
    const uint8_t *rec = &file[256 + 16896];
    EXPECT_EQ((uint32_t)full, GetLE32(rec + 12));
    for (int i = 16; i < 16384; ++i) ASSERT_EQ(0xA5, rec[i]);
    for (int i = 16384; i < 16896; ++i) ASSERT_EQ(0, rec[i]);

    ZELDisk e;
    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(full, e.GetTrackLen(0, 1));
}

TEST(ZELDisk, LoadNormalisesGeometry) {
    ScratchDir dir;
    Filepath path = dir.File("small.ZEL");
    ZelFile f;
    f.cylinders = 40;
    f.heads = 1;
    f.tracksize = 12800;
    WriteAll(path, f.Build());
    ZELDisk d;
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(42, d.header.cylinders);
    EXPECT_EQ(2, d.header.heads);
    EXPECT_EQ(0, CountDirty(d));
    ExpectTrackData(d, 39, 0, 12784);
    EXPECT_EQ(12784 * 8, d.GetTrackLen(39, 0));
    // Missing tracks: blank revolutions of nominal length.
    for (int c : {0, 39, 40, 41}) {
        EXPECT_EQ(100000, d.GetTrackLen(c, 1));
        EXPECT_EQ(-1, FirstDiff(d.GetTrackData(c, 1), Bytes(12784).data(), 12784));
    }
    EXPECT_EQ(nullptr, d.GetTrackData(42, 0));

    f.cylinders = 43;
    f.heads = 2;
    f.tracksize = 64;
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(84, d.header.cylinders);
    ExpectTrackData(d, 42, 1, 48);
    EXPECT_EQ(384, d.GetTrackLen(83, 1));  // a nominal track clipped to the record
}

TEST(ZELDisk, LoadOlderRevisions) {
    ScratchDir dir;
    Filepath path = dir.File("old.ZEL");
    ZELDisk d;

    // Revision 2: half rate, start and length in bytes, tracks rotated.
    ZelFile f;
    f.revision = 2;
    f.rate = 250;
    f.tracksize = 64;
    f.start = [](int c, int h) { return c + h; };
    f.bits = [](int c, int) { return 40 + c; };
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    EXPECT_EQ(3, d.header.revision);
    for (int c = 0; c < 2; ++c)
        for (int h = 0; h < 2; ++h) {
            int n = 40 + c, s = c + h;
            ASSERT_EQ(n * 8, d.GetTrackLen(c, h));
            EXPECT_EQ(0, d.GetTrackStart(c, h));
            for (int j = 0; j < n; ++j) ASSERT_EQ(ZelFile::Data(c, h, (j + s) % n), d.GetTrackData(c, h)[j]);
        }

    // The next full save writes revision 3, which loads unchanged.
    Filepath saved = dir.File("new.ZEL");
    ASSERT_EQ(1, d.Save(saved, 1));
    Bytes file = ReadAll(saved);
    EXPECT_EQ(3, file[3]);
    EXPECT_EQ(500u, GetLE32(&file[80]));
    ZELDisk e;
    ASSERT_EQ(1, e.Load(saved, 0));
    EXPECT_EQ(500, e.header.rate);
    EXPECT_EQ(-1, FirstDiff(d.GetTrackData(1, 1), e.GetTrackData(1, 1), 41));

    // Revision 1: data first, one length in bytes for all tracks.
    f = ZelFile();
    f.revision = 1;
    f.rate = 250;
    f.tracklen = 40;
    f.tracksize = 64;
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    EXPECT_EQ(0, d.header.tracklen);
    EXPECT_EQ(320, d.GetTrackLen(1, 0));
    ExpectTrackData(d, 1, 0, 48);

    // Revision 3 is read as it stands, rotated when a start is given.
    f = ZelFile();
    f.start = [](int c, int) { return c ? 9 : 0; };
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    ExpectTrackData(d, 0, 1, 48);
    const uint8_t *t = d.GetTrackData(1, 0);
    // bit j of the track is old bit j + 9: byte 0 = bits 9..16 of the file.
    uint8_t want = (uint8_t)(ZelFile::Data(1, 0, 1) << 1 | ZelFile::Data(1, 0, 2) >> 7);
    EXPECT_EQ(want, t[0]);
}

struct BadHeader {
    const char *what;
    std::function<void(ZelFile &)> change;  // applied to the builder
    std::function<void(Bytes &)> corrupt;   // applied to the built file
};

class ZELDiskRejects : public ::testing::TestWithParam<BadHeader> {};

TEST_P(ZELDiskRejects, Header) {
    ScratchDir dir;
    Filepath path = dir.File("bad.ZEL");
    ZelFile f;
    if (GetParam().change) GetParam().change(f);
    Bytes b = f.Build();
    if (GetParam().corrupt) GetParam().corrupt(b);
    WriteAll(path, b);
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    EXPECT_EQ(0, d.Load(path, 0));
    EXPECT_EQ(0, d.valid);
    EXPECT_EQ(nullptr, d.GetTrackData(0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ZELDiskRejects,
    ::testing::Values(
        BadHeader{"cylinders85", [](ZelFile &f) { f.cylinders = 85; }, nullptr},
        BadHeader{"cylindersNegative", nullptr, [](Bytes &b) { PutLE32(&b[72], (uint32_t)-1); }},
        BadHeader{"heads3", [](ZelFile &f) { f.heads = 3; }, nullptr},
        BadHeader{"heads0", nullptr, [](Bytes &b) { PutLE32(&b[76], 0); }},
        BadHeader{"tracksize15", nullptr, [](Bytes &b) { PutLE32(&b[100], 15); }},
        BadHeader{"tracksizeHuge", nullptr, [](Bytes &b) { PutLE32(&b[100], 0x7FFFFFF0); }},
        BadHeader{"bitsBeyondRecord", [](ZelFile &f) { f.bits = [](int c, int) { return c ? 385 : 8; }; }, nullptr},
        BadHeader{"bitsNegative", [](ZelFile &f) { f.bits = [](int, int h) { return h ? -8 : 8; }; }, nullptr},
        BadHeader{"startAtBits", [](ZelFile &f) { f.start = [](int c, int) { return c ? 384 : 0; }; }, nullptr},
        BadHeader{"startNegative", [](ZelFile &f) { f.start = [](int, int) { return -1; }; }, nullptr},
        BadHeader{"rev2BytesBeyondRecord",
                  [](ZelFile &f) {
                      f.revision = 2;
                      f.bits = [](int, int) { return 49; };
                  },
                  nullptr},
        BadHeader{"rev1TracklenBeyondRecord",
                  [](ZelFile &f) {
                      f.revision = 1;
                      f.tracklen = 49;
                  },
                  nullptr},
        BadHeader{"rev1TracklenNegative",
                  [](ZelFile &f) {
                      f.revision = 1;
                      f.tracklen = -1;
                  },
                  nullptr},
        BadHeader{"revision4", [](ZelFile &f) { f.revision = 4; }, nullptr},
        BadHeader{"revision0", [](ZelFile &f) { f.revision = 0; }, nullptr},
        BadHeader{"signature", nullptr, [](Bytes &b) { b[2] = 'X'; }},
        BadHeader{"rateNegative", [](ZelFile &f) { f.rate = -500; }, nullptr},
        BadHeader{"rpmNegative", [](ZelFile &f) { f.rpm = -300; }, nullptr},
        BadHeader{"endsEarly", nullptr, [](Bytes &b) { b.pop_back(); }},
        BadHeader{"headerOnly", nullptr, [](Bytes &b) { b.resize(256); }},
        BadHeader{"shortHeader", nullptr, [](Bytes &b) { b.resize(100); }}),
    [](const ::testing::TestParamInfo<BadHeader> &i) { return std::string(i.param.what); });

TEST(ZELDisk, LoadRefusesOtherExtensionsAndMissingFiles) {
    ScratchDir dir;
    ZelFile f;
    Filepath other = dir.File("disk.D88");
    WriteAll(other, f.Build());
    ZELDisk d;
    EXPECT_EQ(0, d.Load(other, 0));
    EXPECT_EQ(0, d.Load(dir.File("missing.ZEL"), 0));
    EXPECT_EQ(0, d.Load(Filepath(), 0));
    EXPECT_EQ(0, d.valid);
}

TEST(ZELDisk, ChangedTracksSaveRewritesOnlyDirtyRecords) {
    ScratchDir dir;
    Filepath path = dir.File("inplace.ZEL");
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    for (int c = 0; c < 84; ++c)
        for (int h = 0; h < 2; ++h) FillMfm(d.GetTrackData(c, h), 100000, (uint32_t)(c * 2 + h));
    ASSERT_EQ(1, d.Save(path, 1));
    Bytes before = ReadAll(path);

    ZELDisk e;
    ASSERT_EQ(1, e.Load(path, 0));
    memset(e.GetTrackData(3, 1), 0x11, 100);
    e.UpdateTrack(3, 1);
    memset(e.GetTrackData(60, 0) + 5000, 0x22, 100);
    ASSERT_EQ(1, e.SetTrackLen(60, 0, 99992));
    e.UpdateTrack(60, 0);
    memset(e.GetTrackData(4, 0), 0x33, 100);  // changed but not marked: stays as it was
    ASSERT_EQ(1, e.Save(path, 0));
    EXPECT_EQ(0, CountDirty(e));

    Bytes after = ReadAll(path);
    ASSERT_EQ(before.size(), after.size());
    auto record = [](int c, int h) { return 256 + (size_t)(c * 2 + h) * 12800; };
    for (size_t i = 0; i < after.size(); ++i) {
        bool in31 = i >= record(3, 1) && i < record(3, 1) + 12800;
        bool in600 = i >= record(60, 0) && i < record(60, 0) + 12800;
        if (!in31 && !in600) {
            ASSERT_EQ(before[i], after[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(0x11, after[record(3, 1) + 16]);
    EXPECT_EQ(0x22, after[record(60, 0) + 16 + 5000]);
    EXPECT_EQ(99992u, GetLE32(&after[record(60, 0) + 12]));

}

TEST(ZELDisk, ChangedTracksSaveOfReshapedImageRewritesWholeFile) {
    // A file of 40 cylinders on one head is shown as 42 x 2: saving changed
    // tracks in place would put them at the wrong offsets, so the file is
    // rewritten in the image's layout.
    ScratchDir dir;
    Filepath path = dir.File("one.ZEL");
    ZelFile f;
    f.cylinders = 40;
    f.heads = 1;
    f.tracksize = 12800;
    WriteAll(path, f.Build());
    ZELDisk d;
    ASSERT_EQ(1, d.Load(path, 0));
    memset(d.GetTrackData(41, 1), 0x77, 10);
    d.UpdateTrack(41, 1);
    ASSERT_EQ(1, d.Save(path, 0));
    // Full tracks of 102272 bits make records of 13312 bytes.
    EXPECT_EQ(13312, d.header.tracksize);
    EXPECT_EQ(256u + 84u * 13312u, ReadAll(path).size());

    ZELDisk e;
    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(0x77, e.GetTrackData(41, 1)[9]);
    ExpectTrackData(e, 20, 0, 12784);
    // The file now matches: the next save is in place again.
    memset(e.GetTrackData(0, 1), 0x66, 4);
    e.UpdateTrack(0, 1);
    ASSERT_EQ(1, e.Save(path, 0));
    EXPECT_EQ(0x66, ReadAll(path)[256 + 13312 + 16]);
}

TEST(ZELDisk, ReadOnlyFile) {
    ScratchDir dir;
    Filepath path = dir.File("ro.ZEL");
    WriteAll(path, ZelFile().Build());
    chmod(path.GetPath(), 0444);
    Bytes before = ReadAll(path);
    ZELDisk d;
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(1, d.readonly);
    d.UpdateTrack(0, 0);
    EXPECT_EQ(0, d.Save(path, 0));
    EXPECT_EQ(before, ReadAll(path));

    chmod(path.GetPath(), 0644);
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(0, d.readonly);
}

TEST(ZELDisk, FullSaveFailureKeepsOldFile) {
    ScratchDir dir;
    Filepath path = dir.File("keep.ZEL");
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    ASSERT_EQ(1, d.Save(path, 1));
    chmod(path.GetPath(), 0640);
    Bytes before = ReadAll(path);

    // The file system refuses to grow a file past 1 MB: the new image
    // (2 MB) cannot be written.
    memset(d.GetTrackData(10, 0), 0xEE, 1000);
    d.UpdateTrack(10, 0);
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = {1 << 20, old.rlim_max};
    void (*oldsig)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    int saved = d.Save(path, 1);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldsig);
    EXPECT_EQ(0, saved);
    EXPECT_EQ(before, ReadAll(path));
    EXPECT_EQ(1, dir.Count());  // the temporary file is gone
    EXPECT_EQ(1, d.dirty[10][0]);

    // A folder that does not exist: nothing is written anywhere.
    Filepath nowhere = dir.File("gone/keep.ZEL");
    EXPECT_EQ(0, d.Save(nowhere, 1));

    // The retried save replaces the file and keeps its permissions.
    ASSERT_EQ(1, d.Save(path, 1));
    struct stat st;
    ASSERT_EQ(0, stat(path.GetPath(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(0xEE, ReadAll(path)[256 + 20 * 12800 + 16]);
    EXPECT_EQ(0, CountDirty(d));
}

struct ConvertCase {
    int type, wantType, wantRate, wantTracksize;
};

class ZELDiskConvert : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ZELDiskConvert, RawAndBackKeepsCells) {
    const ConvertCase &t = GetParam();
    ZELDisk d;
    ASSERT_EQ(1, d.Init(t.type, 0, 0, 0));
    int n = d.GetTrackLen(0, 0) & ~1;
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            FillMfm(d.GetTrackData(c, h), n, (uint32_t)(c * 2 + h + 1));
            d.SetTrackLen(c, h, n);
        }
    ZELDisk ref;
    ASSERT_EQ(1, ref.Init(t.type, 0, 0, 0));
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) memcpy(ref.GetTrackData(c, h), d.GetTrackData(c, h), (size_t)n / 8);

    EXPECT_EQ(0, d.ConvertEnc());
    ASSERT_EQ(1, d.ConvertRaw());
    EXPECT_EQ(ZEL_TYPE_RAW, d.header.type);
    EXPECT_EQ(t.wantRate * 8, d.header.rate);
    EXPECT_EQ(n * 8, d.GetTrackLen(1, 1));
    EXPECT_EQ(0, d.ConvertRaw());

    ASSERT_EQ(1, d.ConvertEnc());
    EXPECT_EQ(t.wantType, d.header.type);
    EXPECT_EQ(t.wantRate, d.header.rate);
    EXPECT_EQ(t.wantTracksize, d.header.tracksize);
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(n, d.GetTrackLen(c, h)) << c << "." << h;
            ASSERT_EQ(-1, FirstDiff(ref.GetTrackData(c, h), d.GetTrackData(c, h), (size_t)n / 8)) << c << "." << h;
        }
}

INSTANTIATE_TEST_SUITE_P(Types, ZELDiskConvert,
                         ::testing::Values(ConvertCase{0, 0, 500, 16384}, ConvertCase{1, 1, 500, 16384},
                                           ConvertCase{2, 2, 1000, 32768}));

TEST(ZELDisk, ConvertRawShrinksLongTracks) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    ASSERT_EQ(1, d.SetTrackLen(2, 0, 101000));  // 808000 samples, above 804000
    FillMfm(d.GetTrackData(2, 0), 101000, 7);
    ASSERT_EQ(1, d.ConvertRaw());
    EXPECT_EQ(804000, d.GetTrackLen(2, 0));
    EXPECT_EQ(800000, d.GetTrackLen(3, 0));
    EXPECT_EQ(168, CountDirty(d));
}
