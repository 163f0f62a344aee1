// The drive tools' per-track work gives the same results however it is
// arranged: windows of samples as the dumper takes them (clean, jittered,
// noisy, with unformatted stretches, 2DD and 2HD, FM and MFM, interleaved,
// sectors across the index, SPI clocks off the nominal rate) go through
// ProcessTrack, and tracks of encode and raw images through PrepareRestore at
// the drive speeds the writer meets; a digest of everything they hand back
// must equal the one recorded when the corpus was made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fdd.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "zel.h"
#include "zeldisk.h"
#include "golden_digest.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct cells_t {
    Bytes bits;
    int count;
};

// A track of sectors in one density (mfm 0/1) or mixed (2); interleave
// steps the sector numbers; statusevery marks every so many sectors bad.
cells_t Encoded(std::mt19937 &rng, int count, int sectors, int n, int mfm, int interleave, int statusevery) {
    VTrack t;
    for (int i = 0; i < sectors; i++) {
        int m = mfm;
        if (mfm == 2) m = (int)(rng() & 1);
        int status = 0;
        if (statusevery && i % statusevery == 1) status = i & 2 ? SECTOR_DATACRC : SECTOR_IDCRC;
        int r = (i * interleave) % sectors + 1;
        int c = (int)(rng() & 0x7F);
        VSector *s = NewSector(m, c, 0, r, n, 128 << n, status);
        for (int k = 0; k < s->length; k++) s->data[k] = (uint8_t)rng();
        t.AddSector(s);
    }
    cells_t out{Bytes((size_t)count / 8 + 8), count};
    t.Encode(0, out.bits.data(), count);
    return out;
}

cells_t Turned(const cells_t &in, int shift) {
    cells_t out{Bytes(in.bits.size()), in.count};
    for (int i = 0; i < in.count; i++)
        if (BfGetBit(in.bits.data(), (i + shift) % in.count)) BfSetBit(out.bits.data(), i);
    return out;
}

void Hole(cells_t &t, int from, int count) {
    for (int i = 0; i < count; i++) BfClrBit(t.bits.data(), (from + i) % t.count);
}

// ---- reading ----

struct window_t {
    int quarters;   // window length in quarter revolutions
    int rate;       // nominal sampling rate, kHz
    int spirate;    // rate the samples were really taken at
    int speed;      // drive speed error, parts per 10000 (more samples a turn)
    int amp;        // pulse jitter, samples either way
    int spikes;     // a stray pulse every so many pulses, 0 none
    int secondbad;  // the second revolution is noise from this cell on, 0 never
};

// The rising edges Sample keeps, from the index on over the window.
void FillWindow(std::mt19937 &rng, dump_t *d, const cells_t &t, const window_t &w) {
    memset(d->raw, 0, sizeof d->raw);
    const int64_t num = (int64_t)w.spirate * (10000 + w.speed), den = (int64_t)w.rate * 10000;
    const int64_t total = (int64_t)t.count * 8 * w.quarters / 4 * num / den;
    const int samples = (int)std::min<int64_t>(total, (int64_t)FDD_RAW_BITS);
    d->rawlen = samples;
    int pulses = 0;
    for (int64_t c = 0;; c++) {
        int64_t at = c * 8 * num / den;
        if (at >= samples) break;
        int i = (int)(c % t.count);
        bool second = c >= t.count;
        int bit = BfGetBit(t.bits.data(), i);
        if (second && w.secondbad && i >= w.secondbad) bit = (rng() % 3) == 0;
        if (!bit) continue;
        int jitter = w.amp ? (int)(rng() % (2 * w.amp + 1)) - w.amp : 0;
        int64_t p = at + 3 + jitter;
        if (p >= 0 && p < samples) BfSetBit(d->raw, (int)p);
        pulses++;
        if (w.spikes && pulses % w.spikes == 0) {
            int64_t q = p + 9 + (int)(rng() % 6);
            if (q >= 0 && q < samples) BfSetBit(d->raw, (int)q);
        }
    }
}

// The lap past its last sample is all 0 (it is stored and compared whole).
bool LapClearPastItsEnd(const dump_t *d) {
    if (d->laplen < 0 || d->laplen > FDD_RAW_BITS) return false;
    size_t used = (size_t)(d->laplen + 7) / 8;
    if ((d->laplen & 7) && (d->lap[used - 1] & (0xFF >> (d->laplen & 7)))) return false;
    for (size_t i = used; i < sizeof d->lap; i++)
        if (d->lap[i]) return false;
    return true;
}

void AddDump(Digest &g, const dump_t *d) {
    g.Bits(d->raw, d->rawlen);
    g.Int(d->encrate), g.Int(d->encstart), g.Int(d->encend);
    g.Bits(d->enc, d->enclen);
    g.Int(d->laprate), g.Int(d->lapstart), g.Int(d->lapend), g.Int(d->found), g.Int(d->noise);
    g.Bits(d->lap, d->laplen);
    g.Int(EvaluateTrackScore(d));
    AddTrack(g, d->track);
}

struct readcase_t {
    int count, sectors, n, mfm, interleave, statusevery, shift, hole;
    window_t w;
};

TEST(GoldenDrive, ProcessTrackKeepsItsResults) {
    std::mt19937 rng(20261208);
    const readcase_t cases[] = {
        // 2HD at 360 rpm: eight 1024-byte sectors, windows of 1.25 .. 2 turns.
        {166666, 8, 3, 1, 1, 0, 0, 0, {8, 8000, 8000, 0, 0, 0, 0}},
        {166666, 8, 3, 1, 1, 0, 0, 0, {5, 8000, 8000, 0, 1, 0, 0}},
        {166666, 8, 3, 1, 3, 0, 40000, 0, {6, 8000, 8000, 50, 1, 0, 0}},
        {166666, 8, 3, 1, 1, 0, 160000, 0, {7, 8000, 8333, -30, 1, 700, 0}},
        {166666, 8, 3, 1, 1, 2, 90000, 20000, {8, 8000, 8000, 0, 1, 300, 0}},
        // 2HD at 300 rpm, eighteen 512-byte sectors interleaved, one across the index.
        {200000, 18, 2, 1, 2, 0, 11000, 0, {6, 8000, 8000, 100, 1, 0, 0}},
        {200000, 18, 2, 1, 2, 0, 199000, 0, {5, 8000, 8333, 0, 0, 2000, 0}},
        // 2DD: nine 512-byte sectors at 4000 kHz, and on a 360-rpm drive at 4800.
        {100000, 9, 2, 1, 1, 0, 0, 0, {5, 4000, 4000, 0, 0, 0, 0}},
        {100000, 9, 2, 1, 5, 0, 73000, 0, {6, 4800, 4878, -80, 1, 0, 0}},
        {100000, 9, 2, 1, 1, 3, 3000, 4000, {7, 4000, 4032, 20, 1, 900, 0}},
        // FM: sixteen 128-byte sectors (2DD rate) and 26 at 2HD rate.
        {100000, 16, 0, 0, 1, 0, 0, 0, {7, 4000, 4000, 0, 1, 0, 0}},
        {166666, 26, 0, 0, 4, 0, 120000, 0, {8, 8000, 8000, 40, 1, 500, 0}},
        // Jitter the clock recovery cannot follow.
        {166666, 8, 3, 1, 1, 0, 0, 0, {6, 8000, 8000, 0, 2, 0, 0}},
        // Mixed densities.
        {166666, 12, 1, 2, 1, 0, 5000, 0, {6, 8000, 8000, 0, 1, 0, 0}},
        // The second turn breaks off into noise: the mark is not found again.
        {100000, 9, 2, 1, 1, 0, 0, 0, {8, 4000, 4000, 0, 1, 0, 20000}},
        // An unformatted stretch across half the track.
        {166666, 8, 3, 1, 1, 0, 0, 60000, {6, 8000, 8000, 0, 2, 0, 0}},
    };
    Digest g;
    std::unique_ptr<dump_t> d(new dump_t);
    int k = 0;
    for (const readcase_t &c : cases) {
        cells_t t = Encoded(rng, c.count, c.sectors, c.n, c.mfm, c.interleave, c.statusevery);
        if (c.shift) t = Turned(t, c.shift);
        if (c.hole) Hole(t, c.hole, c.count / 3);
        for (int denoise : {0, 8}) {
            FillWindow(rng, d.get(), t, c.w);
            const int period = (int)((int64_t)c.count * 8 * 1000 / c.w.rate);
            const int analyze = k++ % 3 == 2 ? ANALYZE_MB8877 : ANALYZE_UPD765;
            ProcessTrack(d.get(), period, c.w.rate, c.w.spirate, c.w.quarters, denoise, analyze);
            AddDump(g, d.get());
            EXPECT_TRUE(LapClearPastItsEnd(d.get())) << "case " << k;
        }
    }
    // No flux at all, and nothing but noise.
    const int samples = 166666 * 12;
    memset(d->raw, 0, sizeof d->raw);
    d->rawlen = samples;
    ProcessTrack(d.get(), 166666, 8000, 8000, 6, 8, ANALYZE_UPD765);
    AddDump(g, d.get());
    for (int i = 0; i < samples / 8; i++) {
        uint32_t v = rng();
        d->raw[i] = (uint8_t)(v & (v >> 8) & (v >> 16));
    }
    d->rawlen = samples;
    ProcessTrack(d.get(), 166666, 8000, 8333, 6, 8, ANALYZE_UPD765);
    AddDump(g, d.get());
    EXPECT_EQ(0xFA56594CD15B3101ull, g.h);
}

// ---- writing ----

void AddRestore(Digest &g, int ok, const restore_t *r) {
    g.Int(ok), g.Int(r->rate), g.Int(r->writelen);
    g.Bits(r->raw, r->len);
    g.Add(r->info, strlen(r->info));
    AddTrack(g, r->track);
}

// Samples of a cell stream with each pulse three samples wide, moved by up to
// amp samples, and a stray pulse every spikes pulses.
Bytes Samples(std::mt19937 &rng, const cells_t &t, int amp, int spikes) {
    const int n = t.count * 8;
    Bytes raw((size_t)n / 8 + 8);
    int pulses = 0;
    for (int i = 0; i < t.count; i++) {
        if (!BfGetBit(t.bits.data(), i)) continue;
        int jitter = amp ? (int)(rng() % (2 * amp + 1)) - amp : 0;
        int at = i * 8 + jitter;
        for (int k = 0; k < 3; k++) BfSetBit(raw.data(), ((at + k) % n + n) % n);
        if (spikes && ++pulses % spikes == 0) {
            int q = at + 9 + (int)(rng() % 6);
            BfSetBit(raw.data(), (q % n + n) % n);
        }
    }
    return raw;
}

struct imagecase_t {
    int type, rate, rpm;  // image geometry (encode-form rate in kbps)
    int count, sectors, n, mfm, interleave, statusevery, shift;
    int hole, holelen;    // an unformatted stretch, cells
    int noiam;            // the index mark replaced by gap bytes
};

TEST(GoldenDrive, PrepareRestoreKeepsItsResults) {
    std::mt19937 rng(4321);
    const imagecase_t cases[] = {
        // 2HD: whole bytes (splice at the index), odd length (phase jump in
        // GAP4), interleaved, across the index, holes of every size, errors.
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166666, 8, 3, 1, 3, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 150000, 0, 0, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 60000, 600, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 2, 0, 0, 0, 1},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 3, 0, 80000, 5, 1},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 166656 - 40, 40, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 2, 0, 0, 40, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 1700, 40, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 166656 - 200, 200, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166656, 8, 3, 1, 1, 0, 0, 0, 200, 0},
        {ZEL_TYPE_2HD, 1000, 300, 200000, 18, 2, 1, 2, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166666, 26, 0, 0, 1, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2HD, 1000, 360, 166666, 12, 1, 2, 1, 0, 7000, 0, 0, 0},
        // 2DD and 2D.
        {ZEL_TYPE_2DD, 500, 300, 100000, 9, 2, 1, 1, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2DD, 500, 300, 100000, 9, 2, 1, 1, 3, 99000, 20000, 3000, 0},
        {ZEL_TYPE_2D, 250, 300, 50000, 16, 0, 0, 1, 0, 0, 0, 0, 0},
        // Nothing formatted, and garbage.
        {ZEL_TYPE_2HD, 1000, 360, 166666, 0, 0, 1, 1, 0, 0, 0, 0, 0},
        {ZEL_TYPE_2DD, 500, 300, 100000, -1, 0, 1, 1, 0, 0, 0, 0, 0},
    };
    Digest g;
    std::unique_ptr<restore_t> r(new restore_t);
    for (const imagecase_t &c : cases) {
        cells_t t{Bytes((size_t)c.count / 8 + 8), c.count};
        if (c.sectors > 0) t = Encoded(rng, c.count, c.sectors, c.n, c.mfm, c.interleave, c.statusevery);
        if (c.sectors < 0)
            for (size_t i = 0; i < (size_t)c.count / 8; i++) t.bits[i] = (uint8_t)rng();
        if (c.noiam) {
            VTrack probe;
            probe.Decode(0, t.bits.data(), t.count, ANALYZE_UPD765);
            if (probe.flags & TRACK_IAM)
                for (int i = 0; i < 4; i++) {
                    int at = probe.iampos / 8 + 2 * i;
                    t.bits[(size_t)at] = 0x92, t.bits[(size_t)at + 1] = 0x54;
                }
        }
        if (c.shift) t = Turned(t, c.shift);
        if (c.holelen) Hole(t, c.hole, c.holelen);
        for (int raw : {0, 1}) {
            ZELDisk disk;
            ASSERT_EQ(1, disk.Init(c.type, c.rate, c.rpm, raw));
            const int rate = RestoreRate(&disk);
            if (raw) {
                Bytes s = Samples(rng, t, 1, c.statusevery ? 400 : 0);
                ASSERT_TRUE(disk.SetTrackLen(0, 0, t.count * 8));
                memcpy(disk.GetTrackData(0, 0), s.data(), (size_t)t.count);
            } else {
                ASSERT_TRUE(disk.SetTrackLen(0, 0, t.count));
                memcpy(disk.GetTrackData(0, 0), t.bits.data(), (size_t)(t.count + 7) / 8);
            }
            // The nominal period, a drive 1.5 % slow and 0.8 % fast, and SPI
            // clocks that run faster than asked.
            const int nominal = (int)((int64_t)t.count * 8 * 1000 / rate);
            const int periods[][2] = {{nominal, rate},
                                      {nominal * 1015 / 1000, rate},
                                      {nominal * 992 / 1000, rate},
                                      {nominal, rate * 4878 / 4800},
                                      {nominal, rate * 8333 / 8000}};
            for (const auto &p : periods) {
                for (int analyze : {ANALYZE_UPD765, ANALYZE_MB8877}) {
                    int ok = PrepareRestore(r.get(), p[0], p[1], &disk, 0, 0, analyze);
                    AddRestore(g, ok, r.get());
                    if (raw) break;
                }
            }
        }
    }
    EXPECT_EQ(0x1D423419ED6C7A69ull, g.h);
}

// Revolutions longer than the decoder's cell buffer takes (a slow drive, a
// long track), and tracks whose first pulse comes so late that the cells
// reach past it.
TEST(GoldenDrive, PrepareRestoreKeepsItsResultsOnOutsizedTracks) {
    std::mt19937 rng(99);
    Digest g;
    std::unique_ptr<restore_t> r(new restore_t);
    struct outsized_t {
        int rpm, count, sectors, holelen, period;
    };
    const outsized_t cases[] = {
        {200, 300000, 8, 0, 300000},  // 2,400,000 samples a turn
        {200, 300000, 8, 1000, 301000},
        {300, 200000, 8, 70000, 200000},  // the first pulse 70,000 cells in
        {300, 200000, 8, 70000, 203000},
        {300, 200000, 8, 90000, 200000},
    };
    for (const outsized_t &c : cases) {
        cells_t t = Encoded(rng, c.count, c.sectors, 3, 1, 1, 0);
        if (c.holelen) Hole(t, 0, c.holelen);
        for (int raw : {0, 1}) {
            ZELDisk disk;
            ASSERT_EQ(1, disk.Init(ZEL_TYPE_2HD, 1000, c.rpm, raw));
            if (raw) {
                Bytes s = Samples(rng, t, 1, 0);
                ASSERT_TRUE(disk.SetTrackLen(0, 0, t.count * 8));
                memcpy(disk.GetTrackData(0, 0), s.data(), (size_t)t.count);
            } else {
                ASSERT_TRUE(disk.SetTrackLen(0, 0, t.count));
                memcpy(disk.GetTrackData(0, 0), t.bits.data(), (size_t)(t.count + 7) / 8);
            }
            int ok = PrepareRestore(r.get(), c.period, 8000, &disk, 0, 0, ANALYZE_UPD765);
            AddRestore(g, ok, r.get());
        }
    }
    EXPECT_EQ(0xC320C05FEE7875CAull, g.h);
}

}  // namespace
