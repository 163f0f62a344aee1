// Real-drive track code without hardware: tracks built with the encoder are
// turned into the samples a drive would give, then read back through the lap
// finder, or prepared for writing through the splice rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fdd.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "gpioctl.h"
#include "sim_fixture.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

using Bits = std::vector<uint8_t>;

int Bit(const Bits &b, int i) {
    return BfGetBit(b.data(), i);
}

// A track of count sectors of size code n in one density, random data.
void BuildTrack(VTrack &t, int mfm, int count, int n, unsigned seed) {
    std::mt19937 rng(seed);
    for (int r = 1; r <= count; r++) {
        VSector *s = NewSector(mfm, 2, 1, r, n, 128 << n, 0);
        for (int i = 0; i < s->length; i++)
            s->data[i] = (uint8_t)rng();
        t.AddSector(s);
    }
}

Bits Cells(VTrack &t, int cells) {
    Bits b((size_t)cells / 8 + 2, 0);
    t.Encode(0, b.data(), cells);
    return b;
}

Bits Samples(const Bits &cells, int count) {
    Bits raw((size_t)count + 2, 0);
    Encode2Raw(cells.data(), count, raw.data(), count * 8);
    return raw;
}

// What Sample stores: only the first sample of each pulse, over `revs`
// revolutions starting at the index.
void FillWindow(dump_t *d, const Bits &raw, int len, double revs) {
    memset(d->raw, 0, sizeof d->raw);
    d->rawlen = (int)(len * revs);
    for (int i = 0; i < d->rawlen; i++) {
        int p = i % len;
        if (Bit(raw, p) && !Bit(raw, (p + len - 1) % len)) BfSetBit(d->raw, i);
    }
}

::testing::AssertionResult SameData(const VTrack &want, const VTrack &got) {
    const VSector *a = want.sectors, *b = got.sectors;
    for (int i = 0; a || b; i++, a = a->next, b = b->next) {
        if (!a || !b) return ::testing::AssertionFailure() << "sector #" << i << (a ? " missing" : " extra");
        if (a->r != b->r || a->length != b->length || memcmp(a->data, b->data, (size_t)a->length))
            return ::testing::AssertionFailure() << "sector #" << i << " differs";
        if (b->status)
            return ::testing::AssertionFailure() << "sector #" << i << " status " << (int)b->status;
    }
    return ::testing::AssertionSuccess();
}

struct readcase_t {
    const char *name;
    int mfm, sectors, n;
    int cells;   // one revolution
    int rate;    // sampling rate, kHz
    int spirate; // rate the samples were really taken at
    double revs; // window
};

class ReadTrackCase : public ::testing::TestWithParam<readcase_t> {};

TEST_P(ReadTrackCase, CutsOneRevolutionAtTheIndexAndDecodesIt) {
    const readcase_t &c = GetParam();
    VTrack src;
    BuildTrack(src, c.mfm, c.sectors, c.n, 7);
    Bits cells = Cells(src, c.cells);
    Bits raw = Samples(cells, c.cells);
    const int len = c.cells * 8;

    std::unique_ptr<dump_t> d(new dump_t);
    FillWindow(d.get(), raw, len, c.revs);
    if (c.spirate != c.rate) {
        d->rawlen = StrechSmp(0, d->raw, d->rawlen, (int)((int64_t)d->rawlen * c.spirate / c.rate));
    }
    int period = (int)((int64_t)len * 1000 / c.rate);
    int quarters = (int)(c.revs * 4 + 0.5);
    ProcessTrack(d.get(), period, c.rate, c.spirate, quarters, 8, ANALYZE_UPD765);

    ASSERT_EQ(d->found, 1);
    EXPECT_EQ(d->laplen, d->lapend - d->lapstart + 1);
    EXPECT_EQ(d->laprate, c.rate);
    EXPECT_EQ(d->encrate, c.rate / 8);
    EXPECT_TRUE(SameData(src, d->track));
    EXPECT_EQ(d->noise, 0);
    if (c.spirate == c.rate) {
        // An exact revolution, every pulse three samples wide, bit 0 at the index.
        ASSERT_EQ(d->laplen, len);
        EXPECT_EQ(0, memcmp(d->lap, raw.data(), (size_t)len / 8));
        EXPECT_EQ(d->enclen, c.cells);
    } else {
        EXPECT_NEAR(d->laplen, len, 16);
    }
    // Every sector good, none bad, the index mark found.
    EXPECT_EQ(EvaluateTrackScore(d.get()) & 0xFFFF8000u, (uint32_t)c.sectors << 24 | 0xFF0000u | 0x8000u);
}

INSTANTIATE_TEST_SUITE_P(Fdd, ReadTrackCase,
                         ::testing::Values(readcase_t{"hd", 1, 8, 3, 166666, 8000, 8000, 2.0},
                                           readcase_t{"dd", 1, 9, 2, 100000, 4000, 4000, 1.25},
                                           readcase_t{"dd360", 1, 9, 2, 100000, 4800, 4878, 1.5},
                                           readcase_t{"fm", 0, 16, 0, 100000, 4000, 4000, 1.75}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Fdd, UnformattedTrackStandsInOneNominalRevolutionOfNothing) {
    std::unique_ptr<dump_t> d(new dump_t);
    memset(d->raw, 0, sizeof d->raw);
    memset(d->lap, 0xFF, sizeof d->lap);
    d->rawlen = 8000 * 250;
    ProcessTrack(d.get(), 200000, 8000, 8000, 5, 8, 0);
    EXPECT_EQ(d->found, 0);
    EXPECT_EQ(d->track.SectorCount(), 0);
    EXPECT_EQ(d->laplen, 1600000);
    EXPECT_EQ(d->enclen, 200000);
    EXPECT_EQ(d->encend, 199999);
    EXPECT_EQ(EvaluateTrackScore(d.get()), 0u);
    int size = 0;
    FindMaxUnf(d->lap, d->laplen, &size);
    EXPECT_EQ(size, d->laplen);
}

TEST(Fdd, FallbackLapNeverRunsPastItsBuffer) {
    // An index period far longer than the ring (a stalled spindle) must not
    // make the stand-in revolution overrun lap or enc.
    std::unique_ptr<dump_t> d(new dump_t);
    memset(d->raw, 0, sizeof d->raw);
    d->rawlen = 1000;
    ProcessTrack(d.get(), 2000000000, 8000, 8000, 5, 0, 0);
    EXPECT_EQ(d->laplen, FDD_RAW_BITS);
    EXPECT_EQ(d->enclen, FDD_RAW_BITS / 8);
}

TEST(Fdd, FindLapLooksForTheMarkAgainOneRevolutionLater) {
    VTrack src;
    BuildTrack(src, 1, 8, 3, 3);
    const int rev = 166666;
    Bits one = Cells(src, rev);
    Bits two((size_t)rev * 2 / 8 + 2, 0);
    for (int i = 0; i < rev * 2; i++)
        if (Bit(one, i % rev)) BfSetBit(two.data(), i);
    int start, end;
    // The drive turns 1.2 % slower than expected: only the wider windows reach.
    EXPECT_EQ(FindLapEnc(two.data(), rev * 2, rev * 1000 / 1012, &start, &end), 1);
    EXPECT_EQ(end - start + 1, rev);
    // 3 % slower: out of every window.
    EXPECT_EQ(FindLapEnc(two.data(), rev * 2, rev * 100 / 103, &start, &end), 0);
    EXPECT_GE(start, 0);
    EXPECT_EQ(end, -1);
    // The mark damaged in the second revolution.
    FindLapEnc(two.data(), rev * 2, rev, &start, &end);
    for (int i = 0; i < 400; i++)
        BfClrBit(two.data(), start + rev - 100 + i);
    EXPECT_EQ(FindLapEnc(two.data(), rev * 2, rev, &start, &end), 0);
    Bits none(1000, 0);
    EXPECT_EQ(FindLapEnc(none.data(), 8000, 6000, &start, &end), 0);
    EXPECT_EQ(start, -1);
}

TEST(Fdd, ShapePulseRaw) {
    struct shape_t {
        const char *name;
        int len;
        std::vector<int> ones; // set samples before
        std::vector<int> want; // set samples after
    };
    const shape_t cases[] = {
        {"single", 64, {10}, {10, 11, 12}},
        {"long run keeps its start", 64, {20, 21, 22, 23, 24, 25}, {20, 21, 22}},
        {"starts five apart keep three each", 64, {30, 35}, {30, 31, 32, 35, 36, 37}},
        {"wraps past the end", 100, {98}, {98, 99, 0}},
        {"wrapped pattern wins over an earlier one", 100, {0, 5, 97}, {97, 98, 99, 5, 6, 7}},
        {"run across the end starts before it", 70, {68, 69, 0, 1}, {68, 69, 0}},
    };
    for (const shape_t &c : cases) {
        Bits b((size_t)(c.len + 7) / 8, 0);
        for (int p : c.ones)
            BfSetBit(b.data(), p);
        ShapePulseRaw(b.data(), c.len, 0xE0);
        std::vector<int> got;
        for (int i = 0; i < c.len; i++)
            if (Bit(b, i)) got.push_back(i);
        std::vector<int> want = c.want;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << c.name;
    }
}

TEST(Fdd, StrechSmpMovesPulsesAndKeepsEqualLengths) {
    Bits b(16, 0);
    BfSetBit(b.data(), 10);
    BfSetBit(b.data(), 99);
    Bits same = b;
    EXPECT_EQ(StrechSmp(0, b.data(), 100, 100), 100);
    EXPECT_EQ(b, same);
    EXPECT_EQ(StrechSmp(0, b.data(), 100, 50), 50);
    EXPECT_TRUE(Bit(b, 5));
    EXPECT_TRUE(Bit(b, 49));
    StrechSmp(0, b.data(), 0, 100);
    EXPECT_EQ(b, Bits(16, 0));
}

// Attempts rank by good sectors, then fewer bad ones; the index mark and
// then the noise removed only break ties.
TEST(Fdd, EvaluateTrackScoreRanksGoodThenBadThenIndexMark) {
    auto attempt = [](int sectors, int iam, std::vector<uint8_t> bad, int noise) {
        std::unique_ptr<dump_t> d(new dump_t);
        d->found = 1;
        d->track.flags = iam ? TRACK_IAM : 0;
        for (int r = 1; r <= sectors; r++)
            d->track.AddSector(NewSector(1, 0, 0, r, 2, 512, 0));
        for (size_t i = 0; i < bad.size(); i++)
            d->track.GetSectorByIndex((int)i)->status = bad[i];
        d->noise = noise;
        return EvaluateTrackScore(d.get());
    };
    const uint32_t clean = attempt(9, 0, {}, 0);
    EXPECT_GT(clean, attempt(9, 1, {0, SECTOR_DATACRC}, 0xFFFFFF)) << "a clean read that lost its index mark";
    EXPECT_GT(attempt(9, 1, {}, 0), clean);
    EXPECT_GT(attempt(9, 0, {}, 1), clean);
    EXPECT_GT(attempt(9, 1, {}, 0), attempt(9, 0, {}, 0x200000)) << "noise only after the index mark";
    EXPECT_GT(attempt(9, 1, {SECTOR_DATACRC}, 0),
              attempt(9, 1, {SECTOR_DATACRC, SECTOR_IDCRC | SECTOR_NODATA}, 0));
    EXPECT_GT(attempt(10, 0, {SECTOR_NODATA}, 0), attempt(8, 1, {}, 0)) << "more good sectors first";
    EXPECT_GT(attempt(1, 0, {}, 0), 0u);

    std::unique_ptr<dump_t> none(new dump_t);
    none->found = 0;
    none->track.AddSector(NewSector(1, 0, 0, 1, 2, 512, 0));
    EXPECT_EQ(EvaluateTrackScore(none.get()), 0u);
}

TEST(Fdd, ZeroRunSearches) {
    Bits b(128, 0); // 1024 samples
    for (int p : {0, 100, 500, 1020})
        BfSetBit(b.data(), p);
    int size = 0;
    EXPECT_EQ(FindMaxUnf(b.data(), 1024, &size), 501);
    EXPECT_EQ(size, 519);
    EXPECT_EQ(FindUnf(b.data(), 1024, 1024, 300, 1), 101);
    EXPECT_EQ(FindUnf(b.data(), 1024, 50, 300, 1), -1);
    // Backwards from the end: 1023 .. 1021 are free, 1020 is a pulse.
    EXPECT_EQ(FindUnf(b.data(), 1024, 1024, 3, 0), 1021);
    EXPECT_EQ(FindUnf(b.data(), 1024, 0, 1, 1), -1);
    Bits full(4, 0xFF);
    EXPECT_EQ(FindMaxUnf(full.data(), 32, &size), -1);
    EXPECT_EQ(size, 0);
}

TEST(Fdd, NoisePairsFillStretchesWithoutFlux) {
    // Pulses every 32 samples but none from 1000 to 1400: pairs 16 apart every
    // 96 samples from 24 after the last pulse, and none within 8 of the next.
    const int len = 4096;
    Bits b((size_t)len / 8, 0);
    for (int p = 8; p < len; p += 32)
        if (p <= 1000 || p >= 1400) BfSetBit(b.data(), p);
    Bits before = b;
    MakeNoiseRaw(0, b.data(), len);
    std::vector<int> added;
    for (int i = 0; i < len; i++)
        if (Bit(b, i) != Bit(before, i)) added.push_back(i);
    std::vector<int> want;
    for (int at : {1024, 1040, 1120, 1136, 1216, 1232})
        for (int k = 0; k < 3; k++)
            want.push_back(at + k);
    EXPECT_EQ(added, want);

    // A revolution without any flux reads back as noise, never as a stretch
    // of 256 free samples that a later write would take for unformatted. The
    // longest stretch is at the end: the first pair wraps to the last sample,
    // which then counts as a pulse.
    Bits empty(2000, 0);
    MakeNoiseRaw(0, empty.data(), 16000);
    int size = 0;
    FindMaxUnf(empty.data(), 16000, &size);
    EXPECT_LT(size, 200);
    EXPECT_TRUE(Bit(empty, 15999) && Bit(empty, 15) && Bit(empty, 95) && Bit(empty, 111));
}

// Gap bytes as cells, with an optional jump of `jump` cells after `first` bytes.
Bits GapRun(int first, int jump, int second, int *len) {
    Bits b(256, 0);
    int pos = 0;
    auto put = [&](int count) {
        for (int i = 0; i < count; i++, pos += 16)
            for (int k = 0; k < 16; k++)
                if (GAP_MFM & (0x8000 >> k)) BfSetBit(b.data(), pos + k);
    };
    put(first);
    pos += jump;
    put(second);
    *len = pos;
    return b;
}

TEST(Fdd, SpliceInsideGapFollowsPhaseJump) {
    int len;
    Bits b = GapRun(10, 5, 20, &len);
    // Matches at 0, 16 .. 144 (nine follow-ups), then 165: d = 5, q = 181.
    EXPECT_EQ(FindSplicingGapEnc(b.data(), len, 0, len, 1), 186);
    b = GapRun(5, 5, 20, &len);
    EXPECT_EQ(FindSplicingGapEnc(b.data(), len, 0, len, 1), -1) << "too few gap bytes before the jump";
    b = GapRun(30, 0, 0, &len);
    EXPECT_EQ(FindSplicingGapEnc(b.data(), len, 0, len, 1), -1) << "no jump";
}

// ---- restore data ----

class Restore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(disk.Init(ZEL_TYPE_2HD, 1000, 360, 0));
        BuildTrack(track, 1, 8, 3, 11);
    }
    // Stores cells as the image's track (0, 0).
    void Store(const Bits &cells, int count) {
        ASSERT_TRUE(disk.SetTrackLen(0, 0, count));
        memcpy(disk.GetTrackData(0, 0), cells.data(), (size_t)(count + 7) / 8);
    }
    // Prepares the track for a drive whose revolution holds exactly `cells`
    // cells (no stretch) and returns the splice label.
    std::string Prepare(int cells) {
        r.reset(new restore_t);
        EXPECT_EQ(PrepareRestore(r.get(), cells, 8000, &disk, 0, 0, 0), 1);
        std::string info = r->info;
        size_t top = info.find("/ top ");
        return top == std::string::npos ? info : info.substr(top + 6);
    }
    // Replaces the index mark (C2 C2 C2 FC at cell byte 184) by gap bytes.
    static void DropIndexMark(Bits &cells) {
        for (int i = 0; i < 4; i++)
            cells[184 + 2 * i] = 0x92, cells[185 + 2 * i] = 0x54;
    }
    // Spoils the data CRC of the third sector: its tenth data byte gets bit 4
    // flipped, re-encoded with proper clock cells (the last data bit stays, so
    // the next byte's clock is still right).
    static void SpoilData(Bits &cells) {
        VTrack t;
        t.Decode(0, cells.data(), kCells, 0);
        VSector *s = t.GetSectorByIndex(2);
        ASSERT_NE(s, nullptr);
        int at = (s->datapos + 9 * 16) / 8;
        uint16_t old = (uint16_t)(cells[at] << 8 | cells[at + 1]);
        int value = 0;
        for (int b = 0; b < 8; b++)
            value = value << 1 | ((old >> (14 - 2 * b)) & 1);
        uint16_t mfm = MFMTable[value ^ 0x10];
        if (cells[at - 1] & 1) mfm &= 0x7FFF;
        cells[at] = (uint8_t)(mfm >> 8);
        cells[at + 1] = (uint8_t)mfm;
    }
    static void Hole(Bits &cells, int from, int count) {
        for (int i = 0; i < count; i++)
            BfClrBit(cells.data(), from + i);
    }

    static const int kCells = 166656; // a whole number of MFM bytes: no jump at the index
    ZELDisk disk;
    VTrack track;
    std::unique_ptr<restore_t> r;
};

TEST_F(Restore, SpliceRules) {
    Bits clean = Cells(track, kCells);
    VTrack probe;
    probe.Decode(0, clean.data(), kCells, 0);
    ASSERT_EQ(probe.SectorCount(), 8);
    const VSector *s1 = probe.sectors;
    int gap3mid = s1->endpos + s1->gap3 * 16 / 2;

    Store(clean, kCells);
    EXPECT_EQ(Prepare(kCells), "0 (Index hole)");
    EXPECT_EQ(r->writelen, r->len);
    EXPECT_NE(std::string(r->info).find(" / 10416 cells /  8 sectors / normal / top "), std::string::npos)
        << r->info;

    // Not a whole number of bytes: the gap pattern jumps phase at the index.
    Bits odd = Cells(track, 166666);
    Store(odd, 166666);
    std::string label = Prepare(166666);
    EXPECT_NE(label.find("(Splising in GAP4)"), std::string::npos) << label;
    EXPECT_LT(r->writelen - r->len, 128 * 8);

    Bits holed = clean;
    Hole(holed, gap3mid - 300, 600); // 4800 samples without flux
    Store(holed, kCells);
    label = Prepare(kCells);
    EXPECT_NE(label.find("(Large unformat in lap)"), std::string::npos) << label;
    EXPECT_NEAR(r->writelen - r->len, gap3mid * 8, 64);

    Bits damaged = clean;
    DropIndexMark(damaged);
    SpoilData(damaged);
    Store(damaged, kCells);
    label = Prepare(kCells);
    EXPECT_NE(std::string(r->info).find("illegal"), std::string::npos);
    EXPECT_NE(label.find("(GAP3 center)"), std::string::npos) << label;
    EXPECT_NEAR(r->writelen - r->len, gap3mid * 8, 16);

    Hole(damaged, gap3mid + 100, 5); // a 40-sample hole, errors on the track
    Store(damaged, kCells);
    label = Prepare(kCells);
    EXPECT_NE(label.find("(Small unformat in lap size"), std::string::npos) << label;
    EXPECT_NEAR(r->writelen - r->len, (gap3mid + 100) * 8, 16);
}

TEST_F(Restore, UnformattedTrackIsNoiseFromTheIndex) {
    Bits empty((size_t)kCells / 8 + 1, 0);
    Store(empty, kCells);
    EXPECT_EQ(Prepare(kCells), "0 (Index hole)");
    EXPECT_EQ(std::string(r->info), " / unformated / top 0 (Index hole)");
    EXPECT_EQ(r->writelen, r->len);
    int size = 0;
    FindMaxUnf(r->raw, r->len, &size);
    EXPECT_LT(size, 200);
}

TEST_F(Restore, StretchesToTheDrivesRevolution) {
    Bits clean = Cells(track, kCells);
    Store(clean, kCells);
    r.reset(new restore_t);
    // 1.5 % slower spindle: the revolution holds more samples.
    int period = (int)((int64_t)kCells * 1015 / 1000);
    ASSERT_EQ(PrepareRestore(r.get(), period, 8000, &disk, 0, 0, 0), 1);
    EXPECT_EQ(r->len, period * 8);
    EXPECT_EQ(r->rate, 8000);
    EXPECT_EQ(r->track.SectorCount(), 8);
    // An SPI clock of 4878 kHz for 4800 asked: 4878 / 4800 of the nominal length.
    const int spirate = 8000 * 4878 / 4800;
    ASSERT_EQ(PrepareRestore(r.get(), kCells, spirate, &disk, 0, 0, 0), 1);
    EXPECT_EQ(r->len, (int)((int64_t)spirate * kCells * 8 / 8000));
}

TEST_F(Restore, RefusesTracksThatDoNotFit) {
    r.reset(new restore_t);
    // A record claiming more bits than it holds (as a damaged file could).
    uint8_t *rec = disk.GetTrackData(0, 0) - ZEL_TRACK_HEADER;
    rec[12] = 0xFF, rec[13] = 0xFF, rec[14] = 0xFF, rec[15] = 0x0F;
    EXPECT_EQ(PrepareRestore(r.get(), 166666, 8000, &disk, 0, 0, 0), 0);
    // A revolution longer than the buffer (a stalled spindle).
    EXPECT_EQ(PrepareRestore(r.get(), 1000000, 8000, &disk, 0, 1, 0), 0);
    EXPECT_EQ(PrepareRestore(r.get(), 166666, 8000, &disk, 84, 0, 0), 0);
}

} // namespace

namespace {
// A board whose SPI transmitter has stopped: its FIFO never has room and the
// transfer never completes.
class StoppedSpiBoard : public SimBoard {
  public:
    using SimBoard::SimBoard;
    uint32_t Read(uint32_t offset) override {
        uint32_t v = SimBoard::Read(offset);
        return offset == SPI0_OFFSET + SPI_CS ? v & ~(SPI_CS_DONE | SPI_CS_TXD) : v;
    }
};
} // namespace

// A write that the SPI never takes ends, the gate closed, once the samples
// have had far more than their time.
TEST(Fdd, WriteTrackEndsWhenTheTransmitterStops) {
    SimConfig cfg = BoardConfig(2);
    cfg.tick_ps = 1000000;
    StoppedSpiBoard board(cfg);
    std::string error;
    ASSERT_TRUE(board.Setup(&error)) << error;
    GPIOCTL::SetPlatform(&board);
    GPIOCTL g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_CONTROLLER));
    g.Reset();
    std::unique_ptr<restore_t> r(new restore_t);
    r->rate = 4000;
    r->len = 800000;
    r->writelen = 800000;
    int64_t t0 = board.Now();
    EXPECT_EQ(WriteTrack(&g, 0, r.get()), 0);
    // The index wait (no drive) and 200 ms of samples, then a tenth of a second.
    EXPECT_LT(board.Now() - t0, (int64_t)2000000 * SIM_PS_PER_US);
    EXPECT_EQ(board.PiAsserted() & (1u << LINE_WTG), 0u);
    GPIOCTL::SetPlatform(nullptr);
}
