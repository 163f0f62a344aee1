// Pattern search against a plain bit-by-bit search, and cell-to-sample mapping.
#include <gtest/gtest.h>

#include <cmath>

#include "zel_fixture.h"

namespace {

int PlainFind(const Bits &d, int start, int range, const Bits &pat) {
    for (int k = 0; k <= range - pat.n; k++) {
        int j = 0;
        while (j < pat.n && d.Get((int)((((int64_t)start + k + j) % d.n + d.n) % d.n)) == pat.Get(j)) j++;
        if (j == pat.n) return k;
    }
    return -1;
}

int Find(const Bits &d, int start, int range, const Bits &pat) {
    return BfFind(d.b.data(), d.n, start, range, pat.b.data(), pat.n);
}

}  // namespace

// Every pattern length 1..256 (word, byte and bit methods alike), patterns cut
// from the stream (often across its seam) or with one bit changed, windows that
// wrap, that end exactly on a match or one position short of it. Random data
// and MFM cells, whose many near-matches exercise the candidate checks.
TEST(BfFind, AgreesWithPlainSearchForEveryPatternLength) {
    std::mt19937 rng(11);
    for (int m = 1; m <= 256; m++) {
        for (int kind = 0; kind < 2; kind++) {
            Bits d = kind ? CellsOf(rng, 60 + m / 4, true).Rotated(m) : RandomBits(rng, 500 + 3 * m + (int)(rng() % 7));
            for (int t = 0; t < 4; t++) {
                int at = t == 0 ? d.n - m / 2 : (int)(rng() % d.n);
                Bits pat = d.Rotated(at);
                pat.n = m;
                pat.b.resize((size_t)(m + 7) / 8);
                for (int j = m; j < 8 * (int)pat.b.size(); j++) pat.Put(j, !d.Get((at + j) % d.n));  // no match past m
                if (t == 3) {
                    int j = (int)(rng() % m);
                    pat.Put(j, !pat.Get(j));
                }
                int back = (int)(rng() % 40);
                const int windows[][2] = {{at - back, back + m}, {at - back, back + m - 1}, {at, m}, {at, m - 1},
                                          {(int)(rng() % (3 * d.n)) - d.n, (int)(rng() % (2 * d.n))}};
                for (auto &w : windows)
                    ASSERT_EQ(PlainFind(d, w[0], w[1], pat), Find(d, w[0], w[1], pat))
                        << "m " << m << " kind " << kind << " at " << at << " window " << w[0] << "+" << w[1];
            }
        }
    }
}

TEST(BfFind, WindowEdges) {
    std::mt19937 rng(12);
    Bits d = RandomBits(rng, 1000);
    Bits p64 = d.Rotated(300);
    p64.n = 64;
    EXPECT_EQ(0, Find(d, 300, 64, p64));     // range == patbits: one position
    EXPECT_EQ(-1, Find(d, 299, 64, p64));    // ... and only that one
    EXPECT_EQ(-1, Find(d, 300, 63, p64));    // range < patbits
    EXPECT_EQ(-1, Find(d, 305, 500, p64));   // starts before the window
    EXPECT_EQ(-1, Find(d, 200, 95 + 64, p64)); // starts 5 past the last allowed position
    EXPECT_EQ(100, Find(d, 200, 100 + 64, p64));
    EXPECT_EQ(0, Find(d, 1300, 64, p64));    // start taken modulo the length
    Bits seam = d.Rotated(980);
    seam.n = 64;
    EXPECT_EQ(970, Find(d, 10, 1100, seam)); // only across the seam
    EXPECT_EQ(-1, Find(Bits(), 0, 100, p64));
    Bits p0;
    EXPECT_EQ(-1, Find(d, 0, 100, p0));
}

TEST(Enc2RawPos, MapsCellsToTheirPulsesRisingEdges) {
    Bits cells(64);
    for (int i : {3, 7, 10, 14, 18, 21, 25, 29, 32, 36, 40, 44, 47, 50}) cells.Set(i);
    Bits raw(512);
    Encode2Raw(cells.data(), 64, raw.data(), 512);
    Bits late = raw.Rotated(-5);  // every pulse five samples later
    EXPECT_EQ(56, Enc2RawPos(raw.data(), 512, 7));       // first pulse after E
    EXPECT_EQ(40, Enc2RawPos(raw.data(), 512, 5));       // two cells before it
    EXPECT_EQ(61, Enc2RawPos(late.data(), 512, 7));
    EXPECT_EQ(512, Enc2RawPos(raw.data(), 512, 55));     // past the last pulse
    EXPECT_EQ(80, Enc2RawPos(Bits(512).data(), 512, 10)); // no pulse: 8 samples a cell

    int pos[] = {40, 10, 29, 60};
    EXPECT_EQ(3, Enc2RawPosMulti(raw.data(), 512, pos, 4));
    EXPECT_EQ((std::vector<int>{320, 80, 232, -1}), std::vector<int>(pos, pos + 4));
    int none[] = {1, 2};
    EXPECT_EQ(0, Enc2RawPosMulti(Bits(512).data(), 512, none, 2));
    EXPECT_EQ(1, none[0]);
}

// On a stream recorded 2 % fast, every cell Raw2Encode set maps back to the
// rising edge of the pulse that set it, all in one pass.
TEST(Enc2RawPos, InvertsRaw2EncodeOnADriftedStream) {
    std::mt19937 rng(13);
    Bits cells = CellsOf(rng, 1500, true);
    cells = cells.Rotated(cells.Ones().front());
    std::vector<int64_t> edges;
    for (int i : cells.Ones()) edges.push_back(std::llround(8.16 * i + 5));
    Bits raw = RawWithPulses((int)std::llround(8.16 * cells.n), edges);
    Bits dec(cells.n);
    ASSERT_EQ(cells.n, Raw2Encode(raw.data(), raw.n, dec.data(), dec.n));

    std::vector<int> pos = dec.Ones();
    pos.erase(pos.begin());  // the first pulse has no interval of its own
    ASSERT_EQ((int)pos.size(), Enc2RawPosMulti(raw.data(), raw.n, pos.data(), (int)pos.size()));
    EXPECT_EQ(std::vector<int64_t>(edges.begin() + 1, edges.end()), std::vector<int64_t>(pos.begin(), pos.end()));
    EXPECT_EQ(edges[100], Enc2RawPos(raw.data(), raw.n, dec.Ones()[100]));
}
