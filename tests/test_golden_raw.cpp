// The raw-sample loops give the same results however they are made faster:
// a corpus of sample streams (clean, jittered, random bits, sparse, empty,
// all ones, odd lengths ending mid-byte and mid-word, single-sample laps,
// pulses closer than a pattern is wide, flux-free stretches) goes through
// clock recovery, noise cancelling, pulse shaping, the noise fill and the
// longest-stretch search, and a digest of everything they produce must equal
// the digest recorded when the corpus was made. Every stream lives in a
// buffer of exactly (len + 7) / 8 bytes, so a load past its end shows under
// AddressSanitizer; some have garbage in the bits past the last sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "fdd.h"
#include "zel.h"
#include "golden_digest.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Stream {
    Bytes bits;
    int len;
};

Stream Blank(int len, uint8_t fill = 0) { return Stream{Bytes((size_t)(len + 7) / 8, fill), len}; }

// The bits past the end of the stream set to random values.
void Pad(std::mt19937 &rng, Stream &s) {
    int used = s.len & 7;
    if (!used) return;
    uint8_t junk = (uint8_t)rng();
    s.bits.back() = (uint8_t)((s.bits.back() & (0xFF00 >> used)) | (junk & (0xFF >> used)));
}

// A pulse of width samples at pos (modulo len).
void Pulse(Stream &s, int64_t pos, int width) {
    for (int k = 0; k < width; k++) BfSetBit(s.bits.data(), (int)(((pos + k) % s.len + s.len) % s.len));
}

// MFM of random data with a sync field every 120 bytes: cells of a track.
std::vector<int> MfmCells(std::mt19937 &rng, int ncells) {
    std::vector<int> ones;
    int prev = 0;
    for (int i = 0; 16 * i + 16 <= ncells; i++) {
        int k = i % 120;
        int d = k < 12 ? 0 : k < 15 ? 0xA1 : k == 15 ? 0xFE : (int)(rng() & 0xFF);
        uint16_t w = 0;
        for (int b = 7; b >= 0; b--) {
            int bit = d >> b & 1;
            w = (uint16_t)(w << 2 | (!prev && !bit) << 1 | bit);
            prev = bit;
        }
        if (d == 0xA1 && k < 15) w = 0x4489;
        for (int b = 0; b < 16; b++)
            if (w & (0x8000 >> b)) ones.push_back(16 * i + b);
    }
    return ones;
}

// The cells drawn as pulses of width samples over len samples (a drive a
// little off speed when len is not cells * 8), each moved by up to amp.
Stream Drawn(std::mt19937 &rng, const std::vector<int> &ones, int ncells, int len, int width, int amp) {
    Stream s = Blank(len);
    for (int c : ones) {
        int64_t at = (int64_t)c * len / ncells;
        if (amp) {
            int j = (int)(rng() % (2 * amp + 1)) - amp;
            at += j;
        }
        Pulse(s, at, width);
    }
    return s;
}

Stream RandomBits(std::mt19937 &rng, int len) {
    Stream s = Blank(len);
    for (uint8_t &b : s.bits) b = (uint8_t)rng();
    return s;
}

std::vector<Stream> Corpus() {
    std::mt19937 rng(20261208);
    std::vector<Stream> v;
    std::vector<int> mfm = MfmCells(rng, 24000);
    // Clean and jittered tracks, on speed and off, three-sample pulses and
    // one-sample laps.
    v.push_back(Drawn(rng, mfm, 24000, 24000 * 8, 3, 0));
    v.push_back(Drawn(rng, mfm, 24000, 24000 * 8 + 1237, 3, 1));
    v.push_back(Drawn(rng, mfm, 24000, 24000 * 8 - 1931, 3, 2));
    v.push_back(Drawn(rng, mfm, 24000, 24000 * 8 + 5, 1, 1));
    v.push_back(Drawn(rng, mfm, 24000, 24000 * 8 - 3, 2, 3));
    // The same with spikes, a stretch of noise and a flux-free stretch.
    {
        Stream s = Drawn(rng, mfm, 24000, 24000 * 8 + 77, 3, 1);
        for (int i = 0; i < 400; i++) {
            int at = (int)(rng() % (uint32_t)s.len);
            Pulse(s, at, 1);
        }
        for (int i = 40000; i < 52000; i++) {
            uint32_t r = rng();
            if (r & 1) BfSetBit(s.bits.data(), i);
            else BfClrBit(s.bits.data(), i);
        }
        for (int i = 90000; i < 100000; i++) BfClrBit(s.bits.data(), i);
        v.push_back(s);
    }
    // Random bits: dense, and thinned to one sample in 8 and in 64.
    for (int len : {100003, 65536, 4099}) v.push_back(RandomBits(rng, len));
    for (int thin : {3, 6}) {
        Stream s = Blank(120001);
        for (int i = 0; i < s.len; i++) {
            uint32_t r = rng();
            if ((r & ((1u << thin) - 1)) == 0) BfSetBit(s.bits.data(), i);
        }
        v.push_back(s);
    }
    // Sparse: pulses of random width hundreds to thousands of samples apart,
    // one across the seam.
    {
        Stream s = Blank(77777);
        for (int64_t at = 5; at < s.len;) {
            int w = 1 + (int)(rng() % 9);
            Pulse(s, at, w);
            at += 40 + (int)(rng() % 3000);
        }
        Pulse(s, s.len - 2, 5);
        v.push_back(s);
    }
    // Pulses closer than eight samples, in bursts.
    {
        Stream s = Blank(30011);
        for (int64_t at = 0; at < s.len;) {
            int w = 1 + (int)(rng() % 3);
            Pulse(s, at, w);
            at += w + 1 + (int)(rng() % 9);
        }
        v.push_back(s);
    }
    // Empty, all ones, and a single pulse.
    for (int len : {50000, 1024, 96, 97}) v.push_back(Blank(len));
    for (int len : {4099, 64, 33}) v.push_back(Blank(len, 0xFF));
    {
        Stream s = Blank(20000);
        Pulse(s, 12345, 3);
        v.push_back(s);
        Stream t = Blank(20000);
        Pulse(t, 19999, 3);
        v.push_back(t);
    }
    // Short and odd lengths, ending mid-byte and mid-word: random, clean
    // rhythm and ones at both ends.
    for (int len : {1, 2, 3, 5, 7, 8, 9, 15, 17, 31, 32, 33, 40, 63, 64, 65, 95, 127, 129, 191, 255, 257, 1001,
                    4095, 8191, 12347}) {
        v.push_back(RandomBits(rng, len));
        Stream s = Blank(len);
        for (int at = 3; at < len; at += 16) Pulse(s, at, 3);
        v.push_back(s);
        Stream e = Blank(len);
        BfSetBit(e.bits.data(), 0);
        BfSetBit(e.bits.data(), len - 1);
        v.push_back(e);
    }
    // Garbage past the last sample of some: it must be ignored.
    size_t n = v.size();
    for (size_t i = 0; i < n; i += 3) {
        if (!(v[i].len & 7)) continue;
        Stream s = v[i];
        Pad(rng, s);
        v.push_back(s);
    }
    return v;
}

const std::vector<Stream> &TheCorpus() {
    static const std::vector<Stream> c = Corpus();
    return c;
}

TEST(GoldenRaw, ClockRecoveryKeepsItsCells) {
    Digest d;
    for (const Stream &s : TheCorpus()) {
        int need = Raw2EncodeLength(s.bits.data(), s.len);
        d.Int(need);
        // Room for the track, one cell short of it, none, and plenty.
        for (int capacity : {need, need - 1, 0, s.len / 4 + 64}) {
            Bytes cells((size_t)(capacity > 0 ? (capacity + 7) / 8 : 1), 0x5A);
            int n = Raw2Encode(s.bits.data(), s.len, cells.data(), capacity);
            d.Int(n);
            if (capacity > 0) d.Buf(cells);
        }
    }
    EXPECT_EQ(0xFA0F83DA35041128ull, d.h);
}

TEST(GoldenRaw, NoiseCancellingErasesTheSamePulses) {
    Digest d;
    for (const Stream &s : TheCorpus()) {
        for (int threshold : {0, 1, 4, 8, 32, 100000}) {
            Bytes b = s.bits;
            d.Int(NoiseCancelRaw(b.data(), s.len, threshold));
            d.Buf(b);
        }
    }
    EXPECT_EQ(0x12DACBB65E5067CBull, d.h);
}

// Tracks that break into noise again and again: stretches of every density
// and length between pulse trains with stray spikes, where the noise
// cancelling leaves its rhythm and finds it again (the walks take words of
// dense noise whole and must come out of them exactly as pulse by pulse).
TEST(GoldenRaw, NoiseCancellingInAndOutOfNoise) {
    std::mt19937 rng(7);
    Digest d;
    for (int track = 0; track < 180; track++) {
        const int len = 1000 + (int)(rng() % 200000), often = 6 + track % 3 * 3;
        Stream s = Blank(len);
        for (int p = (int)(rng() % 20); p < len - 3;) {
            uint32_t r = rng() % 1000;
            if (r < (uint32_t)often) {
                const int n = (int)(rng() % (track % 3 * 400 + 410));
                const int eighths = 1 + (int)(rng() % 7);
                for (int i = 0; i < n && p < len; i++, p++)
                    if ((int)(rng() % 8) < eighths) BfSetBit(s.bits.data(), p);
                continue;
            }
            for (int k = 0; k < 3; k++) BfSetBit(s.bits.data(), p + k);
            const int cells = 2 + (int)(rng() % 3);
            const int per = 8 + (track % 7 == 0 ? (int)(rng() % 3) - 1 : 0);
            const int step = cells * per + (int)(rng() % 3) - 1;
            if (rng() % 50 == 0) {
                const int at = p + 3 + (int)(rng() % (uint32_t)std::max(1, step - 4));
                if (at < len) BfSetBit(s.bits.data(), at);
            }
            p += step;
        }
        for (int threshold : {0, 4, 8, 16}) {
            Bytes b = s.bits;
            d.Int(NoiseCancelRaw(b.data(), s.len, threshold));
            d.Buf(b);
        }
    }
    EXPECT_EQ(0x7B8348F65291CD01ull, d.h);
}

TEST(GoldenRaw, PulseShapingDrawsTheSamePatterns) {
    Digest d;
    for (const Stream &s : TheCorpus()) {
        for (uint8_t pattern : {0xE0, 0x80, 0xFF, 0xA5}) {
            Bytes b = s.bits;
            ShapePulseRaw(b.data(), s.len, pattern);
            d.Buf(b);
        }
    }
    EXPECT_EQ(0x4ED26448BA81EE0Cull, d.h);
}

TEST(GoldenRaw, NoiseFillAndFluxFreeStretches) {
    Digest fill, stretch;
    for (const Stream &s : TheCorpus()) {
        Bytes b = s.bits;
        int size = -7;
        stretch.Int(FindMaxUnf(b.data(), s.len, &size));
        stretch.Int(size);
        stretch.Int(FindMaxUnf(b.data(), s.len, nullptr));
        MakeNoiseRaw(0, b.data(), s.len);
        fill.Buf(b);
        size = -7;
        stretch.Int(FindMaxUnf(b.data(), s.len, &size));
        stretch.Int(size);
    }
    EXPECT_EQ(0x9DF01DC60639FBEBull, fill.h);
    EXPECT_EQ(0x9612FBE41249230Full, stretch.h);
}

// The cells of a revolution as VFO_Update counts them, interval by
// interval: the definition the table-driven walk must follow.
int CountedCells(const Stream &s) {
    std::vector<int> edges;
    for (int i = 0; i < s.len; i++)
        if (BfGetBit(s.bits.data(), i) && !BfGetBit(s.bits.data(), (i + s.len - 1) % s.len)) edges.push_back(i);
    if (edges.empty()) return s.len / 8;
    VFOState v;
    int64_t cells = 0;
    for (size_t i = 1; i < edges.size(); i++) {
        VFO_Update(&v, edges[i] - edges[i - 1]);
        cells += v.cells;
    }
    VFO_Update(&v, s.len - (edges.back() - edges[0]));
    return (int)(cells + v.cells);
}

// Streams that start over (a gap of more than 63 cells empties the history),
// then a spike, then a preamble of m two-cell intervals of 18 samples (the
// period creeps up with every correction), then a probe interval near a
// threshold and plain data: whether and when the lock comes decides the
// class of the probe.
TEST(GoldenRaw, ClockRecoveryCountsAsVfoUpdateAfterARestart) {
    std::mt19937 rng(99);
    int checked = 0;
    for (int gap : {600, 900}) {
        for (int spike : {0, 2, 3, 4}) {
            for (int m = 30; m <= 50; m++) {
                for (int probe = 19; probe <= 38; probe++) {
                    Stream s = Blank(gap + spike + 18 * m + probe + 16 * 40 + 64);
                    int64_t at = 5;
                    Pulse(s, at, 3);
                    at += gap;
                    Pulse(s, at, 3);
                    if (spike) Pulse(s, at += spike, 1);
                    for (int i = 0; i < m; i++) Pulse(s, at += 18, 3);
                    Pulse(s, at += probe, 3);
                    for (int i = 0; i < 40; i++) {
                        int d = 16 + 8 * (int)(rng() % 3);
                        if (at + d + 8 >= s.len) break;
                        Pulse(s, at += d, 3);
                    }
                    int want = CountedCells(s);
                    ASSERT_EQ(Raw2EncodeLength(s.bits.data(), s.len), want) << gap << " " << spike << " " << m << " " << probe;
                    Bytes cells((size_t)(want + 7) / 8 + 1);
                    ASSERT_EQ(Raw2Encode(s.bits.data(), s.len, cells.data(), want), want);
                    checked++;
                }
            }
        }
    }
    EXPECT_EQ(checked, 2 * 4 * 21 * 20);
}

// The other walks over the same edge scan: resampling, alignment, cutting
// and cell-to-sample mapping.
TEST(GoldenRaw, OtherEdgeWalksKeepTheirResults) {
    Digest d;
    for (const Stream &s : TheCorpus()) {
        Bytes a = s.bits;
        d.Int(AlignRaw(a.data(), s.len));
        d.Buf(a);
        int longer = s.len + s.len / 97 + 1;
        Bytes st((size_t)(longer + 7) / 8, 0);
        std::copy(s.bits.begin(), s.bits.end(), st.begin());
        d.Int(StrechRaw(st.data(), s.len, longer));
        d.Buf(st);
        int cells = Raw2EncodeLength(s.bits.data(), s.len);
        int pos[4] = {0, cells / 3, cells / 2, cells - 1};
        d.Int(Enc2RawPosMulti(s.bits.data(), s.len, pos, 4));
        for (int p : pos) d.Int(p);
        int start = cells / 5, end = cells / 2;
        Bytes out(s.bits.size() + 8, 0);
        d.Int(TransRaw(s.bits.data(), s.len, &start, &end, out.data()));
        d.Int(start), d.Int(end);
        d.Buf(out);
    }
    EXPECT_EQ(0x9EE99459673366DEull, d.h);
}

}  // namespace
