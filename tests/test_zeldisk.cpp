// The ZEL track image: new images, file round trips, older revisions,
// rejected headers, in-place and atomic saves, form conversions.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "filepath.h"
#include "scratch_dir.h"
#include "zel.h"
#include "zeldisk.h"
#include "test_names.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Entries in the scratch folder (files and folders alike).
int CountEntries(const ScratchDir &dir) {
    static char entries[99][260];
    return Fileio::ListEntries(dir.path().c_str(), 1, entries, 99, 260);
}

Bytes ReadAll(const Filepath &p) {
    Bytes b;
    FILE *f = fopen(p.GetPath(), "rb");
    for (int c; f && (c = fgetc(f)) != EOF;) b.push_back((uint8_t)c);
    if (f) fclose(f);
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
        if (!prev && !d) BfSetBit(cells, 2 * i);  // clock cell between two 0s
        if (d) BfSetBit(cells, 2 * i + 1);
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
    char name[60];
    EXPECT_STREQ("BLANK IMAGE", d.GetName(name));
    EXPECT_EQ(t.wantType, d.header.type);
    EXPECT_EQ(t.wantCylinders, d.header.cylinders);
    EXPECT_EQ(t.wantRate, d.header.rate);
    EXPECT_EQ(t.wantRpm, d.header.rpm);
    EXPECT_EQ(t.wantTracksize, d.header.tracksize);
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)  // all 84 x 2, also for 42 cylinders
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(t.wantBits, d.GetTrackLen(c, h));
            ASSERT_EQ(t.wantTracksize - 16, d.GetTrackCapacity(c, h));
        }
    EXPECT_EQ(168, CountDirty(d));
}

INSTANTIATE_TEST_SUITE_P(
    Types, ZELDiskInit,
    ::testing::Values(InitCase{1, 0, 0, 0, 1, 84, 500, 300, 16384, 100000},
                      InitCase{0, 0, 0, 0, 0, 42, 500, 300, 16384, 100000},
                      InitCase{2, 0, 0, 0, 2, 84, 1000, 360, 32768, 166666},
                      InitCase{2, 0, 0, 1, 9, 84, 8000, 360, 262144, 1333333},
                      // A speed the usual record cannot hold gets larger records.
                      InitCase{1, 1000, 300, 0, 1, 84, 1000, 300, 25088, 200000}),
    [](const ::testing::TestParamInfo<InitCase> &info) {
        const InitCase &c = info.param;
        return "type" + std::to_string(c.type) + (c.raw ? "_raw" : "") +
               (c.rate ? "_" + std::to_string(c.rate) + "kbps_" + std::to_string(c.rpm) + "rpm" : "");
    });

TEST(ZELDisk, RefusalsAndAccessors) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    EXPECT_EQ(0, d.Init(5, 0, 0, 0));
    EXPECT_EQ(0, d.valid);
    EXPECT_EQ(nullptr, d.GetTrackData(0, 0));
    EXPECT_EQ(0, d.Init(2, 0, 1, 1));  // 480 million samples a track
    EXPECT_EQ(0, d.ConvertRaw());
    EXPECT_EQ(0, d.Save(Filepath(), 1));

    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    std::string longname(100, 'N');
    d.SetName(longname.c_str());
    char name[60];
    EXPECT_EQ(longname.substr(0, 59), d.GetName(name));
    EXPECT_EQ(0, d.SetTrackLen(3, 1, (16384 - 16) * 8 + 1));
    EXPECT_EQ(1, d.SetTrackLen(3, 1, (16384 - 16) * 8));
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
    Filepath path = dir.File("disk.zel");  // the extension's case does not matter
    ASSERT_EQ(1, d.Save(path, 1));
    EXPECT_EQ(0, CountDirty(d));
    EXPECT_EQ(256u + 168u * 12800u, ReadAll(path).size());
    EXPECT_EQ(1, CountEntries(dir));  // no temporary file left behind

    ZELDisk e;
    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(0, e.readonly);
    EXPECT_EQ(0, CountDirty(e));
    char name[60];
    EXPECT_STREQ("ROUND TRIP", e.GetName(name));
    EXPECT_EQ(12800, e.header.tracksize);
    for (int c = 0; c < 84; ++c)
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(d.GetTrackLen(c, h), e.GetTrackLen(c, h));
            ASSERT_EQ(-1, FirstDiff(d.GetTrackData(c, h), e.GetTrackData(c, h), 12500)) << c << "." << h;
        }
}

TEST(ZELDisk, FullSavePadsRecordsThatOutgrowTheirBuffer) {
    // A track filling its 16384-byte record needs 16896-byte records in the
    // file: the rest is zeros, not bytes from beyond the buffer.
    ScratchDir dir;
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    ASSERT_EQ(1, d.SetTrackLen(0, 1, (16384 - 16) * 8));
    memset(d.GetTrackData(0, 1), 0xA5, 16384 - 16);
    Filepath path = dir.File("big.ZEL");
    ASSERT_EQ(1, d.Save(path, 1));
    Bytes file = ReadAll(path);
    ASSERT_EQ(256u + 168u * 16896u, file.size());
    const uint8_t *rec = &file[256 + 16896];
    for (int i = 16; i < 16896; ++i) ASSERT_EQ(i < 16384 ? 0xA5 : 0, rec[i]) << i;
}

TEST(ZELDisk, LoadOlderRevisions) {
    ScratchDir dir;
    Filepath path = dir.File("old.ZEL"), saved = dir.File("new.ZEL");
    ZELDisk d, e;

    // Revision 2: half the rate, start and length in bytes; tracks rotated.
    ZelFile f;
    f.revision = 2;
    f.rate = 250;
    f.start = [](int c, int h) { return c + h; };
    f.bits = [](int c, int) { return 40 + c; };
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    for (int c = 0; c < 2; ++c)
        for (int h = 0; h < 2; ++h) {
            int n = 40 + c;
            ASSERT_EQ(n * 8, d.GetTrackLen(c, h));
            for (int j = 0; j < n; ++j) ASSERT_EQ(ZelFile::Data(c, h, (j + c + h) % n), d.GetTrackData(c, h)[j]);
        }
    // The next full save writes revision 3.
    ASSERT_EQ(1, d.Save(saved, 1));
    EXPECT_EQ(3, ReadAll(saved)[3]);
    ASSERT_EQ(1, e.Load(saved, 0));
    EXPECT_EQ(500, e.header.rate);
    EXPECT_EQ(-1, FirstDiff(d.GetTrackData(1, 1), e.GetTrackData(1, 1), 41));

    // Revision 1: data first, one length in bytes for every track.
    f = ZelFile();
    f.revision = 1;
    f.rate = 250;
    f.tracklen = 40;
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    EXPECT_EQ(320, d.GetTrackLen(1, 0));
    ExpectTrackData(d, 1, 0, 48);

    // Revision 3 with a start in mid-byte: bit j becomes old bit j + 9.
    f = ZelFile();
    f.start = [](int c, int) { return c ? 9 : 0; };
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(500, d.header.rate);
    ExpectTrackData(d, 0, 1, 48);
    EXPECT_EQ((uint8_t)(ZelFile::Data(1, 0, 1) << 1 | ZelFile::Data(1, 0, 2) >> 7), d.GetTrackData(1, 0)[0]);
}

struct BadFile {
    const char *what;
    std::function<void(ZelFile &)> change;  // applied to the builder
    std::function<void(Bytes &)> corrupt;   // applied to the built file
};

class ZELDiskRejects : public ::testing::TestWithParam<BadFile> {};

TEST_P(ZELDiskRejects, File) {
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

#define FIELD(name, stmt) BadFile{name, [](ZelFile &f) { stmt; }, nullptr}
#define BYTES(name, stmt) BadFile{name, nullptr, [](Bytes &b) { stmt; }}
INSTANTIATE_TEST_SUITE_P(
    Files, ZELDiskRejects,
    ::testing::Values(FIELD("cylinders85", f.cylinders = 85), BYTES("cylindersNegative", PutLE32(&b[72], -1u)),
                      FIELD("heads3", f.heads = 3), BYTES("heads0", PutLE32(&b[76], 0)),
                      BYTES("tracksize15", PutLE32(&b[100], 15)), BYTES("tracksizeHuge", PutLE32(&b[100], 0x7FFFFFF0)),
                      FIELD("bitsBeyondRecord", f.bits = [](int c, int) { return c ? 385 : 8; }),
                      FIELD("bitsNegative", f.bits = [](int, int h) { return h ? -8 : 8; }),
                      FIELD("startAtBits", f.start = [](int c, int) { return c ? 384 : 0; }),
                      FIELD("startNegative", f.start = [](int, int) { return -1; }),
                      FIELD("rev2BytesBeyondRecord", (f.revision = 2, f.bits = [](int, int) { return 49; })),
                      FIELD("rev1TracklenBeyondRecord", (f.revision = 1, f.tracklen = 49)),
                      FIELD("rev1TracklenNegative", (f.revision = 1, f.tracklen = -1)),
                      FIELD("revision4", f.revision = 4), FIELD("revision0", f.revision = 0),
                      BYTES("signature", b[2] = 'X'), FIELD("rateNegative", f.rate = -500),
                      FIELD("rpmNegative", f.rpm = -300), BYTES("endsEarly", b.pop_back()),
                      BYTES("headerOnly", b.resize(256)), BYTES("shortHeader", b.resize(100))),
    [](const ::testing::TestParamInfo<BadFile> &i) { return std::string(i.param.what); });
#undef FIELD
#undef BYTES

TEST(ZELDisk, ChangedTracksSave) {
    ScratchDir dir;
    Filepath path = dir.File("inplace.ZEL");
    ZELDisk d, e;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    for (int c = 0; c < 84; ++c)
        for (int h = 0; h < 2; ++h) FillMfm(d.GetTrackData(c, h), 100000, (uint32_t)(c * 2 + h));
    ASSERT_EQ(1, d.Save(path, 1));
    Bytes before = ReadAll(path);

    ASSERT_EQ(1, e.Load(path, 0));
    memset(e.GetTrackData(3, 1), 0x11, 100);
    e.UpdateTrack(3, 1);
    ASSERT_EQ(1, e.SetTrackLen(60, 0, 99992));
    e.UpdateTrack(60, 0);
    memset(e.GetTrackData(4, 0), 0x33, 100);  // changed but not marked: not written
    ASSERT_EQ(1, e.Save(path, 0));
    EXPECT_EQ(0, CountDirty(e));

    Bytes after = ReadAll(path);
    ASSERT_EQ(before.size(), after.size());
    auto record = [](int c, int h) { return 256 + (size_t)(c * 2 + h) * 12800; };
    Bytes want = before;
    memset(&want[record(3, 1) + 16], 0x11, 100);
    PutLE32(&want[record(60, 0) + 12], 99992);
    EXPECT_EQ(-1, FirstDiff(want.data(), after.data(), want.size()));

    // Without the owner-write bit the disk is write-protected.
    chmod(path.GetPath(), 0444);
    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(1, e.readonly);
    e.UpdateTrack(0, 0);
    EXPECT_EQ(0, e.Save(path, 0));
    EXPECT_EQ(0, e.Save(path, 1));
    EXPECT_EQ(after, ReadAll(path));
}

TEST(ZELDisk, LoadNormalisesGeometryAndRewritesOnSave) {
    // 40 cylinders on one head are held as 42 x 2, the missing tracks blank
    // and of nominal length. Writing changed tracks in place would put them
    // at the wrong offsets, so the file is rewritten in the image's layout.
    ScratchDir dir;
    Filepath path = dir.File("one.ZEL");
    ZelFile f;
    f.cylinders = 40;
    f.heads = 1;
    f.tracksize = 12800;
    WriteAll(path, f.Build());
    ZELDisk d, e;
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(42, d.header.cylinders);
    EXPECT_EQ(2, d.header.heads);
    EXPECT_EQ(0, CountDirty(d));
    EXPECT_EQ(100000, d.GetTrackLen(41, 1));
    EXPECT_EQ(-1, FirstDiff(d.GetTrackData(41, 1), Bytes(12784).data(), 12784));
    memset(d.GetTrackData(41, 1), 0x77, 10);
    d.UpdateTrack(41, 1);
    ASSERT_EQ(1, d.Save(path, 0));
    int ts = d.header.tracksize;  // full tracks of 102272 bits: 13312
    EXPECT_EQ(256u + 84u * 13312u, ReadAll(path).size());

    ASSERT_EQ(1, e.Load(path, 0));
    EXPECT_EQ(0x77, e.GetTrackData(41, 1)[9]);
    ExpectTrackData(e, 39, 0, 12784);
    memset(e.GetTrackData(0, 1), 0x66, 4);  // in place from now on
    e.UpdateTrack(0, 1);
    ASSERT_EQ(1, e.Save(path, 0));
    EXPECT_EQ(0x66, ReadAll(path)[256 + ts + 16]);

    f.cylinders = 43;
    f.heads = 2;
    f.tracksize = 64;
    WriteAll(path, f.Build());
    ASSERT_EQ(1, d.Load(path, 0));
    EXPECT_EQ(84, d.header.cylinders);
    EXPECT_EQ(384, d.GetTrackLen(83, 1));  // a nominal track clipped to the record
}

TEST(ZELDisk, FullSaveFailureKeepsOldFile) {
    ScratchDir dir;
    Filepath path = dir.File("keep.ZEL");
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    ASSERT_EQ(1, d.Save(path, 1));
    chmod(path.GetPath(), 0640);
    Bytes before = ReadAll(path);

    // Files may not grow past 1 MB: the new 2 MB image cannot be written.
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
    EXPECT_EQ(1, CountEntries(dir));  // the temporary file is gone
    EXPECT_EQ(1, d.dirty[10][0]);
    EXPECT_EQ(0, d.Save(dir.File("gone/keep.ZEL"), 1));  // a folder that does not exist

    // The retried save replaces the file and keeps its permissions.
    ASSERT_EQ(1, d.Save(path, 1));
    struct stat st;
    ASSERT_EQ(0, stat(path.GetPath(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(0xEE, ReadAll(path)[256 + 20 * 12800 + 16]);
}

struct ConvertCase {
    int type, wantRate, wantTracksize;
};

class ZELDiskConvert : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ZELDiskConvert, RawAndBackKeepsCells) {
    const ConvertCase &t = GetParam();
    ZELDisk d, ref;
    ASSERT_EQ(1, d.Init(t.type, 0, 0, 0));
    ASSERT_EQ(1, ref.Init(t.type, 0, 0, 0));
    int n = d.GetTrackLen(0, 0) & ~1;
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            FillMfm(d.GetTrackData(c, h), n, (uint32_t)(c * 2 + h + 1));
            d.SetTrackLen(c, h, n);
            memcpy(ref.GetTrackData(c, h), d.GetTrackData(c, h), (size_t)n / 8);
        }
    EXPECT_EQ(0, d.ConvertEnc());
    ASSERT_EQ(1, d.ConvertRaw());
    EXPECT_EQ(ZEL_TYPE_RAW, d.header.type);
    EXPECT_EQ(n * 8, d.GetTrackLen(1, 1));
    ASSERT_EQ(1, d.ConvertEnc());
    EXPECT_EQ(t.type, d.header.type);
    EXPECT_EQ(t.wantRate, d.header.rate);
    EXPECT_EQ(t.wantTracksize, d.header.tracksize);
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(n, d.GetTrackLen(c, h)) << c << "." << h;
            ASSERT_EQ(-1, FirstDiff(ref.GetTrackData(c, h), d.GetTrackData(c, h), (size_t)n / 8)) << c << "." << h;
        }
}

INSTANTIATE_TEST_SUITE_P(Types, ZELDiskConvert,
                         ::testing::Values(ConvertCase{0, 500, 16384}, ConvertCase{2, 1000, 32768}),
                         [](const ::testing::TestParamInfo<ConvertCase> &info) {
                             return "type" + std::to_string(info.param.type);
                         });

TEST(ZELDisk, ConvertRawShrinksLongTracks) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    ASSERT_EQ(1, d.SetTrackLen(2, 0, 101000));  // 808000 samples, above 804000
    FillMfm(d.GetTrackData(2, 0), 101000, 7);
    ASSERT_EQ(1, d.ConvertRaw());
    EXPECT_EQ(804000, d.GetTrackLen(2, 0));
    EXPECT_EQ(800000, d.GetTrackLen(3, 0));
}

// A raw track whose cells outgrow the usual encode record gets a larger
// record; nothing of the track is lost on the way.
TEST(ZELDisk, ConvertEncGrowsRecordForLongTrack) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(1, 0, 0, 1));  // raw 2DD: 131072-byte records
    const int samples = d.GetTrackCapacity(5, 1) * 8;
    uint8_t *raw = d.GetTrackData(5, 1);
    for (int i = 0; i < samples; i += 16) raw[i / 8] = 0xE0;  // a pulse every two cells
    ASSERT_EQ(1, d.SetTrackLen(5, 1, samples));
    ASSERT_EQ(1, d.ConvertEnc());
    const int cells = samples / 8;
    ASSERT_GT(cells, 16384 * 8 - 16 * 8) << "the track must not fit a 16384-byte record";
    ASSERT_EQ(cells, d.GetTrackLen(5, 1));
    const uint8_t *enc = d.GetTrackData(5, 1);
    for (int i = 0; i < cells / 8; i++) ASSERT_EQ(0xAA, enc[i]) << "byte " << i;
}

// Pulses that come ever closer (noise a drive reads where there is no flux)
// pull clock recovery to ever shorter cells, so a revolution may take more
// cells than any fixed estimate: its record is sized from what clock
// recovery needs, and every track is converted.
TEST(ZELDisk, ConvertEncSizesNoisyTracksFromClockRecovery) {
    ZELDisk d;
    ASSERT_EQ(1, d.Init(2, 0, 0, 1));
    const int samples = d.GetTrackLen(7, 0);
    uint8_t *raw = d.GetTrackData(7, 0);
    memset(raw, 0, (size_t)samples / 8);
    double gap = 16;
    for (int i = 0; i < samples; i += (int)gap, gap = gap > 4.2 ? gap - 0.002 : gap) BfSetBit(raw, i);
    const int need = Raw2EncodeLength(raw, samples);
    ASSERT_GT(need, samples / 4 + 64) << "the noise must outgrow the old estimate";
    ASSERT_EQ(1, d.ConvertEnc());
    EXPECT_EQ(need, d.GetTrackLen(7, 0));
    EXPECT_EQ(ZEL_TYPE_2HD, d.header.type);
}
