// The flux image formats MFI and SCP: what the writers put in a file, flux
// timing through a round trip (a raw image with jitter comes back within a
// sample of every pulse), the variants of SCP files other tools write, and
// damaged files refused with their reason.
#include <zlib.h>

#include <functional>
#include <map>

#include "bytes.h"
#include "fdi_loss.h"
#include "formats_fixture.h"
#include "zel_fixture.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A track image of the geometry made as a conversion makes it: sectors of
// random data in a D88, imported through the encoder.
void MakeImage(const ScratchDir &dir, const geometry_t &g, ZELDisk &z, VDisk &want, unsigned seed = 7) {
    FillDisk(want, g, seed);
    ASSERT_EQ(1, want.Export(dir.File("src.D88")));
    ASSERT_EQ(1, z.Import(dir.File("src.D88"), 1));
}

// The file such an image exports to.
Bytes Exported(const ScratchDir &dir, const geometry_t &g, const char *name, ZELDisk &z, VDisk &want) {
    MakeImage(dir, g, z, want);
    EXPECT_EQ(1, z.Export(dir.File(name), ANALYZE_UPD765));
    return ReadAll(dir.Path(name));
}

const geometry_t k2HD = {"2HD", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}};
const geometry_t k144 = {"1.44MB", VDisk::TYPE_2HD, 80, 18, 2, false, false, {}};
const geometry_t k2DD = {"2DD", VDisk::TYPE_2DD, 80, 9, 2, false, false, {}};
const geometry_t k2D = {"2D", VDisk::TYPE_2D, 40, 16, 1, false, false, {}};

// Rising edges of a raw track.
std::vector<int> Edges(const ZELDisk &z, int c, int h) {
    fluxrev_t rev;
    TrackFlux(z, c, h, rev);
    return std::vector<int>(rev.at.begin(), rev.at.end());
}

// Every raw track of the image with its pulses moved by up to a sample
// either way and its revolution made len / 1000 longer (a drive's jitter
// and speed error).
void Jitter(ZELDisk &z, int permille, unsigned seed) {
    std::mt19937 rng(seed);
    for (int c = 0; c < z.header.cylinders; c++)
        for (int h = 0; h < 2; h++) {
            std::vector<int> e = Edges(z, c, h);
            int len = z.GetTrackLen(c, h), newlen = len + len / 1000 * permille;
            std::vector<int64_t> at;
            for (int p : e) {
                int64_t q = (int64_t)p * newlen / len + (int)(rng() % 3) - 1;
                if (at.empty() || q > at.back() + 4) at.push_back(q < 0 ? 0 : q);
            }
            Bits raw = RawWithPulses(newlen, at);
            ASSERT_EQ(1, z.SetTrackLen(c, h, newlen));
            memset(z.GetTrackData(c, h), 0, (size_t)z.GetTrackCapacity(c, h));
            memcpy(z.GetTrackData(c, h), raw.data(), raw.b.size());
        }
}

::testing::AssertionResult PulsesWithinASample(const ZELDisk &a, const ZELDisk &b, double scale = 1.0) {
    for (int c = 0; c < a.header.cylinders; c++)
        for (int h = 0; h < 2; h++) {
            std::vector<int> ea = Edges(a, c, h), eb = Edges(b, c, h);
            if (ea.size() != eb.size())
                return ::testing::AssertionFailure()
                       << "track " << 2 * c + h << ": " << ea.size() << " pulses became " << eb.size();
            for (size_t i = 0; i < ea.size(); i++)
                if (std::abs(ea[i] * scale - eb[i]) > 1.0)
                    return ::testing::AssertionFailure()
                           << "track " << 2 * c + h << " pulse " << i << ": sample " << ea[i] << " came back at "
                           << eb[i];
        }
    return ::testing::AssertionSuccess();
}

// The transitions the writers take from a track: rising edges of samples
// (the one at sample 0 counts when the revolution ends low), every 1 of
// cells, nothing from the bits past the end of the last byte.
TEST(Flux, TransitionsOfRawAndEncodeTracks) {
    const struct {
        int type;
        const char *bits;
        std::vector<uint32_t> at;
    } cases[] = {
        {ZEL_TYPE_RAW, "1110000000011100 0000000111000 1", {11, 23, 29}},
        {ZEL_TYPE_RAW, "1110000000011100 0000000111000 0", {0, 11, 23}},
        {ZEL_TYPE_RAW, "0000000000000000 1111111111111", {16}},
        {ZEL_TYPE_2DD, "1001000100100001 0101", {1, 7, 15, 21, 31, 35, 39}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bits);
        ZELDisk z;
        ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 0, 0, c.type == ZEL_TYPE_RAW));
        Bits b = Bits::Of(c.bits);
        uint8_t *d = z.GetTrackData(0, 0);
        memset(d, 0xFF, 16);  // what lies past the track must not count
        memcpy(d, b.data(), b.b.size());
        if (b.n % 8) d[b.n / 8] |= (uint8_t)(0xFF >> (b.n % 8));
        ASSERT_EQ(1, z.SetTrackLen(0, 0, b.n));
        fluxrev_t rev;
        TrackFlux(z, 0, 0, rev);
        EXPECT_EQ(c.at, rev.at);
        EXPECT_EQ((uint32_t)(c.type == ZEL_TYPE_RAW ? b.n : 2 * b.n), rev.length);
    }
}

// ---------------------------------------------------------------------------
// SCP files taken apart and put together again, as other tools lay them out.

struct scprev_t {
    uint32_t index;
    std::vector<uint16_t> flux;
};
struct scpfile_t {
    Bytes header;  // the 16 header bytes
    std::map<int, std::vector<scprev_t>> tracks;
};

scpfile_t ParseScp(const Bytes &f) {
    scpfile_t s;
    s.header.assign(f.begin(), f.begin() + 16);
    for (int i = 0; i < 168; i++) {
        uint32_t off = GetLE32(&f[16 + 4 * i]);
        if (!off) continue;
        for (int k = 0; k < f[5]; k++) {
            const uint8_t *r = &f[off + 4 + 12 * k];
            scprev_t rev = {GetLE32(r), {}};
            for (uint32_t j = 0; j < GetLE32(r + 4); j++) {
                const uint8_t *p = &f[off + GetLE32(r + 8) + 2 * j];
                rev.flux.push_back((uint16_t)(p[0] << 8 | p[1]));
            }
            s.tracks[i].push_back(rev);
        }
    }
    return s;
}

// The file of s: a table of entries entries, then every track header with
// its revolutions and their flux, the checksum last.
Bytes BuildScp(const scpfile_t &s, int entries = 168) {
    Bytes f = s.header;
    size_t revs = s.tracks.empty() ? 1 : s.tracks.begin()->second.size();
    f[5] = (uint8_t)revs;
    f.resize(16 + 4 * (size_t)entries, 0);
    for (const auto &t : s.tracks) {
        size_t tdh = f.size();
        PutLE32(&f[16 + 4 * t.first], (uint32_t)tdh);
        f.resize(tdh + 4 + 12 * revs, 0);
        memcpy(&f[tdh], "TRK", 3);
        f[tdh + 3] = (uint8_t)t.first;
        for (size_t k = 0; k < revs; k++) {
            PutLE32(&f[tdh + 4 + 12 * k], t.second[k].index);
            PutLE32(&f[tdh + 8 + 12 * k], (uint32_t)t.second[k].flux.size());
            PutLE32(&f[tdh + 12 + 12 * k], (uint32_t)(f.size() - tdh));
            for (uint16_t v : t.second[k].flux) f.push_back((uint8_t)(v >> 8)), f.push_back((uint8_t)v);
        }
    }
    uint32_t sum = 0;
    for (size_t i = 16; i < f.size(); i++) sum += f[i];
    PutLE32(&f[12], sum);
    return f;
}

// The revolution with three intervals from the given share of its turn on
// merged into their neighbours: the sector there no longer reads.
scprev_t Damaged(const scprev_t &rev, double where) {
    std::vector<uint16_t> flux = rev.flux;
    uint64_t t = 0;
    size_t at = 0;
    while (at + 100 < flux.size() && t < where * rev.index) t += flux[at++];
    for (int k = 0; k < 3; k++) {
        size_t i = at + 40 * k;
        flux[i] = (uint16_t)(flux[i] + flux[i + 1]);
        flux.erase(flux.begin() + (ptrdiff_t)i + 1);
    }
    return {rev.index, flux};
}

int ImportBytes(const ScratchDir &dir, const Bytes &f, ZELDisk &z, LossReport *report = nullptr,
                const char *name = "t.scp") {
    WriteAll(dir.Path(name), f);
    return z.Import(dir.File(name), 1, report);
}

// The image is a raw one of that sampling rate and speed and holds the
// sectors of want.
::testing::AssertionResult RawWithSectors(ZELDisk &z, int rate, int rpm, const VDisk &want) {
    if (z.header.type != ZEL_TYPE_RAW || z.header.rate != rate || z.header.rpm != rpm)
        return ::testing::AssertionFailure() << "type " << z.header.type << ", rate " << z.header.rate << ", rpm "
                                             << z.header.rpm;
    VDisk got;
    z.Sectors(got, ANALYZE_UPD765);
    return SameSectors(want, got);
}

// The file is refused, and the reason says so.
void ExpectRefused(const ScratchDir &dir, const Bytes &f, const char *name, const char *reason) {
    ZELDisk back;
    LossReport report;
    EXPECT_EQ(0, ImportBytes(dir, f, back, &report, name));
    EXPECT_EQ(0, back.valid);
    EXPECT_NE(std::string::npos, report.Refusal().find(reason)) << report.Refusal();
}

TEST(SCP, WriterLaysOutHeaderTracksAndTicks) {
    ScratchDir dir;
    ZELDisk z;
    VDisk want;
    Bytes f = Exported(dir, k2HD, "a.scp", z, want);
    EXPECT_EQ(0, memcmp(f.data(), "SCP", 3));
    EXPECT_EQ(0x21, f[3]);               // written by version 2.1
    EXPECT_EQ(0x81, f[4]);               // other, 1.2 MB
    EXPECT_EQ(1, f[5]);                  // one revolution
    EXPECT_EQ(0, f[6]);
    EXPECT_EQ(153, f[7]);                // 77 cylinders, both heads
    EXPECT_EQ(0x01 | 0x02 | 0x04 | 0x80, f[8]);  // index-cued, 96 tpi, 360 rpm, not SuperCard Pro hardware
    EXPECT_EQ(0, f[9] | f[10] | f[11]);  // 16-bit entries, both heads, 25 ns
    uint32_t sum = 0;
    for (size_t i = 16; i < f.size(); i++) sum += f[i];
    EXPECT_EQ(sum, GetLE32(&f[12]));
    EXPECT_EQ(0u, GetLE32(&f[16 + 4 * 154])) << "nothing past the last formatted track";

    // Track 3 (cylinder 1 head 1): a cell every 1 us, 40 ticks; a
    // transition in the middle of its cell; a revolution of 166666 cells.
    const uint8_t *tdh = &f[GetLE32(&f[16 + 4 * 3])];
    EXPECT_EQ(0, memcmp(tdh, "TRK\x03", 4));
    EXPECT_EQ(166666u * 40, GetLE32(tdh + 4));
    EXPECT_EQ(16u, GetLE32(tdh + 12));
    std::vector<int> ones;
    for (int i = 0; i < z.GetTrackLen(1, 1); i++)
        if (BfGetBit(z.GetTrackData(1, 1), i)) ones.push_back(i);
    ASSERT_EQ(ones.size(), GetLE32(tdh + 8));
    uint64_t t = 0;
    for (size_t i = 0; i < ones.size(); i++) {
        t += (uint32_t)(tdh[16 + 2 * i] << 8 | tdh[17 + 2 * i]);
        ASSERT_EQ((uint64_t)ones[i] * 40 + 20, t) << i;
    }
}

// Stretches without flux longer than 65535 ticks go as 0x0000 entries; a
// whole multiple of 65536 ticks cannot be written and moves one tick on.
TEST(SCP, LongIntervalsUseOverflowEntries) {
    ScratchDir dir;
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 0, 0, 1));  // raw, 4 MHz: 10 ticks a sample
    // 131070 ticks after the first pulse, then 5 x 65536.
    const int at[] = {100, 100 + 13107, 100 + 13107 + 32768};
    for (int p : at)
        for (int k = 0; k < 3; k++) BfSetBit(z.GetTrackData(0, 0), p + k);
    LossReport r;
    ASSERT_EQ(1, z.Export(dir.File("l.scp"), ANALYZE_UPD765, &r)) << r.Refusal();
    scpfile_t s = ParseScp(ReadAll(dir.Path("l.scp")));
    ASSERT_EQ(1u, s.tracks.size());
    const std::vector<uint16_t> want = {1000, 0, 65534, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(want, s.tracks[0][0].flux);
    EXPECT_EQ(8000000u, s.tracks[0][0].index);
}

// What other tools write: several revolutions (the best one is taken,
// wherever it is), revolutions not cued to the index (the first is left
// out), one side only, single-sided tracks packed one cylinder an entry,
// the older short table, 50 ns ticks, a footer, 40 cylinders.
TEST(SCP, FilesOfOtherToolsRead) {
    ScratchDir dir;
    ZELDisk z;
    VDisk want;
    MakeImage(dir, k2HD, z, want);
    ASSERT_EQ(1, z.Export(dir.File("one.scp"), ANALYZE_UPD765));
    const scpfile_t one = ParseScp(ReadAll(dir.Path("one.scp")));
    VDisk sides;  // want with only head 0
    sides.Init(want.type, want.cylinders, 2);
    for (int c = 0; c < want.cylinders; c++)
        for (const VSector *s = want.tracks[c][0]->sectors; s; s = s->next) {
            VSector *n = NewSector(s->mfm, s->c, s->h, s->r, s->n, s->length, s->status);
            memcpy(n->data, s->data, (size_t)s->length);
            sides.tracks[c][0]->AddSector(n);
        }

    struct variant_t {
        const char *name;
        std::function<Bytes()> make;
        const VDisk *sectors;
        bool clean;  // every sector without an error
    };
    auto revs = [&](bool cued, std::function<std::vector<scprev_t>(const scprev_t &)> f) {
        scpfile_t s = one;
        if (!cued) s.header[8] &= (uint8_t)~0x01;
        for (auto &t : s.tracks) t.second = f(t.second[0]);
        return BuildScp(s);
    };
    // Shares of the turn inside the data of the third and the sixth sector.
    VTrack dec;
    dec.Decode(0, z.GetTrackData(0, 0), z.GetTrackLen(0, 0), ANALYZE_UPD765);
    const double third = (dec.GetSectorByIndex(2)->datapos + 3200) / (double)dec.cells;
    const double sixth = (dec.GetSectorByIndex(5)->datapos + 3200) / (double)dec.cells;
    auto damaged = [](const scprev_t &r, double where) { return Damaged(r, where); };
    const variant_t variants[] = {
        {"best of three", [&] { return revs(true, [&](const scprev_t &r) {
             return std::vector<scprev_t>{damaged(r, third), r, damaged(r, sixth)}; }); }, &want, true},
        {"not cued: the first is left out", [&] { return revs(false, [&](const scprev_t &r) {
             return std::vector<scprev_t>{r, damaged(r, third)}; }); }, &want, false},
        {"empty trailing revolution", [&] { return revs(true, [&](const scprev_t &r) {
             return std::vector<scprev_t>{r, scprev_t{0, {}}}; }); }, &want, true},
        {"a turn without flux first", [&] { return revs(true, [&](const scprev_t &r) {
             return std::vector<scprev_t>{scprev_t{r.index, {}}, r}; }); }, &want, true},
        {"side 0 only", [&] {
             scpfile_t s = one;
             s.header[10] = 1;
             for (int i = 1; i < 168; i += 2) s.tracks.erase(i);
             return BuildScp(s);
         }, &sides, true},
        {"side 0 only, packed", [&] {
             scpfile_t s = one;
             s.header[10] = 1;
             s.tracks.clear();
             for (int c = 0; c < 77; c++) s.tracks[c] = one.tracks.at(2 * c);
             return BuildScp(s);
         }, &sides, true},
        {"short table", [&] { return BuildScp(one, 166); }, &want, true},
        {"50 ns ticks", [&] {
             scpfile_t s = one;
             s.header[11] = 1;
             for (auto &t : s.tracks) {
                 uint64_t abs = 0, prev = 0;
                 std::vector<uint16_t> half;
                 for (uint16_t v : t.second[0].flux) {
                     abs += v;
                     uint64_t now = (abs + 1) / 2;
                     half.push_back((uint16_t)(now - prev));
                     prev = now;
                 }
                 t.second[0] = {t.second[0].index / 2, half};
             }
             return BuildScp(s);
         }, &want, true},
        {"footer", [&] {
             scpfile_t s = one;
             s.header[8] |= 0x20;
             Bytes f = BuildScp(s);
             f.resize(f.size() + 0x30, 0);
             memcpy(&f[f.size() - 4], "FPCS", 4);
             return f;
         }, &want, true},
    };
    for (const variant_t &v : variants) {
        SCOPED_TRACE(v.name);
        ZELDisk back;
        LossReport report;
        ASSERT_EQ(1, ImportBytes(dir, v.make(), back, &report)) << report.Refusal();
        EXPECT_EQ(v.clean, (bool)RawWithSectors(back, 8000, 360, *v.sectors)) << "the revolution kept";
    }

    // A 2D disk of 40 cylinders comes back as one.
    ZELDisk dd;
    VDisk ddwant;
    ScratchDir dir2;
    MakeImage(dir2, k2D, dd, ddwant);
    ASSERT_EQ(1, dd.Export(dir2.File("2d.scp"), ANALYZE_UPD765));
    ZELDisk back;
    ASSERT_EQ(1, back.Import(dir2.File("2d.scp"), 1));
    EXPECT_EQ(42, back.header.cylinders);
    EXPECT_TRUE(RawWithSectors(back, 4000, 300, ddwant));
}

// Damaged and foreign files are refused with their reason.
TEST(SCP, DamagedFilesRefusedWithReason) {
    ScratchDir dir;
    ZELDisk z;
    VDisk want;
    const Bytes good = Exported(dir, k2DD, "one.scp", z, want);
    const uint32_t tdh0 = GetLE32(&good[16]);
    struct case_t {
        const char *name;
        std::function<void(Bytes &)> damage;
        const char *reason;
    } cases[] = {
        {"HFE", [](Bytes &f) { memcpy(f.data(), "HXCPICFE", 8); }, "t.scp is not an SCP image: it looks like an HFE image"},
        {"extended", [](Bytes &f) { f[8] |= 0x40; }, "extended mode"},
        {"8-bit entries", [](Bytes &f) { f[9] = 8; }, "8 bits wide"},
        {"no revolutions", [](Bytes &f) { f[5] = 0; }, "no revolutions"},
        {"track header", [&](Bytes &f) { f[tdh0] = 'X'; }, "track 0 has no track header"},
        {"flux past the end", [&](Bytes &f) { PutLE32(&f[tdh0 + 8], (uint32_t)(f.size() - tdh0 - 16) / 2 + 1); },
         "track 0: revolution 1 claims flux"},
        {"a 10 ms turn", [&](Bytes &f) { PutLE32(&f[tdh0 + 4], 400000); }, "lasts 10 ms, not one turn"},
        {"shared flux", [&](Bytes &f) {
             for (int i = 0; i < 168; i++) PutLE32(&f[16 + 4 * i], tdh0);
             f[7] = 167;
         }, "claims flux the file does not hold"},
        {"packed beyond 84 cylinders", [&](Bytes &f) {
             f[10] = 1;
             f[7] = 167;
             PutLE32(&f[16 + 4 * 120], GetLE32(&f[16 + 4 * 1]));
             PutLE32(&f[16 + 4 * 1], 0);
         }, "beyond the 84 cylinders"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = good;
        c.damage(f);
        ExpectRefused(dir, f, "t.scp", c.reason);
    }
}

// ---------------------------------------------------------------------------
// Flux timing through a round trip.

// A raw image of every kind with jitter and speed error: SCP gives back
// every pulse within a sample and the revolution's length; MFI, which
// stores angles, every pulse within a sample of its place on a revolution
// of nominal length.
TEST(FluxRoundTrip, RawPulsesComeBackWithinASample) {
    const struct {
        const geometry_t *g;
        int rate, rpm;  // of the raw image (kcells/s)
    } kinds[] = {{&k2HD, 1000, 360}, {&k144, 1000, 300}, {&k2DD, 500, 300}, {&k2D, 500, 300}};
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.g->name);
        ScratchDir dir;
        ZELDisk z;
        VDisk want;
        geometry_t few = *k.g;  // a few cylinders show the timing
        few.cylinders = 6;
        MakeImage(dir, few, z, want, 3);
        ASSERT_EQ(1, z.ConvertRaw());
        Jitter(z, 3, 9);  // 0.3 % slow
        for (const char *ext : {".SCP", ".MFI"}) {
            SCOPED_TRACE(ext);
            LossReport report;
            ASSERT_EQ(1, z.Export(dir.File(std::string("f") + ext), ANALYZE_UPD765, &report))
                << report.Refusal() << (report.Losses().empty() ? "" : LossReport::Text(report.Losses()[0]));
            ASSERT_EQ(ZEL_TYPE_RAW, z.header.type) << "exported as flux, not cells";
            ZELDisk back;
            ASSERT_EQ(1, back.Import(dir.File(std::string("f") + ext), 1));
            EXPECT_TRUE(RawWithSectors(back, k.rate * 8, k.rpm, want));
            bool scp = ext[1] == 'S';
            for (int c = 0; c < few.cylinders; c++)
                ASSERT_NEAR(scp ? z.GetTrackLen(c, 1) : back.NominalLength(), back.GetTrackLen(c, 1), 1);
            EXPECT_TRUE(PulsesWithinASample(z, back, scp ? 1.0 : (double)back.NominalLength() / z.GetTrackLen(0, 0)));
        }
    }
}

// A double-density disk read at 600 kcells/s in a 360-rpm drive keeps its
// speed through SCP (the index times say it), and comes back from MFI,
// which holds no speed, at 300 rpm with the same sectors.
TEST(FluxRoundTrip, DoubleDensityIn360RpmDrive) {
    ScratchDir dir;
    VDisk want;
    FillDisk(want, k2DD, 5);
    ASSERT_EQ(1, want.Export(dir.File("src.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 600, 360, 0));
    {
        ZELDisk at300;
        ASSERT_EQ(1, at300.Import(dir.File("src.D88"), 1));
        for (int c = 0; c < 84; c++)
            for (int h = 0; h < 2; h++) {
                ASSERT_EQ(1, z.SetTrackLen(c, h, 100000));
                memcpy(z.GetTrackData(c, h), at300.GetTrackData(c, h), 12500);
            }
    }
    const struct {
        const char *ext;
        int rate, rpm;
    } cases[] = {{".SCP", 4800, 360}, {".MFI", 4000, 300}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ext);
        ASSERT_EQ(1, z.Export(dir.File(std::string("dd") + c.ext), ANALYZE_UPD765));
        ZELDisk back;
        ASSERT_EQ(1, back.Import(dir.File(std::string("dd") + c.ext), 1));
        EXPECT_TRUE(RawWithSectors(back, c.rate, c.rpm, want));
    }
}

// ---------------------------------------------------------------------------
// MFI

struct mfitrack_t {
    uint32_t offset, packed, words, splice;
    std::vector<uint32_t> w;  // inflated
};

mfitrack_t MfiTrack(const Bytes &f, int entry) {
    const uint8_t *e = &f[32 + 16 * entry];
    mfitrack_t t = {GetLE32(e), GetLE32(e + 4), GetLE32(e + 8), GetLE32(e + 12), {}};
    if (!t.words) return t;
    t.w.resize(t.words / 4);
    uLongf n = t.words;
    EXPECT_EQ(Z_OK, uncompress((Bytef *)t.w.data(), &n, &f[t.offset], t.packed));
    for (uint32_t &v : t.w) v = GetLE32((const uint8_t *)&v);
    return t;
}

// An MFI file whose tracks are given as words, packed again.
Bytes RepackMfi(const Bytes &f, std::function<std::vector<uint32_t>(int entry, const std::vector<uint32_t> &)> words,
                const char *signature = "MAMEFLOPPYIMAGE", uint32_t resolution = 0) {
    const int cyls = (int)(GetLE32(&f[16]) & 0x3FFFFFFF), heads = (int)GetLE32(&f[20]);
    const int entries = (cyls << resolution) * heads;
    Bytes out(f.begin(), f.begin() + 32);
    memcpy(out.data(), signature, 16);
    PutLE32(&out[16], (uint32_t)cyls | resolution << 30);
    out.resize(32 + 16 * (size_t)entries, 0);
    for (int e = 0; e < entries; e++) {
        int pos = e / heads, sub = pos % (1 << resolution), src = (pos >> resolution) * heads + e % heads;
        std::vector<uint32_t> w = words(e, sub ? std::vector<uint32_t>() : MfiTrack(f, src).w);
        if (w.empty()) continue;
        Bytes raw(w.size() * 4);
        for (size_t i = 0; i < w.size(); i++) PutLE32(&raw[4 * i], w[i]);
        uLongf n = compressBound((uLong)raw.size());
        Bytes packed(n);
        EXPECT_EQ(Z_OK, compress2(packed.data(), &n, raw.data(), (uLong)raw.size(), Z_BEST_SPEED));
        PutLE32(&out[32 + 16 * e], (uint32_t)out.size());
        PutLE32(&out[36 + 16 * e], (uint32_t)n);
        PutLE32(&out[40 + 16 * e], (uint32_t)raw.size());
        out.insert(out.end(), packed.begin(), packed.begin() + (ptrdiff_t)n);
    }
    return out;
}

TEST(MFI, WriterLaysOutHeaderTracksAndSplice) {
    const struct {
        const geometry_t *g;
        const char *form, *variant;
        int cell;  // angle of one cell
    } kinds[] = {{&k2HD, "525 ", "DSHD", 1200}, {&k144, "35  ", "DSHD", 1000}, {&k2DD, "35  ", "DSDD", 2000},
                 {&k2D, "525 ", "DSDD", 2000}};
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.g->name);
        ScratchDir dir;
        ZELDisk z;
        VDisk want;
        MakeImage(dir, *k.g, z, want);
        ASSERT_EQ(1, z.Export(dir.File("a.mfi"), ANALYZE_UPD765));
        Bytes f = ReadAll(dir.Path("a.mfi"));
        EXPECT_EQ(0, memcmp(f.data(), "MAMEFLOPPYIMAGE", 16));
        EXPECT_EQ((uint32_t)k.g->cylinders, GetLE32(&f[16])) << "cylinders up to the last formatted one";
        EXPECT_EQ(2u, GetLE32(&f[20]));
        EXPECT_EQ(0, memcmp(&f[24], k.form, 4));
        EXPECT_EQ(0, memcmp(&f[28], k.variant, 4));
        mfitrack_t t = MfiTrack(f, 3);  // cylinder 1 head 1
        EXPECT_EQ(32u + 16 * 2 * k.g->cylinders, MfiTrack(f, 0).offset);
        // Every word a transition, in the middle of its cell.
        const int cells = z.GetTrackLen(1, 1);
        std::vector<int> ones;
        for (int i = 0; i < cells; i++)
            if (BfGetBit(z.GetTrackData(1, 1), i)) ones.push_back(i);
        ASSERT_EQ(ones.size(), t.w.size());
        uint64_t pos = 0;
        for (size_t i = 0; i < t.w.size(); i++) {
            ASSERT_EQ(0u, t.w[i] >> 28);
            pos += t.w[i];
            ASSERT_EQ((uint64_t)(2 * ones[i] + 1) * 100000000 / cells, pos) << i;
        }
        EXPECT_NEAR(2e8 / cells, k.cell, 1);
        // The splice lies where no sector is: between the last one and the
        // first across the index.
        VTrack dec;
        dec.Decode(0, z.GetTrackData(1, 1), cells, ANALYZE_UPD765);
        int64_t splice = (int64_t)t.splice * cells / 200000000;
        EXPECT_TRUE(splice > dec.GetLasttSector()->endpos || splice < dec.sectors->idpos)
            << splice << " in " << dec.sectors->idpos << ".." << dec.GetLasttSector()->endpos;
    }
}

// Older files (cells of two orientations), half-track tables, and blank
// tracks read as the files written here do.
TEST(MFI, OlderCellFormAndHalfTracksRead) {
    ScratchDir dir;
    ZELDisk z;
    VDisk want;
    const Bytes f = Exported(dir, k2HD, "a.mfi", z, want);
    // Events -> cells: a cell from each transition to the next, the
    // orientations taking turns; the last cell closes the turn.
    auto cells = [](int, const std::vector<uint32_t> &w) {
        std::vector<uint32_t> out;
        uint32_t pos = 0, start = 0, type = 0;
        for (uint32_t v : w) {
            pos += v & 0x0FFFFFFF;
            if (pos > start) out.push_back(type << 28 | (pos - start)), type ^= 1;
            start = pos;
        }
        if (!w.empty()) out.push_back(type << 28 | (200000000 - start));
        return out;
    };
    auto same = [](int, const std::vector<uint32_t> &w) { return w; };
    const struct {
        const char *name;
        Bytes file;
    } files[] = {
        {"cells", RepackMfi(f, cells, "MESSFLOPPYIMAGE")},
        {"half tracks", RepackMfi(f, same, "MAMEFLOPPYIMAGE", 1)},
        {"quarter tracks", RepackMfi(f, same, "MAMEFLOPPYIMAGE", 2)},
    };
    for (const auto &file : files) {
        SCOPED_TRACE(file.name);
        ZELDisk back;
        LossReport report;
        ASSERT_EQ(1, ImportBytes(dir, file.file, back, &report, "t.mfi")) << report.Refusal();
        EXPECT_TRUE(RawWithSectors(back, 8000, 360, want));
    }
}

TEST(MFI, DamagedFilesRefusedWithReason) {
    ScratchDir dir;
    ZELDisk z;
    VDisk want;
    const Bytes good = Exported(dir, k2DD, "a.mfi", z, want);
    struct case_t {
        const char *name;
        std::function<Bytes()> make;
        const char *reason;
    } cases[] = {
        {"SCP", [&] { Bytes f = good; memcpy(f.data(), "SCP", 3); return f; }, "t.mfi is not an MFI image: it looks like an SCP image"},
        {"resolution 3", [&] { Bytes f = good; f[19] |= 0xC0; return f; }, "track resolution"},
        {"85 cylinders", [&] { Bytes f = good; PutLE32(&f[16], 85); return f; }, "85 cylinders"},
        {"3 heads", [&] { Bytes f = good; PutLE32(&f[20], 3); return f; }, "head count is 3"},
        {"table past the end", [&] { Bytes f = good; f.resize(32 + 16 * 100); return f; }, "track table runs past"},
        {"data past the end", [&] { Bytes f = good; f.resize(f.size() - 10); return f; }, "cylinder 79 head 1: track data lies past"},
        {"not zlib", [&] { Bytes f = good; f[GetLE32(&f[32]) + 1] ^= 0xFF; return f; }, "cylinder 0 head 0: track data does not inflate"},
        {"inflated size", [&] { Bytes f = good; PutLE32(&f[40], GetLE32(&f[40]) - 4); return f; }, "does not inflate"},
        {"event type 5", [&] {
             return RepackMfi(good, [](int e, const std::vector<uint32_t> &w) {
                 std::vector<uint32_t> v = w;
                 if (e == 7 && !v.empty()) v[9] |= 5u << 28;
                 return v;
             });
         }, "cylinder 3 head 1: its track data holds an event of type 5"},
        {"data between cylinders", [&] {
             return RepackMfi(good, [&](int e, const std::vector<uint32_t> &w) {
                 return e == 2 ? MfiTrack(good, 0).w : w;
             }, "MAMEFLOPPYIMAGE", 1);
         }, "cylinder 0 + 1/2 head 0, between whole cylinders"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefused(dir, c.make(), "t.mfi", c.reason);
    }
}

}  // namespace
