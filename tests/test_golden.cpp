// The hot paths give the same results however they are made faster: a
// corpus of tracks (clean, turned, mixed, damaged, jittered, noisy, garbage;
// in cells and in samples) goes through the decoder, clock recovery, noise
// cancelling and the encoder, and a digest of everything they produce must
// equal the digest recorded when the corpus was made.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "fdi.h"
#include "fdi_disk.h"
#include "zel.h"
#include "golden_digest.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct track_t {
    Bytes cells;
    int count;
};

track_t Encoded(std::mt19937 &rng, int cells, int sectors, int n, int mfm, int statusevery = 0) {
    VTrack t;
    for (int i = 0; i < sectors; i++) {
        int m = mfm == 2 ? (int)(rng() & 1) : mfm;
        int status = statusevery && i % statusevery == 1 ? (int)(rng() % 4 == 0 ? SECTOR_NODATA
                                                                                : rng() & 1 ? SECTOR_DATACRC
                                                                                            : SECTOR_IDCRC)
                                                         : (rng() % 5 == 0 ? SECTOR_DELETED : 0);
        // One draw a statement: the order of a call's arguments is the
        // compiler's choice and differs between targets.
        int c = (int)(rng() & 0x7F);
        int h = (int)(rng() & 1);
        VSector *s = NewSector(m, c, h, i + 1, n, 128 << n, status);
        for (int k = 0; k < s->length; k++) s->data[k] = (uint8_t)rng();
        t.AddSector(s);
    }
    track_t out{Bytes((size_t)cells / 8 + 8), cells};
    t.Encode(0, out.cells.data(), cells);
    return out;
}

track_t Turned(const track_t &in, int shift) {
    track_t out{Bytes(in.cells.size()), in.count};
    for (int i = 0; i < in.count; i++)
        if (BfGetBit(in.cells.data(), (i + shift) % in.count)) BfSetBit(out.cells.data(), i);
    return out;
}

// Samples of a cell stream with each pulse moved by up to amp samples, and
// spikes (single stray pulses) every spikes pulses.
Bytes Samples(std::mt19937 &rng, const track_t &t, int amp, int spikes) {
    const int n = t.count * 8;
    Bytes raw((size_t)n / 8 + 8);
    int pulses = 0;
    for (int i = 0; i < t.count; i++) {
        if (!BfGetBit(t.cells.data(), i)) continue;
        int at = i * 8 + 3 + (amp ? (int)(rng() % (2 * amp + 1)) - amp : 0);
        for (int k = 0; k < 3; k++) BfSetBit(raw.data(), ((at + k) % n + n) % n);
        if (spikes && ++pulses % spikes == 0) BfSetBit(raw.data(), (at + 9 + (int)(rng() % 6)) % n);
    }
    return raw;
}

std::vector<track_t> Corpus() {
    std::mt19937 rng(20261207);
    std::vector<track_t> v;
    v.push_back(Encoded(rng, 166666, 8, 3, 1));
    v.push_back(Encoded(rng, 200000, 18, 2, 1));
    v.push_back(Encoded(rng, 100000, 9, 2, 1));
    for (int shift : {1, 2528 + 16, 3232 + 40, 11488 + 8, 60000, 99999}) v.push_back(Turned(v[2], shift));
    v.push_back(Encoded(rng, 100000, 26, 0, 0));
    v.push_back(Encoded(rng, 166666, 12, 1, 2));
    v.push_back(Encoded(rng, 100000, 9, 2, 1, 2));
    v.push_back(Encoded(rng, 99999, 7, 1, 2, 3));
    // Garbage, an empty stream, long sync runs with nothing after them, and
    // a track half overwritten with noise.
    track_t junk{Bytes(12500 + 8), 100000};
    for (size_t i = 0; i < 12500; i++) junk.cells[i] = (uint8_t)rng();
    v.push_back(junk);
    v.push_back(track_t{Bytes(12508, 0), 100000});
    track_t sync{Bytes(12508, 0xAA), 100000};
    for (int i = 0; i < 12500; i += 200) sync.cells[i] = 0x88, sync.cells[i + 1] = 0x44, sync.cells[i + 2] = 0x89;
    v.push_back(sync);
    track_t half = v[2];
    for (size_t i = 3000; i < 9000; i++) half.cells[i] = (uint8_t)rng();
    v.push_back(half);
    return v;
}

TEST(Golden, HotPathsKeepTheirResults) {
    std::mt19937 rng(7);
    Digest decode, recover, cancel, encode;
    for (const track_t &t : Corpus()) {
        for (int analyze : {ANALYZE_UPD765, ANALYZE_MB8877}) {
            VTrack d;
            d.Decode(0, t.cells.data(), t.count, analyze);
            AddTrack(decode, d);
        }
        for (int amp : {0, 2}) {
            Bytes raw = Samples(rng, t, amp, amp ? 500 : 0);
            const int samples = t.count * 8;
            Bytes cells(TRACK_ENC_BYTES + 8);
            int n = Raw2Encode(raw.data(), samples, cells.data(), TRACK_MAX_CELLS);
            recover.Int(n), recover.Int(Raw2EncodeLength(raw.data(), samples));
            if (n > 0) recover.Add(cells.data(), (size_t)(n + 7) / 8);
            VTrack r;
            r.Decode(1, raw.data(), samples, ANALYZE_UPD765);
            AddTrack(decode, r);
            Bytes clean = raw;
            cancel.Int(NoiseCancelRaw(clean.data(), samples, 8));
            cancel.Add(clean.data(), (size_t)samples / 8);
        }
        // What was read goes back out as a track.
        VTrack d;
        d.Decode(0, t.cells.data(), t.count, ANALYZE_UPD765);
        Bytes out((size_t)t.count / 8 + 8);
        encode.Int(d.Encode(0, out.data(), t.count));
        encode.Add(out.data(), (size_t)t.count / 8);
    }
    EXPECT_EQ(0xA67D0D2613B71982ull, decode.h);
    EXPECT_EQ(0xD02D9314370208F2ull, recover.h);
    EXPECT_EQ(0x82E30FA9D64C9EAEull, cancel.h);
    EXPECT_EQ(0x1DC935C4D4A69FBBull, encode.h);
}

}  // namespace
