// Cell and sample streams: clock recovery, conversions both ways, resampling,
// cutting a revolution and raw correction.
#include <gtest/gtest.h>

#include <cmath>

#include "zel_fixture.h"

namespace {

uint32_t RefGetLong(const Bits &s, int pos) {
    uint32_t v = 0;
    for (int i = 0; i < 32; i++) v = v << 1 | (uint32_t)s.Get((int)((((int64_t)pos + i) % s.n + s.n) % s.n));
    return v;
}

Bits Expand(const Bits &cells) {
    Bits raw(cells.n * 8);
    EXPECT_EQ(cells.n * 8, Encode2Raw(cells.b.data(), cells.n, raw.data(), raw.n));
    return raw;
}

// Runs Raw2Encode with room for cap cells and checks nothing lies past the
// returned length.
Bits Decode(const Bits &raw, int cap, int *len) {
    Bits cells(cap);
    *len = Raw2Encode(raw.b.data(), raw.n, cells.data(), cap);
    for (int i = std::max(*len, 0); i < cap; i++) EXPECT_EQ(0, cells.Get(i)) << "cell " << i << " past the track";
    cells.n = std::max(*len, 0);
    return cells;
}

}  // namespace

TEST(BitBuffer, GetLongMatchesBitwiseReadAtEveryPositionAndWrap) {
    std::mt19937 rng(1);
    for (int len : {1, 5, 8, 31, 32, 33, 64, 77, 200}) {
        Bits s = RandomBits(rng, len);
        for (int pos = -2 * len - 3; pos < 2 * len + 3; pos++)
            ASSERT_EQ(RefGetLong(s, pos), BfGetLong(s.b.data(), len, pos)) << "len " << len << " pos " << pos;
    }
}

TEST(Encode2Raw, ExpandsEachCellIntoEightSamples) {
    Bits raw(32);
    EXPECT_EQ(32, Encode2Raw(Bits::Of("1001").data(), 4, raw.data(), 32));
    EXPECT_EQ("111" + std::string(21, '0') + "111" + std::string(5, '0'), raw.Str());
    EXPECT_EQ(-1, Encode2Raw(Bits::Of("1001").data(), 4, raw.data(), 31));  // does not fit
    EXPECT_EQ(std::string(32, '0'), raw.Str());

    std::mt19937 rng(2);
    for (int n : {0, 1, 7, 9, 1001}) {
        Bits cells = RandomBits(rng, n), out(n * 8 + 13);
        std::fill(out.b.begin(), out.b.end(), 0xFF);
        ASSERT_EQ(n * 8, Encode2Raw(cells.data(), n, out.data(), out.n));
        for (int i = 0; i < out.n; i++)
            ASSERT_EQ(i < n * 8 && cells.Get(i / 8) && i % 8 < 3, out.Get(i)) << "n " << n << " sample " << i;
    }
}

// A raw stream rotated by r samples decodes to the cells rotated by r / 8
// (rounded down) and the full track length, whatever pulse sits on the seam.
TEST(Raw2Encode, GivesBackTheCellsOfFMAndMFMStreams) {
    std::mt19937 rng(3);
    for (bool mfm : {true, false}) {
        Bits cells = CellsOf(rng, 700, mfm);
        cells = cells.Rotated(cells.Ones().front());  // starts with a 1
        Bits raw = Expand(cells);
        for (int r : {0, 1, 3, 8, 13, raw.n - 1, raw.n - 2, raw.n - 9, raw.n - 30}) {
            int len;
            Bits got = Decode(raw.Rotated(-r), cells.n + 64, &len);
            ASSERT_EQ(cells.n, len) << "mfm " << mfm << " shift " << r;
            EXPECT_EQ(cells.Rotated(-(r / 8)).Str(), got.Str()) << "mfm " << mfm << " shift " << r;
        }
    }
}

// A drive turning 2 % off speed stretches every interval; the windows around
// the expected intervals and the period tracking keep the cells.
TEST(Raw2Encode, FollowsAStreamOffSpeed) {
    std::mt19937 rng(4);
    for (bool mfm : {true, false}) {
        for (double f : {0.98, 1.02}) {
            Bits cells = CellsOf(rng, 6000, mfm);
            cells = cells.Rotated(cells.Ones().front());
            std::vector<int64_t> at;
            for (int i : cells.Ones()) at.push_back(std::llround(8.0 * i * f));
            int len;
            Bits got = Decode(RawWithPulses((int)std::llround(8.0 * cells.n * f), at), cells.n + 4096, &len);
            ASSERT_EQ(cells.n, len) << "mfm " << mfm << " speed " << f;
            EXPECT_EQ(cells.Str(), got.Str()) << "mfm " << mfm << " speed " << f;
        }
    }
}

namespace {
struct PulseCase {
    const char *what;
    int len;
    std::vector<int64_t> pulses;
    int cells;                  // expected track length
    std::vector<int> ones;      // expected 1 cells
};
}  // namespace

TEST(Raw2Encode, PlacesPulsesByRecoveredIntervals) {
    const PulseCase cases[] = {
        {"two pulses 10 apart become one, at the later cell", 96, {0, 16, 32, 48, 58, 74, 90}, 12, {0, 2, 4, 7, 9, 11}},
        {"a 50-sample gap advances 6 cells and sets none", 112, {0, 16, 32, 82, 98}, 14, {0, 2, 4, 12}},
        {"a pulse just before the seam shares the first pulse's cell", 64, {2, 18, 32, 48, 62}, 8, {0, 2, 4, 6}},
        {"no pulse: one cell per eight samples, all 0", 803, {}, 100, {}},
        {"empty stream", 0, {}, 0, {}},
    };
    for (const auto &c : cases) {
        int len;
        Bits got = Decode(RawWithPulses(c.len, c.pulses), 256, &len);
        EXPECT_EQ(c.cells, len) << c.what;
        EXPECT_EQ(c.ones, got.Ones()) << c.what;
    }
}

TEST(Raw2Encode, RefusesATrackLongerThanTheCapacity) {
    std::mt19937 rng(5);
    Bits raw = Expand(CellsOf(rng, 10, true));  // 160 cells
    Bits cells(159);
    EXPECT_EQ(-1, Raw2Encode(raw.b.data(), raw.n, cells.data(), 159));
    EXPECT_TRUE(cells.Ones().empty());
    EXPECT_EQ(-1, Raw2Encode(Bits(1600).b.data(), 1600, cells.data(), 159));  // no pulse, 200 cells
    EXPECT_EQ(-1, Raw2Encode(raw.b.data(), raw.n, nullptr, 0));
}

TEST(VFO, LocksOnAPreambleThenTracksThePeriod) {
    VFOState v;
    for (int i = 0; i < 32; i++) VFO_Update(&v, 16);
    EXPECT_EQ(1, v.locked);
    EXPECT_EQ(0x80000, v.period);

    VFOState up = v;
    VFO_Update(&up, 18);
    EXPECT_EQ(2, up.cells);
    EXPECT_EQ(0x80000 + 6553, up.period);
    EXPECT_EQ(16, up.T2);  // 16.9
    EXPECT_EQ(24, up.T3);  // 24.99
    EXPECT_EQ(33, up.T4);

    // A spike inside the preamble counts no cell but pulls the period down.
    VFOState spike = v;
    VFO_Update(&spike, 4);
    EXPECT_EQ(0, spike.cells);
    EXPECT_EQ(0, spike.valid);
    EXPECT_EQ(0x80000 - 39318, spike.period);

}

TEST(StrechRaw, MovesPulsesToTheSameFractionOfTheNewLength) {
    std::mt19937 rng(6);
    Bits same = RandomBits(rng, 203), before = same;
    EXPECT_EQ(203, StrechRaw(same.data(), 203, 203));
    EXPECT_EQ(before.b, same.b);

    Bits half(200);
    for (int i : {0, 1, 2, 3, 40, 41, 100, 160, 161, 162}) half.Set(i);  // pulses of 4, 2, 1 and 3 samples
    EXPECT_EQ(100, StrechRaw(half.data(), 200, 100));
    half.n = 100;
    EXPECT_EQ(RawWithPulses(100, {0, 20, 50, 80}).Str(), half.Str());

    Bits grow(40);
    std::fill(grow.b.begin(), grow.b.end(), 0xFF);
    EXPECT_EQ(37, StrechRaw(grow.data(), 0, 37));  // an empty stream becomes silence
    grow.n = 37;
    EXPECT_EQ(std::string(37, '0'), grow.Str());

    // The pulse drawn across the seam does not wipe out the first pulse.
    Bits seam = RawWithPulses(100, {5, 97});
    EXPECT_EQ(98, StrechRaw(seam.data(), 100, 98));
    seam.n = 98;
    EXPECT_EQ(RawWithPulses(98, {4, 95}).Str(), seam.Str());
}

TEST(TransRaw, CutsTheSamplesOfACellRange) {
    // Pulses in cells 2, 5, 9, 12, 16, ..., 60 of a 64-cell track.
    Bits cells(64);
    cells.Set(2);
    for (int i : {5, 9, 12, 16, 20, 23, 27, 30, 34, 40, 44, 47, 51, 55, 60}) cells.Set(i);
    Bits raw = Expand(cells);

    Bits out(raw.n);
    int start = 9, end = 15;
    ASSERT_EQ(56, TransRaw(raw.b.data(), raw.n, &start, &end, out.data()));
    EXPECT_EQ(72, start);
    EXPECT_EQ(127, end);
    out.n = 56;
    EXPECT_EQ(raw.Str().substr(72, 56), out.Str());

    // The first pulse of the stream is a cell of the walk too.
    start = 2, end = 4;
    ASSERT_EQ(24, TransRaw(raw.b.data(), raw.n, &start, &end, out.data()));
    EXPECT_EQ(16, start);
    EXPECT_EQ(39, end);

    struct Miss {
        const char *what;
        int start, end;
    };
    for (Miss m : {Miss{"start cell without pulse", 10, 15}, Miss{"cell after end without pulse", 9, 16},
                   Miss{"end before start", 16, 8}, Miss{"start beyond the revolution", 200, 210},
                   Miss{"end beyond the last pulse", 40, 61}}) {
        start = m.start, end = m.end;
        EXPECT_EQ(-1, TransRaw(raw.b.data(), raw.n, &start, &end, out.data())) << m.what;
        EXPECT_EQ(m.start, start) << m.what;
    }
    start = 0, end = 3;
    EXPECT_EQ(-1, TransRaw(Bits(800).b.data(), 800, &start, &end, out.data()));
    EXPECT_EQ(-1, TransRaw(nullptr, 0, &start, &end, out.data()));
}

TEST(AlignRaw, NudgesOffGridPulsesOneSample) {
    Bits grid = RawWithPulses(200, {0, 16, 40, 72, 88, 112, 144, 160});
    Bits before = grid;
    EXPECT_EQ(200, AlignRaw(grid.data(), 200));
    EXPECT_EQ(before.Str(), grid.Str());

    // 49 lies 17 after 32 (late: one earlier); 64 is then 15 after the
    // uncorrected 49 (early: one later).
    Bits off = RawWithPulses(96, {0, 16, 32, 49, 64, 80});
    EXPECT_EQ(96, AlignRaw(off.data(), 96));
    EXPECT_EQ(RawWithPulses(96, {0, 16, 32, 48, 65, 80}).Str(), off.Str());
}

// Every function on every small length, with buffers of exactly (n + 7) / 8
// bytes: the sanitizer build reports any access past them.
TEST(BitstreamSafety, SmallAndOddLengthsStayInsideTheirBuffers) {
    std::mt19937 rng(7);
    for (int n = 0; n < 90; n++) {
        for (int density = 0; density < 3; density++) {
            Bits raw = RandomBits(rng, n);
            if (density == 1)
                for (auto &x : raw.b) x &= (uint8_t)rng() & (uint8_t)rng() & (uint8_t)rng();
            if (density == 2 && n) raw = RawWithPulses(n, {(int64_t)(rng() % n)});
            int len;
            Bits cells = Decode(raw, n / 3, &len);
            EXPECT_LE(len, n / 3);

            Bits a = raw;
            EXPECT_EQ(n, AlignRaw(a.data(), n));
            Bits s = raw;
            s.b.resize((size_t)(std::max(n, n / 2 + 7) + 7) / 8);
            EXPECT_EQ(n / 2 + 7, StrechRaw(s.data(), n, n / 2 + 7));
            Bits c = raw;
            EXPECT_GE(NoiseCancelRaw(c.data(), n, 4), 0);

            Bits out(n);
            int st = (int)(rng() % 16), en = st + (int)(rng() % 16);
            int got = TransRaw(raw.b.data(), n, &st, &en, out.data());
            EXPECT_TRUE(got == -1 || (got >= 1 && got <= n));

            int pos[3] = {0, n / 16, n};
            EXPECT_LE(Enc2RawPosMulti(raw.b.data(), n, pos, 3), 3);
            Enc2RawPos(raw.b.data(), n, n / 10);

            Bits cellsIn = RandomBits(rng, n);
            Bits expanded(n * 8);
            EXPECT_EQ(n * 8, Encode2Raw(cellsIn.data(), n, expanded.data(), n * 8));
        }
    }
}
